// check: a qpk file as an unpack would check it, a dlf file as a pack
// would read it; nothing is written.
#include <cctype>
#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "qpk/qpk_commands.h"
#include "qpk/qpk_output.h"

namespace {

bool IsDlfName(const std::string& path) {
  const char* suffix = ".dlf";
  if (path.size() < 4) return false;
  for (size_t i = 0; i < 4; ++i) {
    char c = static_cast<char>(std::tolower(static_cast<unsigned char>(path[path.size() - 4 + i])));
    if (c != suffix[i]) return false;
  }
  return true;
}

void PrintPassed(const std::string& path) {
  PrintOut(Printable(path.c_str()) + ": OK\n");
}

void PrintFinding(const std::string& path, const DlfFinding& finding) {
  std::string warning = finding.severity == DLF_WARNING ? "warning: " : "";
  if (finding.line == 0) {
    PrintFileReason(path, warning + finding.reason);
  } else {
    std::fprintf(stderr, "%s:%" PRIu64 ": %s%s\n", Printable(path.c_str()).c_str(), finding.line,
                 warning.c_str(), EscapeControls(finding.reason).c_str());
  }
}

// True when the file passes.
bool CheckDlfFile(const std::string& path, bool strict) {
  std::vector<DlfFinding> findings;
  bool readable = CheckDlf(path.c_str(), &findings);
  bool failed = !readable;
  for (const DlfFinding& finding : findings) {
    PrintFinding(path, finding);
    if (finding.severity == DLF_ERROR || strict) failed = true;
  }
  if (!failed) PrintPassed(path);
  return !failed;
}

bool CheckQpkFile(const std::string& path, const QpkOptions& options) {
  QpkInspection inspection;
  InspectQpk(path.c_str(), options.directoryGiven ? options.directory.c_str() : nullptr,
             &inspection);
  if (ReportVerdict(inspection) != 0) return false;
  std::vector<QpkWarning> warnings;
  CheckQpkWarnings(&inspection, &warnings);
  for (const QpkWarning& warning : warnings) PrintFileWarning(path, warning.text);
  if (options.strict && !warnings.empty()) return false;
  PrintPassed(path);
  return true;
}

}  // namespace

int RunCheck(const QpkOptions& options) {
  int status = 0;
  for (const std::string& path : options.operands) {
    bool passed =
        IsDlfName(path) ? CheckDlfFile(path, options.strict) : CheckQpkFile(path, options);
    if (!passed) status = 1;
  }
  return status;
}
