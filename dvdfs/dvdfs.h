// Queries over a disc's file-system table, used where it lies in its on-disc
// big-endian form. Entry numbers are signed; -1 means "no such entry".
//
// The table is a flat array of 12-byte entries in depth-first order followed
// by a table of NUL-terminated names. Entry 0 is the root; its nextEntry is
// the number of entries. No query allocates memory or copies a name.
#ifndef QUORLITH_DVDFS_DVDFS_H_
#define QUORLITH_DVDFS_DVDFS_H_

#include <cstdint>

const uint32_t FST_ENTRY_SIZE = 12;

// The disc header block: 32 bytes at this disc offset hold the table's place.
const uint64_t DISC_HEADER_BLOCK_OFFSET = 1056;
const uint32_t DISC_HEADER_BLOCK_SIZE = 32;

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
  const char* name;  // points into the installed name table
};

// Refuses, with a message and status 1, a table that the queries below could
// not walk safely within its `length` bytes. Accepts every well-formed table.
// The queries trust the installed table; a table read from a file must pass
// through here first.
void ValidateFstTable(const unsigned char* table, uint64_t length);

// Installs the table that later queries read (nullptr uninstalls it). The
// caller keeps the memory alive, and its bytes unchanged, while queries run.
void InstallFstTable(const unsigned char* table);
extern uint32_t fstEntryCount;

// Field access on the installed table.
bool FstIsDirectory(uint32_t entry);
uint32_t FstNextEntry(uint32_t entry);

// The file entry at `position` (disc offset / 4) with `length` bytes, or -1.
// A non-zero length takes the first such file in entry order; the k-th
// zero-length query since the last query with a non-zero length (whatever
// position it asked for) takes the k-th zero-length file at that position.
// On the installed table the answer comes from an index built at the first
// query; any other table is scanned.
int32_t FindFstFileByPlacement(const unsigned char* table, uint32_t position, uint32_t length);
// The same query answered by scanning the whole table, as a reference for
// the index. Shares the zero-length counter.
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
// directory before it whose nextEntry lies beyond it. Answered from an index
// that grows in one pass over the table as higher entries are asked for.
int32_t FindFstParentDir(int32_t fileEntry);
// The same query answered by scanning back, as a reference for the index.
int32_t FindFstParentDirLinear(int32_t fileEntry);
// Table entries that the parent and placement queries have read since the
// program started, to check that their work stays linear in the table.
uint64_t FstEntriesVisited();
uint32_t BuildFstDirPath(int32_t dirEntry, char* buffer, uint32_t maxlen);
uint32_t CopyFstName(char* destination, const char* source, uint32_t n);

// Restores the start-up state (no table, zero-length counter 0).
void ResetFstState();

#endif  // QUORLITH_DVDFS_DVDFS_H_
