// The two run modes as the command line starts them: from the Options
// record, which the option scan has filled.
#ifndef QUORLITH_APP_RUN_MODES_H_
#define QUORLITH_APP_RUN_MODES_H_

// Builds options.qpkPath from the dlf file at options.dlfPath.
void PackFiles();
// Extracts options.qpkPath into options.extractDir and writes options.dlfPath.
void UnpackFiles();

#endif  // QUORLITH_APP_RUN_MODES_H_
