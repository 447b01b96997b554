// The two run modes built on the qpk container, called with values.
#ifndef QUORLITH_PACKAGE_PACKAGE_H_
#define QUORLITH_PACKAGE_PACKAGE_H_

#include <cstdint>

#include "dlf/dlf.h"
#include "host/host.h"
#include "package/qpk.h"

// Pack mode: the qpk file at `qpkPath` from the dlf file at `dlfPath`.
struct PackRequest {
  const char* dlfPath;
  const char* qpkPath;
  bool verbose;
};
void Pack(const PackRequest& request);

// The qpk file Pack mode writes, and who it is, so that no input is the
// output itself, nor the existing file it is to replace; `traced` when the
// copies into it are traced.
struct QpkOutput {
  HostHandle file;
  bool statusKnown;
  HostFileStatus status;
  bool replacesFile;
  HostFileStatus replaced;
  bool traced;
};
// Copies a whole file into the qpk file at `position`; returns its size.
uint32_t AppendConfigFile(const QpkOutput& qpk, uint64_t position, const char* fileName);
uint32_t AppendListedFile(const QpkOutput& qpk, uint64_t position, const DlfEntry* dlfEntry);

// Unpack mode: the qpk file at `qpkPath` into the new directory
// `extractDir`, with the dlf file written at `dlfPath`.
struct UnpackRequest {
  const char* qpkPath;
  const char* extractDir;
  const char* dlfPath;
  bool verbose;
};
void Unpack(const UnpackRequest& request);

// Creates exactly the last component of `path`; an existing one is refused.
void CreateExtractionDirectory(const char* path);

#endif  // QUORLITH_PACKAGE_PACKAGE_H_
