// What the fuzz targets share: the program's fatal path turned into an
// exception, its messages kept off the terminal, a private scratch directory,
// and checks that one input left no process-wide trace behind (descriptors,
// working directory).
#ifndef QUORLITH_FUZZ_FUZZ_SUPPORT_H_
#define QUORLITH_FUZZ_FUZZ_SUPPORT_H_

#include <cstddef>
#include <cstdint>
#include <string>

// Once per process, from LLVMFuzzerInitialize. The program's messages go to
// /dev/null unless QUORLITH_FUZZ_MESSAGES is set in the environment; the
// fuzzer's and the sanitizers' reports are not affected.
void InitFuzzTarget();

// A directory of this process, removed with everything in it at exit.
const std::string& ScratchDir();

// Prints the reason on the real standard error stream and aborts, which the
// fuzzer records as a crash with the input that caused it.
[[noreturn]] void FuzzFailure(const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;

// Whole-file helpers that abort on failure: they are harness, not code under
// test.
void WriteBytes(const std::string& path, const uint8_t* data, size_t size);
std::string ReadBytes(const std::string& path);
void RemoveTree(const std::string& path);

// Bracket every input. BeginFuzzInput restores the start-up state of the
// program's process-wide settings and file-system-table module (the first
// call also records which descriptors are open); EndFuzzInput fails when a
// file descriptor stayed open or the working directory moved.
void BeginFuzzInput();
void EndFuzzInput();

// The traces are code too: an input whose last byte has bit 0 set runs with
// -v.
bool AsksForTraces(const uint8_t* data, size_t size);

#endif  // QUORLITH_FUZZ_FUZZ_SUPPORT_H_
