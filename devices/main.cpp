// torvane-devices' entry: reads the command line, answers --help and --version, starts the
// platform as the utility does and runs the command.
#include <cstdio>

#include "app/platform_startup.h"
#include "devices/command_line.h"
#include "devices/commands.h"
#include "transfer/block_record.h"

int main(int argc, char** argv) {
  IgnoreWriteFailureSignals();
  DevicesOptions options;
  std::string error;
  if (!ParseDevicesCommandLine(argc, argv, options, error)) {
    std::fprintf(stderr, "torvane-devices: %s\nTry 'torvane-devices --help'.\n", error.c_str());
    return ExitUsage;
  }
  if (options.help) {
    std::fputs(DevicesUsage, stdout);
    return ExitDone;
  }
  if (options.version) {
    std::printf("torvane-devices %s\n", TORVANE_VERSION);
    return ExitDone;
  }
  if (InitializeFramework() == 0 || StartSocketLibrary() == 0) {
    Complain("cannot start the system's socket library");
    return ExitFailed;
  }
  SeedPadGenerator();
  const auto reporter = options.json ? MakeJsonReporter() : MakeTextReporter();
  const int status = RunDevicesCommand(options, *reporter);
  StopSocketLibrary();
  return status;
}
