#include <cinttypes>
#include <cstdlib>
#include <memory>
#include <vector>

#include "base/base.h"
#include "dlf/dlf.h"
#include "fileio/fileio.h"
#include "package/package.h"
#include "package/qpk.h"

namespace {

// A stored file's size is recorded in 32 bits.
const uint64_t MAX_STORED_SIZE = 0xFFFFFFFFu;

struct DlfListDeleter {
  void operator()(DlfList* list) const { FreeDlfList(list); }
};

// Opens the qpk file of this run: nothing at the qpk path changes yet.
void OpenTarget(const char* qpkPath, OutputFile* target, QpkOutput* output) {
  OpenOutputFile(qpkPath, target);
  output->file = target->file;
  output->statusKnown = target->statusKnown;
  output->status = target->status;
  output->replacesFile = target->replacing && target->replacement.replacesFile;
  output->replaced = target->replacement.replaced;
}

// Copies the whole of an open input file into the qpk file and returns its
// size, after refusing what the container cannot hold or what would destroy
// the output while it is written, or the file it replaces. The statuses
// come from the opens: one query per file, however many files.
uint32_t AppendOpenFile(const QpkOutput& qpk, uint64_t position, HostHandle source,
                        const HostFileStatus& sourceStatus, const char* fileName) {
  if ((qpk.statusKnown && HostSameFileStatus(sourceStatus, qpk.status)) ||
      (qpk.replacesFile && HostSameFileStatus(sourceStatus, qpk.replaced))) {
    Fail("%s: File %s is the qpk file being written\n", programName, fileName);
  }
  uint64_t size = sourceStatus.size;
  CheckStoredFileSize(size, fileName);
  CopyRange(source, 0, qpk.file, position, size, qpk.traced);
  return static_cast<uint32_t>(size);
}

void TraceEntry(const DlfEntry& entry) {
  char offset[DISC_OFFSET_TEXT_SIZE];
  FormatDiscOffset(entry.discOffset, offset);
  ReportError("name %s, offset %s\n", entry.name, offset);
}

// Copies the configuration file and every listed file into the qpk file,
// back to back from `dataStart` on, and fills one entry per dlf line.
void AppendFiles(const QpkOutput& output, const DlfList& list, uint64_t dataStart,
                 std::vector<QpkEntry>* entries) {
  uint64_t running = 0;
  if (list.configName[0] != '\0') {
    running += AppendConfigFile(output, dataStart + running, list.configName);
  }
  uint32_t i = 0;
  for (const DlfEntry* entry = list.first; entry != nullptr; entry = entry->next, ++i) {
    if (output.traced) TraceEntry(*entry);
    if (entry->name[0] != '\0') {
      uint32_t size = AppendListedFile(output, dataStart + running, entry);
      FillQpkEntry(&(*entries)[i], entry->discOffset, running, size, 0);
      running += size;
    } else {
      FillQpkEntry(&(*entries)[i], entry->discOffset, running, 0, QPK_FLAG_PLACEHOLDER);
    }
  }
}

}  // namespace

void CheckPackEntryCount(uint64_t count) {
  uint64_t tableEnd = QPK_HEADER_SIZE + static_cast<uint64_t>(QPK_ENTRY_SIZE) * count;
  if (tableEnd >= QPK_DATA_START_LIMIT) {
    Fail("%s: Too many entries in the dlf file (%" PRIu32 ")\n", programName,
         static_cast<uint32_t>(count));
  }
}

void CheckStoredFileSize(uint64_t size, const char* fileName) {
  if (size > MAX_STORED_SIZE) {
    Fail("%s: File %s is 4 GiB or larger (%" PRIu64 " bytes) and cannot be stored\n", programName,
         fileName, size);
  }
}

uint32_t AppendConfigFile(const QpkOutput& qpk, uint64_t position, const char* fileName) {
  // Opened for writing too, although it is only read: the configuration file
  // must be writable to be packed.
  HostFileStatus status;
  FileGuard source(OpenRegularFile(fileName, HOST_READ_WRITE, &status));
  uint32_t size = AppendOpenFile(qpk, position, source.file, status, fileName);
  source.Close();
  return size;
}

uint32_t AppendListedFile(const QpkOutput& qpk, uint64_t position, const DlfEntry* dlfEntry) {
  HostFileStatus status;
  FileGuard source(OpenRegularFile(dlfEntry->name, HOST_READ_ONLY, &status));
  uint32_t size = AppendOpenFile(qpk, position, source.file, status, dlfEntry->name);
  source.Close();
  return size;
}

void Pack(const PackRequest& request) {
  if (HostPathsNameSameFile(request.qpkPath, request.dlfPath)) {
    Fail("%s: The qpk file %s is the dlf file itself; it would be overwritten\n", programName,
         request.qpkPath);
  }
  OutputFile target;
  QpkOutput output{};
  output.traced = request.verbose;
  OpenTarget(request.qpkPath, &target, &output);
  std::unique_ptr<DlfList, DlfListDeleter> list(
      ParseDlf(request.dlfPath, CheckPackEntryCount, request.verbose));
  ChangeToFolderOf(request.dlfPath);

  // Counted again: the file may have changed since it was first counted.
  CheckPackEntryCount(static_cast<uint64_t>(list->count));
  uint32_t count = static_cast<uint32_t>(list->count);
  std::vector<QpkEntry> entries(count, QpkEntry{0, 0, 0, 0});
  QpkHeader header = {0, 0, 0, 0, 0, 0, 0, 0};
  WriteQpkHeader(output.file, header);
  WriteQpkEntryTable(output.file, entries.data(), count);
  AppendFiles(output, *list, QPK_HEADER_SIZE + static_cast<uint64_t>(QPK_ENTRY_SIZE) * count,
              &entries);
  WriteQpkEntryTable(output.file, entries.data(), count);
  FillQpkHeader(&header, 0, count);
  WriteQpkHeader(output.file, header);
  CommitOutputFile(request.qpkPath, &target);
}
