// The settings of the command line: the record the option scan fills and
// the two run modes are started from.
#ifndef QUORLITH_APP_OPTIONS_H_
#define QUORLITH_APP_OPTIONS_H_

#include "base/base.h"

struct Options {
  int unpack;
  int verbose;
  int dlfGiven;
  int extractDirGiven;
  char dlfPath[PATH_CAPACITY];
  char qpkPath[PATH_CAPACITY];
  char extractDir[PATH_CAPACITY];
  char configName[PATH_CAPACITY];
};

extern Options options;

// Resets the options and the program name to their start-up state.
void ResetOptions();

#endif  // QUORLITH_APP_OPTIONS_H_
