// The commands, each given its settled options; each returns the exit
// status (0 or 1) after printing what it found.
#ifndef QUORLITH_QPK_QPK_COMMANDS_H_
#define QUORLITH_QPK_QPK_COMMANDS_H_

#include "inspect/inspect.h"
#include "qpk/qpk_options.h"

int RunList(const QpkOptions& options);
int RunInfo(const QpkOptions& options);
int RunCheck(const QpkOptions& options);
int RunCat(const QpkOptions& options);

// The word the listing and the JSON use for a kind of item.
const char* ItemKindWord(QpkItemKind kind);
// Prints the verdict's message under the file's name when the unpack
// would stop; returns the exit status it means.
int ReportVerdict(const QpkInspection& inspection);

#endif  // QUORLITH_QPK_QPK_COMMANDS_H_
