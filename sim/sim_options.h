// SPDX-License-Identifier: Apache-2.0
// The simulator's command line: its options, read with CLI11, and the exit statuses.
#pragma once

#include <string>

#include "common/command_line.h"
#include "sim/device_settings.h"

namespace devsim {

/// Exit statuses of torvane-devsim.
inline constexpr int ExitUpdateComplete = 0;  // also: stopped by a signal without --once, --help
inline constexpr int ExitUpdateFailed = 1;    // --once: the update ended (or stopped) incomplete
inline constexpr int ExitUsage = 2;           // the command line is wrong
inline constexpr int ExitSystem = 3;          // port 36 cannot be bound, a file cannot be written
inline constexpr int ExitIdle = 4;            // --timeout: nothing arrived for that long
inline constexpr int ExitHostNetwork = 5;     // started in the machine's own network namespace

/// The simulator's command line.
struct SimOptions {
  DeviceSettings device;
  /// Where the received image goes at the end of each update and on exit; empty: nowhere.
  std::string storeFile;
  /// Where each setting string received goes, its bytes exactly; empty: nowhere.
  std::string settingFile;
  bool once = false;
  bool quiet = false;
  /// Run even in the machine's initial network namespace, on its real interfaces.
  bool hostNetwork = false;
  /// Started as root: the user whose ids it takes once port 36 is bound and the files are open.
  std::string user = "nobody";
  /// Exit with `ExitIdle` after this many seconds without a datagram; 0: never.
  int timeoutSeconds = 0;
  /// Descriptor that gets the line "ready" once port 36 is bound; -1: none.
  int readyFd = -1;
};

/// Reads `argv[1]` to `argv[argc - 1]` into `options` ("--name value" or "--name=value"); later
/// values of an option win, or add to the faults it lists. `--help` (one line per option) and
/// `--version` print their text; a refused command line is told in one line that names the option
/// and what is wrong with its value.
CommandLineOutcome ReadSimCommandLine(int argc, const char* const* argv, SimOptions& options);

}  // namespace devsim
