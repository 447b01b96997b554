#include "app/options.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

Options options;
const char* programName = "quorlith";
unsigned char* copyBuffer = nullptr;

namespace {
bool fatalThrows = false;
}

void ResetOptions() {
  std::memset(&options, 0, sizeof options);
  programName = "quorlith";
}

bool AllocateCopyBuffer() {
  copyBuffer = static_cast<unsigned char*>(std::calloc(1, COPY_BUFFER_SIZE));
  return copyBuffer != nullptr;
}

void ReleaseCopyBuffer() {
  std::free(copyBuffer);
  copyBuffer = nullptr;
}

void ReportError(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::vfprintf(stderr, format, args);
  va_end(args);
}

void ExitFailure() {
  std::fflush(nullptr);
  if (fatalThrows) throw FatalExit{};
  std::exit(1);
}

void Fail(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::vfprintf(stderr, format, args);
  va_end(args);
  ExitFailure();
}

void SetFatalThrows(bool throws) {
  fatalThrows = throws;
}
