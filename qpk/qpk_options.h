// qpk's command line read into a record: the command, its options and its
// operands, or the reason it is a mistake. Nothing here prints or exits.
#ifndef QUORLITH_QPK_QPK_OPTIONS_H_
#define QUORLITH_QPK_QPK_OPTIONS_H_

#include <string>
#include <vector>

enum QpkCommand { CMD_NONE, CMD_LIST, CMD_INFO, CMD_CHECK, CMD_CAT, CMD_HELP };

struct QpkOptions {
  QpkCommand command = CMD_NONE;
  bool help = false;     // --help or -h: the command's usage (or the program's)
  bool version = false;  // --version
  bool longFormat = false;
  bool json = false;
  bool strict = false;
  bool force = false;
  bool directoryGiven = false;
  std::string directory;
  bool outputGiven = false;
  std::string output;
  std::vector<std::string> operands;  // after the command word
};

// The command a word names, or CMD_NONE.
QpkCommand CommandNamed(const std::string& word);
const char* CommandName(QpkCommand command);

// Reads argv[1..]. Returns false with `*mistake` set (one line, names
// escaped, no program name) when the command line is wrong.
bool ParseQpkOptions(int argc, char** argv, QpkOptions* options, std::string* mistake);

#endif  // QUORLITH_QPK_QPK_OPTIONS_H_
