// How qpk prints: names through Printable, the library's messages re-homed
// under the file they are about, and the standard output checked at the end.
#ifndef QUORLITH_QPK_QPK_OUTPUT_H_
#define QUORLITH_QPK_QPK_OUTPUT_H_

#include <cstdint>
#include <string>
#include <vector>

// Bytes below 0x20 but the line break, and 0x7F, as \xHH; everything else
// (backslashes included: the library's texts already escape names) as is.
std::string EscapeControls(const std::string& text);

// "qpk: FILE: REASON" on standard error.
void PrintFileReason(const std::string& file, const std::string& reason);
// Each line of a message the library captured, its leading "qpk: " taken
// off, printed as "qpk: FILE: LINE" on standard error.
void PrintFileMessage(const std::string& file, const std::string& message);
// "qpk: FILE: warning: TEXT" on standard error.
void PrintFileWarning(const std::string& file, const std::string& text);

// Writes `text` to standard output.
void PrintOut(const std::string& text);
// Flushes standard output; false (and "qpk: write error: ...") when any
// write to it failed.
bool FinishStandardOutput();

#endif  // QUORLITH_QPK_QPK_OUTPUT_H_
