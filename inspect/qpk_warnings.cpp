#include "inspect/inspect.h"

void CheckQpkWarnings(QpkInspection* inspection, std::vector<QpkWarning>* warnings) {
  (void)inspection;
  warnings->clear();
}
