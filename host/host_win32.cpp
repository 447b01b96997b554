// Win32 implementation of the platform layer.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <windows.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "host/host.h"
#include "host/temp_name.h"

namespace {

HANDLE Win32Handle(HostHandle file) {
  return reinterpret_cast<HANDLE>(file);
}

// Each ReadFile/WriteFile call moves at most this much; the loops below go
// on from where a call stopped.
const uint32_t MAX_TRANSFER = 0x40000000;

OVERLAPPED PositionAt(uint64_t offset) {
  OVERLAPPED position;
  std::memset(&position, 0, sizeof position);
  position.Offset = static_cast<DWORD>(offset);
  position.OffsetHigh = static_cast<DWORD>(offset >> 32);
  return position;
}

bool FileIdentity(HANDLE file, BY_HANDLE_FILE_INFORMATION* info) {
  return GetFileInformationByHandle(file, info) != 0;
}

bool SameIdentity(const BY_HANDLE_FILE_INFORMATION& a, const BY_HANDLE_FILE_INFORMATION& b) {
  return a.dwVolumeSerialNumber == b.dwVolumeSerialNumber && a.nFileIndexHigh == b.nFileIndexHigh &&
         a.nFileIndexLow == b.nFileIndexLow;
}

// Opens a name only to ask who it is: no data access, nothing locked out,
// and directories too.
HANDLE OpenForIdentity(const char* path) {
  return CreateFileA(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                     OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
}

char UpperAscii(char c) {
  return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
}

bool EqualsIgnoringCase(const char* text, size_t length, const char* word) {
  size_t i = 0;
  for (; i < length && word[i] != '\0'; ++i) {
    if (UpperAscii(text[i]) != word[i]) return false;
  }
  return i == length && word[i] == '\0';
}

// Windows maps these to devices in any folder and with any extension
// ("nul.txt", "com1 .bin"). COM and LPT take a digit or a superscript
// one, two or three (0xB9, 0xB2, 0xB3 in the ANSI code page).
bool IsReservedDeviceName(const char* component, size_t length) {
  size_t stem = 0;
  while (stem < length && component[stem] != '.') ++stem;
  while (stem > 0 && component[stem - 1] == ' ') --stem;
  static const char* const plain[] = {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"};
  for (const char* name : plain) {
    if (EqualsIgnoringCase(component, stem, name)) return true;
  }
  if (stem != 4) return false;
  unsigned char last = static_cast<unsigned char>(component[3]);
  bool numbered = (last >= '0' && last <= '9') || last == 0xB9 || last == 0xB2 || last == 0xB3;
  return numbered &&
         (EqualsIgnoringCase(component, 3, "COM") || EqualsIgnoringCase(component, 3, "LPT"));
}

}  // namespace

HostHandle HostOpenFile(const char* path, HostAccess access, HostCreation creation) {
  DWORD desired = GENERIC_READ;
  DWORD share = FILE_SHARE_READ;
  if (access == HOST_READ_WRITE) {
    desired |= GENERIC_WRITE;
    share |= FILE_SHARE_WRITE;
  }
  DWORD disposition = OPEN_EXISTING;
  if (creation == HOST_CREATE_ALWAYS) disposition = CREATE_ALWAYS;
  if (creation == HOST_CREATE_NEW) disposition = CREATE_NEW;
  HANDLE file =
      CreateFileA(path, desired, share, nullptr, disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
  return file == INVALID_HANDLE_VALUE ? HOST_INVALID_HANDLE : reinterpret_cast<HostHandle>(file);
}

bool HostCloseFile(HostHandle file) {
  return CloseHandle(Win32Handle(file)) != 0;
}

bool HostReadAt(HostHandle file, void* buffer, uint32_t count, uint64_t offset, uint32_t* done) {
  char* out = static_cast<char*>(buffer);
  uint32_t total = 0;
  while (total < count) {
    DWORD want = count - total < MAX_TRANSFER ? count - total : MAX_TRANSFER;
    OVERLAPPED position = PositionAt(offset + total);
    DWORD got = 0;
    if (!ReadFile(Win32Handle(file), out + total, want, &got, &position)) {
      // A positioned read at or past the end reports this instead of 0 bytes.
      if (GetLastError() == ERROR_HANDLE_EOF) break;
      *done = total;
      return false;
    }
    if (got == 0) break;
    total += got;
  }
  *done = total;
  return true;
}

bool HostWriteAt(HostHandle file, const void* buffer, uint32_t count, uint64_t offset) {
  const char* in = static_cast<const char*>(buffer);
  uint32_t total = 0;
  while (total < count) {
    DWORD want = count - total < MAX_TRANSFER ? count - total : MAX_TRANSFER;
    OVERLAPPED position = PositionAt(offset + total);
    DWORD put = 0;
    if (!WriteFile(Win32Handle(file), in + total, want, &put, &position)) return false;
    if (put == 0) {
      SetLastError(ERROR_DISK_FULL);
      return false;
    }
    total += put;
  }
  return true;
}

// Win32 has no call that copies a byte range between two open files without
// a buffer; the caller's buffered copy does the work.
bool HostCopyInKernel(HostHandle, uint64_t, HostHandle, uint64_t, uint64_t, uint64_t* done) {
  *done = 0;
  return false;
}

bool HostWriteAll(HostHandle file, const void* buffer, uint32_t count) {
  const char* in = static_cast<const char*>(buffer);
  uint32_t total = 0;
  while (total < count) {
    DWORD want = count - total < MAX_TRANSFER ? count - total : MAX_TRANSFER;
    DWORD put = 0;
    if (!WriteFile(Win32Handle(file), in + total, want, &put, nullptr)) return false;
    if (put == 0) {
      SetLastError(ERROR_DISK_FULL);
      return false;
    }
    total += put;
  }
  return true;
}

// No kernel path to an arbitrary output here: the caller's buffer does it.
bool HostSendInKernel(HostHandle, uint64_t, HostHandle, uint64_t, uint64_t* done) {
  *done = 0;
  return false;
}

HostHandle HostStandardOutput() {
  return reinterpret_cast<HostHandle>(GetStdHandle(STD_OUTPUT_HANDLE));
}

bool HostFileSize(HostHandle file, uint64_t* size) {
  DWORD high = 0;
  // A low word of 0xFFFFFFFF is a valid size; only the error code tells.
  SetLastError(NO_ERROR);
  DWORD low = GetFileSize(Win32Handle(file), &high);
  if (low == INVALID_FILE_SIZE && GetLastError() != NO_ERROR) return false;
  *size = (static_cast<uint64_t>(high) << 32) | low;
  return true;
}

bool HostQueryFile(HostHandle file, HostFileStatus* status) {
  BY_HANDLE_FILE_INFORMATION info;
  if (!FileIdentity(Win32Handle(file), &info)) return false;
  status->size = (static_cast<uint64_t>(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
  status->volume = info.dwVolumeSerialNumber;
  status->index = (static_cast<uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
  status->isDirectory = (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
  return true;
}

// Pack mode's inputs and its output.

namespace {

// A different name in every process and on every call.
std::string RandomTempName(size_t length) {
  static uint64_t state = 0;
  uint64_t seed = 0;
  if (state == 0) {
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    seed = static_cast<uint64_t>(now.QuadPart) ^
           (static_cast<uint64_t>(GetCurrentProcessId()) << 32) ^ GetTickCount();
  }
  return TempNameFrom(NextTempBits(&state, seed), length);
}

// The folder part of a path, with its last separator, or a drive's "C:".
std::string FolderPrefix(const char* path) {
  const char* separator = HostLastPathSeparator(path);
  if (separator != nullptr) return std::string(path, static_cast<size_t>(separator - path) + 1);
  bool drive =
      ((path[0] >= 'A' && path[0] <= 'Z') || (path[0] >= 'a' && path[0] <= 'z')) && path[1] == ':';
  return drive ? std::string(path, 2) : std::string();
}

std::string WorkingDirectory() {
  char buffer[MAX_PATH + 1];
  DWORD length = GetCurrentDirectoryA(sizeof buffer, buffer);
  return length > 0 && length < sizeof buffer ? std::string(buffer, length) : std::string();
}

// Runs a call on the replacement's names from the directory they are
// relative to, then returns to the directory the run is in now.
template <typename Call>
bool FromStartDirectory(const HostReplacement& replacement, Call call) {
  std::string now = WorkingDirectory();
  bool moved = !replacement.startDirectory.empty() && now != replacement.startDirectory &&
               SetCurrentDirectoryA(replacement.startDirectory.c_str());
  bool done = call();
  DWORD error = GetLastError();
  if (moved) SetCurrentDirectoryA(now.c_str());
  SetLastError(error);
  return done;
}

std::string TempPath(const HostReplacement& replacement) {
  return replacement.folder + replacement.tempName;
}

std::string TargetPath(const HostReplacement& replacement) {
  return replacement.folder + replacement.targetName;
}

}  // namespace

HostHandle HostOpenExistingNoWait(const char* path, HostAccess access, HostFileStatus* status,
                                  HostFileKind* kind) {
  HostHandle file = HostOpenFile(path, access, HOST_OPEN_EXISTING);
  if (file == HOST_INVALID_HANDLE) return file;
  if (GetFileType(Win32Handle(file)) != FILE_TYPE_DISK) {
    *kind = HOST_KIND_OTHER;
    return file;
  }
  if (!HostQueryFile(file, status)) {
    *kind = HOST_KIND_UNKNOWN;
    return file;
  }
  *kind = status->isDirectory ? HOST_KIND_DIRECTORY : HOST_KIND_REGULAR;
  return file;
}

namespace {

// What lies at `path` now: nothing, or a regular file that may be written
// (its status then in the replacement), or something not to replace.
HostReplaceStart ProbeReplacementTarget(const char* path, HostReplacement* replacement) {
  HANDLE existing = OpenForIdentity(path);
  if (existing == INVALID_HANDLE_VALUE) {
    DWORD error = GetLastError();
    bool missing = error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
    return missing ? HOST_REPLACE_STARTED : HOST_REPLACE_FAILED;
  }
  BY_HANDLE_FILE_INFORMATION info;
  bool disk = GetFileType(existing) == FILE_TYPE_DISK;
  bool known = disk && FileIdentity(existing, &info);
  CloseHandle(existing);
  if (!disk) return HOST_REPLACE_NOT_REGULAR;
  if (!known || (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    return HOST_REPLACE_FAILED;
  }
  // Writable as an in-place write would need it, and who it is.
  HostHandle probe = HostOpenFile(path, HOST_READ_WRITE, HOST_OPEN_EXISTING);
  if (probe == HOST_INVALID_HANDLE) return HOST_REPLACE_FAILED;
  bool queried = HostQueryFile(probe, &replacement->replaced);
  HostCloseFile(probe);
  if (!queried) return HOST_REPLACE_FAILED;
  replacement->replacesFile = true;
  return HOST_REPLACE_STARTED;
}

// Creates the temporary file in the target's folder, retrying names that exist.
bool CreateTempFile(size_t pathLimit, HostReplacement* replacement) {
  size_t nameLength = TempNameLength(replacement->folder.size(), pathLimit);
  for (int attempt = 0; attempt < 100; ++attempt) {
    replacement->tempName = RandomTempName(nameLength);
    HostHandle file =
        HostOpenFile(TempPath(*replacement).c_str(), HOST_READ_WRITE, HOST_CREATE_NEW);
    if (file != HOST_INVALID_HANDLE) {
      replacement->file = file;
      return true;
    }
    DWORD error = GetLastError();
    if (error != ERROR_FILE_EXISTS && error != ERROR_ALREADY_EXISTS) break;
  }
  return false;
}

}  // namespace

HostReplaceStart HostStartReplacement(const char* path, size_t pathLimit,
                                      HostReplacement* replacement) {
  *replacement = HostReplacement();
  replacement->folder = FolderPrefix(path);
  replacement->targetName = path + replacement->folder.size();
  replacement->startDirectory = WorkingDirectory();
  // A path ending in a separator names a directory or nothing.
  if (replacement->targetName.empty()) return HOST_REPLACE_FAILED;
  HostReplaceStart probed = ProbeReplacementTarget(path, replacement);
  if (probed != HOST_REPLACE_STARTED) return probed;
  if (CreateTempFile(pathLimit, replacement)) return HOST_REPLACE_STARTED;
  replacement->replacesFile = false;
  return HOST_REPLACE_FAILED;
}

bool HostFinishReplacement(HostReplacement* replacement) {
  std::string from = TempPath(*replacement);
  std::string to = TargetPath(*replacement);
  return FromStartDirectory(*replacement, [&] {
    return MoveFileExA(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING) != 0;
  });
}

void HostAbandonReplacement(HostReplacement* replacement) {
  if (replacement->tempName.empty()) return;
  std::string temp = TempPath(*replacement);
  FromStartDirectory(*replacement, [&] { return DeleteFileA(temp.c_str()) != 0; });
  replacement->tempName.clear();
}

bool HostIsDirectoryPath(const char* path) {
  DWORD attributes = GetFileAttributesA(path);
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

bool HostPathsNameSameFile(const char* a, const char* b) {
  HANDLE ha = OpenForIdentity(a);
  if (ha == INVALID_HANDLE_VALUE) return false;
  HANDLE hb = OpenForIdentity(b);
  bool same = false;
  if (hb != INVALID_HANDLE_VALUE) {
    BY_HANDLE_FILE_INFORMATION ia, ib;
    same = FileIdentity(ha, &ia) && FileIdentity(hb, &ib) && SameIdentity(ia, ib);
    CloseHandle(hb);
  }
  CloseHandle(ha);
  return same;
}

HostDirResult HostCreateDirectory(const char* path) {
  if (CreateDirectoryA(path, nullptr)) return HOST_DIR_CREATED;
  return GetLastError() == ERROR_ALREADY_EXISTS ? HOST_DIR_EXISTS : HOST_DIR_FAILED;
}

bool HostChangeDirectory(const char* path) {
  return SetCurrentDirectoryA(path) != 0;
}

namespace {

// Opens a folder itself, never what a reparse point there leads to, and
// without delete sharing: while the handle is open nobody can rename,
// remove or replace the folder, so the full paths through it stay the ones
// the run checked.
HostFolderResult OpenFolderByPath(const char* path, HostFolder* folder) {
  HANDLE handle = CreateFileA(path, FILE_LIST_DIRECTORY | FILE_TRAVERSE | FILE_READ_ATTRIBUTES,
                              FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                              FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return HOST_FOLDER_FAILED;
  BY_HANDLE_FILE_INFORMATION info;
  if (!FileIdentity(handle, &info)) {
    DWORD code = GetLastError();
    CloseHandle(handle);
    SetLastError(code);
    return HOST_FOLDER_FAILED;
  }
  if ((info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
    CloseHandle(handle);
    SetLastError(ERROR_CANT_ACCESS_FILE);
    return HOST_FOLDER_LINK;
  }
  if ((info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
    CloseHandle(handle);
    SetLastError(ERROR_DIRECTORY);
    return HOST_FOLDER_FAILED;
  }
  *folder = reinterpret_cast<HostFolder>(handle);
  return HOST_FOLDER_OPENED;
}

// errno for perror() after a failed Win32 creation.
int CrtErrorOf(DWORD code) {
  switch (code) {
    case ERROR_FILE_EXISTS:
    case ERROR_ALREADY_EXISTS:
      return EEXIST;
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
      return ENOENT;
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
      return EACCES;
    default:
      return EINVAL;
  }
}

}  // namespace

HostFolderResult HostOpenFolder(const char* path, HostFolder* folder) {
  return OpenFolderByPath(path, folder);
}

HostFolderResult HostMakeFolderIn(HostFolder, const char* path, const char*, HostFolder* folder) {
  if (!CreateDirectoryA(path, nullptr) && GetLastError() != ERROR_ALREADY_EXISTS) {
    return HOST_FOLDER_FAILED;
  }
  return OpenFolderByPath(path, folder);
}

HostHandle HostCreateFileIn(HostFolder, const char* path, const char*) {
  // CREATE_NEW refuses every existing name, a reparse point included, so
  // nothing is created through one.
  HANDLE file =
      CreateFileA(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                  CREATE_NEW, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    errno = CrtErrorOf(GetLastError());
    return HOST_INVALID_HANDLE;
  }
  return reinterpret_cast<HostHandle>(file);
}

void HostCloseFolder(HostFolder folder) {
  if (folder != HOST_INVALID_FOLDER) CloseHandle(reinterpret_cast<HANDLE>(folder));
}

std::FILE* HostStreamFromFile(HostHandle file) {
  int fd = _open_osfhandle(file, _O_BINARY);
  if (fd < 0) {
    CloseHandle(Win32Handle(file));
    errno = EMFILE;
    return nullptr;
  }
  std::FILE* stream = _fdopen(fd, "wb");
  if (stream == nullptr) {
    int code = errno;
    _close(fd);
    errno = code;
  }
  return stream;
}

const char* HostRefuseNameComponent(const char* component, size_t length) {
  for (size_t i = 0; i < length; ++i) {
    unsigned char c = static_cast<unsigned char>(component[i]);
    if (c == ':') return "a ':' would name a drive or a stream";
    if (c < 32 || std::strchr("<>|?*\"", c) != nullptr) {
      return "the name holds a character that Windows file names cannot hold";
    }
  }
  if (IsReservedDeviceName(component, length)) return "the name is a reserved device name";
  if (length > 0 && (component[length - 1] == '.' || component[length - 1] == ' ')) {
    return "Windows would drop the name's trailing dot or blank";
  }
  return nullptr;
}

const char* HostNextSeparatorInCodePage(const char* text, unsigned codePage) {
  while (*text != '\0' && *text != '/' && *text != '\\') {
    bool lead = IsDBCSLeadByteEx(codePage, static_cast<BYTE>(*text)) != 0;
    text += lead && text[1] != '\0' ? 2 : 1;
  }
  return text;
}

const char* HostNextSeparator(const char* text) {
  return HostNextSeparatorInCodePage(text, GetACP());
}

const char* HostLastPathSeparator(const char* path) {
  const char* last = nullptr;
  for (const char* at = HostNextSeparator(path); *at != '\0'; at = HostNextSeparator(at + 1)) {
    last = at;
  }
  return last;
}

int HostLastError() {
  return static_cast<int>(GetLastError());
}

int HostCrtOpenRead(const char* path) {
  return _open(path, _O_RDONLY | _O_BINARY | _O_NOINHERIT);
}

int HostCrtStatSize(const char* path, int64_t* size) {
  // The 32-bit stat would cut sizes of 4 GiB and more.
  struct _stat64 st;
  if (_stat64(path, &st) != 0) return -1;
  *size = static_cast<int64_t>(st.st_size);
  return 0;
}

int64_t HostCrtRead(int fd, void* buffer, uint32_t count) {
  char* out = static_cast<char*>(buffer);
  uint32_t total = 0;
  while (total < count) {
    unsigned want = count - total < MAX_TRANSFER ? count - total : MAX_TRANSFER;
    int got = _read(fd, out + total, want);
    if (got < 0) return -1;
    if (got == 0) break;
    total += static_cast<uint32_t>(got);
  }
  return total;
}

int HostCrtClose(int fd) {
  return _close(fd);
}

int HostFolderIsFileError() {
  return ERROR_DIRECTORY;
}
