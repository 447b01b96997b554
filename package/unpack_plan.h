// What an unpack of one qpk file would do, worked out before anything is
// written: the header, the entry table and the file-system table read and
// checked, every entry named (through the table, or as the next system
// name), the empty directories of the table, and where the run would stop,
// with which message, if the file or the extraction directory does not
// allow it to finish. Unpack mode carries a plan out; listing and checking
// a qpk file read the same plan.
#ifndef QUORLITH_PACKAGE_UNPACK_PLAN_H_
#define QUORLITH_PACKAGE_UNPACK_PLAN_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "base/base.h"
#include "dvdfs/dvdfs.h"
#include "host/host.h"
#include "package/qpk.h"

// An extracted name, relative to the extraction directory, holds at most
// ENTRY_NAME_CAPACITY - 1 characters.
const size_t ENTRY_NAME_CAPACITY = 1024;

enum PlannedKind { PLANNED_PLACEHOLDER, PLANNED_TABLE_FILE, PLANNED_SYSTEM_FILE };

// One qpk entry as the run takes it out: its dlf line is its disc offset
// and its name; a placeholder is a line without a file.
struct PlannedEntry {
  uint64_t discOffset;
  uint64_t storedOffset;  // file offset of its bytes in the qpk file
  uint32_t storedSize;
  PlannedKind kind;
  int32_t fstEntry;      // the placement query's answer: a table file, or -1
  int32_t systemNumber;  // N of "systemN"; -1 unless a system file
};

// The steps of a run, in the order it takes them.
enum UnpackStep {
  STEP_READ_FILE,        // the header, the entry table, the table, the stored ranges
  STEP_CONFIG,           // "config0", after the version line
  STEP_ENTRY,            // entry `index`, after its -v traces
  STEP_EMPTY_BASE,       // the folder all empty directories go below
  STEP_EMPTY_DIRECTORY,  // empty directory `index`
  STEP_NONE,             // the run finishes
};

struct UnpackStop {
  UnpackStep step;
  size_t index;
  std::string message;  // everything the run prints as it stops there
};

struct UnpackPlan {
  QpkHeader header;
  std::vector<QpkEntry> entries;
  uint64_t fileSize;
  uint64_t dataStart;  // the data region as extraction uses it: 32 + 24 x entries
  uint64_t configSize;
  uint64_t fstDiscOffset;
  uint32_t fstLength;
  HeapBytes fstBytes;
  FstTable fst;
  // One per entry up to the stop (the stopping entry included).
  std::vector<PlannedEntry> planned;
  // Table entry numbers of the empty directories, in table order.
  std::vector<uint32_t> emptyDirectories;
  UnpackStop stop;
};

// Works out the unpack of the open qpk file `qpkFile` into `extractDir`
// (which only bounds the paths). Prints nothing and ends nothing: a fault
// is the plan's stop.
void PlanUnpack(HostHandle qpkFile, const char* extractDir, UnpackPlan* plan);

// The name under which planned entry `index` (not a placeholder) is
// extracted: "dvdroot" and its table path, or "systemN".
void PlannedEntryName(UnpackPlan* plan, size_t index, char* name);

// The path of empty directory `index`: `extractDir`, "/dvdroot" and its
// table path, in a buffer of PATH_CAPACITY + 1 bytes. Returns where its
// name below the extraction directory begins. Only for a plan whose run
// gets past the check of that folder (STEP_EMPTY_BASE).
size_t EmptyDirectoryPath(UnpackPlan* plan, const char* extractDir, size_t index, char* path);

// Builds `base` + "/" + `name` into a buffer of PATH_CAPACITY bytes,
// refusing what does not fit rather than cutting it short.
void BuildHostPath(char* path, const char* base, const char* name);

// True when the plan's run stops at this step.
bool PlanStopsAt(const UnpackPlan& plan, UnpackStep step, size_t index);

#endif  // QUORLITH_PACKAGE_UNPACK_PLAN_H_
