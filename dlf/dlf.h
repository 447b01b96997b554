// The dlf layout list: a version line, the configuration file line, then one
// line per disc file with its 64-bit disc offset and its name. Its reader and
// its writer.
#ifndef QUORLITH_DLF_DLF_H_
#define QUORLITH_DLF_DLF_H_

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>

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

// What is wrong with one line, as ParseDlf judges it. Every fault has the
// message that ParseDlf prints for it.
enum DlfFault {
  DLF_FAULT_NONE,
  DLF_FAULT_VERSION,             // the version line is not exactly v2.00
  DLF_FAULT_CONFIG_KEYWORD,      // no comma, or the text before it is not the keyword
  DLF_FAULT_FILE_NAME,           // no '"' right after the comma, or no closing '"'
  DLF_FAULT_CONFIG_NAME_LENGTH,  // a configuration name of PATH_CAPACITY characters or more
  DLF_FAULT_OFFSET,              // an entry line without a comma
  DLF_FAULT_LINE_LENGTH,         // DLF_LINE_CAPACITY characters or more
};
// Prints the message (two for the version line) that ParseDlf prints for
// `fault`; `line` is the faulty line's text, which the version message shows.
void ReportDlfFault(DlfFault fault, const char* line);

// The fields of a configuration or entry line; they point into the line.
struct DlfFields {
  const char* offsetField;  // entry lines: the text before the first comma
  size_t offsetLength;
  const char* name;  // the text between the quotes
  size_t nameLength;
};
DlfFault CheckDlfVersionLine(const char* line);
DlfFault SplitDlfConfigLine(const char* line, DlfFields* fields);
DlfFault SplitDlfEntryLine(const char* line, DlfFields* fields);
// The disc offset that ParseDlf reads from an offset field: the C library's
// unsigned 64-bit base-16 conversion (blanks, a sign and "0x" taken, digits
// up to the first other character; none gives 0).
uint64_t ReadDlfOffsetField(const char* field, size_t length);
// True for "0x" or "0X" and then 1 to 16 hexadecimal digits, nothing else:
// the only fields that read as they look.
bool IsStrictDlfOffset(const char* field, size_t length);

enum DlfLineKind { DLF_VERSION_LINE, DLF_CONFIG_LINE, DLF_ENTRY_LINE };

// One line as ReadDlfLines hands it over.
struct DlfLine {
  // From 1, as an editor counts: every line end (LF, CR, or CR LF as one),
  // blank lines included. A version or configuration line that the file
  // lacks comes as an empty line numbered after the last line there is.
  uint64_t number;
  DlfLineKind kind;
  DlfFault fault;
  const char* text;     // without its line end; a too-long line is cut at the capacity
  DlfFields fields;     // when there is no fault
  uint64_t discOffset;  // entry lines without a fault
  uint64_t entryLines;  // configuration line: the entry lines of the file
};

// Reads the dlf file at `path` by ParseDlf's rules, in chunks as it does,
// and hands every non-empty line to `visit` in file order, faulty lines
// included: the first as the version line, the second as the configuration
// line (both even when the file lacks them), the rest as entry lines. Stops
// when `visit` returns false. A file that cannot be read fails as ParseDlf
// fails.
void ReadDlfLines(const char* path, const std::function<bool(const DlfLine&)>& visit);

// "0x" and 16 lowercase hexadecimal digits and a NUL: a disc offset as dlf
// lines and traces print it.
const size_t DISC_OFFSET_TEXT_SIZE = 19;
void FormatDiscOffset(uint64_t discOffset, char* text);
std::string DiscOffsetText(uint64_t discOffset);

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
