#include "qpk/qpk_output.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "base/base.h"

std::string EscapeControls(const std::string& text) {
  std::string escaped;
  for (char c : text) {
    unsigned char byte = static_cast<unsigned char>(c);
    if ((byte < 0x20 && byte != '\n') || byte == 0x7F) {
      char escape[5];
      std::snprintf(escape, sizeof escape, "\\x%02X", byte);
      escaped += escape;
    } else {
      escaped += c;
    }
  }
  return escaped;
}

void PrintFileReason(const std::string& file, const std::string& reason) {
  std::fprintf(stderr, "%s: %s: %s\n", programName, Printable(file.c_str()).c_str(),
               EscapeControls(reason).c_str());
}

void PrintFileMessage(const std::string& file, const std::string& message) {
  for (const std::string& line : MessageReasons(message)) PrintFileReason(file, line);
}

void PrintFileWarning(const std::string& file, const std::string& text) {
  PrintFileReason(file, "warning: " + text);
}

void PrintOut(const std::string& text) {
  std::fwrite(text.data(), 1, text.size(), stdout);
}

bool FinishStandardOutput() {
  errno = 0;
  if (std::fflush(stdout) == 0 && !std::ferror(stdout)) return true;
  int error = errno != 0 ? errno : EIO;
  std::fprintf(stderr, "%s: write error: %s\n", programName, std::strerror(error));
  return false;
}
