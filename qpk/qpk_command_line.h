// qpk's command line: the command and its options settled, then one call
// into the library per command, and what it found printed.
#ifndef QUORLITH_QPK_QPK_COMMAND_LINE_H_
#define QUORLITH_QPK_QPK_COMMAND_LINE_H_

// Runs the whole program for an argument vector; returns the exit status.
int RunQpk(int argc, char** argv);

#endif  // QUORLITH_QPK_QPK_COMMAND_LINE_H_
