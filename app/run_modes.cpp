#include "app/run_modes.h"

#include "app/options.h"
#include "package/package.h"

void PackFiles() {
  Pack(PackRequest{options.dlfPath, options.qpkPath, options.verbose != 0});
}

void UnpackFiles() {
  Unpack(UnpackRequest{options.qpkPath, options.extractDir, options.dlfPath, options.verbose != 0});
}
