// POSIX implementation of the platform layer.
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <time.h>
#include <unistd.h>
#if defined(__linux__)
#include <sys/sendfile.h>
#include <sys/syscall.h>
#if defined(SYS_openat2)
#include <linux/openat2.h>
#endif
#endif

#include <climits>
#include <cstring>
#include <string>
#include <vector>

#include "host/host.h"
#include "host/temp_name.h"

namespace {

int Fd(HostHandle file) {
  return static_cast<int>(file);
}

// Linux moves at most this much per call; larger requests come back short.
const uint32_t MAX_TRANSFER = 0x40000000;

}  // namespace

HostHandle HostOpenFile(const char* path, HostAccess access, HostCreation creation) {
  int flags = access == HOST_READ_ONLY ? O_RDONLY : O_RDWR;
  if (creation == HOST_CREATE_ALWAYS) flags |= O_CREAT | O_TRUNC;
  if (creation == HOST_CREATE_NEW) flags |= O_CREAT | O_EXCL;
  int fd = open(path, flags | O_CLOEXEC, 0666);
  return fd < 0 ? HOST_INVALID_HANDLE : static_cast<HostHandle>(fd);
}

bool HostCloseFile(HostHandle file) {
  return close(Fd(file)) == 0;
}

bool HostReadAt(HostHandle file, void* buffer, uint32_t count, uint64_t offset, uint32_t* done) {
  char* out = static_cast<char*>(buffer);
  uint32_t total = 0;
  while (total < count) {
    uint32_t want = count - total < MAX_TRANSFER ? count - total : MAX_TRANSFER;
    ssize_t got = pread(Fd(file), out + total, want, static_cast<off_t>(offset + total));
    if (got < 0) {
      if (errno == EINTR) continue;
      *done = total;
      return false;
    }
    if (got == 0) break;
    total += static_cast<uint32_t>(got);
  }
  *done = total;
  return true;
}

bool HostWriteAt(HostHandle file, const void* buffer, uint32_t count, uint64_t offset) {
  const char* in = static_cast<const char*>(buffer);
  uint32_t total = 0;
  while (total < count) {
    uint32_t want = count - total < MAX_TRANSFER ? count - total : MAX_TRANSFER;
    ssize_t put = pwrite(Fd(file), in + total, want, static_cast<off_t>(offset + total));
    if (put < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (put == 0) {
      errno = ENOSPC;
      return false;
    }
    total += static_cast<uint32_t>(put);
  }
  return true;
}

bool HostCopyInKernel(HostHandle source, uint64_t sourceOffset, HostHandle destination,
                      uint64_t destinationOffset, uint64_t count, uint64_t* done) {
  *done = 0;
#if defined(__linux__)
  // File offsets are signed 64-bit.
  const uint64_t MAX_FILE_OFFSET = 0x7FFFFFFFFFFFFFFFull;
  if (count > MAX_FILE_OFFSET || sourceOffset > MAX_FILE_OFFSET - count ||
      destinationOffset > MAX_FILE_OFFSET - count) {
    return false;
  }
  uint64_t total = 0;
  while (total < count) {
    // Explicit offsets: neither file's position moves. Large ranges go in
    // steps the kernel takes whole.
    loff_t in = static_cast<loff_t>(sourceOffset + total);
    loff_t out = static_cast<loff_t>(destinationOffset + total);
    size_t want = count - total < MAX_TRANSFER ? static_cast<size_t>(count - total) : MAX_TRANSFER;
    ssize_t moved = copy_file_range(Fd(source), &in, Fd(destination), &out, want, 0);
    if (moved < 0) {
      if (errno == EINTR) continue;
      // EXDEV, ENOSYS, EOPNOTSUPP, EINVAL (overlap, special files) and real
      // I/O errors alike: the buffered copy takes over from here.
      *done = total;
      return false;
    }
    if (moved == 0) break;
    total += static_cast<uint64_t>(moved);
  }
  *done = total;
  return true;
#else
  (void)source;
  (void)sourceOffset;
  (void)destination;
  (void)destinationOffset;
  (void)count;
  return false;
#endif
}

bool HostWriteAll(HostHandle file, const void* buffer, uint32_t count) {
  const char* in = static_cast<const char*>(buffer);
  uint32_t total = 0;
  while (total < count) {
    uint32_t want = count - total < MAX_TRANSFER ? count - total : MAX_TRANSFER;
    ssize_t put = write(Fd(file), in + total, want);
    if (put < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (put == 0) {
      errno = ENOSPC;
      return false;
    }
    total += static_cast<uint32_t>(put);
  }
  return true;
}

bool HostSendInKernel(HostHandle source, uint64_t sourceOffset, HostHandle destination,
                      uint64_t count, uint64_t* done) {
  *done = 0;
#if defined(__linux__)
  const uint64_t MAX_FILE_OFFSET = 0x7FFFFFFFFFFFFFFFull;
  if (count > MAX_FILE_OFFSET || sourceOffset > MAX_FILE_OFFSET - count) return false;
  uint64_t total = 0;
  while (total < count) {
    // An explicit source offset: the source's position does not move.
    off_t in = static_cast<off_t>(sourceOffset + total);
    size_t want = count - total < MAX_TRANSFER ? static_cast<size_t>(count - total) : MAX_TRANSFER;
    ssize_t moved = sendfile(Fd(destination), Fd(source), &in, want);
    if (moved < 0) {
      if (errno == EINTR) continue;
      // EINVAL, ENOSYS (outputs it cannot take) and real errors alike: the
      // buffered copy takes over and reports a real failure itself.
      *done = total;
      return false;
    }
    if (moved == 0) break;
    total += static_cast<uint64_t>(moved);
  }
  *done = total;
  return true;
#else
  (void)source;
  (void)sourceOffset;
  (void)destination;
  (void)count;
  return false;
#endif
}

HostHandle HostStandardOutput() {
  return STDOUT_FILENO;
}

bool HostFileSize(HostHandle file, uint64_t* size) {
  struct stat st;
  if (fstat(Fd(file), &st) != 0) return false;
  *size = static_cast<uint64_t>(st.st_size);
  return true;
}

namespace {

void FillFileStatus(const struct stat& st, HostFileStatus* status) {
  status->size = static_cast<uint64_t>(st.st_size);
  status->volume = static_cast<uint64_t>(st.st_dev);
  status->index = static_cast<uint64_t>(st.st_ino);
  status->isDirectory = S_ISDIR(st.st_mode);
}

}  // namespace

bool HostQueryFile(HostHandle file, HostFileStatus* status) {
  struct stat st;
  if (fstat(Fd(file), &st) != 0) return false;
  FillFileStatus(st, status);
  return true;
}

// Pack mode's inputs and its output.

namespace {

// Follows symbolic links from `path` until it names something else or
// nothing: the file that writing through the path would reach. A relative
// link is read from the folder of the link itself.
std::string FinalLinkTarget(const char* path) {
  std::string current = path;
  for (int hops = 0; hops < 40; ++hops) {
    struct stat st;
    if (lstat(current.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) break;
    std::vector<char> link(static_cast<size_t>(st.st_size > 0 ? st.st_size : PATH_MAX) + 1);
    ssize_t length = readlink(current.c_str(), link.data(), link.size());
    if (length <= 0 || static_cast<size_t>(length) >= link.size()) break;
    std::string target(link.data(), static_cast<size_t>(length));
    size_t slash = current.rfind('/');
    if (target[0] == '/' || slash == std::string::npos) {
      current = target;
    } else {
      current = current.substr(0, slash + 1) + target;
    }
  }
  return current;
}

// A different name in every process and on every call.
std::string RandomTempName(size_t length) {
  static uint64_t state = 0;
  uint64_t seed = 0;
  if (state == 0) {
    struct timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    seed = (static_cast<uint64_t>(now.tv_sec) << 32) ^ static_cast<uint64_t>(now.tv_nsec) ^
           (static_cast<uint64_t>(getpid()) << 16);
  }
  return TempNameFrom(NextTempBits(&state, seed), length);
}

// Creates the temporary file in the folder, retrying names that exist.
int CreateTempFile(int folder, size_t nameLength, std::string* name) {
  for (int attempt = 0; attempt < 100; ++attempt) {
    *name = RandomTempName(nameLength);
    int fd = openat(folder, name->c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd >= 0 || errno != EEXIST) return fd;
  }
  return -1;
}

// Opens the existing file only to learn that it may be written and who it
// is; nothing of it changes.
bool ProbeReplacedFile(int folder, const std::string& name, struct stat* st) {
  int fd = openat(folder, name.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return false;
  bool known = fstat(fd, st) == 0;
  close(fd);
  return known;
}

// The new file takes the owner where the host allows it, then the
// permission bits, of the file it replaces.
void CopyOwnerAndMode(int fd, const struct stat& from) {
  struct stat own;
  if (fstat(fd, &own) == 0 && (own.st_uid != from.st_uid || own.st_gid != from.st_gid)) {
    if (fchown(fd, from.st_uid, from.st_gid) != 0) {
      // Not allowed (not the owner, not root): the new file stays ours.
    }
  }
  if (fchmod(fd, from.st_mode & 0777) != 0) {
    // A file system without permission bits keeps its own.
  }
}

void ReleaseFolder(HostReplacement* replacement) {
  if (replacement->folderHandle >= 0) close(static_cast<int>(replacement->folderHandle));
  replacement->folderHandle = -1;
}

}  // namespace

HostHandle HostOpenExistingNoWait(const char* path, HostAccess access, HostFileStatus* status,
                                  HostFileKind* kind) {
  int flags = access == HOST_READ_ONLY ? O_RDONLY : O_RDWR;
  int fd = open(path, flags | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return HOST_INVALID_HANDLE;
  struct stat st;
  if (fstat(fd, &st) != 0) {
    *kind = HOST_KIND_UNKNOWN;
    return static_cast<HostHandle>(fd);
  }
  *kind = S_ISREG(st.st_mode)   ? HOST_KIND_REGULAR
          : S_ISDIR(st.st_mode) ? HOST_KIND_DIRECTORY
                                : HOST_KIND_OTHER;
  FillFileStatus(st, status);
  // O_NONBLOCK stays set: reads of a regular file ignore it, and clearing it
  // would cost a call per packed file.
  return static_cast<HostHandle>(fd);
}

namespace {

// Splits the final target of `path` into its folder and its name, and opens
// the folder, where the temporary file is made and renamed.
bool OpenReplacementFolder(const char* path, HostReplacement* replacement) {
  std::string target = FinalLinkTarget(path);
  size_t slash = target.rfind('/');
  replacement->folder = slash == std::string::npos ? "" : target.substr(0, slash);
  replacement->targetName = slash == std::string::npos ? target : target.substr(slash + 1);
  // A path ending in '/' names a directory or nothing.
  if (replacement->targetName.empty()) return false;
  const char* folderName = slash == std::string::npos ? "." : slash == 0 ? "/" : nullptr;
  std::string folderPath = folderName != nullptr ? folderName : replacement->folder;
#if defined(O_PATH)
  int folder = open(folderPath.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
#else
  int folder = open(folderPath.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
#endif
  if (folder < 0) return false;
  replacement->folderHandle = folder;
  return true;
}

// What lies at the target name now: nothing, or a regular file that may be
// written (*exists, with its status in *st), or something not to replace.
HostReplaceStart ProbeReplacementTarget(const HostReplacement& replacement, struct stat* st,
                                        bool* exists) {
  int folder = static_cast<int>(replacement.folderHandle);
  *exists = fstatat(folder, replacement.targetName.c_str(), st, 0) == 0;
  if (!*exists) return errno == ENOENT ? HOST_REPLACE_STARTED : HOST_REPLACE_FAILED;
  if (S_ISDIR(st->st_mode)) return HOST_REPLACE_FAILED;
  if (!S_ISREG(st->st_mode)) return HOST_REPLACE_NOT_REGULAR;
  if (!ProbeReplacedFile(folder, replacement.targetName, st)) return HOST_REPLACE_FAILED;
  return HOST_REPLACE_STARTED;
}

}  // namespace

HostReplaceStart HostStartReplacement(const char* path, size_t pathLimit,
                                      HostReplacement* replacement) {
  *replacement = HostReplacement();
  if (!OpenReplacementFolder(path, replacement)) return HOST_REPLACE_FAILED;
  struct stat st;
  bool exists = false;
  HostReplaceStart probed = ProbeReplacementTarget(*replacement, &st, &exists);
  int fd = -1;
  if (probed == HOST_REPLACE_STARTED) {
    size_t folderLength = replacement->folder.empty() ? 0 : replacement->folder.size() + 1;
    fd = CreateTempFile(static_cast<int>(replacement->folderHandle),
                        TempNameLength(folderLength, pathLimit), &replacement->tempName);
    if (fd < 0) probed = HOST_REPLACE_FAILED;
  }
  if (probed != HOST_REPLACE_STARTED) {
    ReleaseFolder(replacement);
    return probed;
  }
  if (exists) {
    CopyOwnerAndMode(fd, st);
    replacement->replacesFile = true;
    FillFileStatus(st, &replacement->replaced);
  }
  replacement->file = static_cast<HostHandle>(fd);
  return HOST_REPLACE_STARTED;
}

bool HostFinishReplacement(HostReplacement* replacement) {
  int folder = static_cast<int>(replacement->folderHandle);
  if (renameat(folder, replacement->tempName.c_str(), folder, replacement->targetName.c_str()) !=
      0) {
    return false;
  }
  ReleaseFolder(replacement);
  return true;
}

void HostAbandonReplacement(HostReplacement* replacement) {
  if (replacement->folderHandle < 0) return;
  int error = errno;
  unlinkat(static_cast<int>(replacement->folderHandle), replacement->tempName.c_str(), 0);
  ReleaseFolder(replacement);
  errno = error;
}

bool HostIsDirectoryPath(const char* path) {
  struct stat st;
  return stat(path, &st) == 0 && S_ISDIR(st.st_mode);
}

bool HostPathsNameSameFile(const char* a, const char* b) {
  struct stat sa, sb;
  if (stat(a, &sa) != 0 || stat(b, &sb) != 0) return false;
  return sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}

HostDirResult HostCreateDirectory(const char* path) {
  if (mkdir(path, 0777) == 0) return HOST_DIR_CREATED;
  return errno == EEXIST ? HOST_DIR_EXISTS : HOST_DIR_FAILED;
}

bool HostChangeDirectory(const char* path) {
  return chdir(path) == 0;
}

namespace {

int FolderFd(HostFolder folder) {
  return folder == HOST_INVALID_FOLDER ? AT_FDCWD : static_cast<int>(folder);
}

// Opens one component in `dir` without following a link, and where the
// kernel offers it also with nothing resolved outside `dir`.
int OpenInFolder(int dir, const char* name, int flags, mode_t mode) {
  flags |= O_NOFOLLOW | O_CLOEXEC;
#if defined(__linux__) && defined(SYS_openat2)
  static bool beneathUnavailable = false;
  if (!beneathUnavailable && dir != AT_FDCWD) {
    struct open_how how;
    std::memset(&how, 0, sizeof how);
    how.flags = static_cast<uint64_t>(flags);
    how.mode = (flags & O_CREAT) != 0 ? mode : 0;
    how.resolve = RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS;
    long fd = syscall(SYS_openat2, dir, name, &how, sizeof how);
    if (fd >= 0 || (errno != ENOSYS && errno != EPERM)) return static_cast<int>(fd);
    // An older kernel, or a filter that refuses calls it does not know:
    // the plain call, which decides for the rest of the run once it works.
    int plain = openat(dir, name, flags, mode);
    if (plain >= 0) beneathUnavailable = true;
    return plain;
  }
#endif
  return openat(dir, name, flags, mode);
}

HostFolderResult OpenFolderAt(int dir, const char* name, HostFolder* folder) {
  int fd = OpenInFolder(dir, name, O_RDONLY | O_DIRECTORY, 0);
  if (fd >= 0) {
    *folder = static_cast<HostFolder>(fd);
    return HOST_FOLDER_OPENED;
  }
  int code = errno;
  struct stat st;
  bool link = fstatat(dir, name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(st.st_mode);
  errno = code;
  return link ? HOST_FOLDER_LINK : HOST_FOLDER_FAILED;
}

}  // namespace

HostFolderResult HostOpenFolder(const char* path, HostFolder* folder) {
  return OpenFolderAt(AT_FDCWD, path, folder);
}

HostFolderResult HostMakeFolderIn(HostFolder parent, const char* /*path*/, const char* name,
                                  HostFolder* folder) {
  int dir = FolderFd(parent);
  if (mkdirat(dir, name, 0777) != 0 && errno != EEXIST) return HOST_FOLDER_FAILED;
  return OpenFolderAt(dir, name, folder);
}

HostHandle HostCreateFileIn(HostFolder parent, const char* path, const char* name) {
  int dir = FolderFd(parent);
  int fd = OpenInFolder(dir, dir == AT_FDCWD ? path : name, O_RDWR | O_CREAT | O_EXCL, 0666);
  return fd < 0 ? HOST_INVALID_HANDLE : static_cast<HostHandle>(fd);
}

void HostCloseFolder(HostFolder folder) {
  if (folder != HOST_INVALID_FOLDER) close(static_cast<int>(folder));
}

std::FILE* HostStreamFromFile(HostHandle file) {
  std::FILE* stream = fdopen(Fd(file), "wb");
  if (stream == nullptr) {
    int code = errno;
    close(Fd(file));
    errno = code;
  }
  return stream;
}

const char* HostRefuseNameComponent(const char*, size_t) {
  return nullptr;
}

const char* HostNextSeparator(const char* text) {
  while (*text != '\0' && *text != '/') ++text;
  return text;
}

const char* HostLastPathSeparator(const char* path) {
  const char* separator = std::strrchr(path, '/');
  return separator != nullptr ? separator : std::strrchr(path, '\\');
}

int HostLastError() {
  return errno;
}

int HostCrtOpenRead(const char* path) {
  return open(path, O_RDONLY | O_CLOEXEC);
}

int HostCrtStatSize(const char* path, int64_t* size) {
  struct stat st;
  if (stat(path, &st) != 0) return -1;
  *size = static_cast<int64_t>(st.st_size);
  return 0;
}

int64_t HostCrtRead(int fd, void* buffer, uint32_t count) {
  char* out = static_cast<char*>(buffer);
  uint32_t total = 0;
  while (total < count) {
    uint32_t want = count - total < MAX_TRANSFER ? count - total : MAX_TRANSFER;
    ssize_t got = read(fd, out + total, want);
    if (got < 0) {
      if (errno == EINTR) continue;
      return -1;
    }
    if (got == 0) break;
    total += static_cast<uint32_t>(got);
  }
  return total;
}

int HostCrtClose(int fd) {
  return close(fd);
}

int HostFolderIsFileError() {
  return ENOTDIR;
}
