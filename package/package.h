// The two run modes built on the qpk container.
#ifndef QUORLITH_PACKAGE_PACKAGE_H_
#define QUORLITH_PACKAGE_PACKAGE_H_

#include <cstdint>

#include "dlf/dlf.h"
#include "host/host.h"
#include "package/qpk.h"

// Builds options.qpkPath from the dlf file at options.dlfPath.
void PackFiles();
// The qpk file Pack mode writes, and who it is, so that no input is the
// output itself, nor the existing file it is to replace.
struct QpkOutput {
  HostHandle file;
  bool statusKnown;
  HostFileStatus status;
  bool replacesFile;
  HostFileStatus replaced;
};
// Copies a whole file into the qpk file at `position`; returns its size.
uint32_t AppendConfigFile(const QpkOutput& qpk, uint64_t position, const char* fileName);
uint32_t AppendListedFile(const QpkOutput& qpk, uint64_t position, const DlfEntry* dlfEntry);

// Extracts options.qpkPath into options.extractDir and writes options.dlfPath.
void UnpackFiles();
// Creates exactly the last component of `path`; an existing one is refused.
void CreateExtractionDirectory(const char* path);
// Creates every directory prefix of `path` that ends in a separator (on
// Win32 '\' too), taking existing directories as they are; below the
// extraction directory of a running unpack each is made in the one above
// it, held open, and anything else in the way ends the run. Returns 1.
int MakeDirectoriesAlongPath(const char* path);
void ExtractConfigBlob(HostHandle qpkFile, const char* extractDir, const QpkEntry* entries,
                       int32_t dataStart);
void ExtractEntry(HostHandle qpkFile, const char* extractDir, const char* name,
                  const QpkEntry& entry, int32_t dataStart);
// Creates every empty directory of the installed table below `base`.
void CreateEmptyDirectories(const char* base);

#endif  // QUORLITH_PACKAGE_PACKAGE_H_
