// Looking inside qpk and dlf files without unpacking or packing them: what
// an unpack would create and whether it would finish, the checks of a qpk
// file or a dlf file, and one file of a qpk file taken out. Everything a run
// would print is told in its own words, captured from the same code paths
// (the program name in front, as the run prints it). Nothing here ends the
// run, and nothing writes a file but CopyQpkItem's output.
#ifndef QUORLITH_INSPECT_INSPECT_H_
#define QUORLITH_INSPECT_INSPECT_H_

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "base/base.h"
#include "host/host.h"
#include "package/unpack_plan.h"

// ---------------------------------------------------------------- qpk files

// Where an unpack of a qpk file would stop, and everything it would print
// there; STEP_NONE when it finishes. The steps are the plan's, with
// STEP_READ_FILE also for the names and the open of the qpk file itself.
typedef UnpackStop UnpackVerdict;

struct QpkInspection {
  std::string qpkPath;
  char extractDir[PATH_CAPACITY];         // as quorlith -u settles it
  char dlfPath[PATH_CAPACITY];            // the dlf file the unpack writes
  HostHandle file = HOST_INVALID_HANDLE;  // the open qpk file, or invalid
  bool planned = false;                   // the plan below was made
  UnpackPlan plan;
  // The plan's stop, or an earlier one: two names that the unpack would
  // create as one (a file over a file or a folder, a folder over a file;
  // on Win32 names that differ only in the case of A to Z count as one),
  // with the message the unpack prints where the second is made.
  UnpackVerdict verdict;
  // What an unpack writes up to the verdict: files (config0, every stored
  // entry, the dlf file), folders (the extraction directory and every
  // folder below it, each once) and bytes (the files' sizes, the dlf text
  // included).
  uint64_t filesWritten = 0;
  uint64_t foldersMade = 0;
  uint64_t bytesWritten = 0;

  QpkInspection() = default;
  ~QpkInspection();
  QpkInspection(const QpkInspection&) = delete;
  QpkInspection& operator=(const QpkInspection&) = delete;
};

// Settles the names as `quorlith -u [-e givenDir] qpkPath` would (givenDir
// null: the default directory), opens the qpk file as Unpack does, plans the
// unpack and follows every name it would create. Reads the header, the entry
// table and the file-system table, never the stored data. Every failure is
// the verdict. The extraction directory is neither created nor looked at.
void InspectQpk(const char* qpkPath, const char* givenDir, QpkInspection* inspection);

enum QpkItemKind { ITEM_CONFIG, ITEM_FILE, ITEM_SYSTEM, ITEM_PLACEHOLDER, ITEM_DIRECTORY };

// One thing an unpack creates (or, for a placeholder, one dlf line
// without a file).
struct QpkItem {
  QpkItemKind kind;
  std::string name;       // below the extraction directory, as the unpack names it; a
                          // directory ends in '/'; empty for a placeholder
  uint64_t discOffset;    // 0 for the configuration blob and directories
  uint64_t size;          // bytes stored; 0 for directories and placeholders
  int32_t fstEntry;       // the file-system table's entry, or -1
  int64_t entryIndex;     // the qpk entry, or -1 (config0, directories)
  uint64_t storedOffset;  // file offset of the bytes in the qpk file (files only)
};

// Every item in the order the unpack creates them: "config0", the entries
// in table order (placeholders included), the empty directories. Only the
// items before the verdict's step are visited: a run that stops at entry i
// creates entries 0 to i-1.
void ForEachQpkItem(QpkInspection* inspection, const std::function<void(const QpkItem&)>& visit);

// The summary of a qpk file; each group is known only as far as the file
// could be read (`entriesKnown`: the header and the entry table;
// `tableKnown`: the file-system table too).
struct QpkSummary {
  bool entriesKnown;
  uint64_t entries, storedEntries, placeholders;
  uint64_t configSize;
  uint64_t dataRegionSize;  // the bytes after the entry table
  uint64_t fileSize;
  uint64_t discExtent;  // the largest disc offset plus size over all entries
  bool tableKnown;
  uint64_t fstDiscOffset;
  uint32_t fstLength;
  uint64_t tableFiles, tableDirectories, emptyDirectories;  // the root counts as a directory
};
void SummarizeQpk(QpkInspection* inspection, QpkSummary* summary);

enum QpkWarningKind {
  WARN_FALLING_OFFSET,       // an entry's disc offset below the one before it
  WARN_OVERLAPPING_RANGES,   // two stored ranges share disc bytes
  WARN_UNSTORED_TABLE_FILE,  // a table file that no entry stores under its name
  WARN_OTHER_LENGTH,         // a stored entry where the table places a file of another length
};
struct QpkWarning {
  QpkWarningKind kind;
  int64_t entryIndex;  // the entry it is about, or -1
  int32_t fstEntry;    // the table file it is about, or -1
  std::string text;    // one line, without a line end; names as Printable prints them
};
// What an unpack accepts but is almost surely a mistake. Only for an
// inspection whose verdict lets the unpack read the whole file (its step
// is past STEP_READ_FILE). Work and memory grow as n log n in the entries.
void CheckQpkWarnings(QpkInspection* inspection, std::vector<QpkWarning>* warnings);

enum QpkLookup { LOOKUP_FOUND, LOOKUP_NOTHING, LOOKUP_DIRECTORY, LOOKUP_PLACEHOLDER };
// The item `name` names: a name as the listing prints it (Printable's
// escapes read back; a directory with or without its '/'), or a path in
// the disc's table starting with '/', found as the table finds paths (A to
// Z folded, "." and ".."). Only items the inspection visits are found.
QpkLookup FindQpkItem(QpkInspection* inspection, const char* name, QpkItem* item);

// Copies the bytes of a found file item to `out` from its current end on:
// in the kernel where the host can, through the copy buffer otherwise
// (which must be allocated). `out` may be a pipe or a terminal. Failures go
// through the fatal path.
void CopyQpkItem(const QpkInspection& inspection, const QpkItem& item, HostHandle out);

// ---------------------------------------------------------------- dlf files

enum DlfSeverity { DLF_ERROR, DLF_WARNING };

struct DlfFinding {
  uint64_t line;  // from 1, as an editor counts (blank lines too); 0: the file as a whole
  DlfSeverity severity;
  // One line without a line end. An error that Pack prints is its message
  // without the program name and its ": "; names as Printable prints them.
  std::string reason;
};

// Checks the dlf file at `dlfPath` for what Pack mode would refuse (errors)
// and for what it would accept but is almost surely a mistake (warnings),
// in line order. Listed files are found as Pack finds them, relative to the
// dlf file's folder; the working directory does not change. Returns false
// when the dlf file cannot be read at all (one finding at line 0 says why).
bool CheckDlf(const char* dlfPath, std::vector<DlfFinding>* findings);

#endif  // QUORLITH_INSPECT_INSPECT_H_
