// The ground floor under every module: the one path by which messages are
// printed and every fatal error ends the run, the program name those
// messages begin with, the limit on stored paths, and the allocation that
// ends the run when memory is short. Nothing here knows the command line.
#ifndef QUORLITH_BASE_BASE_H_
#define QUORLITH_BASE_BASE_H_

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

// Format checking for printf-like functions. MinGW's stdio follows C99
// (%zu, %lld), which GCC checks as gnu_printf; plain printf there means the
// older Microsoft formats.
#if defined(__MINGW32__)
#define QUORLITH_PRINTF_FORMAT gnu_printf
#else
#define QUORLITH_PRINTF_FORMAT printf
#endif
#if defined(__GNUC__)
#define QUORLITH_PRINTF(formatIndex, firstArgument) \
  __attribute__((format(QUORLITH_PRINTF_FORMAT, formatIndex, firstArgument)))
#else
#define QUORLITH_PRINTF(formatIndex, firstArgument)
#endif

// Every stored path holds at most PATH_CAPACITY - 1 characters and its NUL.
const size_t PATH_CAPACITY = 260;

// The leading "%s: " of most messages; set once by the program.
extern const char* programName;

// Prints a formatted message on the standard error stream.
void ReportError(const char* format, ...) QUORLITH_PRINTF(1, 2);

// Ends the run with status 1. Open output streams are flushed. Fuzzers and
// in-process tests may ask for a FatalExit exception instead, so that the
// caller survives and stack objects are released.
[[noreturn]] void ExitFailure();

// ReportError followed by ExitFailure.
[[noreturn]] void Fail(const char* format, ...) QUORLITH_PRINTF(1, 2);

struct FatalExit {};
void SetFatalThrows(bool throws);

// While a capture is active, messages are appended to it instead of being
// printed, and the fatal path throws FatalExit: a step that only checks a
// file can learn what a run would print and where it would stop, without
// printing or ending anything. Captures nest: the one begun last takes the
// messages, and the one around it returns when it ends.
struct MessageCapture {
  std::string text;
  MessageCapture* outer = nullptr;
};
void BeginMessageCapture(MessageCapture* capture);
void EndMessageCapture();

// Begins a capture and ends it on every way out of the scope.
struct MessageCaptureScope {
  explicit MessageCaptureScope(MessageCapture* capture) { BeginMessageCapture(capture); }
  ~MessageCaptureScope() { EndMessageCapture(); }
  MessageCaptureScope(const MessageCaptureScope&) = delete;
  MessageCaptureScope& operator=(const MessageCaptureScope&) = delete;
};

// The lines of a captured message, each without the leading program name
// and ": " that most messages begin with.
std::vector<std::string> MessageReasons(const std::string& message);

// a + b, held at the largest value instead of wrapping.
inline uint64_t SaturatingAdd(uint64_t a, uint64_t b) {
  return a > UINT64_MAX - b ? UINT64_MAX : a + b;
}

// A name from a file as messages print it: bytes that a terminal would act
// on as \xHH, and the backslash doubled so that the text reads back
// unambiguously.
std::string Printable(const char* text);
// Printable's text read back: "\xHH" (two hexadecimal digits) is that byte,
// "\\" one backslash; anything else stands for itself.
std::string ReadPrintable(const char* text);

// Zero-filled heap memory, or "malloc failed" and the end of the run.
// Release it with std::free (or hold it in HeapBytes).
void* AllocOrExit(size_t byteCount);

struct FreeDeleter {
  void operator()(void* block) const { std::free(block); }
};
using HeapBytes = std::unique_ptr<unsigned char[], FreeDeleter>;

#endif  // QUORLITH_BASE_BASE_H_
