// Path-to-entry lookups: a path's components are resolved from the root,
// one directory's direct children at a time.
#include <cstdint>

#include "base/base.h"
#include "dvdfs/dvdfs.h"
#include "dvdfs/fst_fields.h"

namespace {

bool IsSeparator(char c) {
  return c == '/' || c == '\\';
}

// Only A to Z fold; every other byte compares unchanged.
unsigned char FoldCase(char c) {
  unsigned char u = static_cast<unsigned char>(c);
  return (u >= 'A' && u <= 'Z') ? static_cast<unsigned char>(u - 'A' + 'a') : u;
}

// The target of "..". The root's parentEntry is never checked by validation
// (only this reads it), so a root parent that is not a directory of the table
// stays at the root.
uint32_t ParentForLookup(const FstTable& table, uint32_t dir) {
  uint32_t parent = FstParentEntryOf(table, dir);
  return (parent < table.entryCount && FstIsDirectoryIn(table, parent)) ? parent : 0;
}

// The direct child of dir whose name matches the component at path, or -1.
// Files are candidates only when the component is the path's last.
int32_t FindChild(const FstTable& table, uint32_t dir, const char* path, bool followedBySeparator) {
  uint32_t end = FstNextEntryIn(table, dir);
  uint32_t child = dir + 1;
  while (child < end) {
    bool isDirectory = FstIsDirectoryIn(table, child);
    if ((isDirectory || !followedBySeparator) && CompareFstName(path, FstNameOf(table, child))) {
      return static_cast<int32_t>(child);
    }
    child = isDirectory ? FstNextEntryIn(table, child) : child + 1;
  }
  return -1;
}

// Where a lookup stands: the directory reached and the rest of the path.
// `done` is set when the path is resolved, with the answer in `result`.
struct LookupStep {
  uint32_t dir;
  const char* rest;
  bool done;
  int32_t result;
};

void Finish(LookupStep* step, int32_t result) {
  step->done = true;
  step->result = result;
}

// Steps over "." or ".." at the start of the rest; false when the rest
// starts with an ordinary component instead.
bool TakeDots(const FstTable& table, LookupStep* step) {
  const char* p = step->rest;
  if (p[0] == '.' && p[1] == '.') {
    if (IsSeparator(p[2])) {
      step->dir = ParentForLookup(table, step->dir);
      step->rest = p + 3;
      return true;
    }
    if (p[2] != '\0') return false;
    Finish(step, static_cast<int32_t>(ParentForLookup(table, step->dir)));
    return true;
  }
  if (p[0] != '.' || (!IsSeparator(p[1]) && p[1] != '\0')) return false;
  if (p[1] == '\0') {
    Finish(step, static_cast<int32_t>(step->dir));
  } else {
    step->rest = p + 2;
  }
  return true;
}

// Resolves the ordinary component at the start of the rest.
void TakeComponent(const FstTable& table, LookupStep* step) {
  const char* end = step->rest;
  while (*end != '\0' && !IsSeparator(*end)) ++end;
  bool followedBySeparator = *end != '\0';
  int32_t match = FindChild(table, step->dir, step->rest, followedBySeparator);
  if (match < 0 || !followedBySeparator) {
    Finish(step, match);
    return;
  }
  step->dir = static_cast<uint32_t>(match);
  step->rest = end + 1;
}

void TakeStep(const FstTable& table, LookupStep* step) {
  if (*step->rest == '\0') {
    Finish(step, static_cast<int32_t>(step->dir));
  } else if (IsSeparator(*step->rest)) {
    // A separator that does not end a component restarts at the root.
    step->dir = 0;
    ++step->rest;
  } else if (!TakeDots(table, step)) {
    TakeComponent(table, step);
  }
}

}  // namespace

int CompareFstName(const char* path, const char* name) {
  for (; *name != '\0'; ++name, ++path) {
    if (FoldCase(*path) != FoldCase(*name)) return 0;
  }
  return (*path == '\0' || IsSeparator(*path)) ? 1 : 0;
}

int32_t FstPathToEntry(const FstTable& table, const char* path) {
  if (path == nullptr) Fail("DVDConvertPathToEntrynum(): null pointer is specified  ");
  if (table.bytes == nullptr) return -1;
  // Every lookup starts at the root, with or without a leading separator.
  LookupStep step = {0, path, false, -1};
  while (!step.done) TakeStep(table, &step);
  return step.result;
}

int FstOpenIn(const FstTable& table, const char* path, FstFileInfo* info) {
  if (path == nullptr) Fail("DVDOpen(): null pointer is specified to file name  ");
  if (info == nullptr) Fail("DVDOpen(): null pointer is specified to file info address  ");
  int32_t entry = FstPathToEntry(table, path);
  if (entry == -1) {
    ReportError("Warning: DVDOpen(): file '%s' was not found.\n", path);
    return 0;
  }
  uint32_t file = static_cast<uint32_t>(entry);
  if (FstIsDirectoryIn(table, file)) {
    Fail("DVDOpen(): directory '%s' is specified as a filename  ", path);
  }
  info->startPosition = FstSecondWordAt(table.bytes, file);
  info->length = FstThirdWordAt(table.bytes, file);
  info->leading[3] = 0;
  info->trailing = 0;
  return 1;
}

int FstOpendirIn(const FstTable& table, const char* path, FstDirCursor* cursor) {
  if (path == nullptr) Fail("DVDOpendir(): null pointer is specified to directory name  ");
  int32_t entry = FstPathToEntry(table, path);
  if (entry == -1) return 0;
  uint32_t dir = static_cast<uint32_t>(entry);
  if (!FstIsDirectoryIn(table, dir)) {
    Fail("DVDOpendir(): file '%s' is specified as a directory name  ", path);
  }
  cursor->dirEntry = dir;
  cursor->cursor = dir + 1;
  cursor->endEntry = FstNextEntryIn(table, dir);
  return 1;
}

int FstReadDirEntryIn(const FstTable& table, FstDirCursor* cursor, FstDirItem* item) {
  uint32_t child = cursor->cursor;
  // The cursor is the caller's record: never trust it beyond the table.
  if (child <= cursor->dirEntry || child >= cursor->endEntry || child >= table.entryCount) {
    return 0;
  }
  bool isDirectory = FstIsDirectoryIn(table, child);
  item->entryNumber = child;
  item->isDirectory = isDirectory ? 1 : 0;
  item->name = FstNameOf(table, child);
  cursor->cursor = isDirectory ? FstNextEntryIn(table, child) : child + 1;
  return 1;
}

int32_t DVDConvertPathToEntrynum(const char* path) {
  return FstPathToEntry(InstalledFst(), path);
}

int DVDOpen(const char* path, FstFileInfo* info) {
  return FstOpenIn(InstalledFst(), path, info);
}

int DVDOpendir(const char* path, FstDirCursor* cursor) {
  return FstOpendirIn(InstalledFst(), path, cursor);
}

int ReadFstDirEntry(FstDirCursor* cursor, FstDirItem* item) {
  return FstReadDirEntryIn(InstalledFst(), cursor, item);
}
