#include "app/command_line.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "app/options.h"
#include "app/run_modes.h"
#include "fileio/fileio.h"
#include "host/host.h"
#include "package/package.h"

namespace {

const char* const VERSION_TEXT = "1.2";

[[noreturn]] void FailWithUsage() {
  PrintUsage();
  ExitFailure();
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
    CopyPathField(options.dlfPath, argv[(*next)++]);
  } else {
    options.extractDirGiven = 1;
    CopyPathField(options.extractDir, argv[(*next)++]);
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
    CopyPathField(options.qpkPath, words[0]);
    return;
  }
  if (options.unpack) {
    ReportError("%s: You need to specify qpk file name when unpacking\n", programName);
    FailWithUsage();
  }
  char stem[PATH_CAPACITY];
  StripExtension(stem, options.dlfPath);
  JoinPathField(options.qpkPath, stem, ".qpk", "");
}

void SettleUnpackNames() {
  char stem[PATH_CAPACITY];
  SettleExtractionDirectory(options.qpkPath, options.extractDirGiven ? options.extractDir : nullptr,
                            options.verbose != 0, options.extractDir, stem);
  if (options.dlfGiven) {
    std::printf("%s: Warning: You cannot specify dlf file name when unpacking\n", programName);
    std::printf("%s: Warning: Ignored\n", programName);
  }
  SettleUnpackDlfPath(options.extractDir, stem, options.dlfPath);
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
  StripNameExtension(dst, src, options.verbose != 0);
}

void BaseName(const char* src, char* dst) {
  BaseNameOf(src, dst);
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
