#include "dvdfs/dvdfs.h"

#include <algorithm>
#include <cstdarg>
#include <cstddef>
#include <cstdio>
#include <new>
#include <vector>

#include "base/base.h"
#include "base/coding.h"
#include "dvdfs/fst_fields.h"

namespace {

// The one process-wide table: what the queries without a record argument
// answer on, with the zero-length counter of their naming run.
FstTable installedTable;
FstZeroLengthCounter installedCounter = {0};

const uint32_t NO_PARENT = 0xFFFFFFFFu;

const uint32_t MAX_ENTRY_COUNT = 0x7FFFFFFF;  // entry numbers travel as int32_t

// Ancestors gathered per pass when a directory path is built top-down. Any
// path that fits in maxlen bytes has at most maxlen directories, so the paths
// of a run (maxlen at most 1017) take one pass.
const uint32_t PATH_BATCH = 1024;

// The length of a NUL-terminated name, but at most limit.
uint32_t BoundedNameLength(const char* name, uint32_t limit) {
  uint32_t length = 0;
  while (length < limit && name[length] != '\0') ++length;
  return length;
}

// The directory above dir when building a path. Parent links of a valid
// table point strictly backwards; anything else ends the walk as if at the
// root, so the walk always ends within dir steps.
uint32_t UpperDir(const FstTable& table, uint32_t dir) {
  uint32_t parent = FstParentEntryOf(table, dir);
  return parent < dir ? parent : 0;
}

uint32_t DirDepth(const FstTable& table, uint32_t dir) {
  uint32_t depth = 0;
  while (dir != 0) {
    dir = UpperDir(table, dir);
    ++depth;
  }
  return depth;
}

uint32_t AncestorAbove(const FstTable& table, uint32_t dir, uint32_t steps) {
  while (steps-- > 0) dir = UpperDir(table, dir);
  return dir;
}

[[noreturn]] void FailPathTooLong() {
  Fail("Path is too long\n");
}

[[noreturn]] void RefuseTable(const char* format, ...) QUORLITH_PRINTF(1, 2);

void RefuseTable(const char* format, ...) {
  char reason[160];
  va_list args;
  va_start(args, format);
  std::vsnprintf(reason, sizeof reason, format, args);
  va_end(args);
  Fail("%s: Invalid file-system table: %s\n", programName, reason);
}

// Offset of the last NUL in the name table, or -1 without one. A name is
// terminated inside the table exactly when it starts at or before it; one
// backward scan serves every entry, however many share their bytes.
int64_t LastNulOffset(const unsigned char* names, uint64_t size) {
  for (uint64_t i = size; i > 0; --i) {
    if (names[i - 1] == 0) return static_cast<int64_t>(i - 1);
  }
  return -1;
}

void ValidateNames(const unsigned char* table, uint32_t count, uint64_t length) {
  uint64_t namesStart = static_cast<uint64_t>(count) * FST_ENTRY_SIZE;
  uint64_t namesSize = length - namesStart;
  int64_t lastNul = LastNulOffset(table + namesStart, namesSize);
  // The root's name is never read.
  for (uint32_t entry = 1; entry < count; ++entry) {
    uint32_t offset = FstNameOffsetAt(table, entry);
    if (offset >= namesSize) {
      RefuseTable("name offset of entry %u is outside the name table", entry);
    }
    if (static_cast<int64_t>(offset) > lastNul) {
      RefuseTable("name of entry %u has no terminating NUL", entry);
    }
  }
}

// In entry order, so that a parent's nextEntry is known to be bounded before
// its children are checked against it.
void ValidateDirectories(const unsigned char* table, uint32_t count) {
  for (uint32_t dir = 1; dir < count; ++dir) {
    if (!FstIsDirectoryAt(table, dir)) continue;
    uint32_t parent = FstSecondWordAt(table, dir);
    if (parent >= dir || !FstIsDirectoryAt(table, parent)) {
      RefuseTable("parent %u of directory %u is not a directory before it", parent, dir);
    }
    uint32_t next = FstThirdWordAt(table, dir);
    if (next <= dir) {
      RefuseTable("next entry %u of directory %u is not above it", next, dir);
    }
    if (next > FstThirdWordAt(table, parent)) {
      RefuseTable("next entry %u of directory %u reaches past its parent's", next, dir);
    }
  }
}

}  // namespace

void ValidateFstTable(const unsigned char* table, uint64_t length) {
  if (length < FST_ENTRY_SIZE) RefuseTable("shorter than one entry");
  if (!FstIsDirectoryAt(table, 0)) RefuseTable("root entry is not a directory");
  uint32_t count = FstThirdWordAt(table, 0);
  if (count == 0) RefuseTable("entry count is 0");
  if (count > MAX_ENTRY_COUNT) RefuseTable("entry count %u is too large", count);
  if (static_cast<uint64_t>(count) * FST_ENTRY_SIZE > length) {
    RefuseTable("%u entries do not fit in the bytes read", count);
  }
  ValidateNames(table, count, length);
  ValidateDirectories(table, count);
}

void OpenFstTable(FstTable* table, const unsigned char* bytes) {
  // Swapped out rather than cleared, so that their memory is released.
  std::vector<FstPlacement>().swap(table->placements);
  table->placementState = FST_INDEX_NOT_BUILT;
  std::vector<uint32_t>().swap(table->parents.parent);
  std::vector<uint32_t>().swap(table->parents.open);
  table->parents.unavailable = false;
  table->bytes = bytes;
  // An empty record leaves no stale count behind: every query finds nothing.
  table->entryCount = bytes != nullptr ? FstThirdWordAt(bytes, 0) : 0;
  table->names = bytes != nullptr ? FstEntryBytes(bytes, table->entryCount) : nullptr;
}

DiscTableWords DecodeDiscHeaderBlock(const unsigned char* block) {
  return DiscTableWords{LoadBE32(block + 4), LoadBE32(block + 8)};
}

bool FstIsDirectoryIn(const FstTable& table, uint32_t entry) {
  return FstIsDirectoryAt(table.bytes, entry);
}

uint32_t FstNextEntryIn(const FstTable& table, uint32_t entry) {
  return FstThirdWordAt(table.bytes, entry);
}

uint32_t FstFileLengthIn(const FstTable& table, uint32_t entry) {
  return FstThirdWordAt(table.bytes, entry);
}

uint32_t FstFilePositionIn(const FstTable& table, uint32_t entry) {
  return FstSecondWordAt(table.bytes, entry);
}

bool FstIsEmptyDirectoryIn(const FstTable& table, uint32_t entry) {
  return FstIsDirectoryIn(table, entry) && FstNextEntryIn(table, entry) == entry + 1;
}

uint64_t FstEntriesVisitedIn(const FstTable& table) {
  return table.entriesVisited;
}

void InstallFstTable(const unsigned char* table) {
  OpenFstTable(&installedTable, table);
}

const FstTable& InstalledFst() {
  return installedTable;
}

// The name callers read the installed count by; nothing writes through it.

void ResetFstState() {
  InstallFstTable(nullptr);
  installedCounter.count = 0;
}

bool FstIsDirectory(uint32_t entry) {
  return FstIsDirectoryIn(installedTable, entry);
}

uint32_t FstNextEntry(uint32_t entry) {
  return FstNextEntryIn(installedTable, entry);
}

uint64_t FstEntriesVisited() {
  return FstEntriesVisitedIn(installedTable);
}

// Placement queries.

namespace {

// A function object rather than a function, so that the sort of a large
// index compares inline instead of calling through a pointer.
struct PlacementBefore {
  bool operator()(const FstPlacement& a, const FstPlacement& b) const {
    if (a.position != b.position) return a.position < b.position;
    if (a.length != b.length) return a.length < b.length;
    return a.entry < b.entry;
  }
};

// False when memory for the index is short; queries then scan instead.
// One record per file entry: never larger than the table itself.
bool BuildPlacementIndex(FstTable* table) {
  uint32_t count = table->entryCount;
  size_t files = 0;
  table->entriesVisited += count;
  for (uint32_t entry = 0; entry < count; ++entry) {
    if (!FstIsDirectoryIn(*table, entry)) ++files;
  }
  try {
    table->placements.reserve(files);
  } catch (const std::bad_alloc&) {
    return false;
  }
  for (uint32_t entry = 0; entry < count; ++entry) {
    if (FstIsDirectoryIn(*table, entry)) continue;
    table->placements.push_back(
        {FstSecondWordAt(table->bytes, entry), FstThirdWordAt(table->bytes, entry), entry});
  }
  std::sort(table->placements.begin(), table->placements.end(), PlacementBefore());
  return true;
}

bool PlacementIndexReady(FstTable* table) {
  if (table->placementState == FST_INDEX_NOT_BUILT) {
    table->placementState = BuildPlacementIndex(table) ? FST_INDEX_READY : FST_INDEX_UNAVAILABLE;
  }
  return table->placementState == FST_INDEX_READY;
}

// Counts the query: a non-zero length restarts the zero-length count, a
// zero length advances it. Returns which match the query takes (1 for the
// first; for non-zero lengths always 1). 0 after the count wrapped: no
// table holds that many matches.
uint32_t CountPlacementQuery(FstZeroLengthCounter* counter, uint32_t length) {
  if (length != 0) {
    counter->count = 0;
    return 1;
  }
  return ++counter->count;
}

// The scan of the `count` entries of `table`, adding them to *visited.
int32_t ScanForPlacement(const unsigned char* table, uint32_t count, uint32_t position,
                         uint32_t length, uint32_t wanted, uint64_t* visited) {
  for (uint32_t entry = 0; entry < count; ++entry) {
    ++*visited;
    if (FstIsDirectoryAt(table, entry)) continue;
    if (FstSecondWordAt(table, entry) != position || FstThirdWordAt(table, entry) != length) {
      continue;
    }
    if (--wanted == 0) return static_cast<int32_t>(entry);
  }
  return -1;
}

int32_t LookUpPlacement(const std::vector<FstPlacement>& index, uint32_t position, uint32_t length,
                        uint32_t wanted) {
  if (wanted == 0) return -1;
  FstPlacement key = {position, length, 0};
  auto first = std::lower_bound(index.begin(), index.end(), key, PlacementBefore());
  if (static_cast<uint64_t>(index.end() - first) < wanted) return -1;
  const FstPlacement& match = first[wanted - 1];
  if (match.position != position || match.length != length) return -1;
  return static_cast<int32_t>(match.entry);
}

// A table other than the installed one, scanned with the installed counter;
// its visits count as the installed record's.
int32_t ScanOtherTable(const unsigned char* table, uint32_t position, uint32_t length) {
  uint32_t wanted = CountPlacementQuery(&installedCounter, length);
  if (table == nullptr) return -1;
  return ScanForPlacement(table, FstThirdWordAt(table, 0), position, length, wanted,
                          &installedTable.entriesVisited);
}

}  // namespace

int32_t FindFstFileIn(FstTable* table, FstZeroLengthCounter* counter, uint32_t position,
                      uint32_t length) {
  uint32_t wanted = CountPlacementQuery(counter, length);
  if (PlacementIndexReady(table))
    return LookUpPlacement(table->placements, position, length, wanted);
  return ScanForPlacement(table->bytes, table->entryCount, position, length, wanted,
                          &table->entriesVisited);
}

int32_t FindFstFileAtPositionIn(FstTable* table, uint32_t position) {
  if (PlacementIndexReady(table)) {
    FstPlacement key = {position, 0, 0};
    auto first = std::lower_bound(table->placements.begin(), table->placements.end(), key,
                                  PlacementBefore());
    if (first == table->placements.end() || first->position != position) return -1;
    return static_cast<int32_t>(first->entry);
  }
  int32_t found = -1;
  for (uint32_t entry = 0; entry < table->entryCount; ++entry) {
    ++table->entriesVisited;
    if (FstIsDirectoryAt(table->bytes, entry) || FstSecondWordAt(table->bytes, entry) != position) {
      continue;
    }
    if (found == -1 || FstThirdWordAt(table->bytes, entry) <
                           FstThirdWordAt(table->bytes, static_cast<uint32_t>(found))) {
      found = static_cast<int32_t>(entry);
    }
  }
  return found;
}

int32_t FindFstFileByPlacement(const unsigned char* table, uint32_t position, uint32_t length) {
  if (table != nullptr && table == installedTable.bytes) {
    return FindFstFileIn(&installedTable, &installedCounter, position, length);
  }
  return ScanOtherTable(table, position, length);
}

int32_t FindFstFileByPlacementLinear(const unsigned char* table, uint32_t position,
                                     uint32_t length) {
  return ScanOtherTable(table, position, length);
}

// The directory of a file.

namespace {

uint32_t ScanForParent(FstTable* table, uint32_t file) {
  for (uint32_t entry = file; entry-- > 0;) {
    ++table->entriesVisited;
    if (FstIsDirectoryIn(*table, entry) && FstNextEntryIn(*table, entry) > file) return entry;
  }
  return NO_PARENT;
}

// Pops the open directories that end at or before `end`.
void CloseDirsEndingBy(const FstTable& table, std::vector<uint32_t>* open, uint32_t end) {
  while (!open->empty() && FstNextEntryIn(table, open->back()) <= end) open->pop_back();
}

// Extends the parent index up to and including `entry`. A directory hides
// every earlier one that ends no later than it does, so the stack's top is
// the answer once the directories that end at or before the entry are
// popped; each entry is pushed and popped at most once, so the index costs
// one pass. False when memory for it is short; queries then scan instead.
bool ExtendParentIndex(FstTable* table, uint32_t entry) {
  std::vector<uint32_t>& parent = table->parents.parent;
  std::vector<uint32_t>& open = table->parents.open;
  try {
    while (parent.size() <= entry) {
      uint32_t next = static_cast<uint32_t>(parent.size());
      ++table->entriesVisited;
      CloseDirsEndingBy(*table, &open, next);
      parent.push_back(open.empty() ? NO_PARENT : open.back());
      if (!FstIsDirectoryIn(*table, next)) continue;
      CloseDirsEndingBy(*table, &open, FstNextEntryIn(*table, next));
      open.push_back(next);
    }
  } catch (const std::bad_alloc&) {
    table->parents.unavailable = true;
    std::vector<uint32_t>().swap(parent);
    std::vector<uint32_t>().swap(open);
    return false;
  }
  return true;
}

uint32_t IndexedParent(FstTable* table, uint32_t file) {
  if (table->parents.unavailable || !ExtendParentIndex(table, file)) {
    return ScanForParent(table, file);
  }
  return table->parents.parent[file];
}

[[noreturn]] void FailUnknownParent() {
  Fail("Unknown error\n");
}

// Parent queries take a file entry above the root; the index or the scan
// answers, and a file that no directory spans is an unknown error.
int32_t ParentDirIn(FstTable* table, int32_t fileEntry, bool indexed) {
  if (fileEntry <= 0 || static_cast<uint32_t>(fileEntry) >= table->entryCount) {
    FailUnknownParent();
  }
  uint32_t file = static_cast<uint32_t>(fileEntry);
  uint32_t parent = indexed ? IndexedParent(table, file) : ScanForParent(table, file);
  if (parent == NO_PARENT) FailUnknownParent();
  return static_cast<int32_t>(parent);
}

}  // namespace

int32_t FindFstParentDir(int32_t fileEntry) {
  return ParentDirIn(&installedTable, fileEntry, true);
}

int32_t FindFstParentDirLinear(int32_t fileEntry) {
  return ParentDirIn(&installedTable, fileEntry, false);
}

// Entry to path.

uint32_t CopyFstName(char* destination, const char* source, uint32_t n) {
  uint32_t copied = 0;
  while (copied < n && source[copied] != '\0') {
    destination[copied] = source[copied];
    ++copied;
  }
  return copied;
}

namespace {

// Places '/' and the name of every directory from the root's child down to
// dir, cut at maxlen bytes, without a terminator; returns the bytes placed.
// Parent links lead upwards only, so the chain is walked from dir and its
// upper part gathered in batches into a fixed array, which is then emitted
// top-down. No recursion, no allocation; the batches stop as soon as maxlen
// bytes are placed.
uint32_t BuildDirPathIn(const FstTable& table, uint32_t dir, char* buffer, uint32_t maxlen) {
  uint32_t depth = DirDepth(table, dir);
  uint32_t emitted = 0;  // ancestors already placed, counted from the top
  uint32_t placed = 0;
  uint32_t batch[PATH_BATCH];
  while (emitted < depth) {
    uint32_t batchSize = depth - emitted < PATH_BATCH ? depth - emitted : PATH_BATCH;
    uint32_t lowest = AncestorAbove(table, dir, depth - emitted - batchSize);
    for (uint32_t i = batchSize; i > 0; --i) {
      batch[i - 1] = lowest;
      lowest = UpperDir(table, lowest);
    }
    for (uint32_t i = 0; i < batchSize; ++i) {
      if (placed == maxlen) return maxlen;
      buffer[placed++] = '/';
      placed += CopyFstName(buffer + placed, FstNameOf(table, batch[i]), maxlen - placed);
    }
    emitted += batchSize;
  }
  return placed;
}

void DirectoryPath(const FstTable& table, uint32_t dir, char* buffer, uint32_t maxlen) {
  uint32_t length = BuildDirPathIn(table, dir, buffer, maxlen);
  if (static_cast<uint64_t>(length) + 2 > maxlen) FailPathTooLong();
  buffer[length] = '/';
  buffer[length + 1] = '\0';
}

void FilePath(FstTable* table, int32_t file, char* buffer, uint32_t maxlen) {
  uint32_t dir = static_cast<uint32_t>(ParentDirIn(table, file, true));
  uint32_t length = BuildDirPathIn(*table, dir, buffer, maxlen);
  const char* name = FstNameOf(*table, static_cast<uint32_t>(file));
  // Capped at maxlen: a longer name fails the same test, and is not read whole.
  uint32_t nameLength = BoundedNameLength(name, maxlen);
  if (static_cast<uint64_t>(length) + nameLength + 2 > maxlen) FailPathTooLong();
  buffer[length] = '/';
  CopyFstName(buffer + length + 1, name, nameLength);
  buffer[length + 1 + nameLength] = '\0';
}

}  // namespace

uint32_t BuildFstDirPath(int32_t dirEntry, char* buffer, uint32_t maxlen) {
  return BuildDirPathIn(installedTable, static_cast<uint32_t>(dirEntry), buffer, maxlen);
}

int FstEntryPath(FstTable* table, int32_t entry, char* buffer, uint32_t maxlen) {
  if (entry < 0 || static_cast<uint32_t>(entry) >= table->entryCount) {
    Fail("DVDConvertEntrynumToPath: specified entrynum(%d) is out of range  ", entry);
  }
  if (maxlen < 2) {
    ReportError("DVDConvertEntrynumToPath: maxlen should be more than 1 (%d is specified)",
                static_cast<int>(maxlen));
  }
  if (FstIsDirectoryIn(*table, static_cast<uint32_t>(entry))) {
    DirectoryPath(*table, static_cast<uint32_t>(entry), buffer, maxlen);
  } else {
    FilePath(table, entry, buffer, maxlen);
  }
  return 1;
}

int DVDConvertEntrynumToPath(int32_t entry, char* buffer, uint32_t maxlen) {
  return FstEntryPath(&installedTable, entry, buffer, maxlen);
}
