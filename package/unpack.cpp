#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "app/options.h"
#include "base/coding.h"
#include "dvdfs/dvdfs.h"
#include "fileio/fileio.h"
#include "package/package.h"
#include "package/qpk.h"

namespace {

const size_t ENTRY_NAME_CAPACITY = 1024;
const char DVDROOT[] = "dvdroot";
const size_t DVDROOT_LENGTH = sizeof DVDROOT - 1;
const size_t DLF_STREAM_BUFFER_SIZE = 64 * 1024;
// The table's place and size are stored in units of 4 bytes; larger words
// would wrap at 2^32 and point somewhere else.
const uint32_t MAX_FST_WORD = 0x40000000u;

// The extraction directory and the folders of the last path created below
// it, held open from the root down: every folder and file is created in the
// held folder above it, so a folder that another process swaps for a link
// later cannot redirect anything, and paths that share folders with the
// last one (entries come mostly folder by folder) need no host call for
// them. Kept only while UnpackFiles runs.
struct HeldFolders {
  HostFolder root;
  // The full path of the deepest held folder with its separator: the
  // extraction directory and "/" up to rootLength, then the held folders,
  // the k-th ending at ends[k].
  char text[PATH_CAPACITY + 1];
  size_t rootLength;
  HostFolder folders[PATH_CAPACITY];
  size_t ends[PATH_CAPACITY];
  size_t depth;
};
HeldFolders* heldFolders = nullptr;

void ReleaseHeldFrom(HeldFolders* held, size_t level) {
  while (held->depth > level) HostCloseFolder(held->folders[--held->depth]);
}

struct HeldFoldersScope {
  HeldFolders held;
  HeldFoldersScope(HostFolder root, const char* extractDir) {
    held.root = root;
    size_t length = std::strlen(extractDir);
    std::memcpy(held.text, extractDir, length);
    held.text[length] = '/';
    held.rootLength = length + 1;
    held.depth = 0;
    heldFolders = &held;
  }
  ~HeldFoldersScope() {
    heldFolders = nullptr;
    ReleaseHeldFrom(&held, 0);
    HostCloseFolder(held.root);
  }
  HeldFoldersScope(const HeldFoldersScope&) = delete;
  HeldFoldersScope& operator=(const HeldFoldersScope&) = delete;
};

struct StreamCloser {
  void operator()(FILE* stream) const { std::fclose(stream); }
};

// Keeps the table installed while the run uses it and uninstalls it on every
// way out, the fatal path included, so that no later query reaches its freed
// memory.
struct InstalledFstTable {
  explicit InstalledFstTable(const unsigned char* table) { InstallFstTable(table); }
  InstalledFstTable(const InstalledFstTable&) = delete;
  InstalledFstTable& operator=(const InstalledFstTable&) = delete;
  ~InstalledFstTable() { InstallFstTable(nullptr); }
};

// A name from the file as our own messages print it: bytes that a terminal
// would act on as \xHH, and the backslash doubled so that the text reads
// back unambiguously.
std::string Printable(const char* text) {
  std::string printable;
  for (const char* c = text; *c != '\0'; ++c) {
    unsigned char byte = static_cast<unsigned char>(*c);
    if (byte < 0x20 || byte == 0x7F) {
      char escape[5];
      std::snprintf(escape, sizeof escape, "\\x%02X", byte);
      printable += escape;
    } else if (byte == '\\') {
      printable += "\\\\";
    } else {
      printable += *c;
    }
  }
  return printable;
}

[[noreturn]] void RefuseName(const char* name, const char* reason) {
  Fail("%s: Refusing to extract %s: %s\n", programName, Printable(name).c_str(), reason);
}

// The end of the path component at `text`. On Win32 the host's own rule
// (both separators, double-byte characters kept whole); elsewhere '/' and
// '\\' alike, so that a name that would split on Win32 is checked as it
// would be read there.
const char* ComponentEnd(const char* text) {
#if defined(_WIN32)
  return HostNextSeparator(text);
#else
  while (*text != '\0' && *text != '/' && *text != '\\') ++text;
  return text;
#endif
}

// Refuses a name that could leave the extraction directory, that the host
// cannot hold, or, for a file, whose dlf line could not be read back (no
// dlf line names a directory). Checked before anything is created for it.
void CheckExtractedName(const char* name, bool directory) {
  for (const char* c = name; !directory && *c != '\0'; ++c) {
    if (*c == '"' || *c == '\r' || *c == '\n') {
      RefuseName(name, "the name holds a double quote or a line end");
    }
  }
  const char* start = name;
  while (true) {
    const char* end = ComponentEnd(start);
    size_t length = static_cast<size_t>(end - start);
    bool lastOfDirectory = directory && *end == '\0' && length == 0 && end > name;
    if (!lastOfDirectory) {
      if (length == 0 || (length == 1 && start[0] == '.') ||
          (length == 2 && start[0] == '.' && start[1] == '.')) {
        RefuseName(name, "empty, \".\" or \"..\" path component");
      }
      const char* reason = HostRefuseNameComponent(start, length);
      if (reason != nullptr) RefuseName(name, reason);
    }
    if (*end == '\0') break;
    start = end + 1;
  }
}

// Builds `base` + `/` + `name` into a host path buffer, refusing what does
// not fit rather than cutting it short.
void BuildHostPath(char* path, const char* base, const char* name) {
  size_t lb = std::strlen(base), ln = std::strlen(name);
  if (lb + 1 + ln >= PATH_CAPACITY) {
    Fail("%s: Path is longer than %zu characters: %s/%s\n", programName, PATH_CAPACITY - 1,
         Printable(base).c_str(), Printable(name).c_str());
  }
  std::memcpy(path, base, lb);
  path[lb] = '/';
  std::memcpy(path + lb + 1, name, ln + 1);
}

void WriteDlfText(FILE* dlf, const char* format, ...) QUORLITH_PRINTF(2, 3);

void WriteDlfText(FILE* dlf, const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::vfprintf(dlf, format, args);
  va_end(args);
}

enum PathKind { FILE_PATH, DIRECTORY_PATH };

// A folder of `path` (`folder`, without its separator) could not be made or
// opened. For a file the host would go on to refuse the file, and says so in
// its words; for a directory the creation itself failed.
[[noreturn]] void FailFolder(HostFolderResult result, const char* folder, const char* path,
                             PathKind kind) {
  int code = HostLastError();
  if (result == HOST_FOLDER_LINK) {
    Fail("%s: %s is a symbolic link: nothing is created through it\n", programName,
         Printable(folder).c_str());
  }
  if (kind == FILE_PATH) Fail("%s: Cannot open file %s!\n", programName, path);
  ReportError("%s: Failed to create directory %s\n", programName, folder);
  Fail("last error: %d\n", code);
}

// Below the held folder at `level` (0: the extraction directory), makes or
// opens the folder that ends at prefix[end - 1], which starts at `start`,
// and holds it instead of every held folder from `level` on.
void HoldFolder(HeldFolders* held, size_t level, char* prefix, size_t start, size_t end,
                const char* path, PathKind kind) {
  ReleaseHeldFrom(held, level);
  HostFolder parent = level == 0 ? held->root : held->folders[level - 1];
  char separator = prefix[end - 1];
  prefix[end - 1] = '\0';
  HostFolder folder = HOST_INVALID_FOLDER;
  HostFolderResult result = HostMakeFolderIn(parent, prefix, prefix + start, &folder);
  if (result != HOST_FOLDER_OPENED) FailFolder(result, prefix, path, kind);
  prefix[end - 1] = separator;
  std::memcpy(held->text + start, prefix + start, end - start);
  held->folders[level] = folder;
  held->ends[level] = end;
  held->depth = level + 1;
}

// Traces every prefix of `path` that ends in a separator and makes each
// folder below the extraction directory, reusing the held ones it shares.
// Returns the folder that holds the last component and, in *nameStart,
// where that component begins. Outside a run, folders are made by path.
HostFolder MakeFoldersAlong(const char* path, PathKind kind, size_t* nameStart) {
  char prefix[PATH_CAPACITY];
  size_t length = std::strlen(path);
  if (length >= PATH_CAPACITY) length = PATH_CAPACITY - 1;
  std::memcpy(prefix, path, length);
  prefix[length] = '\0';
  HeldFolders* held = heldFolders;
  bool beneath = held != nullptr && std::strncmp(path, held->text, held->rootLength) == 0;
  size_t level = 0;
  *nameStart = 0;
  for (const char* at = HostNextSeparator(prefix); *at != '\0'; at = HostNextSeparator(at + 1)) {
    size_t end = static_cast<size_t>(at - prefix) + 1;
    *nameStart = end;
    char next = prefix[end];
    prefix[end] = '\0';
    if (options.verbose) ReportError("%s\n", prefix);
    if (!beneath) HostCreateDirectory(prefix);  // an existing directory is no error
    prefix[end] = next;
    if (!beneath || end <= held->rootLength) continue;
    size_t start = level == 0 ? held->rootLength : held->ends[level - 1];
    bool isHeld = level < held->depth && held->ends[level] == end &&
                  std::memcmp(held->text + start, prefix + start, end - start) == 0;
    if (!isHeld) HoldFolder(held, level, prefix, start, end, path, kind);
    ++level;
  }
  if (!beneath) return HOST_INVALID_FOLDER;
  return level == 0 ? held->root : held->folders[level - 1];
}

// Copies `length` bytes from the data region into a new file at `path`.
void ExtractRange(HostHandle qpkFile, const char* path, uint64_t sourceOffset, uint64_t length) {
  size_t nameStart = 0;
  HostFolder folder = MakeFoldersAlong(path, FILE_PATH, &nameStart);
  FileGuard out(HostCreateFileIn(folder, path, path + nameStart));
  if (out.file == HOST_INVALID_HANDLE) Fail("%s: Cannot open file %s!\n", programName, path);
  CopyRange(qpkFile, sourceOffset, out.file, 0, length, options.verbose != 0);
  out.Close();
}

// Refuses, before anything is extracted, entries whose bytes lie outside
// the file and files whose entries would write more than their data region
// holds (one stored range named again and again would fill the disk).
void CheckStoredRanges(HostHandle qpkFile, const std::vector<QpkEntry>& entries,
                       uint64_t dataStart) {
  uint64_t fileSize = GetFileSize64(qpkFile);
  uint64_t regionSize = fileSize > dataStart ? fileSize - dataStart : 0;
  uint64_t configLength = entries[0].dataOffset;
  if (configLength > regionSize) {
    Fail("%s: The configuration data runs past the end of the qpk file\n", programName);
  }
  uint64_t total = configLength;
  for (size_t i = 0; i < entries.size(); ++i) {
    const QpkEntry& entry = entries[i];
    if (entry.flags & QPK_FLAG_PLACEHOLDER) continue;
    if (entry.dataOffset > regionSize || entry.dataSize > regionSize - entry.dataOffset) {
      Fail("%s: Entry %zu's data runs past the end of the qpk file\n", programName, i);
    }
    total += entry.dataSize;
    if (total > regionSize) {
      Fail("%s: The entries would write more bytes than the qpk file holds (%" PRIu64 ")\n",
           programName, regionSize);
    }
  }
}

// Reads the disc header block and the file-system table it points at.
HeapBytes ReadFstTable(HostHandle qpkFile, const std::vector<QpkEntry>& entries,
                       int64_t dataRegionStart, uint32_t* tableLength) {
  uint32_t count = static_cast<uint32_t>(entries.size());
  HeapBytes block = ReadDiscRange(qpkFile, entries.data(), count, dataRegionStart,
                                  DISC_HEADER_BLOCK_OFFSET, DISC_HEADER_BLOCK_SIZE);
  uint32_t fstPosition = LoadBE32(&block[4]);
  uint32_t fstSize = LoadBE32(&block[8]);
  if (fstPosition >= MAX_FST_WORD || fstSize >= MAX_FST_WORD) {
    Fail("%s: The disc header block points outside the first 4 GiB of the disc\n", programName);
  }
  uint64_t fstDiscOffset = static_cast<uint64_t>(fstPosition * 4u);
  uint32_t fstLength = fstSize * 4u;
  HeapBytes table =
      ReadDiscRange(qpkFile, entries.data(), count, dataRegionStart, fstDiscOffset, fstLength);
  ValidateFstTable(table.get(), fstLength);
  *tableLength = fstLength;
  return table;
}

// The name of one stored entry: through the table, or the next system name.
void NameEntry(const unsigned char* table, const QpkEntry& entry, int* nextSystemNumber,
               char* entryName) {
  uint32_t position = static_cast<uint32_t>(entry.discOffset / 4);
  if (options.verbose) ReportError("0x%08x\n", position);
  int32_t found = FindFstFileByPlacement(table, position, entry.dataSize);
  if (options.verbose) ReportError("%d\n", found);
  if (found != -1) {
    std::memcpy(entryName, DVDROOT, DVDROOT_LENGTH);
    DVDConvertEntrynumToPath(found, entryName + DVDROOT_LENGTH,
                             static_cast<uint32_t>(ENTRY_NAME_CAPACITY - DVDROOT_LENGTH));
  } else {
    std::snprintf(entryName, ENTRY_NAME_CAPACITY, "system%d", (*nextSystemNumber)++);
  }
}

void CloseDlfStream(std::unique_ptr<FILE, StreamCloser>* dlf) {
  FILE* stream = dlf->release();
  bool failed = std::ferror(stream) != 0;
  if (std::fclose(stream) != 0 || failed) {
    Fail("%s: Error occurred when writing file %s\n", programName, options.dlfPath);
  }
}

}  // namespace

void CreateExtractionDirectory(const char* path) {
  HostDirResult result = HostCreateDirectory(path);
  if (result == HOST_DIR_CREATED) return;
  int code = HostLastError();
  if (result == HOST_DIR_EXISTS) {
    Fail("%s: Directory %s already exists. Can't extract.\n", programName, path);
  }
  ReportError("%s: Failed to create directory %s\n", programName, path);
  Fail("last error: %d\n", code);
}

int MakeDirectoriesAlongPath(const char* path) {
  size_t nameStart = 0;
  MakeFoldersAlong(path, DIRECTORY_PATH, &nameStart);
  return 1;
}

void ExtractConfigBlob(HostHandle qpkFile, const char* extractDir, const QpkEntry* entries,
                       int32_t dataStart) {
  char path[PATH_CAPACITY];
  BuildHostPath(path, extractDir, "config0");
  ExtractRange(qpkFile, path, static_cast<uint64_t>(static_cast<int64_t>(dataStart)),
               entries[0].dataOffset);
}

void ExtractEntry(HostHandle qpkFile, const char* extractDir, const char* name,
                  const QpkEntry& entry, int32_t dataStart) {
  char path[PATH_CAPACITY];
  BuildHostPath(path, extractDir, name);
  ExtractRange(qpkFile, path,
               static_cast<uint64_t>(static_cast<int64_t>(dataStart)) + entry.dataOffset,
               entry.dataSize);
}

void CreateEmptyDirectories(const char* base) {
  size_t baseLength = std::strlen(base);
  // The table module takes maxlen 1 or 0 (and says it wants more); below
  // that the count would wrap.
  if (baseLength > PATH_CAPACITY) {
    Fail("%s: Path is longer than %zu characters: %s/\n", programName, PATH_CAPACITY - 1,
         Printable(base).c_str());
  }
  char path[PATH_CAPACITY + 1];
  std::memcpy(path, base, baseLength + 1);
  for (uint32_t i = 0; i < fstEntryCount; ++i) {
    if (!FstIsDirectory(i) || FstNextEntry(i) != i + 1) continue;
    DVDConvertEntrynumToPath(static_cast<int32_t>(i), path + baseLength,
                             static_cast<uint32_t>(PATH_CAPACITY - baseLength));
    CheckExtractedName(path + baseLength - DVDROOT_LENGTH, true);
    MakeDirectoriesAlongPath(path);
  }
}

namespace {

HostFolder OpenExtractionDirectory(const char* path) {
  HostFolder folder = HOST_INVALID_FOLDER;
  HostFolderResult result = HostOpenFolder(path, &folder);
  if (result != HOST_FOLDER_OPENED) FailFolder(result, path, path, DIRECTORY_PATH);
  return folder;
}

// The dlf file, created new in the extraction directory where it lies.
FILE* CreateDlfStream(const HeldFolders& held, const char* dlfPath) {
  const char* name = dlfPath + held.rootLength;
  bool inRoot =
      std::strncmp(dlfPath, held.text, held.rootLength) == 0 && *HostNextSeparator(name) == '\0';
  if (inRoot) return CreateNewStreamIn(held.root, dlfPath, name);
  return CreateNewStreamIn(HOST_INVALID_FOLDER, dlfPath, dlfPath);
}

}  // namespace

void UnpackFiles() {
  CreateExtractionDirectory(options.extractDir);
  HeldFoldersScope heldScope(OpenExtractionDirectory(options.extractDir), options.extractDir);
  HostFileStatus qpkStatus;
  FileGuard qpk(OpenRegularFile(options.qpkPath, HOST_READ_ONLY, &qpkStatus));
  std::unique_ptr<FILE, StreamCloser> dlf(CreateDlfStream(heldScope.held, options.dlfPath));
  // Three writes per line, one line per entry: gather them in larger blocks.
  std::setvbuf(dlf.get(), nullptr, _IOFBF, DLF_STREAM_BUFFER_SIZE);

  QpkHeader header = ReadQpkHeader(qpk.file);
  std::vector<QpkEntry> entries = ReadQpkEntryTable(qpk.file, header);
  int64_t dataRegionStart = static_cast<int32_t>(header.dataRegionOffset);
  uint32_t tableLength = 0;
  HeapBytes table = ReadFstTable(qpk.file, entries, dataRegionStart, &tableLength);
  InstalledFstTable installed(table.get());

  // The table check above keeps the start of the data region below 2^31.
  int32_t dataStart = static_cast<int32_t>(QPK_HEADER_SIZE + QPK_ENTRY_SIZE * entries.size());
  CheckStoredRanges(qpk.file, entries, static_cast<uint64_t>(dataStart));

  WriteDlfText(dlf.get(), "v2.00\n");
  ExtractConfigBlob(qpk.file, options.extractDir, entries.data(), dataStart);
  WriteDlfText(dlf.get(), "QTX_CONFIG_FILE,\"config0\"\n");

  char entryName[ENTRY_NAME_CAPACITY];
  int nextSystemNumber = 0;
  for (const QpkEntry& entry : entries) {
    unsigned high = static_cast<unsigned>(entry.discOffset >> 32);
    unsigned low = static_cast<unsigned>(entry.discOffset);
    if (entry.flags & QPK_FLAG_PLACEHOLDER) {
      WriteDlfText(dlf.get(), "0x%08x", high);
      WriteDlfText(dlf.get(), "%08x,\"\"\n", low);
      continue;
    }
    NameEntry(table.get(), entry, &nextSystemNumber, entryName);
    CheckExtractedName(entryName, false);
    ExtractEntry(qpk.file, options.extractDir, entryName, entry, dataStart);
    WriteDlfText(dlf.get(), "0x%08x", high);
    WriteDlfText(dlf.get(), "%08x,", low);
    WriteDlfText(dlf.get(), "\"%s\"\n", entryName);
  }

  char base[PATH_CAPACITY + DVDROOT_LENGTH + 1];
  std::snprintf(base, sizeof base, "%s/%s", options.extractDir, DVDROOT);
  CreateEmptyDirectories(base);

  qpk.Close();
  CloseDlfStream(&dlf);
}
