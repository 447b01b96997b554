#include "package/unpack_plan.h"

#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "fileio/fileio.h"

namespace {

const char DVDROOT[] = "dvdroot";
const size_t DVDROOT_LENGTH = sizeof DVDROOT - 1;
// The table's place and size are stored in units of 4 bytes; larger words
// would wrap at 2^32 and point somewhere else.
const uint32_t MAX_FST_WORD = 0x40000000u;

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

bool IsDotComponent(const char* start, size_t length) {
  return length == 0 || (length == 1 && start[0] == '.') ||
         (length == 2 && start[0] == '.' && start[1] == '.');
}

// Refuses a name that could leave the extraction directory, that the host
// cannot hold, or, for a file, whose dlf line could not be read back (no
// dlf line names a directory).
void CheckExtractedName(const char* name, bool directory) {
  if (!directory && std::strpbrk(name, "\"\r\n") != nullptr) {
    RefuseName(name, "the name holds a double quote or a line end");
  }
  const char* start = name;
  while (true) {
    const char* end = ComponentEnd(start);
    size_t length = static_cast<size_t>(end - start);
    bool lastOfDirectory = directory && *end == '\0' && length == 0 && end > name;
    if (!lastOfDirectory) {
      if (IsDotComponent(start, length)) RefuseName(name, "empty, \".\" or \"..\" path component");
      const char* reason = HostRefuseNameComponent(start, length);
      if (reason != nullptr) RefuseName(name, reason);
    }
    if (*end == '\0') break;
    start = end + 1;
  }
}

// Refuses, before anything is extracted, entries whose bytes lie outside
// the file and files whose entries would write more than their data region
// holds (one stored range named again and again would fill the disk).
void CheckStoredRanges(const UnpackPlan& plan) {
  uint64_t regionSize = plan.fileSize > plan.dataStart ? plan.fileSize - plan.dataStart : 0;
  if (plan.configSize > regionSize) {
    Fail("%s: The configuration data runs past the end of the qpk file\n", programName);
  }
  uint64_t total = plan.configSize;
  for (size_t i = 0; i < plan.entries.size(); ++i) {
    const QpkEntry& entry = plan.entries[i];
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
void ReadFstTable(HostHandle qpkFile, UnpackPlan* plan) {
  const QpkEntry* entries = plan->entries.data();
  uint32_t count = static_cast<uint32_t>(plan->entries.size());
  int64_t dataRegionStart = static_cast<int32_t>(plan->header.dataRegionOffset);
  HeapBytes block = ReadDiscRange(qpkFile, entries, count, dataRegionStart,
                                  DISC_HEADER_BLOCK_OFFSET, DISC_HEADER_BLOCK_SIZE);
  DiscTableWords words = DecodeDiscHeaderBlock(block.get());
  uint32_t fstPosition = words.position;
  uint32_t fstSize = words.size;
  if (fstPosition >= MAX_FST_WORD || fstSize >= MAX_FST_WORD) {
    Fail("%s: The disc header block points outside the first 4 GiB of the disc\n", programName);
  }
  plan->fstDiscOffset = static_cast<uint64_t>(fstPosition * 4u);
  plan->fstLength = fstSize * 4u;
  plan->fstBytes =
      ReadDiscRange(qpkFile, entries, count, dataRegionStart, plan->fstDiscOffset, plan->fstLength);
  ValidateFstTable(plan->fstBytes.get(), plan->fstLength);
  OpenFstTable(&plan->fst, plan->fstBytes.get());
}

void ReadQpkFile(HostHandle qpkFile, UnpackPlan* plan) {
  plan->header = ReadQpkHeader(qpkFile);
  plan->entries = ReadQpkEntryTable(qpkFile, plan->header);
  ReadFstTable(qpkFile, plan);
  // The entry table's checks keep the start of the data region below 2^31.
  plan->dataStart = QPK_HEADER_SIZE + QPK_ENTRY_SIZE * static_cast<uint64_t>(plan->entries.size());
  plan->configSize = plan->entries[0].dataOffset;
  plan->fileSize = GetFileSize64(qpkFile);
  CheckStoredRanges(*plan);
}

// Runs one step with messages captured: a fatal error becomes the plan's
// stop, with everything the step printed.
template <class Step>
bool PlanStep(UnpackPlan* plan, MessageCapture* capture, UnpackStep step, size_t index, Step body) {
  capture->text.clear();
  try {
    body();
  } catch (const FatalExit&) {
    plan->stop = {step, index, capture->text};
    return false;
  }
  return true;
}

PlannedEntry PlacementOf(const UnpackPlan& plan, const QpkEntry& entry) {
  PlannedEntry planned = {entry.discOffset,
                          plan.dataStart + entry.dataOffset,
                          entry.dataSize,
                          PLANNED_PLACEHOLDER,
                          -1,
                          -1};
  if (entry.flags & QPK_FLAG_PLACEHOLDER) planned.storedSize = 0;
  return planned;
}

// Names every entry in table order, one placement query per stored entry.
bool PlanEntries(UnpackPlan* plan, MessageCapture* capture, const char* extractDir) {
  FstZeroLengthCounter counter = {0};
  int32_t nextSystemNumber = 0;
  plan->planned.reserve(plan->entries.size());
  for (size_t i = 0; i < plan->entries.size(); ++i) {
    const QpkEntry& entry = plan->entries[i];
    plan->planned.push_back(PlacementOf(*plan, entry));
    if (entry.flags & QPK_FLAG_PLACEHOLDER) continue;
    PlannedEntry& planned = plan->planned.back();
    uint32_t position = static_cast<uint32_t>(entry.discOffset / 4);
    planned.fstEntry = FindFstFileIn(&plan->fst, &counter, position, entry.dataSize);
    planned.kind = planned.fstEntry != -1 ? PLANNED_TABLE_FILE : PLANNED_SYSTEM_FILE;
    if (planned.fstEntry == -1) planned.systemNumber = nextSystemNumber++;
    bool named = PlanStep(plan, capture, STEP_ENTRY, i, [&] {
      char name[ENTRY_NAME_CAPACITY];
      PlannedEntryName(plan, i, name);
      CheckExtractedName(name, false);
      char path[PATH_CAPACITY];
      BuildHostPath(path, extractDir, name);
    });
    if (!named) return false;
  }
  return true;
}

// The folder all empty directories go below: the extraction directory and
// "/dvdroot".
void CheckEmptyDirectoryBase(const char* extractDir) {
  std::string base = std::string(extractDir) + "/" + DVDROOT;
  // The table module takes maxlen 1 or 0 (and says it wants more); below
  // that the count would wrap.
  if (base.size() > PATH_CAPACITY) {
    Fail("%s: Path is longer than %zu characters: %s/\n", programName, PATH_CAPACITY - 1,
         Printable(base.c_str()).c_str());
  }
}

void PlanEmptyDirectories(UnpackPlan* plan, MessageCapture* capture, const char* extractDir) {
  for (uint32_t i = 0; i < plan->fst.entryCount; ++i) {
    if (FstIsEmptyDirectoryIn(plan->fst, i)) {
      plan->emptyDirectories.push_back(i);
    }
  }
  if (!PlanStep(plan, capture, STEP_EMPTY_BASE, 0, [&] { CheckEmptyDirectoryBase(extractDir); })) {
    return;
  }
  char path[PATH_CAPACITY + 1];
  for (size_t j = 0; j < plan->emptyDirectories.size(); ++j) {
    bool named = PlanStep(plan, capture, STEP_EMPTY_DIRECTORY, j, [&] {
      size_t nameStart = EmptyDirectoryPath(plan, extractDir, j, path);
      CheckExtractedName(path + nameStart, true);
    });
    if (!named) return;
  }
}

}  // namespace

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

void PlanUnpack(HostHandle qpkFile, const char* extractDir, UnpackPlan* plan) {
  *plan = UnpackPlan();
  plan->stop = {STEP_NONE, 0, std::string()};
  MessageCapture capture;
  MessageCaptureScope scope(&capture);
  if (!PlanStep(plan, &capture, STEP_READ_FILE, 0, [&] { ReadQpkFile(qpkFile, plan); })) return;
  if (!PlanStep(plan, &capture, STEP_CONFIG, 0, [&] {
        char path[PATH_CAPACITY];
        BuildHostPath(path, extractDir, "config0");
      })) {
    return;
  }
  if (!PlanEntries(plan, &capture, extractDir)) return;
  PlanEmptyDirectories(plan, &capture, extractDir);
}

void PlannedEntryName(UnpackPlan* plan, size_t index, char* name) {
  const PlannedEntry& planned = plan->planned[index];
  if (planned.kind == PLANNED_SYSTEM_FILE) {
    std::snprintf(name, ENTRY_NAME_CAPACITY, "system%d", planned.systemNumber);
    return;
  }
  std::memcpy(name, DVDROOT, DVDROOT_LENGTH);
  FstEntryPath(&plan->fst, planned.fstEntry, name + DVDROOT_LENGTH,
               static_cast<uint32_t>(ENTRY_NAME_CAPACITY - DVDROOT_LENGTH));
}

size_t EmptyDirectoryPath(UnpackPlan* plan, const char* extractDir, size_t index, char* path) {
  size_t nameStart = std::strlen(extractDir) + 1;
  std::snprintf(path, PATH_CAPACITY + 1, "%s/%s", extractDir, DVDROOT);
  size_t baseLength = nameStart + DVDROOT_LENGTH;
  FstEntryPath(&plan->fst, static_cast<int32_t>(plan->emptyDirectories[index]), path + baseLength,
               static_cast<uint32_t>(PATH_CAPACITY - baseLength));
  return nameStart;
}

bool PlanStopsAt(const UnpackPlan& plan, UnpackStep step, size_t index) {
  return plan.stop.step == step && plan.stop.index == index;
}
