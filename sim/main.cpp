// SPDX-License-Identifier: Apache-2.0
// torvane-devsim's entry: reads the command line, answers --help and --version, and serves.
#include "sim/serve.h"
#include "sim/sim_options.h"

using namespace devsim;

int main(int argc, char** argv) {
  SimOptions options;
  switch (ReadSimCommandLine(argc, argv, options)) {
    case CommandLineOutcome::Answered:
      return ExitUpdateComplete;
    case CommandLineOutcome::Refused:
      return ExitUsage;
    case CommandLineOutcome::Run:
      break;
  }
  return ServeDevice(options);
}
