// The dlf check's parts below CheckDlf: a check with options, for callers
// that must not touch the listed files (the fuzzer), and the records the
// later passes work on.
#ifndef QUORLITH_INSPECT_DLF_CHECK_H_
#define QUORLITH_INSPECT_DLF_CHECK_H_

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "base/base.h"
#include "inspect/inspect.h"

struct DlfCheckOptions {
  bool checkFiles = true;  // open the configuration and listed files
};

// CheckDlf with options: without the file checks there are no file
// findings, no overlaps and no table comparison (they need the sizes).
bool CheckDlfWith(const char* dlfPath, const DlfCheckOptions& options,
                  std::vector<DlfFinding>* findings);

// A listed file that opened as Pack opens it.
struct ListedFile {
  uint64_t line;
  uint64_t discOffset;
  uint64_t size;
  std::string name;  // as the dlf line gives it
};

// What the check has learned, and where its findings go.
struct DlfCheck {
  DlfCheckOptions options;
  std::string folder;  // the dlf file's folder with its separator, "" for none
  MessageCapture* capture;
  std::vector<DlfFinding>* findings;
  bool haveOffset = false;
  uint64_t previousOffset = 0;
  uint64_t previousLine = 0;
  std::vector<ListedFile> files;
};

// Where Pack, in the dlf file's folder, opens `name` from.
std::string PathBesideDlf(const DlfCheck& check, const std::string& name);

// Runs `step` under the check's capture, active throughout the check, so
// that a fatal error in it throws. False, with what the run would have
// printed in `message`, when the step failed; what it printed otherwise is
// dropped.
bool RunCapturedStep(DlfCheck* check, const std::function<void()>& step, std::string* message);
// One finding per line of a captured message, without the program name.
void AddMessageFindings(DlfCheck* check, uint64_t line, DlfSeverity severity,
                        const std::string& message);

// Adds a finding; the reason is made printable.
void AddDlfFinding(DlfCheck* check, uint64_t line, DlfSeverity severity, const std::string& reason);

// The later passes over the listed files (dlf_ranges.cpp).
void CheckOverlappingRanges(DlfCheck* check);
void CompareWithDiscTable(DlfCheck* check);

#endif  // QUORLITH_INSPECT_DLF_CHECK_H_
