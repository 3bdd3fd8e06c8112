// The vyrocr program: the command-line test driver over the scan interface.
#include <cstdio>

#include "test.h"
#include "version.h"

int main(int argc, char** argv) {
  if (argc <= 1) std::printf("vyrocr %s\n", vyrocr_version());
  return driver_main(argc, argv);
}
