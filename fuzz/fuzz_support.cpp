#include "fuzz/fuzz_support.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <system_error>
#include <vector>

#include "base/base.h"
#include "dvdfs/dvdfs.h"

namespace {

FILE* realStderr = nullptr;
std::string scratchDir;
std::string startDir;
int lowestFreeDescriptor = -1;

int LowestFreeDescriptor() {
  int fd = open("/dev/null", O_RDONLY | O_CLOEXEC);
  if (fd < 0) FuzzFailure("cannot open /dev/null");
  close(fd);
  return fd;
}

std::string CurrentDirectory() {
  std::vector<char> buffer(4096);
  if (getcwd(buffer.data(), buffer.size()) == nullptr) FuzzFailure("getcwd failed");
  return buffer.data();
}

void RemoveScratchDir() {
  if (!scratchDir.empty()) RemoveTree(scratchDir);
}

}  // namespace

void InitFuzzTarget() {
  SetFatalThrows(true);
  realStderr = stderr;
  if (std::getenv("QUORLITH_FUZZ_MESSAGES") == nullptr) {
    // The fuzzer captured the original stream at start-up and keeps
    // printing there; only the program's own messages (ReportError, perror)
    // go through this variable.
    FILE* devNull = std::fopen("/dev/null", "w");
    if (devNull == nullptr) FuzzFailure("cannot open /dev/null");
    stderr = devNull;
  }
  const char* tmp = std::getenv("TMPDIR");
  std::string pattern =
      std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/quorlith-fuzz-XXXXXX";
  std::vector<char> name(pattern.begin(), pattern.end());
  name.push_back('\0');
  if (mkdtemp(name.data()) == nullptr) FuzzFailure("cannot create %s", pattern.c_str());
  scratchDir = name.data();
  std::atexit(RemoveScratchDir);
  startDir = CurrentDirectory();
}

const std::string& ScratchDir() {
  return scratchDir;
}

void FuzzFailure(const char* format, ...) {
  FILE* out = realStderr != nullptr ? realStderr : stderr;
  std::fprintf(out, "\n== quorlith fuzz check failed: ");
  va_list args;
  va_start(args, format);
  std::vfprintf(out, format, args);
  va_end(args);
  std::fprintf(out, "\n");
  std::fflush(out);
  std::abort();
}

void WriteBytes(const std::string& path, const uint8_t* data, size_t size) {
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) FuzzFailure("cannot create %s", path.c_str());
  size_t done = 0;
  while (done < size) {
    ssize_t put = write(fd, data + done, size - done);
    if (put <= 0) FuzzFailure("cannot write %s", path.c_str());
    done += static_cast<size_t>(put);
  }
  close(fd);
}

std::string ReadBytes(const std::string& path) {
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) FuzzFailure("cannot open %s", path.c_str());
  std::string bytes;
  char chunk[65536];
  ssize_t got;
  while ((got = read(fd, chunk, sizeof chunk)) > 0) bytes.append(chunk, static_cast<size_t>(got));
  close(fd);
  if (got < 0) FuzzFailure("cannot read %s", path.c_str());
  return bytes;
}

void RemoveTree(const std::string& path) {
  std::error_code error;
  std::filesystem::remove_all(path, error);
  if (error) FuzzFailure("cannot remove %s: %s", path.c_str(), error.message().c_str());
}

void BeginFuzzInput() {
  // Recorded afresh for every input: between inputs the fuzzer itself may
  // open descriptors that it keeps (the symbolizer's pipes when it prints a
  // new function), and only what one input leaves open is a leak.
  lowestFreeDescriptor = LowestFreeDescriptor();
  ResetFstState();
}

void EndFuzzInput() {
  int lowest = LowestFreeDescriptor();
  if (lowest > lowestFreeDescriptor) {
    FuzzFailure("a file descriptor was left open (lowest free is %d, was %d)", lowest,
                lowestFreeDescriptor);
  }
  if (CurrentDirectory() != startDir) {
    FuzzFailure("the working directory moved to %s", CurrentDirectory().c_str());
  }
}

bool AsksForTraces(const uint8_t* data, size_t size) {
  return size > 0 && (data[size - 1] & 1) != 0;
}
