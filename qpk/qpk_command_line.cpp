#include "qpk/qpk_command_line.h"

#include <cstdio>
#include <string>

#include "base/base.h"
#include "qpk/qpk_commands.h"
#include "qpk/qpk_options.h"
#include "qpk/qpk_output.h"
#include "qpk/qpk_usage.h"

namespace {

const int USAGE_STATUS = 2;

int UsageMistake(const std::string& reason) {
  std::fprintf(stderr, "%s: %s\nTry 'qpk --help' for more information.\n", programName,
               reason.c_str());
  return USAGE_STATUS;
}

// `qpk help [COMMAND]`.
int RunHelp(const QpkOptions& options) {
  if (options.operands.size() > 1)
    return UsageMistake("extra operand '" + Printable(options.operands[1].c_str()) + "'");
  if (options.operands.empty()) {
    PrintOut(UsageText(CMD_NONE));
    return 0;
  }
  QpkCommand command = CommandNamed(options.operands[0]);
  if (command == CMD_NONE)
    return UsageMistake("unknown command '" + Printable(options.operands[0].c_str()) + "'");
  PrintOut(UsageText(command));
  return 0;
}

// The operand counts: list and info one file, check one or more, cat a
// file and a name.
std::string OperandMistake(const QpkOptions& options) {
  size_t count = options.operands.size();
  if (options.command == CMD_HELP) return "";
  if (count == 0) return "missing file operand";
  size_t most = options.command == CMD_CHECK ? count : options.command == CMD_CAT ? 2 : 1;
  if (options.command == CMD_CAT && count == 1) return "missing name operand";
  if (count > most) return "extra operand '" + Printable(options.operands[most].c_str()) + "'";
  return "";
}

int RunCommand(const QpkOptions& options) {
  switch (options.command) {
    case CMD_LIST:
      return RunList(options);
    case CMD_INFO:
      return RunInfo(options);
    case CMD_CHECK:
      return RunCheck(options);
    case CMD_CAT:
      return RunCat(options);
    default:
      return RunHelp(options);
  }
}

int RunParsed(const QpkOptions& options) {
  if (options.help) {
    PrintOut(UsageText(options.command));
    return 0;
  }
  if (options.version) {
    PrintOut(VersionText());
    return 0;
  }
  if (options.command == CMD_NONE) return UsageMistake("missing command");
  std::string mistake = OperandMistake(options);
  if (!mistake.empty()) return UsageMistake(mistake);
  return RunCommand(options);
}

}  // namespace

int RunQpk(int argc, char** argv) {
  programName = "qpk";
  QpkOptions options;
  std::string mistake;
  int status =
      ParseQpkOptions(argc, argv, &options, &mistake) ? RunParsed(options) : UsageMistake(mistake);
  if (!FinishStandardOutput()) return 1;
  return status;
}
