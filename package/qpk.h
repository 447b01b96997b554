// The qpk container: a 32-byte header, one 24-byte entry per dlf line, then
// the data region (configuration blob, then every stored file back to back).
// All integers little-endian.
#ifndef QUORLITH_PACKAGE_QPK_H_
#define QUORLITH_PACKAGE_QPK_H_

#include <cstddef>
#include <cstdint>
#include <vector>

#include "base/base.h"
#include "host/host.h"

const uint32_t QPK_MAGIC = 0xE0F92B6A;
const uint32_t QPK_HEADER_SIZE = 32;
const uint32_t QPK_ENTRY_SIZE = 24;
const uint32_t QPK_FLAG_PLACEHOLDER = 1;
// The start of the data region is held as a signed 32-bit value.
const uint64_t QPK_DATA_START_LIMIT = 0x80000000u;

struct QpkHeader {
  uint32_t magic;
  uint32_t reserved0;
  uint32_t extraOffset;
  uint32_t extraSize;
  uint32_t entryTableOffset;
  uint32_t entryCount;
  uint32_t dataRegionOffset;
  uint32_t reserved1;
};

struct QpkEntry {
  uint64_t discOffset;
  uint64_t dataOffset;
  uint32_t dataSize;
  uint32_t flags;
};

void FillQpkHeader(QpkHeader* header, uint32_t extraSize, uint32_t entryCount);
void FillQpkEntry(QpkEntry* entry, uint64_t discOffset, uint64_t dataOffset, uint32_t dataSize,
                  uint32_t flags);

void EncodeQpkHeader(const QpkHeader& header, unsigned char* out);
QpkHeader DecodeQpkHeader(const unsigned char* in);
void EncodeQpkEntry(const QpkEntry& entry, unsigned char* out);
QpkEntry DecodeQpkEntry(const unsigned char* in);

// Positioned writes at file offsets 0 and 32.
void WriteQpkHeader(HostHandle qpkFile, const QpkHeader& header);
void WriteQpkEntryTable(HostHandle qpkFile, const QpkEntry* entries, uint32_t entryCount);

// Reads the header and checks its magic.
QpkHeader ReadQpkHeader(HostHandle qpkFile);
// Reads the entry table at file offset 32, after checking that it is not
// empty and lies whole inside the file.
std::vector<QpkEntry> ReadQpkEntryTable(HostHandle qpkFile, const QpkHeader& header);

// Reads `byteCount` bytes of the disc image from `discOffset` on, through the
// entry that covers that offset. A range that starts before the first entry
// or that the file does not hold whole is refused.
HeapBytes ReadDiscRange(HostHandle qpkFile, const QpkEntry* entries, uint32_t entryCount,
                        int64_t dataRegionStart, uint64_t discOffset, uint32_t byteCount);

// The index of the entry whose data holds `discOffset`, as ReadDiscRange
// chooses it; -1 when the offset lies before the first entry.
int64_t FindCoveringEntry(const QpkEntry* entries, uint32_t entryCount, uint64_t discOffset);

#endif  // QUORLITH_PACKAGE_QPK_H_
