#include "qpk/qpk_command_line.h"

int main(int argc, char** argv) {
  return RunQpk(argc, argv);
}
