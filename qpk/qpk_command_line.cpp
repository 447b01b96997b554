#include "qpk/qpk_command_line.h"

int RunQpk(int, char**) {
  return 2;
}
