// File access primitives: opening, sizing, positioned reads, the chunked copy
// through the copy buffer, and moving to a path's folder. Every failure is
// reported here and ends the run.
#ifndef QUORLITH_FILEIO_FILEIO_H_
#define QUORLITH_FILEIO_FILEIO_H_

#include <cstdint>
#include <cstdio>

#include "base/base.h"
#include "host/host.h"

// The copy buffer: allocated once before a run, used by every chunked copy.
const size_t COPY_BUFFER_SIZE = 0x2000000;  // 32 MiB
extern unsigned char* copyBuffer;
// Allocates the zero-filled copy buffer; false when memory is short.
bool AllocateCopyBuffer();
// Writes what copies have left gathered (see CopyRange) and frees the
// buffer: nothing it held comes out of a buffer allocated after it.
void ReleaseCopyBuffer();

// The dlf stream that Unpack mode writes: created or truncated, binary.
FILE* OpenStreamForWriting(const char* path);
// The functions below that take a `status` also store the opened file's
// status there (one query for the kind, the size and the identity).
// The qpk file that Pack mode writes: created or truncated, read/write.
HostHandle CreateOutputFile(const char* path, HostFileStatus* status = nullptr);
// An existing file, read-only.
HostHandle OpenInputFile(const char* path, HostFileStatus* status = nullptr);
// An existing file, read/write (the configuration file is opened this way).
HostHandle OpenExistingReadWrite(const char* path, HostFileStatus* status = nullptr);
// An existing regular file, for Pack mode's inputs and Unpack mode's qpk
// file: the open cannot wait (a FIFO, a device), and anything but a regular
// file is refused, a directory as a file that cannot be opened.
HostHandle OpenRegularFile(const char* path, HostAccess access, HostFileStatus* status);
// A new file that must not exist yet, read/write.
HostHandle CreateNewFile(const char* path);
// Writes what copies have left gathered for `file` (see CopyRange). Call it
// before writing the file by other means, so that writes keep their order.
void FlushCopiedBytes(HostHandle file);
// Closes a file, writing first what copies have left gathered for it and
// reporting any failure.
void CloseFile(HostHandle file);
// Closes a file while a failed run unwinds: gathered bytes are written if
// they can be, and nothing is reported.
void CloseFileQuietly(HostHandle file);

uint64_t GetFileSize64(HostHandle file);

// Reads up to `byteCount` bytes at `offset`; returns how many arrived (fewer
// only at the end of the file).
uint32_t ReadAt(HostHandle file, void* buffer, uint32_t byteCount, uint64_t offset);

// Copies `length` bytes through the copy buffer in chunks of at most 32 MiB
// (traced when `verbose`). Otherwise the kernel copies large ranges where the
// host can, and small ranges that continue the previous one in the same
// file are gathered and written together: before the file is closed, read,
// sized or copied from, before any failure is reported, before the copy
// buffer is released, and at exit. The bytes written and the failures
// reported stay the same. Gathered bytes are not visible through another
// handle of the same file; callers never copy a file into itself through
// two handles.
// A source that ends early is an error: nothing stands in for missing bytes.
void CopyRange(HostHandle source, uint64_t sourceOffset, HostHandle destination,
               uint64_t destinationOffset, uint64_t length, bool verbose = false);

// Copies `length` bytes of `source` from `sourceOffset` to `destination`
// at its current position, written in order, so that the destination may be
// a pipe or a terminal: in the kernel where the host can, through the copy
// buffer (which must be allocated) otherwise. Fails as CopyRange does.
void CopyRangeToOutput(HostHandle source, uint64_t sourceOffset, HostHandle destination,
                       uint64_t length);

// The dlf stream that Unpack mode writes: the new file `name` created in the
// held `folder` (`path` in full), binary, never through a link and never
// over an existing name. Fails as OpenStreamForWriting does.
FILE* CreateNewStreamIn(HostFolder folder, const char* path, const char* name);

// Makes the folder part of `path` the working directory; a path without a
// folder part leaves it unchanged.
void ChangeToFolderOf(const char* path);

// An output file written under a temporary name in the folder of `path`
// and renamed over it once complete, so that a failed or killed run leaves
// `path` as it was; a path that names a device or a FIFO is written in
// place. Every way out but CommitOutputFile (the fatal path ending the
// process, or unwinding where it throws) removes the temporary file.
struct OutputFile {
  HostHandle file = HOST_INVALID_HANDLE;  // where to write, read/write
  bool replacing = false;                 // a temporary file that is renamed at the end
  HostReplacement replacement;
  bool statusKnown = false;  // the status of `file`, to tell inputs that are the output
  HostFileStatus status = {};
  ~OutputFile();
};
// Starts the output; "Cannot open file PATH!" when nothing can be written
// there. The temporary path keeps within PATH_CAPACITY - 1 characters.
void OpenOutputFile(const char* path, OutputFile* output);
// Closes the complete output and puts it in place, or fails as the open does.
void CommitOutputFile(const char* path, OutputFile* output);

// Path fields of PATH_CAPACITY bytes, as the command lines settle them: a
// name that does not fit is refused ("Name is longer than ..."), never cut.
void CopyPathField(char* field, const char* value);
// `a`, `b` and `c` joined into a path field, with the same rule.
void JoinPathField(char* field, const char* a, const char* b, const char* c);
// `src` up to its last '.' (all of it when it has none) into `dst`
// (PATH_CAPACITY bytes); traced when `verbose`.
void StripNameExtension(char* dst, const char* src, bool verbose);
// The part of `src` after its last separator into `dst`.
void BaseNameOf(const char* src, char* dst);

// Closes a handle when it goes out of scope, so the fatal path can unwind
// without leaking it.
struct FileGuard {
  HostHandle file;
  explicit FileGuard(HostHandle f) : file(f) {}
  FileGuard(const FileGuard&) = delete;
  FileGuard& operator=(const FileGuard&) = delete;
  ~FileGuard() {
    if (file != HOST_INVALID_HANDLE) CloseFileQuietly(file);
  }
  // Closes now, reporting a failed close like any other failed write.
  void Close();
};

#endif  // QUORLITH_FILEIO_FILEIO_H_
