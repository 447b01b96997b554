#include <cstdio>
#include <cstring>
#include <memory>

#include "base/base.h"
#include "dlf/dlf.h"
#include "fileio/fileio.h"
#include "package/package.h"
#include "package/unpack_plan.h"

namespace {

const size_t DLF_STREAM_BUFFER_SIZE = 64 * 1024;

// The extraction directory and the folders of the last path created below
// it, held open from the root down: every folder and file is created in the
// held folder above it, so a folder that another process swaps for a link
// later cannot redirect anything, and paths that share folders with the
// last one (entries come mostly folder by folder) need no host call for
// them.
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

void ReleaseHeldFrom(HeldFolders* held, size_t level) {
  while (held->depth > level) HostCloseFolder(held->folders[--held->depth]);
}

// One unpack run: what it reads, where it writes, and the folders it holds
// there, released on every way out.
struct UnpackRun {
  HostHandle qpkFile;
  const char* extractDir;
  bool verbose;
  HeldFolders held;

  UnpackRun(HostFolder root, const UnpackRequest& request)
      : qpkFile(HOST_INVALID_HANDLE), extractDir(request.extractDir), verbose(request.verbose) {
    held.root = root;
    size_t length = std::strlen(extractDir);
    std::memcpy(held.text, extractDir, length);
    held.text[length] = '/';
    held.rootLength = length + 1;
    held.depth = 0;
  }
  ~UnpackRun() {
    ReleaseHeldFrom(&held, 0);
    HostCloseFolder(held.root);
  }
  UnpackRun(const UnpackRun&) = delete;
  UnpackRun& operator=(const UnpackRun&) = delete;
};

struct StreamCloser {
  void operator()(FILE* stream) const { std::fclose(stream); }
};
using DlfStream = std::unique_ptr<FILE, StreamCloser>;

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
// where that component begins. Above the extraction directory (or without
// held folders), folders are made by path.
HostFolder MakeFoldersAlong(HeldFolders* held, bool verbose, const char* path, PathKind kind,
                            size_t* nameStart) {
  char prefix[PATH_CAPACITY];
  size_t length = std::strlen(path);
  if (length >= PATH_CAPACITY) length = PATH_CAPACITY - 1;
  std::memcpy(prefix, path, length);
  prefix[length] = '\0';
  bool beneath = held != nullptr && std::strncmp(path, held->text, held->rootLength) == 0;
  size_t level = 0;
  *nameStart = 0;
  for (const char* at = HostNextSeparator(prefix); *at != '\0'; at = HostNextSeparator(at + 1)) {
    size_t end = static_cast<size_t>(at - prefix) + 1;
    *nameStart = end;
    char next = prefix[end];
    prefix[end] = '\0';
    if (verbose) ReportError("%s\n", prefix);
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
void ExtractRange(UnpackRun* run, const char* path, uint64_t sourceOffset, uint64_t length) {
  size_t nameStart = 0;
  HostFolder folder = MakeFoldersAlong(&run->held, run->verbose, path, FILE_PATH, &nameStart);
  FileGuard out(HostCreateFileIn(folder, path, path + nameStart));
  if (out.file == HOST_INVALID_HANDLE) Fail("%s: Cannot open file %s!\n", programName, path);
  CopyRange(run->qpkFile, sourceOffset, out.file, 0, length, run->verbose);
  out.Close();
}

void ExtractConfigBlob(UnpackRun* run, const UnpackPlan& plan) {
  char path[PATH_CAPACITY];
  BuildHostPath(path, run->extractDir, "config0");
  ExtractRange(run, path, plan.dataStart, plan.configSize);
}

void ExtractEntry(UnpackRun* run, const char* name, const PlannedEntry& planned) {
  char path[PATH_CAPACITY];
  BuildHostPath(path, run->extractDir, name);
  ExtractRange(run, path, planned.storedOffset, planned.storedSize);
}

// Where the plan says the run stops, it stops with the plan's message.
void StopWherePlanned(const UnpackPlan& plan, UnpackStep step, size_t index) {
  if (PlanStopsAt(plan, step, index)) Fail("%s", plan.stop.message.c_str());
}

void ExtractEntries(UnpackRun* run, UnpackPlan* plan, FILE* dlf) {
  char name[ENTRY_NAME_CAPACITY];
  for (size_t i = 0; i < plan->planned.size(); ++i) {
    const PlannedEntry& planned = plan->planned[i];
    if (planned.kind == PLANNED_PLACEHOLDER) {
      WriteDlfEntryLine(dlf, planned.discOffset, "");
      continue;
    }
    if (run->verbose) {
      ReportError("0x%08x\n", static_cast<uint32_t>(planned.discOffset / 4));
      ReportError("%d\n", planned.fstEntry);
    }
    StopWherePlanned(*plan, STEP_ENTRY, i);
    PlannedEntryName(plan, i, name);
    ExtractEntry(run, name, planned);
    WriteDlfEntryLine(dlf, planned.discOffset, name);
  }
}

// Creates every empty directory of the table below "dvdroot".
void CreateEmptyDirectories(UnpackRun* run, UnpackPlan* plan) {
  StopWherePlanned(*plan, STEP_EMPTY_BASE, 0);
  char path[PATH_CAPACITY + 1];
  for (size_t j = 0; j < plan->emptyDirectories.size(); ++j) {
    StopWherePlanned(*plan, STEP_EMPTY_DIRECTORY, j);
    EmptyDirectoryPath(plan, run->extractDir, j, path);
    size_t nameStart = 0;
    MakeFoldersAlong(&run->held, run->verbose, path, DIRECTORY_PATH, &nameStart);
  }
}

HostFolder OpenExtractionDirectory(const char* path) {
  HostFolder folder = HOST_INVALID_FOLDER;
  HostFolderResult result = HostOpenFolder(path, &folder);
  if (result != HOST_FOLDER_OPENED) FailFolder(result, path, path, DIRECTORY_PATH);
  return folder;
}

// The dlf file, created new in the extraction directory where it lies;
// one write per line, gathered in larger blocks.
FILE* CreateDlfStream(const HeldFolders& held, const char* dlfPath) {
  const char* name = dlfPath + held.rootLength;
  bool inRoot =
      std::strncmp(dlfPath, held.text, held.rootLength) == 0 && *HostNextSeparator(name) == '\0';
  FILE* dlf = inRoot ? CreateNewStreamIn(held.root, dlfPath, name)
                     : CreateNewStreamIn(HOST_INVALID_FOLDER, dlfPath, dlfPath);
  std::setvbuf(dlf, nullptr, _IOFBF, DLF_STREAM_BUFFER_SIZE);
  return dlf;
}

void CloseDlfStream(DlfStream* dlf, const char* dlfPath) {
  FILE* stream = dlf->release();
  bool failed = std::ferror(stream) != 0;
  if (std::fclose(stream) != 0 || failed) {
    Fail("%s: Error occurred when writing file %s\n", programName, dlfPath);
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

void Unpack(const UnpackRequest& request) {
  CreateExtractionDirectory(request.extractDir);
  UnpackRun run(OpenExtractionDirectory(request.extractDir), request);
  HostFileStatus qpkStatus;
  FileGuard qpk(OpenRegularFile(request.qpkPath, HOST_READ_ONLY, &qpkStatus));
  run.qpkFile = qpk.file;
  DlfStream dlf(CreateDlfStream(run.held, request.dlfPath));

  UnpackPlan plan;
  PlanUnpack(qpk.file, request.extractDir, &plan);
  StopWherePlanned(plan, STEP_READ_FILE, 0);
  WriteDlfVersionLine(dlf.get());
  StopWherePlanned(plan, STEP_CONFIG, 0);
  ExtractConfigBlob(&run, plan);
  WriteDlfConfigLine(dlf.get(), "config0");
  ExtractEntries(&run, &plan, dlf.get());
  CreateEmptyDirectories(&run, &plan);

  qpk.Close();
  CloseDlfStream(&dlf, request.dlfPath);
}
