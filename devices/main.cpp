// SPDX-License-Identifier: Apache-2.0
// torvane-devices' entry: reads the command line, answers --help and --version, starts the
// platform as the utility does and runs the command.
#include "common/platform_startup.h"
#include "devices/command_line.h"
#include "devices/commands.h"

int main(int argc, char** argv) {
  IgnoreWriteFailureSignals();
  DevicesOptions options;
  switch (ReadDevicesCommandLine(argc, argv, options)) {
    case CommandLineOutcome::Answered:
      return ExitDone;
    case CommandLineOutcome::Refused:
      return ExitUsage;
    case CommandLineOutcome::Run:
      break;
  }
  if (InitializeFramework() == 0 || StartSocketLibrary() == 0) {
    Complain("cannot start the system's socket library");
    return ExitFailed;
  }
  const auto reporter = options.json ? MakeJsonReporter() : MakeTextReporter();
  const int status = RunDevicesCommand(options, *reporter);
  StopSocketLibrary();
  return status;
}
