#include "inspect/inspect.h"

// To be written: the dlf check.
