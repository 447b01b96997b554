// The command-line driver: settles the options and names, then runs one mode.
#ifndef QUORLITH_APP_COMMAND_LINE_H_
#define QUORLITH_APP_COMMAND_LINE_H_

// Runs the whole program for an argument vector; returns the exit status of
// a completed run (every failure ends the process on its own).
int RunQuorlith(int argc, char** argv);

void PrintUsage();
// Copies `src` up to its last '.' into `dst` (PATH_CAPACITY bytes).
void StripExtension(char* dst, const char* src);
// Copies the part of `src` after its last separator into `dst`.
void BaseName(const char* src, char* dst);

#endif  // QUORLITH_APP_COMMAND_LINE_H_
