// TEMPORARY: stands in for the table record until dvdfs/ provides it.
#ifndef QUORLITH_PACKAGE_FST_SHIM_H_
#define QUORLITH_PACKAGE_FST_SHIM_H_
#include "base/coding.h"
#include "dvdfs/dvdfs.h"
struct FstTable {
  const unsigned char* bytes = nullptr;
  uint32_t entryCount = 0;
};
struct FstZeroLengthCounter {
  uint32_t count;
};
inline void OpenFstTable(FstTable* t, const unsigned char* b) {
  t->bytes = b;
  t->entryCount = b ? LoadBE32(b + 8) : 0;
  InstallFstTable(b);
}
inline int32_t FindFstFileIn(FstTable* t, FstZeroLengthCounter*, uint32_t p, uint32_t l) {
  return FindFstFileByPlacement(t->bytes, p, l);
}
inline int FstEntryPath(FstTable*, int32_t e, char* b, uint32_t m) {
  return DVDConvertEntrynumToPath(e, b, m);
}
inline bool FstIsDirectoryIn(const FstTable&, uint32_t e) {
  return FstIsDirectory(e);
}
inline uint32_t FstNextEntryIn(const FstTable&, uint32_t e) {
  return FstNextEntry(e);
}
#endif
