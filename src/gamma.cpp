#include "gamma.h"

#include <cmath>
#include <mutex>

unsigned char g_GammaLUT[256] = {0};
int g_gamma_init = 0;

namespace {

// Guards the one-time build: two threads reaching their first call at once
// would otherwise both write the table while a third already reads it.
std::once_flag g_gamma_once;

void build_table(float exponent) {
  for (int i = 0; i < 256; ++i) {
    const float x = static_cast<float>(i / 255.0);
    const float p = powf(x, exponent);
    double v = static_cast<double>(p) * 255.0;
    // Only reachable for negative or NaN exponents, which no caller passes;
    // converting such a value to a byte would be undefined.
    if (!(v >= 0.0)) v = 0.0;
    if (v > 255.0) v = 255.0;
    g_GammaLUT[i] = static_cast<unsigned char>(v);
  }
}

void build_once(float exponent) {
  std::call_once(g_gamma_once, [exponent] {
    if (g_gamma_init <= 0) {
      build_table(exponent);
      g_gamma_init = 1;
    }
  });
}

}  // namespace

void gamma_correction(unsigned char* buffer, int width, int height, float gamma) {
  build_once(1.0f / gamma);
  const long long m = static_cast<long long>(width) * height;
  if (m <= 0 || buffer == nullptr) return;
  for (long long i = 0; i < m; ++i) buffer[i] = g_GammaLUT[buffer[i]];
}

void gamma_build_table(float exponent) { build_once(exponent); }
