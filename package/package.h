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
// Pack mode's refusals of a dlf file with more entry lines than a qpk file
// can describe, and of a file too large to be stored, with their messages.
void CheckPackEntryCount(uint64_t count);
void CheckStoredFileSize(uint64_t size, const char* fileName);

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

// The names quorlith -u settles for the qpk file `qpkPath`, in two steps
// (its command line warns between them): the extraction directory, which
// is `givenDir`, or the qpk path without its extension when that is null,
// and whose stem (the qpk path without its extension) goes into `stem`;
// then the dlf file in it, named after the qpk file's base name. Fields
// hold PATH_CAPACITY bytes; a name that does not fit ends the run.
void SettleExtractionDirectory(const char* qpkPath, const char* givenDir, bool verbose,
                               char* extractDir, char* stem);
void SettleUnpackDlfPath(const char* extractDir, const char* stem, char* dlfPath);

// Creates exactly the last component of `path`; an existing one is refused.
void CreateExtractionDirectory(const char* path);

#endif  // QUORLITH_PACKAGE_PACKAGE_H_
