// The process-wide gamma lookup table used to brighten dark grey planes.
// The table is built once, by whichever builder runs first, and then kept
// until the process ends; the build is safe against concurrent first calls.
// (The grey-plane and brightness helpers are in utils.h.)
#pragma once

// Entry i is the output value for input value i; all 0 until built.
extern unsigned char g_GammaLUT[256];
// 0 until the table is built, then 1.
extern int g_gamma_init;

// Builds the table for x^(1/gamma) on first use, then maps the width x height
// bytes of buffer (one run, no row gaps) through it in place. A later call with
// another gamma still maps through the first table.
void gamma_correction(unsigned char* buffer, int width, int height, float gamma);

// Builds the table for x^exponent if it is not built yet; maps nothing.
void gamma_build_table(float exponent);
