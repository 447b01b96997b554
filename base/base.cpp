#include "base/base.h"

#include <cstdarg>
#include <cstdio>

const char* programName = "quorlith";

namespace {

bool fatalThrows = false;
MessageCapture* activeCapture = nullptr;

void ReportV(const char* format, va_list args) {
  if (activeCapture == nullptr) {
    std::vfprintf(stderr, format, args);
    return;
  }
  va_list measure;
  va_copy(measure, args);
  int length = std::vsnprintf(nullptr, 0, format, measure);
  va_end(measure);
  if (length <= 0) return;
  std::string& text = activeCapture->text;
  size_t start = text.size();
  text.resize(start + static_cast<size_t>(length) + 1);
  std::vsnprintf(&text[start], static_cast<size_t>(length) + 1, format, args);
  text.resize(start + static_cast<size_t>(length));
}

}  // namespace

void ReportError(const char* format, ...) {
  va_list args;
  va_start(args, format);
  ReportV(format, args);
  va_end(args);
}

void ExitFailure() {
  if (activeCapture != nullptr) throw FatalExit{};
  std::fflush(nullptr);
  if (fatalThrows) throw FatalExit{};
  std::exit(1);
}

void Fail(const char* format, ...) {
  va_list args;
  va_start(args, format);
  ReportV(format, args);
  va_end(args);
  ExitFailure();
}

void SetFatalThrows(bool throws) {
  fatalThrows = throws;
}

void BeginMessageCapture(MessageCapture* capture) {
  capture->text.clear();
  activeCapture = capture;
}

void EndMessageCapture() {
  activeCapture = nullptr;
}

void* AllocOrExit(size_t byteCount) {
  void* block = std::calloc(1, byteCount == 0 ? 1 : byteCount);
  if (block == nullptr) Fail("malloc failed\n");
  return block;
}

std::string Printable(const char* text) {
  std::string printable;
  for (const char* c = text; *c != '\0'; ++c) {
    unsigned char byte = static_cast<unsigned char>(*c);
    if (byte < 0x20 || byte == 0x7F) {
      char escape[5];
      std::snprintf(escape, sizeof escape, "\\x%02X", byte);
      printable += escape;
    } else if (byte == '\\') {
      printable += "\\\\";
    } else {
      printable += *c;
    }
  }
  return printable;
}
