#include "inspect/dlf_check.h"

void CheckOverlappingRanges(DlfCheck*) {}
void CompareWithDiscTable(DlfCheck*) {}
