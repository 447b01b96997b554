#include "qpk/qpk_usage.h"

#ifndef QPK_VERSION_TEXT
#error "QPK_VERSION_TEXT comes from the build"
#endif

namespace {

const char PROGRAM_USAGE[] =
    "Usage: qpk COMMAND [OPTIONS] FILE...\n"
    "Look inside a qpk file without unpacking it, check a qpk or dlf file,\n"
    "or take one file out of a qpk file.\n"
    "\n"
    "Commands:\n"
    "  list [-l] [--json] [-e DIR] FILE.qpk   names that 'quorlith -u' would create\n"
    "  info [--json] [-e DIR] FILE.qpk        a summary of the qpk file\n"
    "  check [-e DIR] [--strict] FILE...      check qpk and dlf files (.dlf: a dlf file)\n"
    "  cat [-o OUT] [-f] FILE.qpk NAME        the bytes of one file\n"
    "  help [COMMAND]                         this text, or a command's\n"
    "\n"
    "Options:\n"
    "  -h, --help       print the usage (of the command) and exit\n"
    "      --version    print the version and exit\n"
    "\n"
    "Long options may be shortened to any unambiguous prefix.\n"
    "Run 'qpk help COMMAND' for the options of a command.\n";

const char LIST_USAGE[] =
    "Usage: qpk list [-l] [--json] [-e DIR] FILE.qpk\n"
    "Print every name that 'quorlith -u' would create: config0, the entries in\n"
    "table order, then the empty directories (ending in '/').\n"
    "\n"
    "  -l, --long            also the disc offset, the size and the kind;\n"
    "                        placeholders are listed too\n"
    "      --json            one JSON document with the same facts\n"
    "  -e, --directory=DIR   the extraction directory, as 'quorlith -u -e DIR'\n";

const char INFO_USAGE[] =
    "Usage: qpk info [--json] [-e DIR] FILE.qpk\n"
    "Print a summary of the qpk file and whether 'quorlith -u' would succeed.\n"
    "\n"
    "      --json            one JSON document with the same facts\n"
    "  -e, --directory=DIR   the extraction directory, as 'quorlith -u -e DIR'\n";

const char CHECK_USAGE[] =
    "Usage: qpk check [-e DIR] [--strict] FILE...\n"
    "Check each file as 'quorlith -u' (a qpk file) or 'quorlith -d' (a file\n"
    "ending in .dlf) would, writing nothing; print 'FILE: OK' when it passes.\n"
    "\n"
    "  -e, --directory=DIR   the extraction directory, as 'quorlith -u -e DIR'\n"
    "      --strict          warnings fail the check too\n";

const char CAT_USAGE[] =
    "Usage: qpk cat [-o OUT] [-f] FILE.qpk NAME\n"
    "Write the bytes of one file of the qpk file: NAME as 'qpk list' prints it,\n"
    "or a path in the disc's table starting with '/'.\n"
    "\n"
    "  -o, --output=OUT      write to OUT instead of the standard output\n"
    "  -f, --force           replace OUT when it exists\n";

const char HELP_USAGE[] =
    "Usage: qpk help [COMMAND]\n"
    "Print the usage of qpk, or of one command.\n";

}  // namespace

const char* UsageText(QpkCommand command) {
  switch (command) {
    case CMD_LIST:
      return LIST_USAGE;
    case CMD_INFO:
      return INFO_USAGE;
    case CMD_CHECK:
      return CHECK_USAGE;
    case CMD_CAT:
      return CAT_USAGE;
    case CMD_HELP:
      return HELP_USAGE;
    default:
      return PROGRAM_USAGE;
  }
}

const char* VersionText() {
  return "qpk (quorlith) " QPK_VERSION_TEXT "\n";
}
