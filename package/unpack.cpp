#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

#include "app/options.h"
#include "dvdfs/dvdfs.h"
#include "fileio/fileio.h"
#include "host/coding.h"
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

// The folders of the last path whose every prefix ending in '/' this run
// created or found existing: the text up to and including its last '/'.
// Entries come mostly folder by folder, so the prefixes the next path shares
// with it need no host call. Kept only while UnpackFiles runs, since a
// folder seen once stays for the rest of the run.
struct KnownFolders {
  char text[PATH_CAPACITY];
  size_t length;
};
KnownFolders* knownFolders = nullptr;

struct KnownFoldersScope {
  KnownFolders folders;
  KnownFoldersScope() {
    folders.length = 0;
    knownFolders = &folders;
  }
  ~KnownFoldersScope() { knownFolders = nullptr; }
  KnownFoldersScope(const KnownFoldersScope&) = delete;
  KnownFoldersScope& operator=(const KnownFoldersScope&) = delete;
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

bool IsSeparator(char c) {
  return c == '/' || c == '\\';
}

// Refuses a name that could leave the extraction directory, that the host
// cannot hold, or whose dlf line could not be read back. Checked before
// anything is created for it.
void CheckExtractedName(const char* name, bool directory) {
  for (const char* c = name; *c != '\0'; ++c) {
    if (*c == '"' || *c == '\r' || *c == '\n') {
      Fail("%s: Refusing to extract %s: the name holds a double quote or a line end\n", programName,
           name);
    }
  }
  const char* start = name;
  while (true) {
    const char* end = start;
    while (*end != '\0' && !IsSeparator(*end)) ++end;
    size_t length = static_cast<size_t>(end - start);
    bool lastOfDirectory = directory && *end == '\0' && end > name && IsSeparator(end[-1]);
    if (!lastOfDirectory) {
      if (length == 0 || (length == 1 && start[0] == '.') ||
          (length == 2 && start[0] == '.' && start[1] == '.')) {
        Fail("%s: Refusing to extract %s: empty, \".\" or \"..\" path component\n", programName,
             name);
      }
      const char* reason = HostRefuseNameComponent(start, length);
      if (reason != nullptr) {
        Fail("%s: Refusing to extract %s: %s\n", programName, name, reason);
      }
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
    Fail("%s: Path is longer than %zu characters: %s/%s\n", programName, PATH_CAPACITY - 1, base,
         name);
  }
  std::memcpy(path, base, lb);
  path[lb] = '/';
  std::memcpy(path + lb + 1, name, ln + 1);
}

void WriteDlfText(FILE* dlf, const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(QUORLITH_PRINTF_FORMAT, 2, 3)))
#endif
    ;

void WriteDlfText(FILE* dlf, const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::vfprintf(dlf, format, args);
  va_end(args);
}

// Copies `length` bytes from the data region into a new file at `path`.
void ExtractRange(HostHandle qpkFile, const char* path, uint64_t sourceOffset, uint64_t length) {
  MakeDirectoriesAlongPath(path);
  FileGuard out(CreateNewFile(path));
  CopyRange(qpkFile, sourceOffset, out.file, 0, length);
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
std::vector<unsigned char> ReadFstTable(HostHandle qpkFile, const std::vector<QpkEntry>& entries,
                                        int64_t dataRegionStart) {
  uint32_t count = static_cast<uint32_t>(entries.size());
  std::vector<unsigned char> block =
      ReadDiscRange(qpkFile, entries.data(), count, dataRegionStart, DISC_HEADER_BLOCK_OFFSET,
                    DISC_HEADER_BLOCK_SIZE);
  uint32_t fstPosition = LoadBE32(&block[4]);
  uint32_t fstSize = LoadBE32(&block[8]);
  if (fstPosition >= MAX_FST_WORD || fstSize >= MAX_FST_WORD) {
    Fail("%s: The disc header block points outside the first 4 GiB of the disc\n", programName);
  }
  uint64_t fstDiscOffset = static_cast<uint64_t>(fstPosition * 4u);
  uint32_t fstLength = fstSize * 4u;
  std::vector<unsigned char> table =
      ReadDiscRange(qpkFile, entries.data(), count, dataRegionStart, fstDiscOffset, fstLength);
  ValidateFstTable(table.data(), table.size());
  return table;
}

// The name of one stored entry: through the table, or the next system name.
void NameEntry(const unsigned char* table, const QpkEntry& entry, int* nextSystemNumber,
               char* entryName) {
  uint32_t position = static_cast<uint32_t>(entry.discOffset / 4);
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
  char prefix[PATH_CAPACITY];
  KnownFolders* known = knownFolders;
  // Whether path[0..i] is still a prefix of the known folders' text.
  bool onKnownPath = known != nullptr;
  bool allThere = true;
  size_t foldersLength = 0;
  for (size_t i = 0; path[i] != '\0' && i < PATH_CAPACITY - 1; ++i) {
    prefix[i] = path[i];
    onKnownPath = onKnownPath && i < known->length && known->text[i] == path[i];
    if (path[i] != '/') continue;
    prefix[i + 1] = '\0';
    foldersLength = i + 1;
    if (options.verbose) ReportError("%s\n", prefix);
    if (onKnownPath) continue;
    // An existing directory is no error.
    if (HostCreateDirectory(prefix) == HOST_DIR_FAILED) allThere = false;
  }
  if (known != nullptr) {
    known->length = allThere ? foldersLength : 0;
    std::memcpy(known->text, prefix, known->length);
  }
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
  if (baseLength + 2 > PATH_CAPACITY) {
    Fail("%s: Path is longer than %zu characters: %s/\n", programName, PATH_CAPACITY - 1, base);
  }
  char path[PATH_CAPACITY];
  std::memcpy(path, base, baseLength + 1);
  for (uint32_t i = 0; i < fstEntryCount; ++i) {
    if (!FstIsDirectory(i) || FstNextEntry(i) != i + 1) continue;
    DVDConvertEntrynumToPath(static_cast<int32_t>(i), path + baseLength,
                             static_cast<uint32_t>(PATH_CAPACITY - baseLength));
    CheckExtractedName(path + baseLength - DVDROOT_LENGTH, true);
    MakeDirectoriesAlongPath(path);
  }
}

void UnpackFiles() {
  KnownFoldersScope knownFoldersScope;
  CreateExtractionDirectory(options.extractDir);
  FileGuard qpk(OpenInputFile(options.qpkPath));
  std::unique_ptr<FILE, StreamCloser> dlf(OpenStreamForWriting(options.dlfPath));
  // Three writes per line, one line per entry: gather them in larger blocks.
  std::setvbuf(dlf.get(), nullptr, _IOFBF, DLF_STREAM_BUFFER_SIZE);

  QpkHeader header = ReadQpkHeader(qpk.file);
  std::vector<QpkEntry> entries = ReadQpkEntryTable(qpk.file, header);
  int64_t dataRegionStart = static_cast<int32_t>(header.dataRegionOffset);
  std::vector<unsigned char> table = ReadFstTable(qpk.file, entries, dataRegionStart);
  InstalledFstTable installed(table.data());

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
    NameEntry(table.data(), entry, &nextSystemNumber, entryName);
    CheckExtractedName(entryName, false);
    ExtractEntry(qpk.file, options.extractDir, entryName, entry, dataStart);
    WriteDlfText(dlf.get(), "0x%08x", high);
    WriteDlfText(dlf.get(), "%08x,", low);
    WriteDlfText(dlf.get(), "\"%s\"\n", entryName);
  }

  char base[PATH_CAPACITY];
  BuildHostPath(base, options.extractDir, DVDROOT);
  CreateEmptyDirectories(base);

  qpk.Close();
  CloseDlfStream(&dlf);
}
