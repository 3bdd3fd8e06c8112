#include "error_def.h"

#include "vyr_log.h"

namespace {
// Indexed by code + 7.
const char* const kErrorTexts[6] = {"image size error", "rotation error", "NO_SAFE_RECT",
                                    "mrz length invalid", "mrz one", "mrz none"};
}  // namespace

const char* errorText(int code) {
  if (code < -7 || code > -2) return nullptr;
  return kErrorTexts[code + 7];
}

void showError(int code) {
  const char* text = errorText(code);
  if (text != nullptr) vyr_log(0, "%s", text);
}
