#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <unordered_map>

#include "base/base.h"
#include "dlf/dlf.h"
#include "fileio/fileio.h"
#include "inspect/inspect.h"
#include "package/package.h"

namespace {

// Settles the names and opens the qpk file as Unpack does; false with the
// verdict set when either fails.
bool SettleAndOpen(const char* qpkPath, const char* givenDir, QpkInspection* inspection) {
  MessageCapture capture;
  MessageCaptureScope scope(&capture);
  char stem[PATH_CAPACITY];
  try {
    SettleExtractionDirectory(qpkPath, givenDir, false, inspection->extractDir, stem);
    SettleUnpackDlfPath(inspection->extractDir, stem, inspection->dlfPath);
    HostFileStatus status;
    inspection->file = OpenRegularFile(qpkPath, HOST_READ_ONLY, &status);
  } catch (const FatalExit&) {
    inspection->verdict = {STEP_READ_FILE, 0, capture.text};
    return false;
  }
  return true;
}

// The items a run creates before `limit`, in its order, each with its
// index (the entry's, or the empty directory's); the visit returns false to
// stop early.
using ItemVisit = std::function<bool(const QpkItem&, size_t)>;

bool WalkConfig(QpkInspection* inspection, const UnpackStop& limit, const ItemVisit& visit) {
  if (limit.step <= STEP_CONFIG) return false;
  const UnpackPlan& plan = inspection->plan;
  QpkItem item = {ITEM_CONFIG, "config0", 0, plan.configSize, -1, -1, plan.dataStart};
  return visit(item, 0);
}

QpkItemKind ItemKindOf(PlannedKind kind) {
  if (kind == PLANNED_TABLE_FILE) return ITEM_FILE;
  return kind == PLANNED_SYSTEM_FILE ? ITEM_SYSTEM : ITEM_PLACEHOLDER;
}

bool WalkEntries(QpkInspection* inspection, const UnpackStop& limit, const ItemVisit& visit) {
  UnpackPlan* plan = &inspection->plan;
  size_t end = plan->planned.size();
  if (limit.step == STEP_ENTRY && limit.index < end) end = limit.index;
  char name[ENTRY_NAME_CAPACITY];
  for (size_t i = 0; i < end; ++i) {
    const PlannedEntry& planned = plan->planned[i];
    QpkItem item = {ItemKindOf(planned.kind), std::string(),    planned.discOffset,
                    planned.storedSize,       planned.fstEntry, static_cast<int64_t>(i),
                    planned.storedOffset};
    if (planned.kind != PLANNED_PLACEHOLDER) {
      PlannedEntryName(plan, i, name);
      item.name = name;
    }
    if (!visit(item, i)) return false;
  }
  return limit.step > STEP_ENTRY;
}

void WalkEmptyDirectories(QpkInspection* inspection, const UnpackStop& limit,
                          const ItemVisit& visit) {
  if (limit.step <= STEP_EMPTY_BASE) return;
  UnpackPlan* plan = &inspection->plan;
  size_t end = plan->emptyDirectories.size();
  if (limit.step == STEP_EMPTY_DIRECTORY && limit.index < end) end = limit.index;
  char path[PATH_CAPACITY + 1];
  for (size_t j = 0; j < end; ++j) {
    size_t nameStart = EmptyDirectoryPath(plan, inspection->extractDir, j, path);
    int32_t entry = static_cast<int32_t>(plan->emptyDirectories[j]);
    QpkItem item = {ITEM_DIRECTORY, path + nameStart, 0, 0, entry, -1, 0};
    if (!visit(item, j)) return;
  }
}

void WalkQpkItems(QpkInspection* inspection, const UnpackStop& limit, const ItemVisit& visit) {
  if (!inspection->planned) return;
  if (!WalkConfig(inspection, limit, visit)) return;
  if (!WalkEntries(inspection, limit, visit)) return;
  WalkEmptyDirectories(inspection, limit, visit);
}

// The name under which the host's file system knows a name created below
// the extraction directory: separators as '/' and, on Win32, A to Z folded
// as NTFS compares names.
std::string CreatedNameKey(const std::string& name) {
  std::string key = name;
  for (const char* at = HostNextSeparator(name.c_str()); *at != '\0';
       at = HostNextSeparator(at + 1)) {
    key[static_cast<size_t>(at - name.c_str())] = '/';
  }
#if defined(_WIN32)
  for (char& c : key) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
#endif
  return key;
}

enum CreatedKind { CREATED_FILE, CREATED_FOLDER };

// Follows the names a run creates on a fresh extraction directory and what
// it writes, up to the first name the host would refuse.
struct CreationWalk {
  QpkInspection* inspection;
  std::unordered_map<std::string, CreatedKind> created;
};

void StopAtCollision(QpkInspection* inspection, const QpkItem& item, size_t index,
                     const std::string& message) {
  bool directory = item.kind == ITEM_DIRECTORY;
  inspection->verdict = {directory ? STEP_EMPTY_DIRECTORY : STEP_ENTRY, index, message};
}

std::string FullPathOf(const QpkInspection& inspection, const std::string& name) {
  return std::string(inspection.extractDir) + "/" + name;
}

// The message of a folder that cannot be made where a file stands: for a
// file below it the host refuses the file; an empty directory names the
// folder and the host's code.
std::string FolderOverFileMessage(const QpkInspection& inspection, const QpkItem& item,
                                  size_t prefixLength) {
  char text[2 * PATH_CAPACITY + 64];
  if (item.kind != ITEM_DIRECTORY) {
    std::snprintf(text, sizeof text, "%s: Cannot open file %s!\n", programName,
                  FullPathOf(inspection, item.name).c_str());
    return text;
  }
  std::snprintf(text, sizeof text, "%s: Failed to create directory %s\nlast error: %d\n",
                programName, FullPathOf(inspection, item.name.substr(0, prefixLength)).c_str(),
                HostFolderIsFileError());
  return text;
}

// Makes every folder of the item's name; false at a file in the way.
bool MakeFolders(CreationWalk* walk, const QpkItem& item, size_t index, const std::string& key) {
  for (size_t at = key.find('/'); at != std::string::npos; at = key.find('/', at + 1)) {
    auto made = walk->created.emplace(key.substr(0, at), CREATED_FOLDER);
    if (made.second) {
      ++walk->inspection->foldersMade;
    } else if (made.first->second == CREATED_FILE) {
      StopAtCollision(walk->inspection, item, index,
                      FolderOverFileMessage(*walk->inspection, item, at));
      return false;
    }
  }
  return true;
}

// One item as the run creates it; false where the run would stop.
bool CreateItem(CreationWalk* walk, const QpkItem& item, size_t index) {
  QpkInspection* inspection = walk->inspection;
  if (item.kind == ITEM_PLACEHOLDER) {
    inspection->bytesWritten += DlfEntryLineLength("");
    return true;
  }
  std::string key = CreatedNameKey(item.name);
  if (!MakeFolders(walk, item, index, key)) return false;
  if (item.kind == ITEM_DIRECTORY) return true;
  if (!walk->created.emplace(key, CREATED_FILE).second) {
    StopAtCollision(inspection, item, index,
                    std::string(programName) + ": Cannot open file " +
                        FullPathOf(*inspection, item.name) + "!\n");
    return false;
  }
  ++inspection->filesWritten;
  inspection->bytesWritten += item.size;
  inspection->bytesWritten += item.kind == ITEM_CONFIG ? DlfConfigLineLength(item.name.c_str())
                                                       : DlfEntryLineLength(item.name.c_str());
  return true;
}

// Counts what the run writes before its first item: the extraction
// directory, and once the qpk file is open the dlf file with its version
// line (written once the file has been read).
void CountRunStart(QpkInspection* inspection) {
  inspection->foldersMade = 1;
  inspection->filesWritten = 1;
  if (inspection->plan.stop.step != STEP_READ_FILE) {
    inspection->bytesWritten = DlfVersionLineLength();
  }
}

QpkLookup FindTablePath(QpkInspection* inspection, const char* path, QpkItem* found) {
  if (!inspection->planned || inspection->plan.fst.entryCount == 0) return LOOKUP_NOTHING;
  int32_t entry = FstPathToEntry(inspection->plan.fst, path);
  if (entry < 0) return LOOKUP_NOTHING;
  if (FstIsDirectoryIn(inspection->plan.fst, static_cast<uint32_t>(entry))) {
    return LOOKUP_DIRECTORY;
  }
  uint64_t discOffset =
      static_cast<uint64_t>(FstFilePositionIn(inspection->plan.fst, static_cast<uint32_t>(entry))) *
      4;
  QpkLookup lookup = LOOKUP_NOTHING;
  WalkQpkItems(inspection, inspection->verdict, [&](const QpkItem& item, size_t) {
    if (item.kind == ITEM_FILE && item.fstEntry == entry) {
      *found = item;
      lookup = LOOKUP_FOUND;
      return false;
    }
    if (item.kind == ITEM_PLACEHOLDER && item.discOffset == discOffset &&
        lookup == LOOKUP_NOTHING) {
      *found = item;
      lookup = LOOKUP_PLACEHOLDER;
    }
    return true;
  });
  return lookup;
}

QpkLookup FindListedName(QpkInspection* inspection, const char* name, QpkItem* found) {
  std::string wanted = ReadPrintable(name);
  if (wanted.empty()) return LOOKUP_NOTHING;
  std::string folder = wanted.back() == '/' ? wanted : wanted + "/";
  QpkLookup lookup = LOOKUP_NOTHING;
  WalkQpkItems(inspection, inspection->verdict, [&](const QpkItem& item, size_t) {
    if (item.kind == ITEM_PLACEHOLDER) return true;
    if (item.kind != ITEM_DIRECTORY && item.name == wanted) {
      *found = item;
      lookup = LOOKUP_FOUND;
      return false;
    }
    // An empty directory, or a folder that holds a listed name.
    if (item.name.compare(0, folder.size(), folder) == 0) lookup = LOOKUP_DIRECTORY;
    return true;
  });
  return lookup;
}

}  // namespace

QpkInspection::~QpkInspection() {
  if (file != HOST_INVALID_HANDLE) HostCloseFile(file);
}

void InspectQpk(const char* qpkPath, const char* givenDir, QpkInspection* inspection) {
  inspection->qpkPath = qpkPath;
  inspection->verdict = {STEP_NONE, 0, std::string()};
  if (!SettleAndOpen(qpkPath, givenDir, inspection)) return;
  PlanUnpack(inspection->file, inspection->extractDir, &inspection->plan);
  inspection->planned = true;
  inspection->verdict = inspection->plan.stop;
  CountRunStart(inspection);
  CreationWalk walk{inspection, {}};
  WalkQpkItems(inspection, inspection->plan.stop,
               [&](const QpkItem& item, size_t index) { return CreateItem(&walk, item, index); });
}

void ForEachQpkItem(QpkInspection* inspection, const std::function<void(const QpkItem&)>& visit) {
  WalkQpkItems(inspection, inspection->verdict, [&](const QpkItem& item, size_t) {
    visit(item);
    return true;
  });
}

QpkLookup FindQpkItem(QpkInspection* inspection, const char* name, QpkItem* item) {
  if (name[0] == '/') return FindTablePath(inspection, name, item);
  return FindListedName(inspection, name, item);
}

void CopyQpkItem(const QpkInspection& inspection, const QpkItem& item, HostHandle out) {
  CopyRangeToOutput(inspection.file, item.storedOffset, out, item.size);
}

namespace {

void SummarizeEntries(const UnpackPlan& plan, HostHandle file, QpkSummary* summary) {
  summary->entriesKnown = true;
  summary->entries = plan.entries.size();
  for (const QpkEntry& entry : plan.entries) {
    bool placeholder = (entry.flags & QPK_FLAG_PLACEHOLDER) != 0;
    if (placeholder) ++summary->placeholders;
    uint64_t size = placeholder ? 0 : entry.dataSize;
    uint64_t end = SaturatingAdd(entry.discOffset, size);
    if (end > summary->discExtent) summary->discExtent = end;
  }
  summary->storedEntries = summary->entries - summary->placeholders;
  summary->configSize = plan.entries[0].dataOffset;
  uint64_t dataStart = QPK_HEADER_SIZE + QPK_ENTRY_SIZE * static_cast<uint64_t>(summary->entries);
  if (!HostFileSize(file, &summary->fileSize)) summary->fileSize = 0;
  summary->dataRegionSize = summary->fileSize > dataStart ? summary->fileSize - dataStart : 0;
}

void SummarizeTable(UnpackPlan* plan, QpkSummary* summary) {
  summary->tableKnown = true;
  summary->fstDiscOffset = plan->fstDiscOffset;
  summary->fstLength = plan->fstLength;
  for (uint32_t entry = 0; entry < plan->fst.entryCount; ++entry) {
    if (!FstIsDirectoryIn(plan->fst, entry)) {
      ++summary->tableFiles;
      continue;
    }
    ++summary->tableDirectories;
    if (FstIsEmptyDirectoryIn(plan->fst, entry)) ++summary->emptyDirectories;
  }
}

}  // namespace

void SummarizeQpk(QpkInspection* inspection, QpkSummary* summary) {
  *summary = QpkSummary();
  UnpackPlan* plan = &inspection->plan;
  if (!inspection->planned || plan->entries.empty()) return;
  SummarizeEntries(*plan, inspection->file, summary);
  if (plan->fst.entryCount != 0) SummarizeTable(plan, summary);
}
