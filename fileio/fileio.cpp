#include "fileio/fileio.h"

#include <cinttypes>
#include <cstring>

#include "app/options.h"
#include "host/coding.h"

namespace {

[[noreturn]] void FailOpen(const char* path) {
  if (HostIsDirectoryPath(path)) Fail("%s: %s is a directory, not a file\n", programName, path);
  Fail("%s: Cannot open file %s!\n", programName, path);
}

HostHandle OpenOrFail(const char* path, HostAccess access, HostCreation creation) {
  HostHandle file = HostOpenFile(path, access, creation);
  if (file == HOST_INVALID_HANDLE) FailOpen(path);
  if (HostIsDirectoryHandle(file)) {
    HostCloseFile(file);
    FailOpen(path);
  }
  return file;
}

[[noreturn]] void FailRead() {
  Fail("%s: Error occurred when reading file.\n", programName);
}

[[noreturn]] void FailWrite() {
  int code = HostLastError();
  ReportError("%s: Error occurred when writing the output file.\n", programName);
  Fail("%08X\n", static_cast<unsigned>(code));
}

}  // namespace

FILE* OpenStreamForWriting(const char* path) {
  FILE* stream = std::fopen(path, "wb");
  if (stream == nullptr) {
    ReportError("%s: Error occurred when opening file %s\n", programName, path);
    std::perror("fopen");
    ExitFailure();
  }
  return stream;
}

HostHandle CreateOutputFile(const char* path) {
  return OpenOrFail(path, HOST_READ_WRITE, HOST_CREATE_ALWAYS);
}

HostHandle OpenInputFile(const char* path) {
  return OpenOrFail(path, HOST_READ_ONLY, HOST_OPEN_EXISTING);
}

HostHandle OpenExistingReadWrite(const char* path) {
  return OpenOrFail(path, HOST_READ_WRITE, HOST_OPEN_EXISTING);
}

HostHandle CreateNewFile(const char* path) {
  return OpenOrFail(path, HOST_READ_WRITE, HOST_CREATE_NEW);
}

void CloseFile(HostHandle file) {
  if (!HostCloseFile(file)) FailWrite();
}

void FileGuard::Close() {
  HostHandle f = file;
  file = HOST_INVALID_HANDLE;
  CloseFile(f);
}

uint64_t GetFileSize64(HostHandle file) {
  uint64_t size = 0;
  if (!HostFileSize(file, &size)) FailRead();
  return size;
}

uint32_t ReadAt(HostHandle file, void* buffer, uint32_t byteCount, uint64_t offset) {
  uint32_t done = 0;
  if (!HostReadAt(file, buffer, byteCount, offset, &done)) FailRead();
  return done;
}

void CopyRange(HostHandle source, uint64_t sourceOffset, HostHandle destination,
               uint64_t destinationOffset, uint64_t length) {
  if (options.verbose) {
    ReportError("start src seek off %" PRId64 "\n", static_cast<int64_t>(sourceOffset));
    ReportError("start dst seek off %" PRId64 "\n", static_cast<int64_t>(destinationOffset));
  }
  uint64_t done = 0;
  while (done < length) {
    uint64_t remaining = length - done;
    uint32_t chunk =
        static_cast<uint32_t>(remaining < COPY_BUFFER_SIZE ? remaining : COPY_BUFFER_SIZE);
    if (options.verbose) ReportError("copySize : %d\n", static_cast<int>(chunk));
    uint32_t got = 0;
    if (!HostReadAt(source, copyBuffer, chunk, sourceOffset + done, &got)) FailRead();
    if (got != chunk) {
      ReportError("%s: Error occurred when reading file.\n", programName);
      Fail("%s: The file ended after %" PRIu64 " of %" PRIu64 " bytes\n", programName, done + got,
           length);
    }
    if (options.verbose) ReportError("0x%08x\n", LoadLE32(copyBuffer));
    if (!HostWriteAt(destination, copyBuffer, chunk, destinationOffset + done)) FailWrite();
    done += chunk;
    if (options.verbose) {
      ReportError("current src seek off %" PRId64 "\n", static_cast<int64_t>(sourceOffset + done));
      ReportError("current dst seek off %" PRId64 "\n",
                  static_cast<int64_t>(destinationOffset + done));
    }
  }
}

void ChangeToFolderOf(const char* path) {
  const char* separator = std::strrchr(path, '/');
  if (separator == nullptr) separator = std::strrchr(path, '\\');
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
