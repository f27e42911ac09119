// SPDX-License-Identifier: Apache-2.0
// torvane-devsim's entry: reads the command line, answers --help and --version, and serves.
#include <cstdio>

#include "sim/serve.h"
#include "sim/sim_options.h"

using namespace devsim;

int main(int argc, char** argv) {
  SimOptions options;
  std::string error;
  if (!ParseSimOptions(argc, argv, options, error)) {
    std::fprintf(stderr, "torvane-devsim: %s\nTry 'torvane-devsim --help'.\n", error.c_str());
    return ExitUsage;
  }
  if (options.help) {
    std::fputs(SimUsage, stdout);
    return 0;
  }
  if (options.version) {
    std::printf("torvane-devsim %s\n", TORVANE_VERSION);
    return 0;
  }
  return ServeDevice(options);
}
