#include "dlf/dlf.h"

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "base/base.h"
#include "host/host.h"

namespace {

const char DLF_VERSION[] = "v2.00";
const char CONFIG_KEYWORD[] = "QTX_CONFIG_FILE";
// The size comes from the host as a signed 32-bit number on the target.
const int64_t DLF_SIZE_LIMIT = INT32_MAX;

// The line reader's cursor: one text at a time.
const char* lineCursor = nullptr;

using TextBuffer = std::unique_ptr<char, FreeDeleter>;

struct DlfListDeleter {
  void operator()(DlfList* list) const { FreeDlfList(list); }
};
using DlfListGuard = std::unique_ptr<DlfList, DlfListDeleter>;

// Leaves no cursor into a text that is about to be freed, on any way out.
struct LineCursorReset {
  ~LineCursorReset() { BeginLines(nullptr); }
};

// Closes the descriptor only when a fatal error unwinds past it; the regular
// close is checked by the caller.
struct CrtFileGuard {
  int fd;
  ~CrtFileGuard() {
    if (fd >= 0) HostCrtClose(fd);
  }
  int Release() {
    int released = fd;
    fd = -1;
    return released;
  }
};

// perror's form, through the message path so that a check can capture it.
[[noreturn]] void FailCrtCall(const char* call) {
  const char* reason = std::strerror(errno);
  Fail("%s: %s\n", call, reason);
}

bool IsLineEnd(char c) {
  return c == '\r' || c == '\n';
}

void FailOnFault(DlfFault fault, const char* line) {
  if (fault == DLF_FAULT_NONE) return;
  ReportDlfFault(fault, line);
  ExitFailure();
}

// The double-quoted name that must start right after `comma`.
DlfFault SplitQuotedName(const char* comma, DlfFields* fields) {
  if (comma[1] != '"') return DLF_FAULT_FILE_NAME;
  const char* start = comma + 2;
  const char* closing = std::strchr(start, '"');
  if (closing == nullptr) return DLF_FAULT_FILE_NAME;
  fields->name = start;
  fields->nameLength = static_cast<size_t>(closing - start);
  return DLF_FAULT_NONE;
}

void ParseConfigLine(const char* line, char* configName, bool verbose) {
  DlfFields fields{};
  FailOnFault(SplitDlfConfigLine(line, &fields), line);
  std::memcpy(configName, fields.name, fields.nameLength);
  configName[fields.nameLength] = '\0';
  if (verbose) std::fprintf(stderr, "qcf         : %s\n", configName);
}

// Entries are laid out one after another in large blocks: a record and its
// name take their own size and a little padding, not a heap block each.
const size_t ENTRY_BLOCK_SIZE = 256 * 1024;

// Room for `byteCount` bytes in the list's current block, or a new one.
void* TakeFromBlocks(DlfList* list, size_t byteCount) {
  DlfBlock* block = list->blocks;
  if (block == nullptr || block->capacity - block->used < byteCount) {
    size_t capacity = byteCount > ENTRY_BLOCK_SIZE ? byteCount : ENTRY_BLOCK_SIZE;
    block = static_cast<DlfBlock*>(AllocOrExit(sizeof(DlfBlock) + capacity));
    block->capacity = capacity;
    block->next = list->blocks;
    list->blocks = block;
  }
  void* bytes = reinterpret_cast<unsigned char*>(block + 1) + block->used;
  block->used += byteCount;
  return bytes;
}

// Parses one entry line into the list's blocks: the record, then its name.
DlfEntry* ParseEntryLine(DlfList* list, const char* line, bool verbose) {
  DlfFields fields{};
  FailOnFault(SplitDlfEntryLine(line, &fields), line);
  uint64_t discOffset = ReadDlfOffsetField(fields.offsetField, fields.offsetLength);
  size_t length = fields.nameLength;
  const char* name = fields.name;
  const size_t align = alignof(DlfEntry);
  size_t byteCount = (sizeof(DlfEntry) + length + 1 + align - 1) / align * align;
  DlfEntry* entry = static_cast<DlfEntry*>(TakeFromBlocks(list, byteCount));
  entry->name = reinterpret_cast<char*>(entry + 1);
  std::memcpy(entry->name, name, length);
  entry->name[length] = '\0';
  entry->discOffset = discOffset;
  if (verbose) {
    char offset[DISC_OFFSET_TEXT_SIZE];
    FormatDiscOffset(entry->discOffset, offset);
    std::fprintf(stderr, "name: %s, offset: %s\n", entry->name, offset);
  }
  return entry;
}

// The dlf file is read in chunks, twice: once to count its lines, so that
// a file too large for the caller is refused before anything is built, then
// to parse them. Either way only a chunk and one line are held in memory,
// never the whole text; what is read and refused is what a read of the
// whole file would give: the text ends at its first NUL byte, and a file
// that yields fewer bytes than its size is a failed read.
const size_t CHUNK_SIZE = 64 * 1024;

struct ChunkedFile {
  CrtFileGuard file;
  int64_t unread;
};

// Opens the file to read `size` bytes of it from the start.
void OpenChunkedAt(const char* path, ChunkedFile* in, int64_t size) {
  in->file.fd = HostCrtOpenRead(path);
  if (in->file.fd < 0) FailCrtCall("open");
  in->unread = size;
}

// Opens the file and takes its size, with the checks of a whole-file read.
void OpenChunked(const char* path, ChunkedFile* in) {
  OpenChunkedAt(path, in, 0);
  int64_t size = 0;
  if (HostCrtStatSize(path, &size) != 0) FailCrtCall("stat");
  if (size < 0 || size > DLF_SIZE_LIMIT) {
    Fail("%s: dlf file %s is too large, it must be smaller than 2 GiB\n", programName, path);
  }
  in->unread = size;
}

// Reads the next chunk, at most `capacity` bytes; 0 once the size is read.
size_t ReadChunk(ChunkedFile* in, char* buffer, size_t capacity) {
  size_t want =
      in->unread < static_cast<int64_t>(capacity) ? static_cast<size_t>(in->unread) : capacity;
  if (want == 0) return 0;
  errno = 0;
  int64_t got = HostCrtRead(in->file.fd, buffer, static_cast<uint32_t>(want));
  if (got != static_cast<int64_t>(want)) {
    // A file that shrank leaves no error code; do not report it as success.
    if (got >= 0 && errno == 0) errno = EIO;
    FailCrtCall("read");
  }
  in->unread -= got;
  return want;
}

void CloseChunked(ChunkedFile* in) {
  if (HostCrtClose(in->file.Release()) != 0) FailCrtCall("close");
}

// The lines the line reader would find (non-empty, up to the first NUL),
// after reading the whole file, whose size is stored in `*size`.
uint64_t CountLines(const char* path, int64_t* size) {
  ChunkedFile in{{-1}, 0};
  OpenChunked(path, &in);
  *size = in.unread;
  std::unique_ptr<char[]> chunk(new char[CHUNK_SIZE]);
  uint64_t lines = 0;
  bool inLine = false;
  bool ended = false;
  for (size_t got; (got = ReadChunk(&in, chunk.get(), CHUNK_SIZE)) != 0;) {
    for (size_t i = 0; i < got && !ended; ++i) {
      char c = chunk[i];
      if (c == '\0') {
        ended = true;
      } else if (IsLineEnd(c)) {
        inLine = false;
      } else if (!inLine) {
        inLine = true;
        ++lines;
      }
    }
  }
  CloseChunked(&in);
  return lines;
}

// The second reading: each chunk is handed to the line reader up to its
// last line end, and the partial line after it goes in front of the next.
struct ChunkedLines {
  ChunkedFile in;
  std::unique_ptr<char[]> buffer;  // the carried partial line, a chunk, a NUL
  char carry[DLF_LINE_CAPACITY];
  size_t carried;
  bool ended;  // the end of the text is in the buffer
};

// Reads the file again at the size the count was taken at.
void BeginChunkedLines(const char* path, ChunkedLines* lines, int64_t size) {
  OpenChunkedAt(path, &lines->in, size);
  lines->buffer.reset(new char[DLF_LINE_CAPACITY + CHUNK_SIZE + 1]);
  lines->carried = 0;
  lines->ended = false;
}

// Hands the line reader the next complete lines; false at the end of the text.
bool RefillLines(ChunkedLines* lines) {
  if (lines->ended) return false;
  char* text = lines->buffer.get();
  std::memcpy(text, lines->carry, lines->carried);
  size_t got = ReadChunk(&lines->in, text + lines->carried, CHUNK_SIZE);
  size_t length = lines->carried + got;
  const char* nul = static_cast<const char*>(std::memchr(text + lines->carried, '\0', got));
  if (nul != nullptr) length = static_cast<size_t>(nul - text);
  lines->ended = nul != nullptr || lines->in.unread == 0;
  size_t handed = length;
  if (!lines->ended) {
    while (handed > 0 && !IsLineEnd(text[handed - 1])) --handed;
    // A partial line that cannot fit a line is handed as it is: the line
    // reader refuses it.
    if (length - handed >= DLF_LINE_CAPACITY) handed = length;
  }
  lines->carried = length - handed;
  std::memcpy(lines->carry, text + handed, lines->carried);
  text[handed] = '\0';
  BeginLines(text);
  return true;
}

bool NextLine(ChunkedLines* lines, char* line) {
  while (!ReadLine(line)) {
    if (!RefillLines(lines)) return false;
  }
  return true;
}

// Links an entry for every further line, in file order. A faulty line ends
// the run before its entry is linked; the caller's guard frees the blocks.
void ParseEntryLines(ChunkedLines* lines, DlfList* list, bool verbose) {
  char line[DLF_LINE_CAPACITY];
  DlfEntry* last = nullptr;
  while (NextLine(lines, line)) {
    if (list->count == INT_MAX) {
      Fail("%s: Wrong dlf file format, more than %d entry lines\n", programName, INT_MAX);
    }
    DlfEntry* entry = ParseEntryLine(list, line, verbose);
    if (last == nullptr) {
      list->first = entry;
    } else {
      last->next = entry;
    }
    last = entry;
    ++list->count;
  }
}

// The line-numbered reading: the bytes of the text one by one, so that
// every line end is counted, with the line reader's rules for what a line is.
struct NumberedLines {
  ChunkedFile in;
  std::unique_ptr<char[]> chunk;
  size_t next;
  size_t got;
  bool ended;         // the text's end (its size or a NUL) is reached
  uint64_t lineEnds;  // passed so far; CR LF counts once
  bool afterCr;
  uint64_t lastNumber;  // of the last non-empty line handed over
  char line[DLF_LINE_CAPACITY];
  size_t length;
  bool tooLong;
};

// The next byte of the text, or false at its end.
bool NextTextByte(NumberedLines* lines, char* c) {
  if (lines->ended) return false;
  if (lines->next == lines->got) {
    lines->got = ReadChunk(&lines->in, lines->chunk.get(), CHUNK_SIZE);
    lines->next = 0;
  }
  if (lines->got == 0 || lines->chunk[lines->next] == '\0') {
    lines->ended = true;
    return false;
  }
  *c = lines->chunk[lines->next++];
  return true;
}

// True when a line end closes a non-empty line.
bool TakeLineEnd(NumberedLines* lines, char c) {
  if (c == '\n' && lines->afterCr) {
    lines->afterCr = false;
    return false;
  }
  ++lines->lineEnds;
  lines->afterCr = c == '\r';
  return lines->length != 0 || lines->tooLong;
}

void TakeLineByte(NumberedLines* lines, char c) {
  lines->afterCr = false;
  if (lines->length == 0 && !lines->tooLong) lines->lastNumber = lines->lineEnds + 1;
  if (lines->length < DLF_LINE_CAPACITY - 1) {
    lines->line[lines->length++] = c;
  } else {
    lines->tooLong = true;
  }
}

// Reads the next non-empty line into lines->line; false at the end of the text.
bool NextNumberedLine(NumberedLines* lines) {
  lines->length = 0;
  lines->tooLong = false;
  char c = 0;
  while (NextTextByte(lines, &c)) {
    if (!IsLineEnd(c)) {
      TakeLineByte(lines, c);
    } else if (TakeLineEnd(lines, c)) {
      break;
    }
  }
  lines->line[lines->length] = '\0';
  return lines->length != 0 || lines->tooLong;
}

// Fills `record` from the next line, or as the missing line after the last.
void TakeNumberedLine(NumberedLines* lines, DlfLineKind kind, DlfLine* record) {
  *record = DlfLine{};
  record->kind = kind;
  record->text = lines->line;
  if (NextNumberedLine(lines)) {
    record->number = lines->lastNumber;
  } else {
    record->number = ++lines->lastNumber;
  }
  if (lines->tooLong) record->fault = DLF_FAULT_LINE_LENGTH;
}

void JudgeNumberedLine(DlfLine* record) {
  if (record->fault != DLF_FAULT_NONE) return;
  if (record->kind == DLF_VERSION_LINE) {
    record->fault = CheckDlfVersionLine(record->text);
  } else if (record->kind == DLF_CONFIG_LINE) {
    record->fault = SplitDlfConfigLine(record->text, &record->fields);
  } else {
    record->fault = SplitDlfEntryLine(record->text, &record->fields);
    if (record->fault == DLF_FAULT_NONE) {
      record->discOffset =
          ReadDlfOffsetField(record->fields.offsetField, record->fields.offsetLength);
    }
  }
}

}  // namespace

char* ReadWholeFile(const char* path) {
  ChunkedFile in{{-1}, 0};
  OpenChunked(path, &in);
  size_t size = static_cast<size_t>(in.unread);
  TextBuffer text(static_cast<char*>(AllocOrExit(size + 1)));
  ReadChunk(&in, text.get(), size);
  CloseChunked(&in);
  return text.release();
}

void BeginLines(const char* text) {
  lineCursor = text;
}

bool ReadLine(char* buffer) {
  if (lineCursor == nullptr || *lineCursor == '\0') return false;
  while (IsLineEnd(*lineCursor)) ++lineCursor;
  if (*lineCursor == '\0') return false;
  size_t length = 0;
  while (lineCursor[length] != '\0' && !IsLineEnd(lineCursor[length])) ++length;
  // Refuse rather than cut: a truncated line could still parse as another entry.
  if (length >= DLF_LINE_CAPACITY) FailOnFault(DLF_FAULT_LINE_LENGTH, "");
  std::memcpy(buffer, lineCursor, length);
  buffer[length] = '\0';
  lineCursor += length;
  if (lineCursor[0] == '\r' && lineCursor[1] == '\n') {
    lineCursor += 2;
  } else if (IsLineEnd(lineCursor[0])) {
    ++lineCursor;
  }
  return true;
}

DlfList* ParseDlf(const char* path, void (*checkEntryCount)(uint64_t count), bool verbose) {
  int64_t size = 0;
  uint64_t lineCount = CountLines(path, &size);
  ChunkedLines lines{{{-1}, 0}, nullptr, {}, 0, false};
  BeginChunkedLines(path, &lines, size);
  LineCursorReset cursorReset;
  BeginLines(nullptr);
  char line[DLF_LINE_CAPACITY];

  if (!NextLine(&lines, line)) line[0] = '\0';
  FailOnFault(CheckDlfVersionLine(line), line);
  if (!NextLine(&lines, line)) line[0] = '\0';
  char configName[PATH_CAPACITY];
  ParseConfigLine(line, configName, verbose);
  if (checkEntryCount != nullptr) checkEntryCount(lineCount > 2 ? lineCount - 2 : 0);

  DlfListGuard list(static_cast<DlfList*>(AllocOrExit(sizeof(DlfList))));
  std::memcpy(list->configName, configName, sizeof configName);
  ParseEntryLines(&lines, list.get(), verbose);
  CloseChunked(&lines.in);
  return list.release();
}

void FreeDlfList(DlfList* list) {
  if (list == nullptr) return;
  DlfBlock* block = list->blocks;
  while (block != nullptr) {
    DlfBlock* next = block->next;
    std::free(block);
    block = next;
  }
  std::free(list);
}

void ReportDlfFault(DlfFault fault, const char* line) {
  switch (fault) {
    case DLF_FAULT_NONE:
      break;
    case DLF_FAULT_VERSION:
      ReportError("%s: Error: Unsupported version of dlf (%s)\n", programName, line);
      ReportError("%s: Error: Only v2.00 is supported\n", programName);
      break;
    case DLF_FAULT_CONFIG_KEYWORD:
      ReportError("%s: Wrong dlf file format, qcf difinition is wrong\n", programName);
      break;
    case DLF_FAULT_FILE_NAME:
      ReportError("%s: Wrong dlf file format, filename is wrong\n", programName);
      break;
    case DLF_FAULT_CONFIG_NAME_LENGTH:
      ReportError(
          "%s: Wrong dlf file format, configuration file name is longer than %d characters\n",
          programName, static_cast<int>(PATH_CAPACITY - 1));
      break;
    case DLF_FAULT_OFFSET:
      ReportError("%s: Wrong dlf file format, offset is wrong\n", programName);
      break;
    case DLF_FAULT_LINE_LENGTH:
      ReportError("%s: Wrong dlf file format, line is longer than %d characters\n", programName,
                  static_cast<int>(DLF_LINE_CAPACITY - 1));
      break;
  }
}

DlfFault CheckDlfVersionLine(const char* line) {
  return std::strcmp(line, DLF_VERSION) == 0 ? DLF_FAULT_NONE : DLF_FAULT_VERSION;
}

DlfFault SplitDlfConfigLine(const char* line, DlfFields* fields) {
  const char* comma = std::strchr(line, ',');
  size_t keywordLength = sizeof CONFIG_KEYWORD - 1;
  if (comma == nullptr || static_cast<size_t>(comma - line) != keywordLength ||
      std::memcmp(line, CONFIG_KEYWORD, keywordLength) != 0) {
    return DLF_FAULT_CONFIG_KEYWORD;
  }
  DlfFault fault = SplitQuotedName(comma, fields);
  if (fault == DLF_FAULT_NONE && fields->nameLength >= PATH_CAPACITY) {
    fault = DLF_FAULT_CONFIG_NAME_LENGTH;
  }
  return fault;
}

DlfFault SplitDlfEntryLine(const char* line, DlfFields* fields) {
  const char* comma = std::strchr(line, ',');
  if (comma == nullptr) return DLF_FAULT_OFFSET;
  fields->offsetField = line;
  fields->offsetLength = static_cast<size_t>(comma - line);
  return SplitQuotedName(comma, fields);
}

uint64_t ReadDlfOffsetField(const char* field, size_t length) {
  char text[DLF_LINE_CAPACITY];
  if (length >= sizeof text) length = sizeof text - 1;
  std::memcpy(text, field, length);
  text[length] = '\0';
  return static_cast<uint64_t>(std::strtoull(text, nullptr, 16));
}

bool IsStrictDlfOffset(const char* field, size_t length) {
  if (length < 3 || length > 18 || field[0] != '0' || (field[1] != 'x' && field[1] != 'X')) {
    return false;
  }
  for (size_t i = 2; i < length; ++i) {
    if (std::isxdigit(static_cast<unsigned char>(field[i])) == 0) return false;
  }
  return true;
}

void ReadDlfLines(const char* path, const std::function<bool(const DlfLine&)>& visit) {
  int64_t size = 0;
  uint64_t lineCount = CountLines(path, &size);
  NumberedLines lines{{{-1}, 0}, nullptr, 0, 0, false, 0, false, 0, {}, 0, false};
  OpenChunkedAt(path, &lines.in, size);
  lines.chunk.reset(new char[CHUNK_SIZE]);
  DlfLine record{};
  TakeNumberedLine(&lines, DLF_VERSION_LINE, &record);
  JudgeNumberedLine(&record);
  if (!visit(record)) return;
  TakeNumberedLine(&lines, DLF_CONFIG_LINE, &record);
  JudgeNumberedLine(&record);
  record.entryLines = lineCount > 2 ? lineCount - 2 : 0;
  if (!visit(record)) return;
  while (NextNumberedLine(&lines)) {
    record = DlfLine{};
    record.number = lines.lastNumber;
    record.kind = DLF_ENTRY_LINE;
    record.text = lines.line;
    if (lines.tooLong) record.fault = DLF_FAULT_LINE_LENGTH;
    JudgeNumberedLine(&record);
    if (!visit(record)) return;
  }
  CloseChunked(&lines.in);
}

void FormatDiscOffset(uint64_t discOffset, char* text) {
  std::snprintf(text, DISC_OFFSET_TEXT_SIZE, "0x%08x%08x", static_cast<unsigned>(discOffset >> 32),
                static_cast<unsigned>(discOffset & 0xFFFFFFFFu));
}

std::string DiscOffsetText(uint64_t discOffset) {
  char text[DISC_OFFSET_TEXT_SIZE];
  FormatDiscOffset(discOffset, text);
  return text;
}

void WriteDlfVersionLine(FILE* dlf) {
  std::fprintf(dlf, "%s\n", DLF_VERSION);
}

void WriteDlfConfigLine(FILE* dlf, const char* configName) {
  std::fprintf(dlf, "%s,\"%s\"\n", CONFIG_KEYWORD, configName);
}

void WriteDlfEntryLine(FILE* dlf, uint64_t discOffset, const char* name) {
  char offset[DISC_OFFSET_TEXT_SIZE];
  FormatDiscOffset(discOffset, offset);
  std::fprintf(dlf, "%s,\"%s\"\n", offset, name);
}

size_t DlfVersionLineLength() {
  return sizeof DLF_VERSION;
}

size_t DlfConfigLineLength(const char* configName) {
  return sizeof CONFIG_KEYWORD - 1 + std::strlen(configName) + 4;
}

size_t DlfEntryLineLength(const char* name) {
  return DISC_OFFSET_TEXT_SIZE - 1 + std::strlen(name) + 4;
}
