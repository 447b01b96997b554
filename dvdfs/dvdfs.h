// Queries over a disc's file-system table, used where it lies in its on-disc
// big-endian form. Entry numbers are signed; -1 means "no such entry".
//
// The table is a flat array of 12-byte entries in depth-first order followed
// by a table of NUL-terminated names. Entry 0 is the root; its nextEntry is
// the number of entries. No query copies a name.
//
// The queries take an FstTable record opened over the table's bytes; any
// number of records may be open side by side. The names without a record
// argument answer on the one installed record (InstallFstTable).
#ifndef QUORLITH_DVDFS_DVDFS_H_
#define QUORLITH_DVDFS_DVDFS_H_

#include <cstdint>
#include <vector>

const uint32_t FST_ENTRY_SIZE = 12;

// The disc header block: 32 bytes at this disc offset hold the table's place.
const uint64_t DISC_HEADER_BLOCK_OFFSET = 1056;
const uint32_t DISC_HEADER_BLOCK_SIZE = 32;

// The table's place and size as the header block records them, in words
// of 4 bytes (big-endian, at bytes 4 and 8 of the block).
struct DiscTableWords {
  uint32_t position;
  uint32_t size;
};
DiscTableWords DecodeDiscHeaderBlock(const unsigned char* block);

struct FstFileInfo {
  uint32_t leading[12];
  uint32_t startPosition;  // disc offset / 4
  uint32_t length;
  uint32_t trailing;
};

struct FstDirCursor {
  uint32_t dirEntry;
  uint32_t cursor;
  uint32_t endEntry;
};

struct FstDirItem {
  uint32_t entryNumber;
  int32_t isDirectory;
  const char* name;  // points into the table's name table
};

// Refuses, with a message and status 1, a table that the queries below could
// not walk safely within its `length` bytes. Accepts every well-formed table.
// The queries trust the table they are given; a table read from a file must
// pass through here first.
void ValidateFstTable(const unsigned char* table, uint64_t length);

// One file entry of the placement index.
struct FstPlacement {
  uint32_t position;
  uint32_t length;
  uint32_t entry;
};

enum FstIndexState { FST_INDEX_NOT_BUILT, FST_INDEX_READY, FST_INDEX_UNAVAILABLE };

// The directory that holds each entry, filled in entry order as far as the
// highest entry asked for; `open` holds the directories that may still hold
// a later entry.
struct FstParentIndex {
  std::vector<uint32_t> parent;  // parent[e] for e < parent.size()
  std::vector<uint32_t> open;
  bool unavailable = false;  // memory ran short: parent queries scan
};

// A table and what its queries have learned about it. The indexes are built
// lazily by the first query that needs them, and only when memory allows
// (otherwise the queries scan); they never read further into the table than
// a scan would.
struct FstTable {
  const unsigned char* bytes = nullptr;
  uint32_t entryCount = 0;  // the root's nextEntry; 0 for an empty record
  const unsigned char* names = nullptr;
  // Every file entry sorted by position, length and entry number, so that
  // the files sharing a placement lie together in entry order.
  std::vector<FstPlacement> placements;
  FstIndexState placementState = FST_INDEX_NOT_BUILT;
  FstParentIndex parents;
  // Table entries the parent and placement queries have read since the
  // record was made (re-opening keeps the count), to check that their work
  // stays linear in the table.
  uint64_t entriesVisited = 0;
};

// Opens a record over a table that passed ValidateFstTable (nullptr: an
// empty record, entryCount 0, on which every query finds nothing). The caller
// keeps the bytes alive and unchanged while the record is used. Indexes are
// released when the record is re-opened or destroyed.
void OpenFstTable(FstTable* table, const unsigned char* bytes);

// The zero-length counter of one naming run: how many zero-length placement
// queries came since the last one with a non-zero length. Unsigned so that
// an absurd number of queries wraps instead of overflowing.
struct FstZeroLengthCounter {
  uint32_t count;
};

// Field access on a record; `entry` must be below entryCount.
bool FstIsDirectoryIn(const FstTable& table, uint32_t entry);
uint32_t FstNextEntryIn(const FstTable& table, uint32_t entry);
// The length in bytes that the table records for the file `entry`, and
// its place (disc offset / 4).
uint32_t FstFileLengthIn(const FstTable& table, uint32_t entry);
uint32_t FstFilePositionIn(const FstTable& table, uint32_t entry);
// A directory with nothing below it: its next entry follows it directly.
bool FstIsEmptyDirectoryIn(const FstTable& table, uint32_t entry);

// The file entry at `position` (disc offset / 4) with `length` bytes, or -1.
// A non-zero length takes the first such file in entry order; the k-th
// zero-length query since the last query with a non-zero length (whatever
// position it asked for) takes the k-th zero-length file at that position.
// Answered from the placement index once it is built.
int32_t FindFstFileIn(FstTable* table, FstZeroLengthCounter* counter, uint32_t position,
                      uint32_t length);

// A file entry at `position` whatever its length (the shortest there, the
// first in entry order among those), or -1. It asks no placement query of
// a naming run: no zero-length counter moves.
int32_t FindFstFileAtPositionIn(FstTable* table, uint32_t position);

// The path of `entry` in `buffer`, which holds at most maxlen bytes: "/" for
// the root, "/a/b/" for a directory, "/a/b/f" for a file. Returns 1. An
// entry outside the table, or a path and its NUL that do not fit, end the
// run; maxlen below 2 is reported, and then never fits.
int FstEntryPath(FstTable* table, int32_t entry, char* buffer, uint32_t maxlen);

// The entry that `path` names, or -1. Components are separated by '/' or
// '\', compared with A to Z folded; "." and ".." step in place and up. A
// separator that does not end a component restarts at the root.
int32_t FstPathToEntry(const FstTable& table, const char* path);
// The placement of the file `path` names in `info`: 1, or 0 with a warning
// when it names nothing. A directory ends the run.
int FstOpenIn(const FstTable& table, const char* path, FstFileInfo* info);
// A cursor over the direct children of the directory `path` names: 1, or 0
// when it names nothing. A file ends the run.
int FstOpendirIn(const FstTable& table, const char* path, FstDirCursor* cursor);
// The next child of the cursor's directory in `item`: 1, or 0 at the end.
int FstReadDirEntryIn(const FstTable& table, FstDirCursor* cursor, FstDirItem* item);

uint64_t FstEntriesVisitedIn(const FstTable& table);

// The installed record, which the queries without a record argument use.
// InstallFstTable re-opens it over `table` (nullptr uninstalls it); the
// caller keeps the memory alive, and its bytes unchanged, while queries run.
void InstallFstTable(const unsigned char* table);
const FstTable& InstalledFst();

// Field access on the installed table.
bool FstIsDirectory(uint32_t entry);
uint32_t FstNextEntry(uint32_t entry);

// FindFstFileIn with the installed counter. On the installed table the
// answer comes from its index; any other table is scanned (a null table
// finds nothing).
int32_t FindFstFileByPlacement(const unsigned char* table, uint32_t position, uint32_t length);
// The same query answered by scanning the whole table, as a reference for
// the index. Shares the installed counter.
int32_t FindFstFileByPlacementLinear(const unsigned char* table, uint32_t position,
                                     uint32_t length);
int DVDConvertEntrynumToPath(int32_t entry, char* buffer, uint32_t maxlen);
int32_t DVDConvertPathToEntrynum(const char* path);
int DVDOpen(const char* path, FstFileInfo* info);
int DVDOpendir(const char* path, FstDirCursor* cursor);
int ReadFstDirEntry(FstDirCursor* cursor, FstDirItem* item);

// Internal operations, exposed for tests.
int CompareFstName(const char* path, const char* name);
// The directory that holds `fileEntry` on the installed table: the nearest
// directory before it whose nextEntry lies beyond it. Answered from the
// parent index, which grows in one pass over the table as higher entries
// are asked for.
int32_t FindFstParentDir(int32_t fileEntry);
// The same query answered by scanning back, as a reference for the index.
int32_t FindFstParentDirLinear(int32_t fileEntry);
// The installed record's entriesVisited: every installed table's since the
// program started.
uint64_t FstEntriesVisited();
uint32_t BuildFstDirPath(int32_t dirEntry, char* buffer, uint32_t maxlen);
uint32_t CopyFstName(char* destination, const char* source, uint32_t n);

// Restores the start-up state (no table, installed zero-length counter 0).
void ResetFstState();

#endif  // QUORLITH_DVDFS_DVDFS_H_
