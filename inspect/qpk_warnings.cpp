// What an unpack accepts but is almost surely a mistake in a qpk file.
#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <string>
#include <vector>

#include "base/base.h"
#include "dlf/dlf.h"
#include "inspect/inspect.h"

namespace {

std::string TablePathText(UnpackPlan* plan, int32_t entry) {
  char path[ENTRY_NAME_CAPACITY];
  FstEntryPath(&plan->fst, entry, path, sizeof path);
  return Printable(path);
}

uint64_t StoredSizeOf(const QpkEntry& entry) {
  return (entry.flags & QPK_FLAG_PLACEHOLDER) != 0 ? 0 : entry.dataSize;
}

void AddWarning(std::vector<QpkWarning>* warnings, QpkWarningKind kind, size_t entryIndex,
                int32_t fstEntry, const std::string& text) {
  warnings->push_back({kind, static_cast<int64_t>(entryIndex), fstEntry, text});
}

void WarnFallingOffsets(const UnpackPlan& plan, std::vector<QpkWarning>* warnings) {
  for (size_t i = 1; i < plan.entries.size(); ++i) {
    uint64_t before = plan.entries[i - 1].discOffset, offset = plan.entries[i].discOffset;
    if (offset >= before) continue;
    AddWarning(warnings, WARN_FALLING_OFFSET, i, -1,
               "entry " + std::to_string(i) + ": disc offset " + DiscOffsetText(offset) +
                   " falls below entry " + std::to_string(i - 1) + "'s " + DiscOffsetText(before));
  }
}

// Sorted by disc offset, each stored range is checked against the furthest
// end of the ranges before it: one warning per entry that overlaps any.
void WarnOverlappingRanges(const UnpackPlan& plan, std::vector<QpkWarning>* warnings) {
  std::vector<size_t> order;
  for (size_t i = 0; i < plan.entries.size(); ++i) {
    if (StoredSizeOf(plan.entries[i]) != 0) order.push_back(i);
  }
  std::sort(order.begin(), order.end(), [&](size_t a, size_t b) {
    return plan.entries[a].discOffset < plan.entries[b].discOffset ||
           (plan.entries[a].discOffset == plan.entries[b].discOffset && a < b);
  });
  std::vector<QpkWarning> found;
  uint64_t furthestEnd = 0;
  size_t furthest = 0;
  for (size_t k = 0; k < order.size(); ++k) {
    const QpkEntry& entry = plan.entries[order[k]];
    uint64_t size = StoredSizeOf(entry);
    uint64_t end = SaturatingAdd(entry.discOffset, size);
    if (k > 0 && entry.discOffset < furthestEnd) {
      AddWarning(&found, WARN_OVERLAPPING_RANGES, order[k], -1,
                 "entry " + std::to_string(order[k]) + " at disc offset " +
                     DiscOffsetText(entry.discOffset) + " overlaps the stored range of entry " +
                     std::to_string(furthest));
    }
    if (k == 0 || end > furthestEnd) {
      furthestEnd = end;
      furthest = order[k];
    }
  }
  std::sort(found.begin(), found.end(),
            [](const QpkWarning& a, const QpkWarning& b) { return a.entryIndex < b.entryIndex; });
  warnings->insert(warnings->end(), found.begin(), found.end());
}

void WarnUnstoredTableFiles(UnpackPlan* plan, std::vector<QpkWarning>* warnings) {
  std::vector<bool> stored(plan->fst.entryCount, false);
  for (const PlannedEntry& planned : plan->planned) {
    if (planned.kind == PLANNED_TABLE_FILE) stored[static_cast<size_t>(planned.fstEntry)] = true;
  }
  for (uint32_t entry = 1; entry < plan->fst.entryCount; ++entry) {
    if (stored[entry] || FstIsDirectoryIn(plan->fst, entry)) continue;
    int32_t fstEntry = static_cast<int32_t>(entry);
    AddWarning(warnings, WARN_UNSTORED_TABLE_FILE, static_cast<size_t>(-1), fstEntry,
               "table file " + TablePathText(plan, fstEntry) + " (table entry " +
                   std::to_string(entry) + ") is stored by no entry");
  }
}

// A system entry at the place of a table file: the table gives that file
// another length, so the unpack could not name the entry by it.
void WarnOtherLengths(UnpackPlan* plan, std::vector<QpkWarning>* warnings) {
  for (size_t i = 0; i < plan->planned.size(); ++i) {
    const PlannedEntry& planned = plan->planned[i];
    if (planned.kind != PLANNED_SYSTEM_FILE || planned.discOffset % 4 != 0 ||
        planned.discOffset / 4 > UINT32_MAX) {
      continue;
    }
    uint32_t position = static_cast<uint32_t>(planned.discOffset / 4);
    int32_t fstEntry = FindFstFileAtPositionIn(&plan->fst, position);
    if (fstEntry < 0) continue;
    uint32_t length = FstFileLengthIn(plan->fst, static_cast<uint32_t>(fstEntry));
    AddWarning(
        warnings, WARN_OTHER_LENGTH, i, fstEntry,
        "entry " + std::to_string(i) + " at disc offset " + DiscOffsetText(planned.discOffset) +
            " stores " + std::to_string(planned.storedSize) + " bytes; the table places " +
            TablePathText(plan, fstEntry) + " there with " + std::to_string(length) + " bytes");
  }
}

}  // namespace

void CheckQpkWarnings(QpkInspection* inspection, std::vector<QpkWarning>* warnings) {
  warnings->clear();
  UnpackPlan* plan = &inspection->plan;
  if (!inspection->planned || inspection->verdict.step == STEP_READ_FILE) return;
  WarnFallingOffsets(*plan, warnings);
  WarnOverlappingRanges(*plan, warnings);
  WarnUnstoredTableFiles(plan, warnings);
  WarnOtherLengths(plan, warnings);
}
