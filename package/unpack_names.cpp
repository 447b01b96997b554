#include "fileio/fileio.h"
#include "package/package.h"

void SettleExtractionDirectory(const char* qpkPath, const char* givenDir, bool verbose,
                               char* extractDir, char* stem) {
  StripNameExtension(stem, qpkPath, verbose);
  CopyPathField(extractDir, givenDir != nullptr ? givenDir : stem);
}

void SettleUnpackDlfPath(const char* extractDir, const char* stem, char* dlfPath) {
  char base[PATH_CAPACITY];
  BaseNameOf(stem, base);
  char withSlash[PATH_CAPACITY];
  JoinPathField(withSlash, extractDir, "/", "");
  JoinPathField(dlfPath, withSlash, base, ".dlf");
}
