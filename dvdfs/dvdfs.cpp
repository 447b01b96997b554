#include "dvdfs/dvdfs.h"

#include <algorithm>
#include <cstdarg>
#include <cstddef>
#include <cstdio>
#include <new>
#include <vector>

#include "base/base.h"
#include "base/coding.h"

uint32_t fstEntryCount = 0;

namespace {

const unsigned char* fstTable = nullptr;
const unsigned char* fstNameTable = nullptr;
// Unsigned so that an absurd number of queries wraps instead of overflowing.
uint32_t zeroLengthCounter = 0;

// Every file entry of the installed table by placement, sorted by position,
// length and entry number, so that the files sharing a placement lie
// together in entry order. Built at the first placement query on the
// installed table (a table installed without validation is then read no
// further than a scan would read it), dropped when another is installed.
// One record per file entry: never larger than the table itself.
struct Placement {
  uint32_t position;
  uint32_t length;
  uint32_t entry;
};
std::vector<Placement> placementIndex;
enum PlacementIndexState { INDEX_NOT_BUILT, INDEX_READY, INDEX_UNAVAILABLE };
PlacementIndexState placementIndexState = INDEX_NOT_BUILT;

// The directory that holds each entry, as FindFstParentDir answers it: the
// nearest directory before the entry whose nextEntry lies beyond it. Filled
// in entry order, only as far as the highest entry asked for (so it reads no
// further into the table than the scan would), with the directories that
// may still hold a later entry kept on a stack: a directory hides every
// earlier one that ends no later than it does, so the stack's top is the
// answer once the directories that end at or before the entry are popped.
// Each entry is pushed and popped at most once: linear in the table.
struct ParentIndex {
  std::vector<uint32_t> parent;  // parent[e] for e < parent.size(); 0 at entry 0
  std::vector<uint32_t> open;    // directories whose nextEntry may lie beyond
  bool unavailable;
};
ParentIndex parentIndex = {{}, {}, false};
// Table entries the parent and placement queries have read, for checks that
// their work stays linear in the table.
uint64_t entriesVisited = 0;

const uint32_t NO_PARENT = 0xFFFFFFFFu;

const uint32_t NAME_OFFSET_MASK = 0x00FFFFFF;
const uint32_t MAX_ENTRY_COUNT = 0x7FFFFFFF;  // entry numbers travel as int32_t

// Ancestors gathered per pass when a directory path is built top-down. Any
// path that fits in maxlen bytes has at most maxlen directories, so the paths
// of a run (maxlen at most 1017) take one pass.
const uint32_t PATH_BATCH = 1024;

// Field decoding, on any table.

const unsigned char* EntryBytes(const unsigned char* table, uint32_t entry) {
  return table + static_cast<size_t>(entry) * FST_ENTRY_SIZE;
}

bool IsDirectoryIn(const unsigned char* table, uint32_t entry) {
  return EntryBytes(table, entry)[0] != 0;
}

uint32_t NameOffsetIn(const unsigned char* table, uint32_t entry) {
  return LoadBE32(EntryBytes(table, entry)) & NAME_OFFSET_MASK;
}

// Bytes 4-7: parentEntry of a directory, filePosition of a file.
uint32_t SecondWordIn(const unsigned char* table, uint32_t entry) {
  return LoadBE32(EntryBytes(table, entry) + 4);
}

// Bytes 8-11: nextEntry of a directory, fileLength of a file.
uint32_t ThirdWordIn(const unsigned char* table, uint32_t entry) {
  return LoadBE32(EntryBytes(table, entry) + 8);
}

// Field decoding on the installed table.

uint32_t ParentEntryOf(uint32_t dir) {
  return SecondWordIn(fstTable, dir);
}
uint32_t FilePositionOf(uint32_t file) {
  return SecondWordIn(fstTable, file);
}
uint32_t FileLengthOf(uint32_t file) {
  return ThirdWordIn(fstTable, file);
}

const char* NameOf(uint32_t entry) {
  return reinterpret_cast<const char*>(fstNameTable + NameOffsetIn(fstTable, entry));
}

bool IsSeparator(char c) {
  return c == '/' || c == '\\';
}

// Only A to Z fold; every other byte compares unchanged.
unsigned char FoldCase(char c) {
  unsigned char u = static_cast<unsigned char>(c);
  return (u >= 'A' && u <= 'Z') ? static_cast<unsigned char>(u - 'A' + 'a') : u;
}

// The length of a NUL-terminated name, but at most limit.
uint32_t BoundedNameLength(const char* name, uint32_t limit) {
  uint32_t length = 0;
  while (length < limit && name[length] != '\0') ++length;
  return length;
}

// The directory above dir when building a path. Parent links of a valid
// table point strictly backwards; anything else ends the walk as if at the
// root, so the walk always ends within dir steps.
uint32_t UpperDir(uint32_t dir) {
  uint32_t parent = ParentEntryOf(dir);
  return parent < dir ? parent : 0;
}

uint32_t DirDepth(uint32_t dir) {
  uint32_t depth = 0;
  while (dir != 0) {
    dir = UpperDir(dir);
    ++depth;
  }
  return depth;
}

uint32_t AncestorAbove(uint32_t dir, uint32_t steps) {
  while (steps-- > 0) dir = UpperDir(dir);
  return dir;
}

// The target of "..". The root's parentEntry is never checked by validation
// (only this reads it), so a root parent that is not a directory of the table
// stays at the root.
uint32_t ParentForLookup(uint32_t dir) {
  uint32_t parent = ParentEntryOf(dir);
  return (parent < fstEntryCount && IsDirectoryIn(fstTable, parent)) ? parent : 0;
}

// The direct child of dir whose name matches the component at path, or -1.
// Files are candidates only when the component is the path's last.
int32_t FindChild(uint32_t dir, const char* path, bool followedBySeparator) {
  uint32_t end = FstNextEntry(dir);
  uint32_t child = dir + 1;
  while (child < end) {
    bool isDirectory = IsDirectoryIn(fstTable, child);
    if ((isDirectory || !followedBySeparator) && CompareFstName(path, NameOf(child))) {
      return static_cast<int32_t>(child);
    }
    child = isDirectory ? FstNextEntry(child) : child + 1;
  }
  return -1;
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
    uint32_t offset = NameOffsetIn(table, entry);
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
    if (!IsDirectoryIn(table, dir)) continue;
    uint32_t parent = SecondWordIn(table, dir);
    if (parent >= dir || !IsDirectoryIn(table, parent)) {
      RefuseTable("parent %u of directory %u is not a directory before it", parent, dir);
    }
    uint32_t next = ThirdWordIn(table, dir);
    if (next <= dir) {
      RefuseTable("next entry %u of directory %u is not above it", next, dir);
    }
    if (next > ThirdWordIn(table, parent)) {
      RefuseTable("next entry %u of directory %u reaches past its parent's", next, dir);
    }
  }
}

}  // namespace

void ValidateFstTable(const unsigned char* table, uint64_t length) {
  if (length < FST_ENTRY_SIZE) RefuseTable("shorter than one entry");
  if (!IsDirectoryIn(table, 0)) RefuseTable("root entry is not a directory");
  uint32_t count = ThirdWordIn(table, 0);
  if (count == 0) RefuseTable("entry count is 0");
  if (count > MAX_ENTRY_COUNT) RefuseTable("entry count %u is too large", count);
  if (static_cast<uint64_t>(count) * FST_ENTRY_SIZE > length) {
    RefuseTable("%u entries do not fit in the bytes read", count);
  }
  ValidateNames(table, count, length);
  ValidateDirectories(table, count);
}

void InstallFstTable(const unsigned char* table) {
  std::vector<Placement>().swap(placementIndex);
  std::vector<uint32_t>().swap(parentIndex.parent);
  std::vector<uint32_t>().swap(parentIndex.open);
  parentIndex.unavailable = false;
  placementIndexState = INDEX_NOT_BUILT;
  fstTable = table;
  if (table == nullptr) {
    // Leave no stale count behind: every query then finds nothing.
    fstEntryCount = 0;
    fstNameTable = nullptr;
    return;
  }
  fstEntryCount = ThirdWordIn(table, 0);
  fstNameTable = EntryBytes(table, fstEntryCount);
}

void ResetFstState() {
  InstallFstTable(nullptr);
  zeroLengthCounter = 0;
}

bool FstIsDirectory(uint32_t entry) {
  return IsDirectoryIn(fstTable, entry);
}

uint32_t FstNextEntry(uint32_t entry) {
  return ThirdWordIn(fstTable, entry);
}

namespace {

bool PlacementBefore(const Placement& a, const Placement& b) {
  if (a.position != b.position) return a.position < b.position;
  if (a.length != b.length) return a.length < b.length;
  return a.entry < b.entry;
}

// False when memory for the index is short; queries then scan instead.
bool BuildPlacementIndex() {
  uint32_t count = ThirdWordIn(fstTable, 0);
  size_t files = 0;
  entriesVisited += count;
  for (uint32_t entry = 0; entry < count; ++entry) {
    if (!IsDirectoryIn(fstTable, entry)) ++files;
  }
  try {
    placementIndex.reserve(files);
  } catch (const std::bad_alloc&) {
    return false;
  }
  for (uint32_t entry = 0; entry < count; ++entry) {
    if (IsDirectoryIn(fstTable, entry)) continue;
    placementIndex.push_back({SecondWordIn(fstTable, entry), ThirdWordIn(fstTable, entry), entry});
  }
  std::sort(placementIndex.begin(), placementIndex.end(), PlacementBefore);
  return true;
}

// Counts the query: a non-zero length restarts the zero-length count, a
// zero length advances it. Returns which match the query takes (1 for the
// first; for non-zero lengths always 1). 0 after the count wrapped: no
// table holds that many matches.
uint32_t CountPlacementQuery(uint32_t length) {
  if (length != 0) {
    zeroLengthCounter = 0;
    return 1;
  }
  return ++zeroLengthCounter;
}

int32_t ScanForPlacement(const unsigned char* table, uint32_t position, uint32_t length,
                         uint32_t wanted) {
  uint32_t count = ThirdWordIn(table, 0);
  for (uint32_t entry = 0; entry < count; ++entry) {
    ++entriesVisited;
    if (IsDirectoryIn(table, entry)) continue;
    if (SecondWordIn(table, entry) != position || ThirdWordIn(table, entry) != length) continue;
    if (--wanted == 0) return static_cast<int32_t>(entry);
  }
  return -1;
}

int32_t LookUpPlacement(uint32_t position, uint32_t length, uint32_t wanted) {
  if (wanted == 0) return -1;
  Placement key = {position, length, 0};
  auto first = std::lower_bound(placementIndex.begin(), placementIndex.end(), key, PlacementBefore);
  if (static_cast<uint64_t>(placementIndex.end() - first) < wanted) return -1;
  const Placement& match = first[wanted - 1];
  if (match.position != position || match.length != length) return -1;
  return static_cast<int32_t>(match.entry);
}

bool PlacementIndexReady() {
  if (placementIndexState == INDEX_NOT_BUILT) {
    placementIndexState = BuildPlacementIndex() ? INDEX_READY : INDEX_UNAVAILABLE;
  }
  return placementIndexState == INDEX_READY;
}

}  // namespace

int32_t FindFstFileByPlacement(const unsigned char* table, uint32_t position, uint32_t length) {
  uint32_t wanted = CountPlacementQuery(length);
  if (table != nullptr && table == fstTable && PlacementIndexReady()) {
    return LookUpPlacement(position, length, wanted);
  }
  return ScanForPlacement(table, position, length, wanted);
}

int32_t FindFstFileByPlacementLinear(const unsigned char* table, uint32_t position,
                                     uint32_t length) {
  return ScanForPlacement(table, position, length, CountPlacementQuery(length));
}

uint32_t CopyFstName(char* destination, const char* source, uint32_t n) {
  uint32_t copied = 0;
  while (copied < n && source[copied] != '\0') {
    destination[copied] = source[copied];
    ++copied;
  }
  return copied;
}

// Places '/' and the name of every directory from the root's child down to
// dirEntry, cut at maxlen bytes, without a terminator; returns the bytes
// placed. Parent links lead upwards only, so the chain is walked from dirEntry
// and its upper part gathered in batches into a fixed array, which is then
// emitted top-down. No recursion, no allocation; the batches stop as soon as
// maxlen bytes are placed.
uint32_t BuildFstDirPath(int32_t dirEntry, char* buffer, uint32_t maxlen) {
  uint32_t dir = static_cast<uint32_t>(dirEntry);
  uint32_t depth = DirDepth(dir);
  uint32_t emitted = 0;  // ancestors already placed, counted from the top
  uint32_t placed = 0;
  uint32_t batch[PATH_BATCH];
  while (emitted < depth) {
    uint32_t batchSize = depth - emitted < PATH_BATCH ? depth - emitted : PATH_BATCH;
    uint32_t lowest = AncestorAbove(dir, depth - emitted - batchSize);
    for (uint32_t i = batchSize; i > 0; --i) {
      batch[i - 1] = lowest;
      lowest = UpperDir(lowest);
    }
    for (uint32_t i = 0; i < batchSize; ++i) {
      if (placed == maxlen) return maxlen;
      buffer[placed++] = '/';
      placed += CopyFstName(buffer + placed, NameOf(batch[i]), maxlen - placed);
    }
    emitted += batchSize;
  }
  return placed;
}

namespace {

uint32_t ScanForParent(uint32_t file) {
  for (uint32_t entry = file; entry-- > 0;) {
    ++entriesVisited;
    if (FstIsDirectory(entry) && FstNextEntry(entry) > file) return entry;
  }
  return NO_PARENT;
}

// Extends the parent index up to and including `entry`. False when memory
// for it is short; queries then scan instead.
bool ExtendParentIndex(uint32_t entry) {
  std::vector<uint32_t>& parent = parentIndex.parent;
  std::vector<uint32_t>& open = parentIndex.open;
  try {
    while (parent.size() <= entry) {
      uint32_t next = static_cast<uint32_t>(parent.size());
      ++entriesVisited;
      while (!open.empty() && FstNextEntry(open.back()) <= next) open.pop_back();
      parent.push_back(open.empty() ? NO_PARENT : open.back());
      if (!FstIsDirectory(next)) continue;
      uint32_t end = FstNextEntry(next);
      while (!open.empty() && FstNextEntry(open.back()) <= end) open.pop_back();
      open.push_back(next);
    }
  } catch (const std::bad_alloc&) {
    parentIndex.unavailable = true;
    std::vector<uint32_t>().swap(parent);
    std::vector<uint32_t>().swap(open);
    return false;
  }
  return true;
}

uint32_t IndexedParent(uint32_t file) {
  if (parentIndex.unavailable || !ExtendParentIndex(file)) return ScanForParent(file);
  return parentIndex.parent[file];
}

[[noreturn]] void FailUnknownParent() {
  Fail("Unknown error\n");
}

bool IsParentQuery(int32_t fileEntry) {
  return fileEntry > 0 && static_cast<uint32_t>(fileEntry) < fstEntryCount;
}

}  // namespace

int32_t FindFstParentDir(int32_t fileEntry) {
  if (!IsParentQuery(fileEntry)) FailUnknownParent();
  uint32_t parent = IndexedParent(static_cast<uint32_t>(fileEntry));
  if (parent == NO_PARENT) FailUnknownParent();
  return static_cast<int32_t>(parent);
}

int32_t FindFstParentDirLinear(int32_t fileEntry) {
  if (!IsParentQuery(fileEntry)) FailUnknownParent();
  uint32_t parent = ScanForParent(static_cast<uint32_t>(fileEntry));
  if (parent == NO_PARENT) FailUnknownParent();
  return static_cast<int32_t>(parent);
}

uint64_t FstEntriesVisited() {
  return entriesVisited;
}

int DVDConvertEntrynumToPath(int32_t entry, char* buffer, uint32_t maxlen) {
  if (entry < 0 || static_cast<uint32_t>(entry) >= fstEntryCount) {
    Fail("DVDConvertEntrynumToPath: specified entrynum(%d) is out of range  ", entry);
  }
  if (maxlen < 2) {
    ReportError("DVDConvertEntrynumToPath: maxlen should be more than 1 (%d is specified)",
                static_cast<int>(maxlen));
  }
  if (FstIsDirectory(static_cast<uint32_t>(entry))) {
    uint32_t length = BuildFstDirPath(entry, buffer, maxlen);
    if (static_cast<uint64_t>(length) + 2 > maxlen) FailPathTooLong();
    buffer[length] = '/';
    buffer[length + 1] = '\0';
    return 1;
  }
  uint32_t length = BuildFstDirPath(FindFstParentDir(entry), buffer, maxlen);
  const char* name = NameOf(static_cast<uint32_t>(entry));
  // Capped at maxlen: a longer name fails the same test, and is not read whole.
  uint32_t nameLength = BoundedNameLength(name, maxlen);
  if (static_cast<uint64_t>(length) + nameLength + 2 > maxlen) FailPathTooLong();
  buffer[length] = '/';
  CopyFstName(buffer + length + 1, name, nameLength);
  buffer[length + 1 + nameLength] = '\0';
  return 1;
}

int CompareFstName(const char* path, const char* name) {
  for (; *name != '\0'; ++name, ++path) {
    if (FoldCase(*path) != FoldCase(*name)) return 0;
  }
  return (*path == '\0' || IsSeparator(*path)) ? 1 : 0;
}

int32_t DVDConvertPathToEntrynum(const char* path) {
  if (path == nullptr) Fail("DVDConvertPathToEntrynum(): null pointer is specified  ");
  if (fstTable == nullptr) return -1;
  // Every lookup starts at the root, with or without a leading separator.
  uint32_t dir = 0;
  const char* p = path;
  for (;;) {
    if (*p == '\0') return static_cast<int32_t>(dir);
    if (IsSeparator(*p)) {
      // A separator that does not end a component restarts at the root.
      dir = 0;
      ++p;
      continue;
    }
    if (p[0] == '.' && p[1] == '.') {
      if (IsSeparator(p[2])) {
        dir = ParentForLookup(dir);
        p += 3;
        continue;
      }
      if (p[2] == '\0') return static_cast<int32_t>(ParentForLookup(dir));
    } else if (p[0] == '.') {
      if (IsSeparator(p[1])) {
        p += 2;
        continue;
      }
      if (p[1] == '\0') return static_cast<int32_t>(dir);
    }
    const char* end = p;
    while (*end != '\0' && !IsSeparator(*end)) ++end;
    bool followedBySeparator = *end != '\0';
    int32_t match = FindChild(dir, p, followedBySeparator);
    if (match < 0 || !followedBySeparator) return match;
    dir = static_cast<uint32_t>(match);
    p = end + 1;
  }
}

int DVDOpen(const char* path, FstFileInfo* info) {
  if (path == nullptr) Fail("DVDOpen(): null pointer is specified to file name  ");
  if (info == nullptr) Fail("DVDOpen(): null pointer is specified to file info address  ");
  int32_t entry = DVDConvertPathToEntrynum(path);
  if (entry == -1) {
    ReportError("Warning: DVDOpen(): file '%s' was not found.\n", path);
    return 0;
  }
  uint32_t file = static_cast<uint32_t>(entry);
  if (FstIsDirectory(file)) Fail("DVDOpen(): directory '%s' is specified as a filename  ", path);
  info->startPosition = FilePositionOf(file);
  info->length = FileLengthOf(file);
  info->leading[3] = 0;
  info->trailing = 0;
  return 1;
}

int DVDOpendir(const char* path, FstDirCursor* cursor) {
  if (path == nullptr) Fail("DVDOpendir(): null pointer is specified to directory name  ");
  int32_t entry = DVDConvertPathToEntrynum(path);
  if (entry == -1) return 0;
  uint32_t dir = static_cast<uint32_t>(entry);
  if (!FstIsDirectory(dir)) {
    Fail("DVDOpendir(): file '%s' is specified as a directory name  ", path);
  }
  cursor->dirEntry = dir;
  cursor->cursor = dir + 1;
  cursor->endEntry = FstNextEntry(dir);
  return 1;
}

int ReadFstDirEntry(FstDirCursor* cursor, FstDirItem* item) {
  uint32_t child = cursor->cursor;
  // The cursor is the caller's record: never trust it beyond the table.
  if (child <= cursor->dirEntry || child >= cursor->endEntry || child >= fstEntryCount) return 0;
  bool isDirectory = FstIsDirectory(child);
  item->entryNumber = child;
  item->isDirectory = isDirectory ? 1 : 0;
  item->name = NameOf(child);
  cursor->cursor = isDirectory ? FstNextEntry(child) : child + 1;
  return 1;
}
