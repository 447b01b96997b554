// The two run modes built on the qpk container.
#ifndef QUORLITH_PACKAGE_PACKAGE_H_
#define QUORLITH_PACKAGE_PACKAGE_H_

#include <cstdint>

#include "dlf/dlf.h"
#include "host/host.h"

// Builds options.qpkPath from the dlf file at options.dlfPath.
void PackFiles();
// Copies a whole file into the qpk file at `position`; returns its size.
uint32_t AppendConfigFile(HostHandle qpkFile, uint64_t position, const char* fileName);
uint32_t AppendListedFile(HostHandle qpkFile, uint64_t position, const DlfEntry* dlfEntry);

// Extracts options.qpkPath into options.extractDir and writes options.dlfPath.
void UnpackFiles();

#endif  // QUORLITH_PACKAGE_PACKAGE_H_
