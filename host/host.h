// The platform layer: the few file and directory operations the rest of the
// program needs, with one implementation per host (POSIX, Win32). Nothing
// here prints or exits; every failure is returned and leaves the host's error
// code for HostLastError().
#ifndef QUORLITH_HOST_HOST_H_
#define QUORLITH_HOST_HOST_H_

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

// A file opened for positioned access: a descriptor on POSIX, a HANDLE on Win32.
typedef intptr_t HostHandle;
const HostHandle HOST_INVALID_HANDLE = -1;

enum HostAccess { HOST_READ_ONLY, HOST_READ_WRITE };

enum HostCreation {
  HOST_CREATE_ALWAYS,  // create, or truncate an existing file to length 0
  HOST_CREATE_NEW,     // create; fail when the name exists
  HOST_OPEN_EXISTING,  // open; fail when the file does not exist
};

// Opens a file for positioned reads and writes. Returns HOST_INVALID_HANDLE
// on failure.
HostHandle HostOpenFile(const char* path, HostAccess access, HostCreation creation);
bool HostCloseFile(HostHandle file);

// Reads up to `count` bytes at `offset`, retrying partial transfers, and
// stores the number of bytes that arrived in `*done` (fewer only at the end
// of the file). False on an I/O error.
bool HostReadAt(HostHandle file, void* buffer, uint32_t count, uint64_t offset, uint32_t* done);

// Writes `count` bytes at `offset`, retrying partial transfers. False on error.
bool HostWriteAt(HostHandle file, const void* buffer, uint32_t count, uint64_t offset);

// Copies up to `count` bytes from `source` at `sourceOffset` to
// `destination` at `destinationOffset` inside the kernel, without passing
// them through user memory (the file system may share the blocks instead),
// and stores the number moved in `*done`. True when the copy ran: *done is
// short only where the source ended (or the file system stopped taking
// kernel copies). False when the host, the file system or this pair of
// files refuses such copies, or any error occurs, with *done bytes already
// moved; the caller copies the rest through a buffer, which reports a real
// failure in its own words. Hosts without such a call (Win32) return false
// with *done = 0.
bool HostCopyInKernel(HostHandle source, uint64_t sourceOffset, HostHandle destination,
                      uint64_t destinationOffset, uint64_t count, uint64_t* done);

// Writes `count` bytes at the handle's current position, which moves past
// them, retrying partial transfers: for outputs without positions (a pipe,
// a terminal) as well as files. False on error.
bool HostWriteAll(HostHandle file, const void* buffer, uint32_t count);

// Sends up to `count` bytes from `source` at `sourceOffset` to the current
// position of `destination` (any kind of output) inside the kernel, and
// stores the number moved in `*done`. Returns as HostCopyInKernel does: false
// when the host or this output refuses it, with *done bytes already moved.
// Hosts without such a call (Win32) return false with *done = 0.
bool HostSendInKernel(HostHandle source, uint64_t sourceOffset, HostHandle destination,
                      uint64_t count, uint64_t* done);

// The process's standard output as a handle; never closed by its users.
HostHandle HostStandardOutput();

// The size of an open file in bytes.
bool HostFileSize(HostHandle file, uint64_t* size);

// What one query of an open file tells: its size, whether it is a
// directory (POSIX lets open() succeed on one) and who it is (the volume
// and the file's number there).
struct HostFileStatus {
  uint64_t size;
  uint64_t volume;
  uint64_t index;
  bool isDirectory;
};
bool HostQueryFile(HostHandle file, HostFileStatus* status);
// True when both statuses describe the same file on the same volume.
inline bool HostSameFileStatus(const HostFileStatus& a, const HostFileStatus& b) {
  return a.volume == b.volume && a.index == b.index;
}

// Pack mode's inputs and its output.
//
// An input is opened so that the open itself cannot wait (POSIX: a FIFO
// without a writer, a device), and its kind is read through the same
// handle. Win32 counts anything but a disk file (a device such as NUL, a
// pipe) as HOST_KIND_OTHER.
enum HostFileKind { HOST_KIND_REGULAR, HOST_KIND_DIRECTORY, HOST_KIND_OTHER, HOST_KIND_UNKNOWN };
// Opens an existing file; never creates one. Returns HOST_INVALID_HANDLE
// when the open fails. Otherwise *kind tells what it is (HOST_KIND_UNKNOWN
// when the query failed) and, for a regular file or a directory, *status is
// filled from the same query.
HostHandle HostOpenExistingNoWait(const char* path, HostAccess access, HostFileStatus* status,
                                  HostFileKind* kind);

// The output is written under a temporary name in the folder of the file it
// replaces, then renamed over it, so that a failed or killed run leaves that
// file as it was.
struct HostReplacement {
  HostHandle file = HOST_INVALID_HANDLE;  // the temporary file, read/write
  bool replacesFile = false;     // an existing regular file is replaced: its identity is below
  HostFileStatus replaced = {};  // volume and index of the file replaced
  std::string folder;            // where both names live, as the path gave it ("" for none)
  std::string tempName;          // the temporary file's name in that folder
  std::string targetName;        // the name replaced in that folder
  intptr_t folderHandle = -1;    // POSIX: a descriptor of the folder, -1 when none is held
  std::string startDirectory;    // Win32: the working directory the names are relative to
};
enum HostReplaceStart {
  HOST_REPLACE_STARTED,      // the temporary file is created and open
  HOST_REPLACE_NOT_REGULAR,  // the path names a device or a FIFO: write it in place
  HOST_REPLACE_FAILED,       // a directory, a file that cannot be written, or a folder
                             // where no file can be created
};
// Starts replacing `path`. A symbolic link (POSIX) is followed to the file
// it finally names, which is the one replaced. An existing file must be
// writable, as writing it in place would need; the new file gets its
// permission bits (and, where allowed, its owner), a new path those of any
// new file. The temporary name is short, unused, and keeps the temporary
// path within `pathLimit` characters whenever the folder leaves room for
// at least one.
HostReplaceStart HostStartReplacement(const char* path, size_t pathLimit,
                                      HostReplacement* replacement);
// Renames the temporary file, already closed, over the path. False on
// failure, with the temporary file still there for HostAbandonReplacement.
bool HostFinishReplacement(HostReplacement* replacement);
// Removes the temporary file, already closed, and releases the folder.
void HostAbandonReplacement(HostReplacement* replacement);

// True when `path` names an existing directory.
bool HostIsDirectoryPath(const char* path);
// True when both paths exist and name the same file, however they are spelled.
bool HostPathsNameSameFile(const char* a, const char* b);

enum HostDirResult { HOST_DIR_CREATED, HOST_DIR_EXISTS, HOST_DIR_FAILED };

// Creates one directory; its parent must exist. An existing name of any kind
// gives HOST_DIR_EXISTS.
HostDirResult HostCreateDirectory(const char* path);
bool HostChangeDirectory(const char* path);

// Folders held open while names are created in them, so that each name is
// made in the folder the run made or entered, never through a symbolic link
// or reparse point that another process put in the way later: a descriptor
// on POSIX, a HANDLE on Win32. POSIX creates names relative to the folder
// (without following links, and beneath it where the kernel can tell);
// Win32 has no such calls, so it creates by the full path, refuses reparse
// points, and holds every folder open without delete sharing so that none
// can be renamed or replaced while it is held. Each call takes both the
// full `path` and its last component `name`, which lies in `parent`.
typedef intptr_t HostFolder;
const HostFolder HOST_INVALID_FOLDER = -1;

enum HostFolderResult {
  HOST_FOLDER_OPENED,
  HOST_FOLDER_LINK,    // a symbolic link or reparse point is in the way
  HOST_FOLDER_FAILED,  // anything else: HostLastError() tells
};

// Opens the existing directory `path` itself; a link as its last component
// is refused.
HostFolderResult HostOpenFolder(const char* path, HostFolder* folder);
// Creates the folder `name` in `parent`, or finds the directory of that
// name, and opens it.
HostFolderResult HostMakeFolderIn(HostFolder parent, const char* path, const char* name,
                                  HostFolder* folder);
// Creates the file `name` in `parent` for reading and writing; fails when
// the name exists in any form, a link included. HOST_INVALID_FOLDER as
// `parent` creates `path` itself, still without following a link there.
HostHandle HostCreateFileIn(HostFolder parent, const char* path, const char* name);
void HostCloseFolder(HostFolder folder);
// A binary output stream that owns `file` from here on, or nullptr with
// errno set (the file is then closed).
std::FILE* HostStreamFromFile(HostHandle file);

// Why the host cannot hold a file or directory named by this one path
// component (already free of separators, ".", ".." and empty names), or
// nullptr when it can. POSIX takes any other name; Win32 refuses drive
// letters, reserved device names and names its file system would alter.
const char* HostRefuseNameComponent(const char* component, size_t length);

// Path separators as the host's own calls read them. POSIX: only '/'.
// Win32: '/' and '\' alike, walked with the active code page's lead-byte
// rule, so that a trail byte 0x5C of a double-byte character is part of
// that character. `text` starts at a character boundary; returns its first
// separator, or its terminating NUL.
const char* HostNextSeparator(const char* text);
// The separator that splits a path into folder and base name, or nullptr:
// POSIX takes the last '/', or the last '\' when there is no '/'; Win32
// takes the last separator of either kind, as above.
const char* HostLastPathSeparator(const char* path);
#if defined(_WIN32)
// HostNextSeparator with a given code page instead of the active one.
const char* HostNextSeparatorInCodePage(const char* text, unsigned codePage);
#endif

// The host's code for the last failure: errno on POSIX, GetLastError() on Win32.
int HostLastError();
// The code HostLastError() gives when HostMakeFolderIn meets a file of that
// name: POSIX ENOTDIR from opening it as a folder; Win32 ERROR_DIRECTORY,
// which the folder open sets for anything but a directory.
int HostFolderIsFileError();

// Whole-file reads through the C runtime, so that failures come with errno
// for perror(). The file is opened read-only without line-end translation.
int HostCrtOpenRead(const char* path);
// The file's size; -1 with errno set on failure.
int HostCrtStatSize(const char* path, int64_t* size);
// Reads up to `count` bytes; the count read, or -1 with errno set.
int64_t HostCrtRead(int fd, void* buffer, uint32_t count);
int HostCrtClose(int fd);

#endif  // QUORLITH_HOST_HOST_H_
