#include "package/qpk.h"

#include <cinttypes>

#include "base/coding.h"
#include "fileio/fileio.h"

void FillQpkHeader(QpkHeader* header, uint32_t extraSize, uint32_t entryCount) {
  header->magic = QPK_MAGIC;
  header->reserved0 = 0;
  header->extraOffset = QPK_HEADER_SIZE;
  header->extraSize = extraSize;
  header->entryTableOffset = QPK_HEADER_SIZE + extraSize;
  header->entryCount = entryCount;
  header->dataRegionOffset = header->entryTableOffset + QPK_ENTRY_SIZE * entryCount;
  header->reserved1 = 0;
}

void FillQpkEntry(QpkEntry* entry, uint64_t discOffset, uint64_t dataOffset, uint32_t dataSize,
                  uint32_t flags) {
  entry->discOffset = discOffset;
  entry->dataOffset = dataOffset;
  entry->dataSize = dataSize;
  entry->flags = flags;
}

void EncodeQpkHeader(const QpkHeader& header, unsigned char* out) {
  StoreLE32(out + 0, header.magic);
  StoreLE32(out + 4, header.reserved0);
  StoreLE32(out + 8, header.extraOffset);
  StoreLE32(out + 12, header.extraSize);
  StoreLE32(out + 16, header.entryTableOffset);
  StoreLE32(out + 20, header.entryCount);
  StoreLE32(out + 24, header.dataRegionOffset);
  StoreLE32(out + 28, header.reserved1);
}

QpkHeader DecodeQpkHeader(const unsigned char* in) {
  QpkHeader header;
  header.magic = LoadLE32(in + 0);
  header.reserved0 = LoadLE32(in + 4);
  header.extraOffset = LoadLE32(in + 8);
  header.extraSize = LoadLE32(in + 12);
  header.entryTableOffset = LoadLE32(in + 16);
  header.entryCount = LoadLE32(in + 20);
  header.dataRegionOffset = LoadLE32(in + 24);
  header.reserved1 = LoadLE32(in + 28);
  return header;
}

void EncodeQpkEntry(const QpkEntry& entry, unsigned char* out) {
  StoreLE64(out + 0, entry.discOffset);
  StoreLE64(out + 8, entry.dataOffset);
  StoreLE32(out + 16, entry.dataSize);
  StoreLE32(out + 20, entry.flags);
}

QpkEntry DecodeQpkEntry(const unsigned char* in) {
  QpkEntry entry;
  entry.discOffset = LoadLE64(in + 0);
  entry.dataOffset = LoadLE64(in + 8);
  entry.dataSize = LoadLE32(in + 16);
  entry.flags = LoadLE32(in + 20);
  return entry;
}

namespace {

void WriteOrFail(HostHandle file, const unsigned char* bytes, uint32_t count, uint64_t offset) {
  // Copied data still gathered in memory goes out first, so the header,
  // written last, never stands in front of missing data.
  FlushCopiedBytes(file);
  if (!HostWriteAt(file, bytes, count, offset)) {
    Fail("%s: Error occurred when writing the output file.\n", programName);
  }
}

}  // namespace

void WriteQpkHeader(HostHandle qpkFile, const QpkHeader& header) {
  unsigned char bytes[QPK_HEADER_SIZE];
  EncodeQpkHeader(header, bytes);
  WriteOrFail(qpkFile, bytes, QPK_HEADER_SIZE, 0);
}

void WriteQpkEntryTable(HostHandle qpkFile, const QpkEntry* entries, uint32_t entryCount) {
  if (entryCount == 0) return;
  // Encoded a slice at a time: a table of millions of entries is not held
  // twice in memory, once as records and once as bytes.
  const uint32_t SLICE = 65536;
  HeapBytes bytes(static_cast<unsigned char*>(
      AllocOrExit(static_cast<size_t>(entryCount < SLICE ? entryCount : SLICE) * QPK_ENTRY_SIZE)));
  for (uint32_t first = 0; first < entryCount; first += SLICE) {
    uint32_t count = entryCount - first < SLICE ? entryCount - first : SLICE;
    for (uint32_t i = 0; i < count; ++i) {
      EncodeQpkEntry(entries[first + i], &bytes[i * QPK_ENTRY_SIZE]);
    }
    WriteOrFail(qpkFile, bytes.get(), count * QPK_ENTRY_SIZE,
                QPK_HEADER_SIZE + static_cast<uint64_t>(first) * QPK_ENTRY_SIZE);
  }
}

QpkHeader ReadQpkHeader(HostHandle qpkFile) {
  unsigned char bytes[QPK_HEADER_SIZE] = {0};
  ReadAt(qpkFile, bytes, QPK_HEADER_SIZE, 0);
  QpkHeader header = DecodeQpkHeader(bytes);
  if (header.magic != QPK_MAGIC) Fail("%s: Specified file is not a qpk file\n", programName);
  return header;
}

std::vector<QpkEntry> ReadQpkEntryTable(HostHandle qpkFile, const QpkHeader& header) {
  uint32_t count = header.entryCount;
  if (count == 0) Fail("%s: The qpk file has no entries\n", programName);
  uint64_t tableEnd = QPK_HEADER_SIZE + static_cast<uint64_t>(QPK_ENTRY_SIZE) * count;
  if (tableEnd >= QPK_DATA_START_LIMIT) {
    Fail("%s: The qpk file's entry count %" PRIu32 " is too large\n", programName, count);
  }
  if (tableEnd > GetFileSize64(qpkFile)) {
    Fail("%s: The qpk file's entry table (%" PRIu32 " entries) reaches past the end of the file\n",
         programName, count);
  }
  uint32_t byteCount = static_cast<uint32_t>(tableEnd - QPK_HEADER_SIZE);
  HeapBytes bytes(static_cast<unsigned char*>(AllocOrExit(byteCount)));
  if (ReadAt(qpkFile, bytes.get(), byteCount, QPK_HEADER_SIZE) != byteCount) {
    Fail("%s: The qpk file's entry table (%" PRIu32 " entries) reaches past the end of the file\n",
         programName, count);
  }
  std::vector<QpkEntry> entries(count);
  for (uint32_t i = 0; i < count; ++i) entries[i] = DecodeQpkEntry(&bytes[i * QPK_ENTRY_SIZE]);
  return entries;
}

int64_t FindCoveringEntry(const QpkEntry* entries, uint32_t entryCount, uint64_t discOffset) {
  uint32_t stop = 0;
  while (stop < entryCount && entries[stop].discOffset <= discOffset) ++stop;
  return static_cast<int64_t>(stop) - 1;
}

HeapBytes ReadDiscRange(HostHandle qpkFile, const QpkEntry* entries, uint32_t entryCount,
                        int64_t dataRegionStart, uint64_t discOffset, uint32_t byteCount) {
  int64_t covering = FindCoveringEntry(entries, entryCount, discOffset);
  if (covering < 0) {
    Fail("%s: Disc offset 0x%016" PRIx64 " lies before the first entry of the qpk file\n",
         programName, discOffset);
  }
  const QpkEntry& entry = entries[covering];
  uint64_t position =
      static_cast<uint64_t>(dataRegionStart) + entry.dataOffset + (discOffset - entry.discOffset);
  // Refuse before allocating: the range must lie whole inside the file.
  uint64_t fileSize = GetFileSize64(qpkFile);
  if (position > fileSize || byteCount > fileSize - position) {
    Fail("%s: Disc range 0x%016" PRIx64 " (%" PRIu32 " bytes) is not stored in the qpk file\n",
         programName, discOffset, byteCount);
  }
  HeapBytes bytes(static_cast<unsigned char*>(AllocOrExit(byteCount)));
  if (ReadAt(qpkFile, bytes.get(), byteCount, position) != byteCount) {
    Fail("%s: Disc range 0x%016" PRIx64 " (%" PRIu32 " bytes) is not stored in the qpk file\n",
         programName, discOffset, byteCount);
  }
  return bytes;
}
