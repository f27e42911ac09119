// SPDX-License-Identifier: Apache-2.0
// The command line of torvane-devices: the command, its operands and options, read with
// getopt_long, and the usage text.
#pragma once

#include <string>
#include <vector>

/// What the command line asks for.
enum class DevicesCommand { None, List, Info, Update };

/// The command line as read. Addresses are held in their plain dotted form ("10.0.0.7").
struct DevicesOptions {
  DevicesCommand command = DevicesCommand::None;
  bool help = false;
  bool version = false;
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
};

/// The usage text that --help prints, one line per option.
extern const char* const DevicesUsage;

/// Reads `argv[1]` to `argv[argc - 1]` into `options`: options anywhere, the first operand is the
/// command. Returns false with a one-line reason in `error` for an unknown or ambiguous option, a
/// missing or needless value, a value out of range, an option the command does not take, a
/// missing or extra operand, an address that is not a dotted quad, or a setting that does not fit
/// (1 to 89 bytes). --help and --version need no command and win over everything else but an
/// unknown option.
bool ParseDevicesCommandLine(int argc, char* argv[], DevicesOptions& options, std::string& error);
