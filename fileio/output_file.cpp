#include <cstdlib>

#include "base/base.h"
#include "fileio/fileio.h"

namespace {

// The output of the run under way, so that every way out but success (a
// fatal error ending the process, or unwinding where it throws) removes the
// temporary file and leaves the path as it was.
OutputFile* liveOutput = nullptr;

void AbandonOutput() {
  OutputFile* output = liveOutput;
  if (output == nullptr) return;
  liveOutput = nullptr;
  if (output->file != HOST_INVALID_HANDLE) CloseFileQuietly(output->file);
  output->file = HOST_INVALID_HANDLE;
  if (output->replacing) HostAbandonReplacement(&output->replacement);
  output->replacing = false;
}

[[noreturn]] void FailOutputPath(const char* path) {
  Fail("%s: Cannot open file %s!\n", programName, path);
}

}  // namespace

OutputFile::~OutputFile() {
  if (liveOutput == this) AbandonOutput();
}

void OpenOutputFile(const char* path, OutputFile* output) {
  static const bool exitHookSet = std::atexit(AbandonOutput) == 0;
  (void)exitHookSet;
  output->file = HOST_INVALID_HANDLE;
  output->replacing = false;
  output->statusKnown = false;
  switch (HostStartReplacement(path, PATH_CAPACITY - 1, &output->replacement)) {
    case HOST_REPLACE_STARTED:
      output->replacing = true;
      output->file = output->replacement.file;
      liveOutput = output;
      if (!HostQueryFile(output->file, &output->status)) {
        ReportError("%s: Error occurred when reading file.\n", programName);
        ExitFailure();
      }
      output->statusKnown = true;
      break;
    case HOST_REPLACE_NOT_REGULAR:
      // A device may have no identity to tell (Win32: NUL).
      output->file = CreateOutputFile(path);
      liveOutput = output;
      output->statusKnown = HostQueryFile(output->file, &output->status);
      break;
    case HOST_REPLACE_FAILED:
      FailOutputPath(path);
  }
}

void CommitOutputFile(const char* path, OutputFile* output) {
  HostHandle file = output->file;
  output->file = HOST_INVALID_HANDLE;
  CloseFile(file);
  if (output->replacing && !HostFinishReplacement(&output->replacement)) FailOutputPath(path);
  output->replacing = false;
  liveOutput = nullptr;
}
