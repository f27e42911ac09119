// SPDX-License-Identifier: Apache-2.0
// The command line of torvane-devices: the command, its operands and options, read with CLI11.
#pragma once

#include <string>
#include <vector>

#include "common/command_line.h"

/// What the command line asks for.
enum class DevicesCommand { None, List, Info, Update };

/// The command line as read. Addresses are held in their plain dotted form ("10.0.0.7").
struct DevicesOptions {
  DevicesCommand command = DevicesCommand::None;
  bool json = false;
  /// update: every device of the supported type that discovery finds.
  bool all = false;
  std::string image;
  /// info: the one address; update: the devices, in the order given.
  std::vector<std::string> addresses;
  /// Where the discovery request goes; empty for 255.255.255.255.
  std::string broadcast;
  int waitSeconds = 5;
  /// Written into each device before its update when not empty.
  std::string setting;
  int retries = 0;
  /// update: devices updated at the same time (1 to 64).
  int parallel = 1;
  /// update: the first K devices alone, first; 0 for none.
  int canary = 0;
  /// update: no device starts once this many failed or timed out; 0 for no limit.
  int maxFailed = 0;
  /// update: a device is abandoned after this long; 0 for no limit.
  int deviceTimeoutSeconds = 0;
  /// update: the journal file, empty for none; with `skipUpdated`, read to leave devices out.
  std::string journal;
  bool skipUpdated = false;
};

/// Reads `argv[1]` to `argv[argc - 1]` into `options`: the command (list, info or update), then
/// its operands and options; an option may also come before the command. `-h`/`--help` (of the
/// program or of one command) and `--version` print their text and need no command. Refused, with
/// one line on standard error: an unknown command or option, a missing or needless value, a value
/// out of range, an option the command does not take, a missing or extra operand, an address that
/// is not a dotted quad, or a setting that does not fit (1 to 89 bytes).
CommandLineOutcome ReadDevicesCommandLine(int argc, const char* const* argv,
                                          DevicesOptions& options);
