#include <algorithm>
#include <new>
#include <string>
#include <vector>

#include "dlf/dlf.h"
#include "dvdfs/dvdfs.h"
#include "fileio/fileio.h"
#include "inspect/dlf_check.h"

namespace {

// The end of a file's disc range; a range past 2^64 ends there.
uint64_t RangeEnd(const ListedFile& file) {
  return SaturatingAdd(file.discOffset, file.size);
}

std::string RangeText(const ListedFile& file) {
  return "[" + DiscOffsetText(file.discOffset) + ", " + DiscOffsetText(RangeEnd(file)) + ")";
}

void WarnOverlap(DlfCheck* check, const ListedFile& file, const ListedFile& earlier) {
  AddDlfFinding(check, file.line, DLF_WARNING,
                "disc range " + RangeText(file) + " of " + file.name + " overlaps " +
                    RangeText(earlier) + " of " + earlier.name + " (line " +
                    std::to_string(earlier.line) + ")");
}

// The first listed file (in line order) that holds the disc bytes
// [offset, offset + length) whole, or nullptr.
const ListedFile* FileHolding(const DlfCheck& check, uint64_t offset, uint64_t length) {
  for (const ListedFile& file : check.files) {
    if (file.discOffset <= offset && offset - file.discOffset <= file.size &&
        length <= file.size - (offset - file.discOffset)) {
      return &file;
    }
  }
  return nullptr;
}

// Reads the disc bytes [offset, offset + length) from the file that holds
// them, as far as the file really holds them. False when it cannot be read
// (or memory is short); the file checks have told why already.
bool ReadDiscBytes(DlfCheck* check, const ListedFile& file, uint64_t offset, uint64_t length,
                   std::vector<unsigned char>* bytes) {
  uint64_t start = offset - file.discOffset;
  std::string path = PathBesideDlf(*check, file.name);
  std::string message;
  bool read = false;
  try {
    read = RunCapturedStep(
        check,
        [&]() {
          HostFileStatus status{};
          FileGuard source(OpenRegularFile(path.c_str(), HOST_READ_ONLY, &status));
          uint64_t available = status.size > start ? status.size - start : 0;
          uint32_t wanted = static_cast<uint32_t>(std::min({length, available, file.size}));
          bytes->resize(wanted);
          uint32_t got = wanted == 0 ? 0 : ReadAt(source.file, bytes->data(), wanted, start);
          bytes->resize(got);
        },
        &message);
  } catch (const std::bad_alloc&) {
    read = false;
  }
  return read;
}

// The message a refused table gives, on one line.
std::string OneLine(std::string message) {
  std::string prefix = std::string(programName) + ": ";
  for (size_t at; (at = message.find(prefix)) != std::string::npos;)
    message.erase(at, prefix.size());
  while (!message.empty() && message.back() == '\n') message.pop_back();
  std::replace(message.begin(), message.end(), '\n', ' ');
  return message;
}

// The table's path of a file entry, or its number where the path does not fit.
std::string TablePathOf(DlfCheck* check, FstTable* table, int32_t entry) {
  std::vector<char> path(4096);
  std::string message;
  bool found = RunCapturedStep(
      check, [&]() { FstEntryPath(table, entry, path.data(), static_cast<uint32_t>(path.size())); },
      &message);
  return found ? std::string(path.data()) : "table entry " + std::to_string(entry);
}

// Warns for every listed file where the table places a file of another
// length, and of none of its own.
void CompareSizes(DlfCheck* check, FstTable* table) {
  for (const ListedFile& file : check->files) {
    uint32_t position = static_cast<uint32_t>(file.discOffset / 4);
    int32_t placed = FindFstFileAtPositionIn(table, position);
    if (placed < 0) continue;
    FstZeroLengthCounter counter{0};
    if (FindFstFileIn(table, &counter, position, static_cast<uint32_t>(file.size)) >= 0) continue;
    uint32_t recorded = FstFileLengthIn(*table, static_cast<uint32_t>(placed));
    AddDlfFinding(check, file.line, DLF_WARNING,
                  "size " + std::to_string(file.size) + " of " + file.name + " differs from the " +
                      std::to_string(recorded) + " bytes the disc's table records for " +
                      TablePathOf(check, table, placed) + " at " + DiscOffsetText(file.discOffset) +
                      ": the packed disc would still read " + std::to_string(recorded) +
                      " bytes there, and Unpack would no longer find the name");
  }
}

// Reads the table's place and size from the disc header block; false when
// no listed file holds the block or it cannot be read.
bool FindTablePlace(DlfCheck* check, uint64_t* offset, uint64_t* length) {
  const ListedFile* block = FileHolding(*check, DISC_HEADER_BLOCK_OFFSET, DISC_HEADER_BLOCK_SIZE);
  std::vector<unsigned char> bytes;
  if (block == nullptr ||
      !ReadDiscBytes(check, *block, DISC_HEADER_BLOCK_OFFSET, DISC_HEADER_BLOCK_SIZE, &bytes) ||
      bytes.size() < DISC_HEADER_BLOCK_SIZE) {
    return false;
  }
  DiscTableWords words = DecodeDiscHeaderBlock(bytes.data());
  *offset = static_cast<uint64_t>(words.position) * 4;
  *length = static_cast<uint64_t>(words.size) * 4;
  return true;
}

}  // namespace

void CheckOverlappingRanges(DlfCheck* check) {
  std::vector<const ListedFile*> order;
  for (const ListedFile& file : check->files) {
    if (file.size != 0) order.push_back(&file);
  }
  std::sort(order.begin(), order.end(), [](const ListedFile* a, const ListedFile* b) {
    return a->discOffset != b->discOffset ? a->discOffset < b->discOffset : a->line < b->line;
  });
  const ListedFile* reach = nullptr;  // the range that ends furthest so far
  for (const ListedFile* file : order) {
    if (reach != nullptr && file->discOffset < RangeEnd(*reach)) WarnOverlap(check, *file, *reach);
    if (reach == nullptr || RangeEnd(*file) > RangeEnd(*reach)) reach = file;
  }
}

void CompareWithDiscTable(DlfCheck* check) {
  uint64_t offset = 0;
  uint64_t length = 0;
  if (!FindTablePlace(check, &offset, &length)) return;
  const ListedFile* holder = FileHolding(*check, offset, length);
  std::vector<unsigned char> bytes;
  if (holder == nullptr || !ReadDiscBytes(check, *holder, offset, length, &bytes)) return;
  std::string message;
  if (!RunCapturedStep(
          check, [&]() { ValidateFstTable(bytes.data(), bytes.size()); }, &message)) {
    AddDlfFinding(check, holder->line, DLF_WARNING,
                  "the disc's table at " + DiscOffsetText(offset) + " (" + std::to_string(length) +
                      " bytes) is not valid, so Unpack would refuse the disc: " + OneLine(message));
    return;
  }
  FstTable table;
  OpenFstTable(&table, bytes.data());
  CompareSizes(check, &table);
}
