#include <cinttypes>
#include <memory>
#include <vector>

#include "app/options.h"
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

// Copies the whole of an open input file into the qpk file and returns its
// size, after refusing what the container cannot hold or what would destroy
// the output while it is written. The statuses come from the opens: one
// query per file, however many files.
uint32_t AppendOpenFile(const QpkOutput& qpk, uint64_t position, HostHandle source,
                        const HostFileStatus& sourceStatus, const char* fileName) {
  if (HostSameFileStatus(sourceStatus, qpk.status)) {
    Fail("%s: File %s is the qpk file being written\n", programName, fileName);
  }
  uint64_t size = sourceStatus.size;
  if (size > MAX_STORED_SIZE) {
    Fail("%s: File %s is 4 GiB or larger (%" PRIu64 " bytes) and cannot be stored\n", programName,
         fileName, size);
  }
  CopyRange(source, 0, qpk.file, position, size);
  return static_cast<uint32_t>(size);
}

void TraceEntry(const DlfEntry& entry) {
  ReportError("name %s,", entry.name);
  ReportError(" offset 0x%08x", static_cast<unsigned>(entry.discOffset >> 32));
  ReportError("%08x\n", static_cast<unsigned>(entry.discOffset));
}

}  // namespace

uint32_t AppendConfigFile(const QpkOutput& qpk, uint64_t position, const char* fileName) {
  // Opened for writing too, although it is only read: the configuration file
  // must be writable to be packed.
  HostFileStatus status;
  FileGuard source(OpenExistingReadWrite(fileName, &status));
  uint32_t size = AppendOpenFile(qpk, position, source.file, status, fileName);
  source.Close();
  return size;
}

uint32_t AppendListedFile(const QpkOutput& qpk, uint64_t position, const DlfEntry* dlfEntry) {
  HostFileStatus status;
  FileGuard source(OpenInputFile(dlfEntry->name, &status));
  uint32_t size = AppendOpenFile(qpk, position, source.file, status, dlfEntry->name);
  source.Close();
  return size;
}

void PackFiles() {
  if (HostPathsNameSameFile(options.qpkPath, options.dlfPath)) {
    Fail("%s: The qpk file %s is the dlf file itself; it would be overwritten\n", programName,
         options.qpkPath);
  }
  QpkOutput output;
  FileGuard qpk(CreateOutputFile(options.qpkPath, &output.status));
  output.file = qpk.file;
  std::unique_ptr<DlfList, DlfListDeleter> list(ParseDlf(options.dlfPath));
  ChangeToFolderOf(options.dlfPath);

  uint32_t count = static_cast<uint32_t>(list->count);
  uint64_t tableEnd = QPK_HEADER_SIZE + static_cast<uint64_t>(QPK_ENTRY_SIZE) * count;
  if (tableEnd >= QPK_DATA_START_LIMIT) {
    Fail("%s: Too many entries in the dlf file (%" PRIu32 ")\n", programName, count);
  }
  std::vector<QpkEntry> entries(count, QpkEntry{0, 0, 0, 0});
  QpkHeader header = {0, 0, 0, 0, 0, 0, 0, 0};
  const uint64_t dataStart = tableEnd;
  uint64_t running = 0;

  WriteQpkHeader(qpk.file, header);
  WriteQpkEntryTable(qpk.file, entries.data(), count);

  if (options.configName[0] != '\0') {
    running += AppendConfigFile(output, dataStart + running, options.configName);
  }
  uint32_t i = 0;
  for (const DlfEntry* entry = list->first; entry != nullptr; entry = entry->next, ++i) {
    if (options.verbose) TraceEntry(*entry);
    if (entry->name[0] != '\0') {
      uint32_t size = AppendListedFile(output, dataStart + running, entry);
      FillQpkEntry(&entries[i], entry->discOffset, running, size, 0);
      running += size;
    } else {
      FillQpkEntry(&entries[i], entry->discOffset, running, 0, QPK_FLAG_PLACEHOLDER);
    }
  }

  WriteQpkEntryTable(qpk.file, entries.data(), count);
  FillQpkHeader(&header, 0, count);
  WriteQpkHeader(qpk.file, header);
  qpk.Close();
}
