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
  capture->outer = activeCapture;
  activeCapture = capture;
}

void EndMessageCapture() {
  if (activeCapture != nullptr) activeCapture = activeCapture->outer;
}

void* AllocOrExit(size_t byteCount) {
  void* block = std::calloc(1, byteCount == 0 ? 1 : byteCount);
  if (block == nullptr) Fail("malloc failed\n");
  return block;
}

namespace {

int HexDigitValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

std::string ReadPrintable(const char* text) {
  std::string read;
  for (const char* c = text; *c != '\0'; ++c) {
    if (c[0] == '\\' && c[1] == '\\') {
      read += '\\';
      ++c;
    } else if (c[0] == '\\' && c[1] == 'x' && HexDigitValue(c[2]) >= 0 &&
               HexDigitValue(c[3]) >= 0) {
      read += static_cast<char>(HexDigitValue(c[2]) * 16 + HexDigitValue(c[3]));
      c += 3;
    } else {
      read += *c;
    }
  }
  return read;
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

std::vector<std::string> MessageReasons(const std::string& message) {
  const std::string prefix = std::string(programName) + ": ";
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < message.size()) {
    size_t end = message.find('\n', start);
    if (end == std::string::npos) end = message.size();
    std::string line = message.substr(start, end - start);
    if (line.compare(0, prefix.size(), prefix) == 0) line.erase(0, prefix.size());
    lines.push_back(line);
    start = end + 1;
  }
  return lines;
}
