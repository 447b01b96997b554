#include "dlf/dlf.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "app/options.h"
#include "host/host.h"

namespace {

const char DLF_VERSION[] = "v2.00";
const char CONFIG_KEYWORD[] = "QTX_CONFIG_FILE";
// The size comes from the host as a signed 32-bit number on the target.
const int64_t DLF_SIZE_LIMIT = INT32_MAX;

// The line reader's cursor: one text at a time.
const char* lineCursor = nullptr;

struct FreeDeleter {
  void operator()(void* block) const { std::free(block); }
};
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

[[noreturn]] void FailCrtCall(const char* call) {
  std::perror(call);
  ExitFailure();
}

void* AllocZeroedOrExit(size_t byteCount) {
  void* block = std::calloc(1, byteCount);
  if (block == nullptr) Fail("malloc failed\n");
  return block;
}

bool IsLineEnd(char c) {
  return c == '\r' || c == '\n';
}

[[noreturn]] void FailFileName() {
  Fail("%s: Wrong dlf file format, filename is wrong\n", programName);
}

// Finds the double-quoted name that must start right after `comma`; returns
// its first character and stores its length.
const char* QuotedNameAfter(const char* comma, size_t* length) {
  if (comma[1] != '"') FailFileName();
  const char* start = comma + 2;
  const char* closing = std::strchr(start, '"');
  if (closing == nullptr) FailFileName();
  *length = static_cast<size_t>(closing - start);
  return start;
}

void CheckVersionLine(const char* line) {
  if (std::strcmp(line, DLF_VERSION) == 0) return;
  ReportError("%s: Error: Unsupported version of dlf (%s)\n", programName, line);
  Fail("%s: Error: Only v2.00 is supported\n", programName);
}

void ParseConfigLine(const char* line) {
  const char* comma = std::strchr(line, ',');
  size_t keywordLength = sizeof CONFIG_KEYWORD - 1;
  if (comma == nullptr || static_cast<size_t>(comma - line) != keywordLength ||
      std::memcmp(line, CONFIG_KEYWORD, keywordLength) != 0) {
    Fail("%s: Wrong dlf file format, qcf difinition is wrong\n", programName);
  }
  size_t length = 0;
  const char* name = QuotedNameAfter(comma, &length);
  if (length >= PATH_CAPACITY) {
    Fail("%s: Wrong dlf file format, configuration file name is longer than %d characters\n",
         programName, static_cast<int>(PATH_CAPACITY - 1));
  }
  std::memcpy(options.configName, name, length);
  options.configName[length] = '\0';
  if (options.verbose) std::fprintf(stderr, "qcf         : %s\n", options.configName);
}

// The offset field is the text before the first comma, converted like the C
// library's unsigned 64-bit base-16 conversion; a field without digits is 0.
uint64_t ParseOffsetField(const char* line, const char* comma) {
  char field[DLF_LINE_CAPACITY];
  size_t length = static_cast<size_t>(comma - line);
  std::memcpy(field, line, length);
  field[length] = '\0';
  return static_cast<uint64_t>(std::strtoull(field, nullptr, 16));
}

// Parses one entry line into a new block holding the record and its name.
DlfEntry* ParseEntryLine(const char* line) {
  const char* comma = std::strchr(line, ',');
  if (comma == nullptr) Fail("%s: Wrong dlf file format, offset is wrong\n", programName);
  uint64_t discOffset = ParseOffsetField(line, comma);
  size_t length = 0;
  const char* name = QuotedNameAfter(comma, &length);
  DlfEntry* entry = static_cast<DlfEntry*>(AllocZeroedOrExit(sizeof(DlfEntry) + length + 1));
  entry->name = reinterpret_cast<char*>(entry + 1);
  std::memcpy(entry->name, name, length);
  entry->name[length] = '\0';
  entry->discOffset = discOffset;
  if (options.verbose) {
    std::fprintf(stderr, "name: %s, offset: 0x%08x%08x\n", entry->name,
                 static_cast<unsigned>(entry->discOffset >> 32),
                 static_cast<unsigned>(entry->discOffset & 0xFFFFFFFFu));
  }
  return entry;
}

}  // namespace

char* ReadWholeFile(const char* path) {
  CrtFileGuard file{HostCrtOpenRead(path)};
  if (file.fd < 0) FailCrtCall("open");
  // Without a size there is nothing sound to read, whatever the cause.
  int64_t size = 0;
  if (HostCrtStatSize(path, &size) != 0) FailCrtCall("stat");
  if (size < 0 || size > DLF_SIZE_LIMIT) {
    Fail("%s: dlf file %s is too large, it must be smaller than 2 GiB\n", programName, path);
  }
  TextBuffer text(static_cast<char*>(AllocZeroedOrExit(static_cast<size_t>(size) + 1)));
  errno = 0;
  int64_t got = HostCrtRead(file.fd, text.get(), static_cast<uint32_t>(size));
  if (got != size) {
    // A file that shrank leaves no error code; do not report it as success.
    if (got >= 0 && errno == 0) errno = EIO;
    FailCrtCall("read");
  }
  if (HostCrtClose(file.Release()) != 0) FailCrtCall("close");
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
  if (length >= DLF_LINE_CAPACITY) {
    Fail("%s: Wrong dlf file format, line is longer than %d characters\n", programName,
         static_cast<int>(DLF_LINE_CAPACITY - 1));
  }
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

DlfList* ParseDlf(const char* path) {
  TextBuffer text(ReadWholeFile(path));
  LineCursorReset cursorReset;
  BeginLines(text.get());
  char line[DLF_LINE_CAPACITY];

  if (!ReadLine(line)) line[0] = '\0';
  CheckVersionLine(line);
  if (!ReadLine(line)) line[0] = '\0';
  ParseConfigLine(line);

  DlfListGuard list(static_cast<DlfList*>(AllocZeroedOrExit(sizeof(DlfList))));
  DlfEntry* last = nullptr;
  while (ReadLine(line)) {
    if (list->count == INT_MAX) {
      Fail("%s: Wrong dlf file format, more than %d entry lines\n", programName, INT_MAX);
    }
    // A faulty line ends the run before its entry exists; the guard frees
    // the ones linked so far.
    DlfEntry* entry = ParseEntryLine(line);
    if (last == nullptr) {
      list->first = entry;
    } else {
      last->next = entry;
    }
    last = entry;
    ++list->count;
  }
  return list.release();
}

void FreeDlfList(DlfList* list) {
  if (list == nullptr) return;
  DlfEntry* entry = list->first;
  while (entry != nullptr) {
    DlfEntry* next = entry->next;
    std::free(entry);
    entry = next;
  }
  std::free(list);
}
