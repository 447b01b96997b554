// cat: the bytes of one item, to standard output or to a file put in place
// only once complete.
#include <functional>

#include "fileio/fileio.h"
#include "qpk/qpk_commands.h"
#include "qpk/qpk_output.h"

namespace {

// Runs `step` with the fatal path caught; what it reported is printed
// under `file`. True when it finished.
bool RunCaptured(const std::string& file, const std::function<void()>& step) {
  MessageCapture capture;
  BeginMessageCapture(&capture);
  bool finished = true;
  try {
    step();
  } catch (const FatalExit&) {
    finished = false;
  }
  EndMessageCapture();
  if (!capture.text.empty()) PrintFileMessage(file, capture.text);
  return finished;
}

bool PathExists(const char* path) {
  if (HostIsDirectoryPath(path)) return true;
  HostFileStatus status;
  HostFileKind kind;
  HostHandle file = HostOpenExistingNoWait(path, HOST_READ_ONLY, &status, &kind);
  if (file == HOST_INVALID_HANDLE) return false;
  HostCloseFile(file);
  return true;
}

void CopyToPath(const QpkInspection& inspection, const QpkItem& item, const char* path) {
  OutputFile output;
  OpenOutputFile(path, &output);
  CopyQpkItem(inspection, item, output.file);
  CommitOutputFile(path, &output);
}

bool CopyItem(const QpkOptions& options, const QpkInspection& inspection, const QpkItem& item) {
  const std::string& file = options.operands[0];
  return RunCaptured(file, [&]() {
    if (!AllocateCopyBuffer()) Fail("%s: buffer alloc failed\n", programName);
    if (options.outputGiven) {
      CopyToPath(inspection, item, options.output.c_str());
    } else {
      CopyQpkItem(inspection, item, HostStandardOutput());
    }
    ReleaseCopyBuffer();
  });
}

// The refusal for a name that is not a file with bytes, or "".
std::string Refusal(QpkLookup lookup) {
  switch (lookup) {
    case LOOKUP_NOTHING:
      return "no such file in the qpk file";
    case LOOKUP_DIRECTORY:
      return "is a directory";
    case LOOKUP_PLACEHOLDER:
      return "is a placeholder: the qpk file holds no bytes for it";
    default:
      return "";
  }
}

}  // namespace

int RunCat(const QpkOptions& options) {
  const std::string& file = options.operands[0];
  const std::string& name = options.operands[1];
  if (options.outputGiven && !options.force && PathExists(options.output.c_str())) {
    PrintFileReason(options.output, "File exists (use -f to replace it)");
    return 1;
  }
  QpkInspection inspection;
  InspectQpk(file.c_str(), nullptr, &inspection);
  QpkItem item = {};
  QpkLookup lookup = FindQpkItem(&inspection, name.c_str(), &item);
  if (lookup != LOOKUP_FOUND) {
    PrintFileReason(file, name + ": " + Refusal(lookup));
    if (lookup == LOOKUP_NOTHING) ReportVerdict(inspection);
    return 1;
  }
  return CopyItem(options, inspection, item) ? 0 : 1;
}
