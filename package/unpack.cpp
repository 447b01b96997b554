#include "app/options.h"
#include "package/package.h"

void UnpackFiles() {
  Fail("%s: Unpacking is not available yet\n", programName);
}
