#include "inspect/inspect.h"

// To be written: the qpk inspection.
