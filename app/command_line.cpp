#include "app/command_line.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "app/options.h"
#include "app/run_modes.h"
#include "fileio/fileio.h"
#include "host/host.h"

namespace {

const char* const VERSION_TEXT = "1.2";

[[noreturn]] void FailWithUsage() {
  PrintUsage();
  ExitFailure();
}

// Copies a name into a path field, refusing one that does not fit rather
// than cutting it short.
void CopyPath(char* field, const char* value) {
  size_t length = std::strlen(value);
  if (length >= PATH_CAPACITY) {
    Fail("%s: Name is longer than %zu characters: %s\n", programName, PATH_CAPACITY - 1, value);
  }
  std::memcpy(field, value, length + 1);
}

// Joins up to three parts into a path field, with the same length rule.
void JoinPath(char* field, const char* a, const char* b, const char* c) {
  size_t la = std::strlen(a), lb = std::strlen(b), lc = std::strlen(c);
  if (la + lb + lc >= PATH_CAPACITY) {
    Fail("%s: Name is longer than %zu characters: %s%s%s\n", programName, PATH_CAPACITY - 1, a, b,
         c);
  }
  char joined[PATH_CAPACITY];
  std::memcpy(joined, a, la);
  std::memcpy(joined + la, b, lb);
  std::memcpy(joined + la + lb, c, lc + 1);
  std::memcpy(field, joined, la + lb + lc + 1);
}

const char* DeriveProgramName(const char* argv0) {
  if (argv0 == nullptr) return "quorlith";
  const char* slash = std::strrchr(argv0, '/');
  return slash != nullptr ? slash + 1 : argv0;
}

// Takes the value of -d or -e, the next word, into its path field.
void TakeOptionValue(char letter, int argc, char** argv, int* next) {
  if (*next >= argc) {
    ReportError("%s: Option -%c needs a value\n", programName, letter);
    FailWithUsage();
  }
  if (letter == 'd') {
    options.dlfGiven = 1;
    CopyPath(options.dlfPath, argv[(*next)++]);
  } else {
    options.extractDirGiven = 1;
    CopyPath(options.extractDir, argv[(*next)++]);
  }
}

// Scans the option words; returns the index of the first remaining word.
int ScanOptions(int argc, char** argv) {
  int next = 1;
  while (next < argc && argv[next][0] == '-') {
    for (const char* letters = argv[next++] + 1; *letters != '\0'; ++letters) {
      switch (*letters) {
        case 'u':
          options.unpack = 1;
          break;
        case 'v':
          options.verbose = 1;
          break;
        case 'd':
        case 'e':
          TakeOptionValue(*letters, argc, argv, &next);
          break;
        case 'h':
          PrintUsage();
          std::exit(0);
        case 'V':
          ReportError("quorlith dlf/dvdroot packager ver.%s\n", VERSION_TEXT);
          std::exit(0);
        default:
          break;  // unknown letters are passed over
      }
    }
  }
  return next;
}

void SettleQpkPath(int remaining, char** words) {
  if (!options.unpack && !options.dlfGiven) {
    ReportError("%s: You need to specify dlf file name when packing\n", programName);
    FailWithUsage();
  }
  if (remaining >= 2) FailWithUsage();
  if (remaining == 1) {
    CopyPath(options.qpkPath, words[0]);
    return;
  }
  if (options.unpack) {
    ReportError("%s: You need to specify qpk file name when unpacking\n", programName);
    FailWithUsage();
  }
  char stem[PATH_CAPACITY];
  StripExtension(stem, options.dlfPath);
  JoinPath(options.qpkPath, stem, ".qpk", "");
}

void SettleUnpackNames() {
  char stem[PATH_CAPACITY];
  StripExtension(stem, options.qpkPath);
  if (!options.extractDirGiven) CopyPath(options.extractDir, stem);
  if (options.dlfGiven) {
    std::printf("%s: Warning: You cannot specify dlf file name when unpacking\n", programName);
    std::printf("%s: Warning: Ignored\n", programName);
  }
  char base[PATH_CAPACITY];
  BaseName(stem, base);
  char withSlash[PATH_CAPACITY];
  JoinPath(withSlash, options.extractDir, "/", "");
  JoinPath(options.dlfPath, withSlash, base, ".dlf");
}

}  // namespace

void PrintUsage() {
  ReportError("\n");
  ReportError("Pack/unpack dlf file and dvdroot\n");
  ReportError("Usage:  %s [-u] [-e dir] [-d dlf] [-hvV] [qpkfile]\n", programName);
  ReportError("\n");
  ReportError("    -u         Unpacks the qpk file\n");
  ReportError("    -e         Specifies the directory to extract (only when unpacking)\n");
  ReportError("    -d         Specifies the dlf file to pack (only when packing)\n");
  ReportError(
      "    qpkfile    Specifies qpk file name for output(when packing)/input(when unpacking)\n");
  ReportError("    -h         Prints this message and exit\n");
  ReportError("    -v         Turns on Verbose mode\n");
  ReportError("    -V         Shows version number\n");
}

void StripExtension(char* dst, const char* src) {
  const char* dot = std::strrchr(src, '.');
  size_t length = dot != nullptr ? static_cast<size_t>(dot - src) : std::strlen(src);
  std::memmove(dst, src, length);
  dst[length] = '\0';
  if (options.verbose) ReportError("suffix: %s\n", dst);
}

void BaseName(const char* src, char* dst) {
  const char* separator = HostLastPathSeparator(src);
  std::strcpy(dst, separator != nullptr ? separator + 1 : src);
}

int RunQuorlith(int argc, char** argv) {
  std::setvbuf(stdout, nullptr, _IONBF, 0);
  std::setvbuf(stderr, nullptr, _IONBF, 0);
  programName = DeriveProgramName(argc > 0 ? argv[0] : nullptr);

  int first = ScanOptions(argc, argv);
  SettleQpkPath(argc - first, argv + first);
  if (options.verbose) {
    ReportError("dlf         : %s\n", options.dlfPath);
    ReportError("out         : %s\n", options.qpkPath);
  }
  if (!AllocateCopyBuffer()) Fail("%s: buffer alloc failed\n", programName);
  if (options.unpack) {
    SettleUnpackNames();
    UnpackFiles();
  } else {
    PackFiles();
  }
  ReleaseCopyBuffer();
  return 0;
}
