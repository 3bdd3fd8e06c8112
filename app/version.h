#pragma once

// The program's version text.
const char* vyrocr_version();
