// TEMPORARY: stands in for the dlf writer until dlf/ provides it.
#ifndef QUORLITH_PACKAGE_DLF_SHIM_H_
#define QUORLITH_PACKAGE_DLF_SHIM_H_
#include <cstdio>
inline void WriteDlfVersionLine(FILE* dlf) {
  std::fputs("v2.00\n", dlf);
}
inline void WriteDlfConfigLine(FILE* dlf, const char* n) {
  std::fprintf(dlf, "QTX_CONFIG_FILE,\"%s\"\n", n);
}
inline void WriteDlfEntryLine(FILE* dlf, uint64_t o, const char* n) {
  std::fprintf(dlf, "0x%08x%08x,\"%s\"\n", static_cast<unsigned>(o >> 32), static_cast<unsigned>(o),
               n);
}
const size_t DISC_OFFSET_TEXT_SIZE = 19;
inline void FormatDiscOffset(uint64_t o, char* t) {
  std::snprintf(t, DISC_OFFSET_TEXT_SIZE, "0x%08x%08x", static_cast<unsigned>(o >> 32),
                static_cast<unsigned>(o));
}
#endif
