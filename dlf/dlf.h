// The dlf layout list: a version line, the configuration file line, then one
// line per disc file with its 64-bit disc offset and its name. Its reader and
// its writer.
#ifndef QUORLITH_DLF_DLF_H_
#define QUORLITH_DLF_DLF_H_

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "base/base.h"

// A line holds at most DLF_LINE_CAPACITY - 1 characters.
const size_t DLF_LINE_CAPACITY = 1024;

// Each entry lies in one of its list's blocks: the record, then its name at
// the name's own length, so that a list of many short names stays small.
struct DlfEntry {
  DlfEntry* next;
  char* name;  // NUL-terminated, right behind the record; empty for a placeholder line
  uint64_t discOffset;
};

// Heap memory that holds entries back to back.
struct DlfBlock {
  DlfBlock* next;
  size_t used;
  size_t capacity;  // bytes after the block's header
};

struct DlfList {
  DlfEntry* first;
  int count;
  DlfBlock* blocks;
  char configName[PATH_CAPACITY];  // the configuration file line's name
};

// Reads a whole file into a zero-filled heap block of its size plus one byte,
// so the text is NUL-terminated. Release it with free().
char* ReadWholeFile(const char* path);

// The line reader: one process-wide cursor into a NUL-terminated text.
void BeginLines(const char* text);
// Copies the next non-empty line, without its line end, into `buffer` (at
// least DLF_LINE_CAPACITY bytes). False at the end of the text.
bool ReadLine(char* buffer);

// Reads and checks the dlf file at `path` and returns its configuration
// name and its entries in file order (traced when `verbose`). Every fault ends the run. The file is
// read in chunks, never held whole. `checkEntryCount`, when given, is called
// with the number of entry lines once the version and configuration lines
// are read and before any entry is built, so that a caller can refuse a file
// it cannot hold while that is cheap.
DlfList* ParseDlf(const char* path, void (*checkEntryCount)(uint64_t count) = nullptr,
                  bool verbose = false);
void FreeDlfList(DlfList* list);

// "0x" and 16 lowercase hexadecimal digits and a NUL: a disc offset as dlf
// lines and traces print it.
const size_t DISC_OFFSET_TEXT_SIZE = 19;
void FormatDiscOffset(uint64_t discOffset, char* text);

// The written form, which the reader reads back to the same offsets and
// names: "v2.00\n"; "QTX_CONFIG_FILE,\"<name>\"\n"; "<offset>,\"<name>\"\n"
// (an empty name for a placeholder line). Names hold no '"' and no line end.
// Write faults are left to the stream's close.
void WriteDlfVersionLine(FILE* dlf);
void WriteDlfConfigLine(FILE* dlf, const char* configName);
void WriteDlfEntryLine(FILE* dlf, uint64_t discOffset, const char* name);
// The lengths in bytes of those lines, line ends included.
size_t DlfVersionLineLength();
size_t DlfConfigLineLength(const char* configName);
size_t DlfEntryLineLength(const char* name);

#endif  // QUORLITH_DLF_DLF_H_
