// qpk's help texts and its version line.
#ifndef QUORLITH_QPK_QPK_USAGE_H_
#define QUORLITH_QPK_QPK_USAGE_H_

#include "qpk/qpk_options.h"

// The program's usage (CMD_NONE, CMD_HELP) or one command's.
const char* UsageText(QpkCommand command);
// "qpk (quorlith) VERSION" and a line end.
const char* VersionText();

#endif  // QUORLITH_QPK_QPK_USAGE_H_
