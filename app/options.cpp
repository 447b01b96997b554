#include "app/options.h"

#include <cstring>

Options options;

void ResetOptions() {
  std::memset(&options, 0, sizeof options);
  programName = "quorlith";
}
