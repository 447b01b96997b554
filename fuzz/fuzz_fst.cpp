// File-system-table validation on arbitrary bytes; a table that passes is
// installed and put through every query, whose results are checked against
// what the table says, and against a record of its own opened over the same
// bytes and queried in between. Queries that end the run (a path too long for its
// buffer, a directory opened as a file) are caught and go on with the next.
#include <algorithm>
#include <cstring>
#include <iterator>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "base/coding.h"
#include "base/base.h"
#include "dvdfs/dvdfs.h"
#include "fuzz/fuzz_support.h"

namespace {

// Buffer sizes for entry-to-path conversion: the degenerate ones, a few
// small ones, those Unpack mode uses (1024 - 7 for a file, 260 minus a
// prefix for an empty directory), and one that holds a path of more than
// 1024 directories.
const uint32_t MAXLENS[] = {0, 1, 2, 3, 5, 16, 64, 249, 1017, 4096};
const size_t MAX_INPUT_PATHS = 64;
const size_t MAX_INPUT_PATH_LENGTH = 2048;
const size_t MAX_INDEX_QUERIES = 256;

// The table as the fuzzer handed it; its buffer is exactly `size` bytes, so
// any read past it is caught.
struct Table {
  const uint8_t* data;
  size_t size;
  uint32_t count;
  FstTable* record;  // over the same bytes, apart from the installed one

  const uint8_t* Entry(uint32_t i) const { return data + static_cast<size_t>(i) * FST_ENTRY_SIZE; }
  bool IsDir(uint32_t i) const { return Entry(i)[0] != 0; }
  uint32_t Second(uint32_t i) const { return LoadBE32(Entry(i) + 4); }
  uint32_t Third(uint32_t i) const { return LoadBE32(Entry(i) + 8); }
  const char* NamesStart() const { return reinterpret_cast<const char*>(Entry(count)); }
  const char* NamesEnd() const { return reinterpret_cast<const char*>(data + size); }
  const char* Name(uint32_t i) const { return NamesStart() + (LoadBE32(Entry(i)) & 0xFFFFFF); }
};

bool Throws(void (*call)()) {
  try {
    call();
  } catch (const FatalExit&) {
    return true;
  }
  return false;
}

void CheckNullArgumentsAreRefused() {
  if (!Throws([] { DVDConvertPathToEntrynum(nullptr); })) {
    FuzzFailure("DVDConvertPathToEntrynum(nullptr) returned");
  }
  if (!Throws([] { DVDOpen(nullptr, nullptr); })) FuzzFailure("DVDOpen(nullptr) returned");
  if (!Throws([] {
        FstFileInfo* none = nullptr;
        DVDOpen("/", none);
      })) {
    FuzzFailure("DVDOpen without a record returned");
  }
  if (!Throws([] { DVDOpendir(nullptr, nullptr); })) FuzzFailure("DVDOpendir(nullptr) returned");
}

// A non-zero length finds the first file with that placement; zero lengths
// are told apart by how many zero-length queries came in a row.
void CheckPlacementLookups(const Table& t) {
  for (uint32_t i = 0; i < t.count; ++i) {
    if (t.IsDir(i)) continue;
    uint32_t position = t.Second(i), length = t.Third(i);
    if (length != 0) {
      int32_t found = FindFstFileByPlacement(t.data, position, length);
      uint32_t first = 0;
      while (t.IsDir(first) || t.Second(first) != position || t.Third(first) != length) ++first;
      if (found != static_cast<int32_t>(first)) {
        FuzzFailure("placement of entry %u found %d, not %u", i, found, first);
      }
      continue;
    }
    std::vector<uint32_t> zeroFiles;
    for (uint32_t j = 0; j < t.count; ++j) {
      if (!t.IsDir(j) && t.Second(j) == position && t.Third(j) == 0) zeroFiles.push_back(j);
    }
    if (zeroFiles.front() != i) continue;         // each position once
    FindFstFileByPlacement(t.data, position, 1);  // restarts the count
    for (size_t k = 0; k <= zeroFiles.size(); ++k) {
      int32_t found = FindFstFileByPlacement(t.data, position, 0);
      int32_t expected = k < zeroFiles.size() ? static_cast<int32_t>(zeroFiles[k]) : -1;
      if (found != expected) {
        FuzzFailure("zero-length query %zu at 0x%x found %d, not %d", k + 1, position, found,
                    expected);
      }
    }
  }
}

// On the installed table placement queries go through an index; it must
// answer every sequence of queries as the scan of the whole table does,
// zero-length counting included.
void CheckIndexAgainstScan(const Table& t) {
  std::vector<std::pair<uint32_t, uint32_t>> queries;
  for (uint32_t i = 0; i < t.count && queries.size() < MAX_INDEX_QUERIES; ++i) {
    if (t.IsDir(i)) continue;
    queries.push_back({t.Second(i), t.Third(i)});
    queries.push_back({t.Second(i), 0});
    queries.push_back({t.Second(i), 0});
    queries.push_back({t.Second(i) + 1, t.Third(i)});
  }
  // Placements the input picks: word pairs from its end.
  for (size_t back = 8; back <= 64 && back <= t.size; back += 8) {
    queries.push_back({LoadBE32(t.data + t.size - back), LoadBE32(t.data + t.size - back + 4)});
  }
  std::vector<int32_t> indexed, scanned, own;
  FstZeroLengthCounter counter = {0};
  FindFstFileByPlacementLinear(t.data, 0, 1);  // restarts the zero-length count
  for (const auto& q : queries) {
    indexed.push_back(FindFstFileByPlacement(t.data, q.first, q.second));
    own.push_back(FindFstFileIn(t.record, &counter, q.first, q.second));
  }
  FindFstFileByPlacementLinear(t.data, 0, 1);
  for (const auto& q : queries) {
    scanned.push_back(FindFstFileByPlacementLinear(t.data, q.first, q.second));
  }
  for (size_t k = 0; k < queries.size(); ++k) {
    if (indexed[k] != scanned[k] || own[k] != scanned[k]) {
      FuzzFailure("query %zu (0x%x, %u): the index gives %d, the scan %d, a record %d", k,
                  queries[k].first, queries[k].second, indexed[k], scanned[k], own[k]);
    }
  }
}

void CheckParentDir(uint32_t f, const std::vector<uint32_t>& spanning) {
  int32_t parent = FindFstParentDir(static_cast<int32_t>(f));
  int32_t scanned = FindFstParentDirLinear(static_cast<int32_t>(f));
  if (parent != static_cast<int32_t>(spanning[f]) || scanned != parent) {
    FuzzFailure("parent of file %u is %d (scan %d), not %u", f, parent, scanned, spanning[f]);
  }
}

// The parent index grows as higher entries are asked for: asked from the
// top down it is built at once, from the bottom up step by step, and with
// the input's own words at random. Each must answer as the scan does.
void CheckParentDirs(const Table& t, const std::vector<uint32_t>& spanning) {
  for (uint32_t f = t.count; f-- > 1;) {
    if (!t.IsDir(f)) CheckParentDir(f, spanning);
  }
  InstallFstTable(t.data);
  for (uint32_t f = 1; f < t.count; ++f) {
    if (!t.IsDir(f)) CheckParentDir(f, spanning);
  }
  InstallFstTable(t.data);
  for (size_t back = 4; back <= 64 && back <= t.size; back += 4) {
    uint32_t f = LoadBE32(t.data + t.size - back) % t.count;
    if (f != 0 && !t.IsDir(f)) CheckParentDir(f, spanning);
  }
}

// The path of `entry` in a buffer of exactly maxlen bytes, from the
// installed table or from `record`; false when the conversion ended the run.
bool PathOf(uint32_t entry, uint32_t maxlen, std::string* path, FstTable* record = nullptr) {
  std::unique_ptr<char[]> buffer(new char[maxlen]);
  try {
    if (record != nullptr) {
      FstEntryPath(record, static_cast<int32_t>(entry), buffer.get(), maxlen);
    } else {
      DVDConvertEntrynumToPath(static_cast<int32_t>(entry), buffer.get(), maxlen);
    }
  } catch (const FatalExit&) {
    return false;
  }
  const void* end = std::memchr(buffer.get(), '\0', maxlen);
  if (end == nullptr)
    FuzzFailure("path of entry %u is not terminated within %u bytes", entry, maxlen);
  path->assign(buffer.get());
  return true;
}

// Converts every entry with every buffer size. A path that fits a small
// buffer must be the same in a larger one; returns the largest-buffer
// paths, empty where the conversion failed.
std::vector<std::string> CheckEntryPaths(const Table& t) {
  std::vector<std::string> paths(t.count);
  for (uint32_t i = 0; i < t.count; ++i) {
    std::string largest;
    bool fitsLargest = PathOf(i, MAXLENS[std::size(MAXLENS) - 1], &largest);
    std::string recorded;
    if (PathOf(i, MAXLENS[std::size(MAXLENS) - 1], &recorded, t.record) != fitsLargest ||
        recorded != largest) {
      FuzzFailure("path of entry %u differs between the installed table and a record", i);
    }
    if (fitsLargest) {
      if (largest.empty() || largest[0] != '/') FuzzFailure("path of entry %u is not absolute", i);
      if (t.IsDir(i) && largest.back() != '/') FuzzFailure("directory %u's path lacks its /", i);
      paths[i] = largest;
    }
    for (size_t m = 0; m + 1 < std::size(MAXLENS); ++m) {
      std::string path;
      if (!PathOf(i, MAXLENS[m], &path)) continue;
      if (!fitsLargest || path != largest) {
        FuzzFailure("path of entry %u in %u bytes differs from the one in %u", i, MAXLENS[m],
                    MAXLENS[std::size(MAXLENS) - 1]);
      }
    }
  }
  uint32_t count = t.count;
  char buffer[16];
  try {
    DVDConvertEntrynumToPath(-1, buffer, sizeof buffer);
    FuzzFailure("entry -1 has a path");
  } catch (const FatalExit&) {
  }
  try {
    DVDConvertEntrynumToPath(static_cast<int32_t>(count), buffer, sizeof buffer);
    FuzzFailure("entry %u (the count) has a path", count);
  } catch (const FatalExit&) {
  }
  return paths;
}

bool HasSeparator(const char* name) {
  return std::strpbrk(name, "/\\") != nullptr;
}

// True when the lookup must find an entry spelled like this name: it is a
// plain component (not empty, no separator, not "." or "..").
bool IsPlainName(const char* name) {
  if (name[0] == '\0' || std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0) return false;
  return !HasSeparator(name);
}

// For every entry, the nearest directory before it whose range spans it:
// one pass with a stack of the directories still open.
std::vector<uint32_t> SpanningDirs(const Table& t) {
  std::vector<uint32_t> spanning(t.count, 0);
  std::vector<uint32_t> open;
  for (uint32_t e = 0; e < t.count; ++e) {
    while (!open.empty() && t.Third(open.back()) <= e) open.pop_back();
    if (!open.empty()) spanning[e] = open.back();
    if (t.IsDir(e)) open.push_back(e);
  }
  return spanning;
}

// Validation keeps tables safe to walk, not consistent: a directory may name
// a parent other than the one whose range holds it. Paths (built from parent
// links) and lookups (which walk ranges) agree only when every parent link
// matches the ranges.
bool ParentLinksMatchRanges(const Table& t, const std::vector<uint32_t>& spanning) {
  for (uint32_t d = 1; d < t.count; ++d) {
    if (t.IsDir(d) && t.Second(d) != spanning[d]) return false;
  }
  return true;
}

std::string Folded(const char* name) {
  std::string folded = name;
  for (char& c : folded) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return folded;
}

// Entries that a lookup of their path must find: every component on the way
// is a plain name, no other entry in the same directory has the same name
// once case is folded (a lookup takes the first match and never backs up),
// and none there has a separator in its name (names are compared whole, so
// "x/" matches the path "x/" across its separator).
std::vector<bool> UniquelyNamed(const Table& t, const std::vector<uint32_t>& spanning) {
  std::map<std::pair<uint32_t, std::string>, int> siblings;
  std::vector<bool> separatorInside(t.count, false);
  for (uint32_t e = 1; e < t.count; ++e) {
    ++siblings[{spanning[e], Folded(t.Name(e))}];
    if (HasSeparator(t.Name(e))) separatorInside[spanning[e]] = true;
  }
  std::vector<bool> unique(t.count, true);
  for (uint32_t e = 1; e < t.count; ++e) {
    unique[e] = IsPlainName(t.Name(e)) && siblings[{spanning[e], Folded(t.Name(e))}] == 1 &&
                !separatorInside[spanning[e]] && unique[spanning[e]];
  }
  return unique;
}

void WalkDirectory(const Table& t, FstDirCursor cursor) {
  FstDirItem item;
  uint32_t steps = 0;
  while (ReadFstDirEntry(&cursor, &item)) {
    if (++steps > t.count) FuzzFailure("directory walk of entry %u does not end", cursor.dirEntry);
    uint32_t e = item.entryNumber;
    if (e >= t.count) FuzzFailure("directory walk returned entry %u of %u", e, t.count);
    if (item.isDirectory != (t.IsDir(e) ? 1 : 0)) FuzzFailure("entry %u's kind is wrong", e);
    if (item.name != t.Name(e)) FuzzFailure("entry %u's name is wrong", e);
  }
}

// Every lookup result must be an entry of the table; DVDOpen and DVDOpendir
// must describe the entry the path names.
void LookUp(const Table& t, const std::string& path) {
  int32_t entry = DVDConvertPathToEntrynum(path.c_str());
  if (entry < -1 || entry >= static_cast<int32_t>(t.count)) {
    FuzzFailure("lookup returned %d with %u entries", entry, t.count);
  }
  if (FstPathToEntry(*t.record, path.c_str()) != entry) {
    FuzzFailure("lookup on a record differs from the installed table's");
  }
  try {
    FstFileInfo info;
    if (DVDOpen(path.c_str(), &info)) {
      if (entry < 0 || t.IsDir(static_cast<uint32_t>(entry)) ||
          info.startPosition != t.Second(static_cast<uint32_t>(entry)) ||
          info.length != t.Third(static_cast<uint32_t>(entry))) {
        FuzzFailure("DVDOpen does not describe entry %d", entry);
      }
    }
  } catch (const FatalExit&) {
  }
  try {
    FstDirCursor cursor;
    if (DVDOpendir(path.c_str(), &cursor)) {
      if (entry < 0 || cursor.dirEntry != static_cast<uint32_t>(entry)) {
        FuzzFailure("DVDOpendir opened %u, the lookup found %d", cursor.dirEntry, entry);
      }
      WalkDirectory(t, cursor);
    }
  } catch (const FatalExit&) {
  }
}

std::string WithBackslashes(std::string path) {
  std::replace(path.begin(), path.end(), '/', '\\');
  return path;
}

void CheckPathLookups(const Table& t, const std::vector<std::string>& paths,
                      const std::vector<uint32_t>& spanning) {
  bool consistent = ParentLinksMatchRanges(t, spanning);
  std::vector<bool> unique = UniquelyNamed(t, spanning);
  for (uint32_t i = 0; i < t.count; ++i) {
    const std::string& path = paths[i];
    if (path.empty()) continue;
    LookUp(t, path);
    if (consistent && unique[i]) {
      int32_t found = DVDConvertPathToEntrynum(path.c_str());
      if (found != static_cast<int32_t>(i)) {
        FuzzFailure("the path %s of entry %u leads to %d", path.c_str(), i, found);
      }
    }
    LookUp(t, path.substr(1));
    LookUp(t, WithBackslashes(path));
    LookUp(t, path + "..");
    LookUp(t, path + "/../.");
  }
}

// Paths made of the input's own bytes: the strings of the name table, alone
// and below the root, and the whole input as one string.
void CheckInputPaths(const Table& t) {
  const char* p = t.NamesStart();
  for (size_t n = 0; n < MAX_INPUT_PATHS && p < t.NamesEnd(); ++n) {
    const char* end = static_cast<const char*>(std::memchr(p, '\0', t.NamesEnd() - p));
    if (end == nullptr) end = t.NamesEnd();
    std::string path(p, std::min<size_t>(end - p, MAX_INPUT_PATH_LENGTH));
    LookUp(t, path);
    LookUp(t, "/" + path);
    LookUp(t, "../" + path + "/..");
    p = end + 1;
  }
  std::string whole(reinterpret_cast<const char*>(t.data), std::min(t.size, MAX_INPUT_PATH_LENGTH));
  LookUp(t, whole.c_str());
}

// A cursor is the caller's record; one made of input bytes must not walk
// outside the table.
void CheckForgedCursor(const Table& t) {
  if (t.size < 24) return;
  FstDirCursor cursor = {LoadBE32(t.data + t.size - 12), LoadBE32(t.data + t.size - 8),
                         LoadBE32(t.data + t.size - 4)};
  WalkDirectory(t, cursor);
  WalkDirectory(t, FstDirCursor{0, 1, 0xFFFFFFFFu});
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  InitFuzzTarget();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  BeginFuzzInput();
  try {
    ValidateFstTable(data, size);
  } catch (const FatalExit&) {
    EndFuzzInput();
    return 0;
  }
  InstallFstTable(data);
  FstTable record;
  OpenFstTable(&record, data);
  Table t = {data, size, InstalledFst().entryCount, &record};
  if (t.count != LoadBE32(data + 8)) FuzzFailure("installed count differs from the root's");
  CheckNullArgumentsAreRefused();
  CheckPlacementLookups(t);
  CheckIndexAgainstScan(t);
  std::vector<uint32_t> spanning = SpanningDirs(t);
  CheckParentDirs(t, spanning);
  std::vector<std::string> paths = CheckEntryPaths(t);
  CheckPathLookups(t, paths, spanning);
  CheckInputPaths(t);
  CheckForgedCursor(t);
  InstallFstTable(nullptr);
  EndFuzzInput();
  return 0;
}
