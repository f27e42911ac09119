// SPDX-License-Identifier: Apache-2.0
// The command line of torvane-devices: the command, its operands and options, read with CLI11,
// with defaults from the environment and from a configuration file.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "common/command_line.h"
#include "common/dotted_quad.h"
#include "management/management_datagram.h"

/// What the command line asks for.
enum class DevicesCommand { None, List, Info, Update };

/// The command line as read. Addresses are held in their plain dotted form ("10.0.0.7"), in the
/// order given, repeats included (the selection takes each once).
struct DevicesOptions {
  DevicesCommand command = DevicesCommand::None;
  /// One JSON document on standard output; `events`: one JSON object per line as things happen.
  bool json = false;
  bool events = false;
  /// update: every device of the supported type that discovery finds.
  bool all = false;
  /// update: only identify the devices and say what would be done.
  bool dryRun = false;
  std::string image;
  /// info and update: the devices named by address, in the order given.
  std::vector<std::string> addresses;
  /// info and update: the devices named by id, in the order given; discovery finds them.
  std::vector<DeviceId> ids;
  /// Where the discovery request goes; empty for 255.255.255.255.
  std::string broadcast;
  /// Listening for discovery answers: at most 5 s, ending at a silent second; when given, the
  /// whole time.
  int waitSeconds = 5;
  bool waitGiven = false;
  /// Written into each device before its update when not empty.
  std::string setting;
  int retries = 0;
  /// The configuration file named by --config; empty for none.
  std::string configFile;
};

/// Reads `argv[1]` to `argv[argc - 1]` into `options`: the command (list, info or update), then
/// its operands and options; an option may also come before the command. `-h`/`--help` (of the
/// program or of one command) and `--version` print their text and need no command. An option
/// that the command line does not give takes its default from the environment (TORVANE_BROADCAST,
/// TORVANE_WAIT, TORVANE_RETRIES), else from the file of `--config` (CLI11's format: top-level keys
/// for every command, a section per command, such as [update]), else its own. Refused, with one
/// line on standard error: an unknown command or option, a missing or needless value, a value out
/// of range (from the command line, the environment or the file), an option the command does not
/// take, a missing or extra operand, an address that is not a dotted quad or is not one device's
/// (multicast, broadcast, loopback), an id that is not six hexadecimal pairs, a setting that does
/// not fit (1 to 89 bytes), --json with --events, an unreadable configuration file or a key in it
/// that no option of its section has.
CommandLineOutcome ReadDevicesCommandLine(int argc, const char* const* argv,
                                          DevicesOptions& options);

/// Why torvane-devices sends nothing to `address`, whether given or announced: "a multicast
/// address" (224/4), "a broadcast address" (255.255.255.255 or `broadcast`, the --broadcast
/// address in its plain form), "a loopback address" (127/8), "no address" (0.0.0.0); null when it
/// may be one device's.
const char* UnusableTarget(const AddressBytes& address, const std::string& broadcast);

/// Reads a device id: six pairs of hexadecimal digits, either case, separated by ':' or '-'
/// ("00:1b:2c:3d:4e:5f"). Nothing for any other text.
std::optional<DeviceId> ReadDeviceId(const std::string& text);
