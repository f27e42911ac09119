// SPDX-License-Identifier: Apache-2.0
// torvane-devices' entry: reads the command line, answers --help and --version, starts the
// platform as the utility does, runs the command and checks that its result was written whole.
#include "common/platform_startup.h"
#include "devices/command_line.h"
#include "devices/commands.h"
#include "transfer/block_record.h"

namespace {

// The reporter that the command line asks for, named after its command.
std::unique_ptr<Reporter> MakeReporter(const DevicesOptions& options) {
  const char* command = options.command == DevicesCommand::List   ? "list"
                        : options.command == DevicesCommand::Info ? "info"
                                                                  : "update";
  return options.events ? MakeEventsReporter(command)
         : options.json ? MakeJsonReporter(command)
                        : MakeTextReporter();
}

}  // namespace

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
  SeedPadGenerator();
  int status = RunDevicesCommand(options, *MakeReporter(options));
  StopSocketLibrary();
  // A script that reads a result cut short must not take it for a whole one.
  const std::string fault = CloseStandardOutput();
  if (!fault.empty()) {
    Complain("the result could not be written whole to standard output: " + fault);
    status = status == ExitDone ? ExitFailed : status;
  }
  return status;
}
