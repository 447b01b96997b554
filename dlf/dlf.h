// The dlf layout list: a version line, the configuration file line, then one
// line per disc file with its 64-bit disc offset and its name.
#ifndef QUORLITH_DLF_DLF_H_
#define QUORLITH_DLF_DLF_H_

#include <cstddef>
#include <cstdint>

// A line holds at most DLF_LINE_CAPACITY - 1 characters.
const size_t DLF_LINE_CAPACITY = 1024;

// Each entry is one heap block from ParseDlf: the record, then its name at
// the name's own length, so that a list of many short names stays small.
struct DlfEntry {
  DlfEntry* next;
  char* name;  // NUL-terminated, inside the entry's block; empty for a placeholder line
  uint64_t discOffset;
};

struct DlfList {
  DlfEntry* first;
  int count;
};

// Reads a whole file into a zero-filled heap block of its size plus one byte,
// so the text is NUL-terminated. Release it with free().
char* ReadWholeFile(const char* path);

// The line reader: one process-wide cursor into a NUL-terminated text.
void BeginLines(const char* text);
// Copies the next non-empty line, without its line end, into `buffer` (at
// least DLF_LINE_CAPACITY bytes). False at the end of the text.
bool ReadLine(char* buffer);

// Reads and checks the dlf file at `path`, fills options.configName and
// returns the entries in file order. Every fault ends the run.
DlfList* ParseDlf(const char* path);
void FreeDlfList(DlfList* list);

#endif  // QUORLITH_DLF_DLF_H_
