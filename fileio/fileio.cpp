#include "fileio/fileio.h"

#include <cinttypes>
#include <cstdlib>
#include <cstring>

#include "base/coding.h"

unsigned char* copyBuffer = nullptr;

namespace {

// A directory is a file that cannot be opened, as the host that defines
// these messages says of one.
[[noreturn]] void FailOpen(const char* path) {
  Fail("%s: Cannot open file %s!\n", programName, path);
}

[[noreturn]] void FailRead() {
  Fail("%s: Error occurred when reading file.\n", programName);
}

// Opens a file and, when `status` is given, queries it in the same go.
HostHandle OpenOrFail(const char* path, HostAccess access, HostCreation creation,
                      HostFileStatus* status) {
  HostHandle file = HostOpenFile(path, access, creation);
  if (file == HOST_INVALID_HANDLE) FailOpen(path);
  // Only a read-only open can yield a directory: opening one for writing,
  // or creating over one, fails in the open itself.
  if (access == HOST_READ_ONLY || status != nullptr) {
    HostFileStatus queried;
    bool known = HostQueryFile(file, &queried);
    if (known && queried.isDirectory) {
      HostCloseFile(file);
      FailOpen(path);
    }
    if (status != nullptr) {
      if (!known) {
        HostCloseFile(file);
        FailRead();
      }
      *status = queried;
    }
  }
  return file;
}

[[noreturn]] void FailWrite() {
  int code = HostLastError();
  ReportError("%s: Error occurred when writing the output file.\n", programName);
  Fail("%08X\n", static_cast<unsigned>(code));
}

[[noreturn]] void FailShortRead(uint64_t got, uint64_t wanted) {
  ReportError("%s: Error occurred when reading file.\n", programName);
  Fail("%s: The file ended after %" PRIu64 " of %" PRIu64 " bytes\n", programName, got, wanted);
}

// Ranges from this size on are copied by the kernel where it can. For
// smaller ones it gains nothing (measured with bench/copy-methods and on
// the small-file corpora: its copy of a few KiB into a new file even loses a
// little); they are gathered instead (below) and need no size check.
const uint64_t KERNEL_COPY_MIN = 256 * 1024;

// Small ranges that land back to back in one file (Pack mode appending
// small files to the qpk file) are gathered at the start of the copy buffer
// and written together: one write per file costs a third of packing many
// small files. The window stays small enough for the processor's caches.
const uint32_t GATHER_LIMIT = 1024 * 1024;

// Bytes read but not yet written: copyBuffer[0, length) belongs at
// `offset` of `file`.
struct GatheredWrite {
  HostHandle file;
  uint64_t offset;
  uint32_t length;
};
GatheredWrite gathered = {HOST_INVALID_HANDLE, 0, 0};

// Small ranges read one after another out of one file (Unpack mode taking
// its entries out of the qpk file) are served from a window of that file
// read ahead into the copy buffer, behind the gathering area: one read per
// window instead of one per range.
const uint32_t READ_WINDOW_SIZE = 1024 * 1024;

struct ReadWindow {
  HostHandle file;
  uint64_t start;
  uint32_t length;
};
ReadWindow window = {HOST_INVALID_HANDLE, 0, 0};

// Where the last small range went, so that the next one can tell whether it
// continues it (and is gathered) or not (and is written from the window).
struct WriteEnd {
  HostHandle file;
  uint64_t offset;
};
WriteEnd lastSmallWrite = {HOST_INVALID_HANDLE, 0};

unsigned char* WindowBytes() {
  return copyBuffer + GATHER_LIMIT;
}

void DropWindow() {
  window.file = HOST_INVALID_HANDLE;
  window.length = 0;
}

// A failure to write gathered bytes is reported as the copy that gathered
// them would have. It is ignored while the run ends on an error reported
// already, or unwinds from one: the bytes go out as they would have before
// it, and a failure to write them adds nothing to that report.
enum WriteFailure { REPORT_WRITE_FAILURE, IGNORE_WRITE_FAILURE };

// Writes the gathered bytes; their file changes, so a window of it goes.
void WriteGathered(WriteFailure onFailure = REPORT_WRITE_FAILURE) {
  if (gathered.length == 0) return;
  GatheredWrite pending = gathered;
  gathered.length = 0;
  if (window.file == pending.file) DropWindow();
  bool written = copyBuffer != nullptr &&
                 HostWriteAt(pending.file, copyBuffer, pending.length, pending.offset);
  if (!written && onFailure == REPORT_WRITE_FAILURE) FailWrite();
}

// The rule for the bytes held here for one file, applied before the file is
// read, sized, copied from or into, written by other means or closed: what
// is gathered for it is written, so that every use sees those bytes and
// writes keep their order, and a window read ahead from it is dropped, since
// a write leaves it stale and a closed handle may come back for another
// file. So a window and gathered bytes of one file never stand side by side,
// and the window can serve reads without looking at what is gathered.
void SettleCachedBytes(HostHandle file, WriteFailure onFailure = REPORT_WRITE_FAILURE) {
  if (gathered.file == file) WriteGathered(onFailure);
  if (window.file == file) DropWindow();
}

// The copy buffer is about to be used from its start, where the gathered
// bytes lie (a chunk of a plain copy, a caller's read into it, its release):
// every file is settled.
void ClaimCopyBuffer(WriteFailure onFailure = REPORT_WRITE_FAILURE) {
  WriteGathered(onFailure);
  DropWindow();
}

void WriteGatheredAtExit() {
  ClaimCopyBuffer(IGNORE_WRITE_FAILURE);
}

bool ContinuesGathered(HostHandle destination, uint64_t destinationOffset, uint32_t length) {
  return gathered.length != 0 && gathered.file == destination &&
         gathered.offset + gathered.length == destinationOffset &&
         gathered.length + length <= GATHER_LIMIT;
}

// Reads a small range into the gathering area behind the bytes already
// there, or at its start when the range does not continue them. Returns
// false, with nothing gathered, when the bytes could not be written at exit;
// the caller then copies the range the plain way.
bool GatherRange(HostHandle source, uint64_t sourceOffset, HostHandle destination,
                 uint64_t destinationOffset, uint32_t length) {
  static bool exitHookSet = std::atexit(WriteGatheredAtExit) == 0;
  if (!exitHookSet) return false;
  SettleCachedBytes(source);  // the range may lie in bytes gathered for it
  if (!ContinuesGathered(destination, destinationOffset, length)) {
    WriteGathered();                 // the gathering area starts over
    SettleCachedBytes(destination);  // for a file about to change
    gathered.file = destination;
    gathered.offset = destinationOffset;
  }
  uint32_t got = 0;
  bool readOk = HostReadAt(source, copyBuffer + gathered.length, length, sourceOffset, &got);
  if (!readOk || got != length) {
    // The bytes gathered before would have been written by now.
    WriteGathered();
    if (!readOk) FailRead();
    FailShortRead(got, length);
  }
  gathered.length += length;
  return true;
}

bool WindowHolds(HostHandle file, uint64_t offset, uint32_t length) {
  return window.file == file && offset >= window.start && offset - window.start <= window.length &&
         length <= window.length - (offset - window.start);
}

// Reads `source` ahead from `offset`, once it holds what was copied into it.
// False when the window cannot hold `length` bytes from there.
bool FillWindow(HostHandle source, uint64_t offset, uint32_t length) {
  SettleCachedBytes(source);
  DropWindow();
  uint32_t got = 0;
  if (!HostReadAt(source, WindowBytes(), READ_WINDOW_SIZE, offset, &got)) return false;
  window = {source, offset, got};
  return got >= length;
}

// Copies a small range by way of the read window, refilling it from the
// range's start when the range lies outside it. Returns false, having
// written nothing, when the window cannot hold the range (a read error or
// the end of the source); the caller then copies it another way, which
// reports what went wrong.
bool CopyThroughWindow(HostHandle source, uint64_t sourceOffset, HostHandle destination,
                       uint64_t destinationOffset, uint32_t length) {
  if (!WindowHolds(source, sourceOffset, length) && !FillWindow(source, sourceOffset, length)) {
    return false;
  }
  const unsigned char* bytes = WindowBytes() + (sourceOffset - window.start);
  // A copy within one file drops its window here; the bytes stay in place
  // until they are written.
  SettleCachedBytes(destination);
  if (!HostWriteAt(destination, bytes, length, destinationOffset)) FailWrite();
  return true;
}

// The plain copy, from `done` bytes on: chunk by chunk through the start of
// the copy buffer, traced when `verbose`.
void CopyThroughBuffer(HostHandle source, uint64_t sourceOffset, HostHandle destination,
                       uint64_t destinationOffset, uint64_t length, uint64_t done, bool verbose) {
  // It writes at once: the next small range starts afresh.
  lastSmallWrite.file = HOST_INVALID_HANDLE;
  ClaimCopyBuffer();
  while (done < length) {
    uint64_t remaining = length - done;
    uint32_t chunk =
        static_cast<uint32_t>(remaining < COPY_BUFFER_SIZE ? remaining : COPY_BUFFER_SIZE);
    if (verbose) ReportError("copySize : %d\n", static_cast<int>(chunk));
    uint32_t got = 0;
    if (!HostReadAt(source, copyBuffer, chunk, sourceOffset + done, &got)) FailRead();
    if (got != chunk) FailShortRead(done + got, length);
    if (verbose) ReportError("0x%08x\n", LoadLE32(copyBuffer));
    if (!HostWriteAt(destination, copyBuffer, chunk, destinationOffset + done)) FailWrite();
    done += chunk;
    if (verbose) {
      ReportError("current src seek off %" PRId64 "\n", static_cast<int64_t>(sourceOffset + done));
      ReportError("current dst seek off %" PRId64 "\n",
                  static_cast<int64_t>(destinationOffset + done));
    }
  }
}

void CopyTraced(HostHandle source, uint64_t sourceOffset, HostHandle destination,
                uint64_t destinationOffset, uint64_t length) {
  ReportError("start src seek off %" PRId64 "\n", static_cast<int64_t>(sourceOffset));
  ReportError("start dst seek off %" PRId64 "\n", static_cast<int64_t>(destinationOffset));
  if (length != 0) {
    CopyThroughBuffer(source, sourceOffset, destination, destinationOffset, length, 0, true);
  }
}

// True when the source holds every byte of the range. Only such a range is
// handed to the kernel: one that runs past the end goes through the buffer,
// which stops before writing the short chunk and says where the file ended.
bool SourceHoldsRange(HostHandle source, uint64_t offset, uint64_t length) {
  uint64_t size = 0;
  return HostFileSize(source, &size) && offset <= size && length <= size - offset;
}

// The kernel moves the bytes: no copy through user memory, and the copy
// buffer is never touched. Whatever it leaves undone (a file system that
// refuses, an error) goes through the buffer, which reports failures as ever.
void CopyLargeRange(HostHandle source, uint64_t sourceOffset, HostHandle destination,
                    uint64_t destinationOffset, uint64_t length) {
  // Every file is settled first, as before a plain copy: the source and the
  // destination among them.
  ClaimCopyBuffer();
  uint64_t done = 0;
  if (SourceHoldsRange(source, sourceOffset, length)) {
    HostCopyInKernel(source, sourceOffset, destination, destinationOffset, length, &done);
  }
  CopyThroughBuffer(source, sourceOffset, destination, destinationOffset, length, done, false);
}

// A range that continues the last small one is gathered; any other is
// written from the read window, or gathered when the window cannot hold it.
void CopySmallRange(HostHandle source, uint64_t sourceOffset, HostHandle destination,
                    uint64_t destinationOffset, uint32_t length) {
  bool continues = lastSmallWrite.file == destination && lastSmallWrite.offset == destinationOffset;
  lastSmallWrite = {destination, destinationOffset + length};
  if (!continues &&
      CopyThroughWindow(source, sourceOffset, destination, destinationOffset, length)) {
    return;
  }
  if (GatherRange(source, sourceOffset, destination, destinationOffset, length)) return;
  CopyThroughBuffer(source, sourceOffset, destination, destinationOffset, length, 0, false);
}

}  // namespace

bool AllocateCopyBuffer() {
  copyBuffer = static_cast<unsigned char*>(std::calloc(1, COPY_BUFFER_SIZE));
  return copyBuffer != nullptr;
}

void ReleaseCopyBuffer() {
  // Nothing this buffer holds may come out of the next one.
  if (copyBuffer != nullptr) ClaimCopyBuffer();
  lastSmallWrite.file = HOST_INVALID_HANDLE;
  std::free(copyBuffer);
  copyBuffer = nullptr;
}

FILE* OpenStreamForWriting(const char* path) {
  FILE* stream = std::fopen(path, "wb");
  if (stream == nullptr) {
    ReportError("%s: Error occurred when opening file %s\n", programName, path);
    std::perror("fopen");
    ExitFailure();
  }
  return stream;
}

HostHandle CreateOutputFile(const char* path, HostFileStatus* status) {
  return OpenOrFail(path, HOST_READ_WRITE, HOST_CREATE_ALWAYS, status);
}

HostHandle OpenInputFile(const char* path, HostFileStatus* status) {
  return OpenOrFail(path, HOST_READ_ONLY, HOST_OPEN_EXISTING, status);
}

HostHandle OpenExistingReadWrite(const char* path, HostFileStatus* status) {
  return OpenOrFail(path, HOST_READ_WRITE, HOST_OPEN_EXISTING, status);
}

HostHandle OpenRegularFile(const char* path, HostAccess access, HostFileStatus* status) {
  HostFileKind kind = HOST_KIND_UNKNOWN;
  HostHandle file = HostOpenExistingNoWait(path, access, status, &kind);
  if (file == HOST_INVALID_HANDLE) FailOpen(path);
  if (kind == HOST_KIND_REGULAR) return file;
  HostCloseFile(file);
  if (kind == HOST_KIND_DIRECTORY) FailOpen(path);
  if (kind == HOST_KIND_UNKNOWN) FailRead();
  Fail("%s: %s is not a regular file\n", programName, path);
}

HostHandle CreateNewFile(const char* path) {
  return OpenOrFail(path, HOST_READ_WRITE, HOST_CREATE_NEW, nullptr);
}

void FlushCopiedBytes(HostHandle file) {
  SettleCachedBytes(file);
}

void CloseFile(HostHandle file) {
  SettleCachedBytes(file);
  if (!HostCloseFile(file)) FailWrite();
}

void CloseFileQuietly(HostHandle file) {
  SettleCachedBytes(file, IGNORE_WRITE_FAILURE);
  HostCloseFile(file);
}

void FileGuard::Close() {
  HostHandle f = file;
  file = HOST_INVALID_HANDLE;
  CloseFile(f);
}

uint64_t GetFileSize64(HostHandle file) {
  SettleCachedBytes(file);
  uint64_t size = 0;
  if (!HostFileSize(file, &size)) FailRead();
  return size;
}

uint32_t ReadAt(HostHandle file, void* buffer, uint32_t byteCount, uint64_t offset) {
  // Rare reads, and the caller's buffer may be the copy buffer.
  ClaimCopyBuffer();
  uint32_t done = 0;
  if (!HostReadAt(file, buffer, byteCount, offset, &done)) FailRead();
  return done;
}

void CopyRange(HostHandle source, uint64_t sourceOffset, HostHandle destination,
               uint64_t destinationOffset, uint64_t length, bool verbose) {
  if (verbose) {
    CopyTraced(source, sourceOffset, destination, destinationOffset, length);
  } else if (length >= KERNEL_COPY_MIN) {
    CopyLargeRange(source, sourceOffset, destination, destinationOffset, length);
  } else if (length != 0) {
    CopySmallRange(source, sourceOffset, destination, destinationOffset,
                   static_cast<uint32_t>(length));
  }
}

void CopyRangeToOutput(HostHandle source, uint64_t sourceOffset, HostHandle destination,
                       uint64_t length) {
  uint64_t done = 0;
  if (HostSendInKernel(source, sourceOffset, destination, length, &done) && done != length) {
    FailShortRead(done, length);
  }
  ClaimCopyBuffer();
  while (done < length) {
    uint64_t remaining = length - done;
    uint32_t chunk =
        static_cast<uint32_t>(remaining < COPY_BUFFER_SIZE ? remaining : COPY_BUFFER_SIZE);
    uint32_t got = 0;
    if (!HostReadAt(source, copyBuffer, chunk, sourceOffset + done, &got)) FailRead();
    if (got != chunk) FailShortRead(done + got, length);
    if (!HostWriteAll(destination, copyBuffer, chunk)) FailWrite();
    done += chunk;
  }
}

FILE* CreateNewStreamIn(HostFolder folder, const char* path, const char* name) {
  HostHandle file = HostCreateFileIn(folder, path, name);
  FILE* stream = file == HOST_INVALID_HANDLE ? nullptr : HostStreamFromFile(file);
  if (stream == nullptr) {
    ReportError("%s: Error occurred when opening file %s\n", programName, path);
    std::perror("fopen");
    ExitFailure();
  }
  return stream;
}

void ChangeToFolderOf(const char* path) {
  const char* separator = HostLastPathSeparator(path);
  if (separator == nullptr) return;
  size_t length = static_cast<size_t>(separator - path);
  if (length >= PATH_CAPACITY) {
    Fail("%s: Folder name is longer than %zu characters: %.*s\n", programName, PATH_CAPACITY - 1,
         static_cast<int>(length), path);
  }
  char folder[PATH_CAPACITY];
  std::memcpy(folder, path, length);
  folder[length] = '\0';
  // "/x.dlf" lies in the root folder, which an empty name cannot express.
  if (length == 0) std::strcpy(folder, *separator == '/' ? "/" : "\\");
  if (!HostChangeDirectory(folder)) {
    int code = HostLastError();
    ReportError("%s: Cannot change directory to %s\n", programName, folder);
    Fail("%s: Error code is %d\n", programName, code);
  }
}

void CopyPathField(char* field, const char* value) {
  size_t length = std::strlen(value);
  if (length >= PATH_CAPACITY) {
    Fail("%s: Name is longer than %zu characters: %s\n", programName, PATH_CAPACITY - 1, value);
  }
  std::memmove(field, value, length + 1);
}

void JoinPathField(char* field, const char* a, const char* b, const char* c) {
  size_t la = std::strlen(a), lb = std::strlen(b), lc = std::strlen(c);
  if (la + lb + lc >= PATH_CAPACITY) {
    Fail("%s: Name is longer than %zu characters: %s%s%s\n", programName, PATH_CAPACITY - 1, a, b,
         c);
  }
  char joined[PATH_CAPACITY];
  std::memcpy(joined, a, la);
  std::memcpy(joined + la, b, lb);
  std::memcpy(joined + la + lb, c, lc + 1);
  std::memcpy(field, joined, la + lb + lc + 1);
}

void StripNameExtension(char* dst, const char* src, bool verbose) {
  const char* dot = std::strrchr(src, '.');
  size_t length = dot != nullptr ? static_cast<size_t>(dot - src) : std::strlen(src);
  std::memmove(dst, src, length);
  dst[length] = '\0';
  if (verbose) ReportError("suffix: %s\n", dst);
}

void BaseNameOf(const char* src, char* dst) {
  const char* separator = HostLastPathSeparator(src);
  std::strcpy(dst, separator != nullptr ? separator + 1 : src);
}
