// Field decoding of table entries, for the files of the table module: on
// raw table bytes (what validation reads) and on an opened record.
#ifndef QUORLITH_DVDFS_FST_FIELDS_H_
#define QUORLITH_DVDFS_FST_FIELDS_H_

#include <cstddef>
#include <cstdint>

#include "base/coding.h"
#include "dvdfs/dvdfs.h"

const uint32_t FST_NAME_OFFSET_MASK = 0x00FFFFFF;

inline const unsigned char* FstEntryBytes(const unsigned char* table, uint32_t entry) {
  return table + static_cast<size_t>(entry) * FST_ENTRY_SIZE;
}

inline bool FstIsDirectoryAt(const unsigned char* table, uint32_t entry) {
  return FstEntryBytes(table, entry)[0] != 0;
}

inline uint32_t FstNameOffsetAt(const unsigned char* table, uint32_t entry) {
  return LoadBE32(FstEntryBytes(table, entry)) & FST_NAME_OFFSET_MASK;
}

// Bytes 4-7: parentEntry of a directory, filePosition of a file.
inline uint32_t FstSecondWordAt(const unsigned char* table, uint32_t entry) {
  return LoadBE32(FstEntryBytes(table, entry) + 4);
}

// Bytes 8-11: nextEntry of a directory, fileLength of a file.
inline uint32_t FstThirdWordAt(const unsigned char* table, uint32_t entry) {
  return LoadBE32(FstEntryBytes(table, entry) + 8);
}

inline const char* FstNameOf(const FstTable& table, uint32_t entry) {
  return reinterpret_cast<const char*>(table.names + FstNameOffsetAt(table.bytes, entry));
}

inline uint32_t FstParentEntryOf(const FstTable& table, uint32_t dir) {
  return FstSecondWordAt(table.bytes, dir);
}

#endif  // QUORLITH_DVDFS_FST_FIELDS_H_
