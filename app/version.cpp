#include "version.h"

const char* vyrocr_version() { return VYR_VERSION; }
