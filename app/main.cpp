// The vyrocr program. Until the scan interface lands it only reports its
// version and usage.
#include <cstdio>
#include <cstring>

#include "version.h"
#include "vyr_log.h"

namespace {
void usage(const char* prog) {
  std::printf("usage: %s [options] <image file or directory>\n", prog);
  std::printf("  (document scanning is not built yet: this build prints its version and usage only)\n");
}
}  // namespace

int main(int argc, char** argv) {
  vyr_log(1, "vyrocr version %s", vyrocr_version());
  usage(argc > 0 ? argv[0] : "vyrocr");
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "-h") == 0 || std::strcmp(argv[i], "--help") == 0) return 0;
  }
  return 0;
}
