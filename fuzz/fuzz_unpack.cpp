// The qpk readers, then a whole Unpack run, on an arbitrary qpk file.
//
// Each reader must accept exactly what the bytes allow and return what they
// hold: the header when its magic is right, the entry table when it lies in
// the file, a disc range when an entry covers its start and the file holds it
// whole, and then the file's bytes from the covering entry's data on.
//
// The Unpack run goes into a fresh directory. The last byte of the input
// also steers the run: bit 0 turns the traces on (and with them the copy
// shortcuts off), bit 1 appends a large tail of fixed bytes to the file,
// bit 2 repeats one file entry of the disc's file-system table in place,
// with the table and the qpk file adjusted around it (so that a few table
// entries grow into a table of tens of thousands, out of reach of small
// inputs otherwise).
// The table queries of a run must visit a number of table entries linear in
// the file's size, however the table is shaped.
// Whether the run completes or is refused, nothing may appear outside the
// extraction directory, the input stays as it was, nothing but directories
// and regular files is created, no more bytes come out than went in, and no
// file-system table stays installed. A completed run must also have written
// a dlf file that reads back to the qpk's entries, with every named file
// holding its entry's bytes.
#include <sys/resource.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

#include "base/coding.h"
#include "dlf/dlf.h"
#include "dvdfs/dvdfs.h"
#include "fileio/fileio.h"
#include "fuzz/fuzz_support.h"
#include "inspect/inspect.h"
#include "package/package.h"
#include "package/qpk.h"
#include "package/unpack_plan.h"
#include "tests/support/qpk_bytes.h"

namespace fs = std::filesystem;

namespace {

// No single output file may grow past this; the kernel stops the process
// (SIGXFSZ, which the fuzzer reports) long before a disk could fill up.
const rlim_t MAX_OUTPUT_FILE_SIZE = 64 << 20;
const char DLF_NAME[] = "in.dlf";
// Bit 1 of the input's last byte appends this many bytes to the qpk file,
// so that entries can name ranges large enough for the kernel to copy
// (256 KiB and more) without inputs that large.
const size_t LARGE_TAIL_SIZE = 384 * 1024;
// Bit 2 of the last byte grows the table: the 4 bytes before the last give
// the entry to repeat and how many more times it follows itself (16 bits
// each, little-endian).
const size_t GROW_PARAMETERS_SIZE = 5;
// Table entries a run's queries may visit per 12 bytes of the qpk file:
// one pass to build each index, and room to spare.
const uint64_t VISITS_PER_TABLE_ENTRY = 4;
// Disc ranges asked of the readers per entry, and their largest length.
const uint32_t MAX_CHECKED_ENTRIES = 64;
const uint32_t MAX_CHECKED_LENGTH = 64;

struct QpkFile {
  HostHandle file;
  const uint8_t* data;
  size_t size;
  std::vector<QpkEntry> entries;
  int64_t dataRegionStart;
};

// One ReadDiscRange, checked against the covering entry found here.
void CheckDiscRange(const QpkFile& qpk, uint64_t discOffset, uint32_t byteCount) {
  int64_t covering = -1;
  for (size_t i = 0; i < qpk.entries.size() && qpk.entries[i].discOffset <= discOffset; ++i) {
    covering = static_cast<int64_t>(i);
  }
  bool stored = false;
  uint64_t position = 0;
  if (covering >= 0) {
    const QpkEntry& entry = qpk.entries[static_cast<size_t>(covering)];
    position = static_cast<uint64_t>(qpk.dataRegionStart) + entry.dataOffset +
               (discOffset - entry.discOffset);
    stored = position <= qpk.size && byteCount <= qpk.size - position;
  }
  HeapBytes bytes;
  try {
    bytes = ReadDiscRange(qpk.file, qpk.entries.data(), static_cast<uint32_t>(qpk.entries.size()),
                          qpk.dataRegionStart, discOffset, byteCount);
  } catch (const FatalExit&) {
    if (stored)
      FuzzFailure("disc range 0x%llx (%u bytes) refused",
                  static_cast<unsigned long long>(discOffset), byteCount);
    return;
  }
  if (!stored)
    FuzzFailure("disc range 0x%llx (%u bytes) read", static_cast<unsigned long long>(discOffset),
                byteCount);
  if (byteCount > 0 && std::memcmp(bytes.get(), qpk.data + position, byteCount) != 0) {
    FuzzFailure("disc range 0x%llx (%u bytes) holds other bytes",
                static_cast<unsigned long long>(discOffset), byteCount);
  }
}

void CheckQpkReaders(const std::string& path, const std::string& bytes) {
  const uint8_t* data = reinterpret_cast<const uint8_t*>(bytes.data());
  const size_t size = bytes.size();
  FileGuard file(OpenInputFile(path.c_str()));
  QpkFile qpk = {file.file, data, size, {}, 0};
  const QpkParts parts = SplitQpkBytes(bytes);
  bool magic = parts.header.magic == QPK_MAGIC;
  QpkHeader header;
  try {
    header = ReadQpkHeader(file.file);
  } catch (const FatalExit&) {
    if (magic) FuzzFailure("header with the right magic refused");
    return;
  }
  if (!magic) FuzzFailure("header without the magic accepted");
  if (header.entryCount != parts.header.entryCount ||
      header.dataRegionOffset != parts.header.dataRegionOffset) {
    FuzzFailure("header read wrongly");
  }

  uint64_t tableEnd = QPK_HEADER_SIZE + static_cast<uint64_t>(QPK_ENTRY_SIZE) * header.entryCount;
  bool tableFits = header.entryCount != 0 && tableEnd < QPK_DATA_START_LIMIT && parts.tableWhole;
  try {
    qpk.entries = ReadQpkEntryTable(file.file, header);
  } catch (const FatalExit&) {
    if (tableFits) FuzzFailure("entry table inside the file refused");
    return;
  }
  if (!tableFits) FuzzFailure("entry table of %u entries accepted", header.entryCount);
  for (uint32_t i = 0; i < header.entryCount; ++i) {
    const QpkEntry& stored = parts.entries[i];
    const QpkEntry& read = qpk.entries[i];
    if (read.discOffset != stored.discOffset || read.dataOffset != stored.dataOffset ||
        read.dataSize != stored.dataSize || read.flags != stored.flags) {
      FuzzFailure("entry %u read wrongly", i);
    }
  }

  qpk.dataRegionStart = static_cast<int32_t>(header.dataRegionOffset);
  CheckDiscRange(qpk, DISC_HEADER_BLOCK_OFFSET, DISC_HEADER_BLOCK_SIZE);
  for (uint32_t i = 0; i < header.entryCount && i < MAX_CHECKED_ENTRIES; ++i) {
    const QpkEntry& entry = qpk.entries[i];
    CheckDiscRange(qpk, entry.discOffset, std::min(entry.dataSize, MAX_CHECKED_LENGTH));
    CheckDiscRange(qpk, entry.discOffset - 1, 1);
    CheckDiscRange(qpk, entry.discOffset + entry.dataSize, MAX_CHECKED_LENGTH);
  }
  // A range the input picks, of any length: refused before any allocation
  // when the file cannot hold it.
  if (size >= QPK_HEADER_SIZE + 12) {
    CheckDiscRange(qpk, LoadLE64(data + size - 12), LoadLE32(data + size - 4));
  }
}

// Everything below `dir`, not following links: every entry must be a
// directory or a regular file; returns the bytes of the regular files other
// than the dlf file.
uint64_t CheckExtractedTree(const std::string& dir) {
  uint64_t total = 0;
  std::error_code error;
  for (fs::recursive_directory_iterator it(dir, error), end; it != end; it.increment(error)) {
    if (error) FuzzFailure("cannot list %s: %s", dir.c_str(), error.message().c_str());
    fs::file_status status = it->symlink_status();
    if (fs::is_directory(status)) continue;
    if (!fs::is_regular_file(status)) {
      FuzzFailure("%s is neither a file nor a directory", it->path().c_str());
    }
    if (it->path().filename() == DLF_NAME && it.depth() == 0) continue;
    total += fs::file_size(it->path());
  }
  if (error) FuzzFailure("cannot list %s: %s", dir.c_str(), error.message().c_str());
  return total;
}

// The scratch run directory must hold the input, unchanged, and the
// extraction directory: nothing else.
void CheckNothingOutside(const std::string& run, const uint8_t* data, size_t size) {
  for (const fs::directory_entry& item : fs::directory_iterator(run)) {
    std::string name = item.path().filename();
    if (name != "in.qpk" && name != "out") FuzzFailure("%s appeared outside", name.c_str());
  }
  std::string input = ReadBytes(run + "/in.qpk");
  if (input.size() != size || std::memcmp(input.data(), data, size) != 0) {
    FuzzFailure("the qpk file changed");
  }
  // The scratch directory itself holds only the run directory.
  for (const fs::directory_entry& item : fs::directory_iterator(ScratchDir())) {
    if (item.path().filename() != "run") {
      FuzzFailure("%s appeared outside", item.path().c_str());
    }
  }
}

void CheckExtractedBytes(const std::string& path, const std::string& region, uint64_t offset,
                         uint64_t length) {
  struct stat st;
  if (lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
    FuzzFailure("%s was not extracted", path.c_str());
  }
  std::string bytes = ReadBytes(path);
  if (bytes.size() != length || offset > region.size() || length > region.size() - offset ||
      region.compare(offset, length, bytes) != 0) {
    FuzzFailure("%s does not hold its entry's bytes", path.c_str());
  }
}

// After a completed run: the dlf file lists every entry of the table in
// order, with its disc offset, and names the file that holds its bytes.
void CheckCompletedRun(const std::string& out, const std::string& bytes) {
  const QpkParts qpk = SplitQpkBytes(bytes);
  const std::vector<QpkEntry>& entries = qpk.entries;
  uint32_t count = static_cast<uint32_t>(entries.size());
  if (count == 0) FuzzFailure("a file without an entry table was unpacked");
  CheckExtractedBytes(out + "/config0", qpk.data, 0, entries[0].dataOffset);

  DlfList* list = nullptr;
  try {
    list = ParseDlf((out + "/" + DLF_NAME).c_str());
  } catch (const FatalExit&) {
    FuzzFailure("the regenerated dlf file cannot be read back");
  }
  std::vector<std::string> names;
  std::vector<uint64_t> offsets;
  for (const DlfEntry* entry = list->first; entry != nullptr; entry = entry->next) {
    names.push_back(entry->name);
    offsets.push_back(entry->discOffset);
  }
  bool configRight = std::strcmp(list->configName, "config0") == 0;
  FreeDlfList(list);
  if (!configRight) FuzzFailure("configuration line is wrong");
  if (names.size() != count) FuzzFailure("%zu dlf lines for %u entries", names.size(), count);
  for (uint32_t i = 0; i < count; ++i) {
    const QpkEntry& entry = entries[i];
    if (offsets[i] != entry.discOffset) FuzzFailure("dlf line %u has the wrong offset", i);
    bool placeholder = (entry.flags & QPK_FLAG_PLACEHOLDER) != 0;
    if (placeholder != names[i].empty()) FuzzFailure("dlf line %u has the wrong kind", i);
    if (placeholder) continue;
    CheckExtractedBytes(out + "/" + names[i], qpk.data, entry.dataOffset, entry.dataSize);
  }
}

uint32_t LoadLE16(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8;
}

// Where the disc's bytes at `discOffset` lie in the data region, through
// the entry that covers them as the readers find it; false when none does.
bool DiscPosition(const std::vector<QpkEntry>& entries, uint64_t discOffset, uint64_t* position,
                  size_t* covering) {
  bool found = false;
  for (size_t i = 0; i < entries.size() && entries[i].discOffset <= discOffset; ++i) {
    *covering = i;
    found = true;
  }
  if (!found) return false;
  const QpkEntry& entry = entries[*covering];
  *position = entry.dataOffset + (discOffset - entry.discOffset);
  return true;
}

// Moves the links of a directory entry for `grown` entries inserted after
// entry `after`.
void MoveLinks(unsigned char* entry, uint32_t after, uint32_t grown) {
  if (entry[0] == 0) return;  // a file: no links
  for (size_t word = 4; word <= 8; word += 4) {
    uint32_t link = LoadBE32(entry + word);
    if (link > after) StoreBE32(entry + word, link + grown);
  }
}

// Repeats file entry `repeated` of the table that lies at `table` (`length`
// bytes, `count` entries) `grown` more times.
std::string GrownTable(const std::string& bytes, uint64_t table, uint32_t length, uint32_t count,
                       uint32_t repeated, uint32_t grown) {
  std::string out;
  for (uint32_t i = 0; i < count; ++i) {
    std::string entry = bytes.substr(table + i * FST_ENTRY_SIZE, FST_ENTRY_SIZE);
    MoveLinks(reinterpret_cast<unsigned char*>(&entry[0]), repeated, grown);
    out += entry;
    if (i == repeated) {
      for (uint32_t k = 0; k < grown; ++k) out += entry;
    }
  }
  return out + bytes.substr(table + count * FST_ENTRY_SIZE, length - count * FST_ENTRY_SIZE);
}

// The data region with the disc's table grown in it, and `entries` moved
// to match; false when the region holds no table that can grow so.
bool GrowTableInRegion(const std::string& region, std::vector<QpkEntry>* entries, uint32_t repeated,
                       uint32_t grown, std::string* out) {
  const uint8_t* data = reinterpret_cast<const uint8_t*>(region.data());
  const uint64_t size = region.size();
  uint64_t block = 0, table = 0;
  size_t blockEntry = 0, tableEntry = 0;
  if (!DiscPosition(*entries, DISC_HEADER_BLOCK_OFFSET, &block, &blockEntry) || block > size ||
      size - block < DISC_HEADER_BLOCK_SIZE) {
    return false;
  }
  uint32_t tableWords = LoadBE32(data + block + 8);
  uint64_t tableOffset = static_cast<uint32_t>(LoadBE32(data + block + 4) * 4u);
  uint32_t length = tableWords * 4u;
  if (!DiscPosition(*entries, tableOffset, &table, &tableEntry) || table > size ||
      size - table < length || length < FST_ENTRY_SIZE) {
    return false;
  }
  uint32_t count = LoadBE32(data + table + 8);
  uint64_t insertAt = table + static_cast<uint64_t>(repeated + 1) * FST_ENTRY_SIZE;
  if (count > length / FST_ENTRY_SIZE || repeated == 0 || repeated >= count ||
      data[table + repeated * FST_ENTRY_SIZE] != 0 ||
      (block + 12 > table && block < table + length)) {
    return false;
  }
  uint64_t growth = static_cast<uint64_t>(grown) * FST_ENTRY_SIZE;
  *out = region.substr(0, table) + GrownTable(region, table, length, count, repeated, grown) +
         region.substr(table + length);
  uint64_t blockNow = block >= insertAt ? block + growth : block;
  StoreBE32(reinterpret_cast<unsigned char*>(&(*out)[blockNow + 8]), tableWords + 3 * grown);
  for (size_t i = 0; i < entries->size(); ++i) {
    QpkEntry& entry = (*entries)[i];
    if (i == tableEntry) entry.dataSize += static_cast<uint32_t>(growth);
    if (entry.dataOffset >= insertAt) entry.dataOffset += growth;
  }
  return true;
}

// Grows the table as bit 2 asks; any file it cannot find its way through
// stays as it is.
std::string WithGrownTable(const uint8_t* data, size_t size) {
  std::string bytes(reinterpret_cast<const char*>(data), size);
  if (size < QPK_HEADER_SIZE + GROW_PARAMETERS_SIZE || (data[size - 1] & 4) == 0) return bytes;
  uint32_t repeated = LoadLE16(data + size - 5), grown = LoadLE16(data + size - 3);
  QpkParts qpk = SplitQpkBytes(bytes);
  // Positions in the data region are file positions only where the header
  // puts the region right after the table.
  if (qpk.header.magic != QPK_MAGIC || qpk.entries.empty() ||
      qpk.header.dataRegionOffset != size - qpk.data.size() || grown == 0) {
    return bytes;
  }
  std::string region;
  if (!GrowTableInRegion(qpk.data, &qpk.entries, repeated, grown, &region)) return bytes;
  return MakeQpkBytes(qpk.header, qpk.entries, region);
}

// The qpk file's bytes: the input, grown or with the large tail when it
// asks for them.
std::string QpkBytes(const uint8_t* data, size_t size) {
  std::string bytes = WithGrownTable(data, size);
  if (size > 0 && (data[size - 1] & 2) != 0) {
    for (size_t i = 0; i < LARGE_TAIL_SIZE; ++i) bytes.push_back(static_cast<char>(i * 131 + 7));
  }
  return bytes;
}

// Runs every look inside the qpk file that does not unpack it: the items,
// the summary, the warnings, a lookup of the first listed name and a copy
// of the file it names, whose bytes must be the stored ones.
void ExerciseInspection(QpkInspection* inspection, const std::string& bytes) {
  std::vector<QpkItem> items;
  ForEachQpkItem(inspection, [&](const QpkItem& item) { items.push_back(item); });
  QpkSummary summary;
  SummarizeQpk(inspection, &summary);
  std::vector<QpkWarning> warnings;
  CheckQpkWarnings(inspection, &warnings);
  for (const QpkItem& listed : items) {
    if (listed.kind == ITEM_PLACEHOLDER || listed.kind == ITEM_DIRECTORY) continue;
    QpkItem item{};
    if (FindQpkItem(inspection, Printable(listed.name.c_str()).c_str(), &item) != LOOKUP_FOUND) {
      FuzzFailure("the listed name %s is not found", Printable(listed.name.c_str()).c_str());
    }
    const std::string copy = ScratchDir() + "/copy";
    {
      FileGuard out(CreateOutputFile(copy.c_str()));
      CopyQpkItem(*inspection, item, out.file);
    }
    if (ReadBytes(copy) != bytes.substr(item.storedOffset, item.size)) {
      FuzzFailure("the copy of %s holds other bytes", Printable(item.name.c_str()).c_str());
    }
    std::remove(copy.c_str());
    break;
  }
}

// The inspection's verdict and names against the run's: the same outcome,
// the same words where it stops, and every listed name created.
void CompareWithRun(QpkInspection* inspection, bool completed, const std::string& printed,
                    bool traced, const std::string& out) {
  if (completed != (inspection->verdict.step == STEP_NONE)) {
    FuzzFailure("the run %s, the inspection said: %s", completed ? "completed" : "failed",
                inspection->verdict.message.c_str());
  }
  if (!completed && !traced && printed != inspection->verdict.message) {
    FuzzFailure("the run printed \"%s\", the inspection said \"%s\"", printed.c_str(),
                inspection->verdict.message.c_str());
  }
  ForEachQpkItem(inspection, [&](const QpkItem& item) {
    if (item.kind == ITEM_PLACEHOLDER) return;
    std::error_code error;
    fs::file_status status = fs::symlink_status(out + "/" + item.name, error);
    bool isFolder = fs::is_directory(status), isFile = fs::is_regular_file(status);
    if (item.kind == ITEM_DIRECTORY ? !isFolder : !isFile) {
      FuzzFailure("the listed name %s was not created", Printable(item.name.c_str()).c_str());
    }
  });
}

// The table entries that naming the run's entries visits, on a plan of its
// own: the same queries as the run's, which keeps its record to itself.
uint64_t NamingVisits(const std::string& qpkPath, const std::string& out) {
  FileGuard file(OpenInputFile(qpkPath.c_str()));
  UnpackPlan plan;
  PlanUnpack(file.file, out.c_str(), &plan);
  char name[ENTRY_NAME_CAPACITY];
  for (size_t i = 0; i < plan.planned.size(); ++i) {
    if (plan.planned[i].kind == PLANNED_PLACEHOLDER || PlanStopsAt(plan, STEP_ENTRY, i)) continue;
    PlannedEntryName(&plan, i, name);
  }
  return FstEntriesVisitedIn(plan.fst);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  InitFuzzTarget();
  if (!AllocateCopyBuffer()) FuzzFailure("cannot allocate the copy buffer");
  struct rlimit limit = {MAX_OUTPUT_FILE_SIZE, MAX_OUTPUT_FILE_SIZE};
  if (setrlimit(RLIMIT_FSIZE, &limit) != 0) FuzzFailure("cannot limit the output file size");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* input, size_t inputSize) {
  BeginFuzzInput();
  const std::string bytes = QpkBytes(input, inputSize);
  const uint8_t* data = reinterpret_cast<const uint8_t*>(bytes.data());
  const size_t size = bytes.size();
  const std::string run = ScratchDir() + "/run";
  const std::string out = run + "/out";
  if (mkdir(run.c_str(), 0700) != 0) FuzzFailure("cannot create %s", run.c_str());
  WriteBytes(run + "/in.qpk", data, size);
  CheckQpkReaders(run + "/in.qpk", bytes);
  const std::string qpkPath = run + "/in.qpk";
  const std::string dlfPath = out + "/" + DLF_NAME;
  // The traces are code too (and they turn the copy shortcuts off): the
  // input's last bit turns them on.
  UnpackRequest request = {qpkPath.c_str(), out.c_str(), dlfPath.c_str(),
                           AsksForTraces(input, inputSize)};

  QpkInspection inspection;
  InspectQpk(qpkPath.c_str(), out.c_str(), &inspection);
  ExerciseInspection(&inspection, bytes);
  bool completed = false;
  MessageCapture printed;
  BeginMessageCapture(&printed);
  try {
    Unpack(request);
    completed = true;
  } catch (const FatalExit&) {
  }
  EndMessageCapture();
  CompareWithRun(&inspection, completed, printed.text, request.verbose, out);
  if (InstalledFst().entryCount != 0) FuzzFailure("a run leaves a file-system table installed");
  // The table lies in the file: it has at most size / 12 entries.
  uint64_t visited = NamingVisits(qpkPath, out);
  if (visited > VISITS_PER_TABLE_ENTRY * (size / FST_ENTRY_SIZE + 1)) {
    FuzzFailure("the run visited %llu table entries in a %zu-byte file",
                static_cast<unsigned long long>(visited), size);
  }
  CheckNothingOutside(run, data, size);
  uint64_t extracted = CheckExtractedTree(out);
  if (extracted > size) {
    FuzzFailure("%llu bytes extracted from a %zu-byte file",
                static_cast<unsigned long long>(extracted), size);
  }
  if (completed) CheckCompletedRun(out, bytes);
  if (inspection.file != HOST_INVALID_HANDLE) HostCloseFile(inspection.file);
  inspection.file = HOST_INVALID_HANDLE;
  RemoveTree(run);
  EndFuzzInput();
  return 0;
}
