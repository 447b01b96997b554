// Process-wide state shared by every module: the settings of the command
// line, the program name for messages, the copy buffer, and the one path by
// which every fatal error ends the run.
#ifndef QUORLITH_APP_OPTIONS_H_
#define QUORLITH_APP_OPTIONS_H_

#include <cstddef>

// Format checking for printf-like functions. MinGW's stdio follows C99
// (%zu, %lld), which GCC checks as gnu_printf; plain printf there means the
// older Microsoft formats.
#if defined(__MINGW32__)
#define QUORLITH_PRINTF_FORMAT gnu_printf
#else
#define QUORLITH_PRINTF_FORMAT printf
#endif

// Every stored path holds at most PATH_CAPACITY - 1 characters and its NUL.
const size_t PATH_CAPACITY = 260;
const size_t COPY_BUFFER_SIZE = 0x2000000;  // 32 MiB

struct Options {
  int unpack;
  int verbose;
  int dlfGiven;
  int extractDirGiven;
  char dlfPath[PATH_CAPACITY];
  char qpkPath[PATH_CAPACITY];
  char extractDir[PATH_CAPACITY];
  char configName[PATH_CAPACITY];
};

extern Options options;
extern const char* programName;
extern unsigned char* copyBuffer;

// Resets the options and the program name to their start-up state.
void ResetOptions();

// Allocates the zero-filled copy buffer; false when memory is short.
bool AllocateCopyBuffer();
void ReleaseCopyBuffer();

// Prints a formatted message on the standard error stream.
void ReportError(const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(QUORLITH_PRINTF_FORMAT, 1, 2)))
#endif
    ;

// Ends the run with status 1. Open output streams are flushed. Fuzzers and
// in-process tests may ask for a FatalExit exception instead, so that the
// caller survives and stack objects are released.
[[noreturn]] void ExitFailure();

// ReportError followed by ExitFailure.
[[noreturn]] void Fail(const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(QUORLITH_PRINTF_FORMAT, 1, 2)))
#endif
    ;

struct FatalExit {};
void SetFatalThrows(bool throws);

#endif  // QUORLITH_APP_OPTIONS_H_
