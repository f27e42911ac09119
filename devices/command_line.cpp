// SPDX-License-Identifier: Apache-2.0
// The command line of torvane-devices read with getopt_long (glibc's, or MinGW-w64's), checked
// command by command, and its usage text written out as it prints.
#include "devices/command_line.h"

#include <getopt.h>

#include <cstring>
#include <optional>
#include <string_view>

#include "common/dotted_quad.h"
#include "common/number_text.h"
#include "management/management_datagram.h"

const char* const DevicesUsage =
    "Usage: torvane-devices list [--broadcast ADDRESS] [--wait SECONDS] [--json]\n"
    "  or:  torvane-devices info ADDRESS [--json]\n"
    "  or:  torvane-devices update IMAGE (ADDRESS... | --all) [--setting TEXT]\n"
    "                              [--retries N] [--json]\n"
    "  or:  torvane-devices --help | --version\n"
    "Lists, checks and updates Torvane devices on the local network (UDP port 36).\n"
    "The manual page torvane-devices(1) describes the output and the exit statuses.\n"
    "\n"
    "Commands:\n"
    "  list                   find the devices by broadcast and identify each one\n"
    "  info ADDRESS           identify one device; nothing is written to it\n"
    "  update IMAGE ADDR...   install IMAGE into each device in turn\n"
    "Options:\n"
    "  --broadcast ADDRESS    discovery to ADDRESS, such as 10.0.0.255 (list, --all)\n"
    "  --wait SECONDS         listen SECONDS at most (list, --all; default 5)\n"
    "  --all                  update every device of the supported type that answers\n"
    "  --setting TEXT         write TEXT (1 to 89 bytes) into each device first\n"
    "  --retries N            run a failed device's update up to N more times\n"
    "  --json                 print one JSON document; messages go to standard error\n"
    "  --version              print the version and exit\n"
    "  --help                 print this help and exit\n"
    "Exit status: 0 all done, 1 a device failed or none was found, 2 a bad command\n"
    "line or an unreadable image (nothing sent).\n";

namespace {

// getopt_long reports each option by its id, above every character so that no short option,
// ':' or '?' is taken for one.
enum OptionId : int { Broadcast = 256, Wait, Json, All, Setting, Retries, Version, Help };

constexpr option LongOptions[] = {
    {"broadcast", required_argument, nullptr, Broadcast},
    {"wait", required_argument, nullptr, Wait},
    {"json", no_argument, nullptr, Json},
    {"all", no_argument, nullptr, All},
    {"setting", required_argument, nullptr, Setting},
    {"retries", required_argument, nullptr, Retries},
    {"version", no_argument, nullptr, Version},
    {"help", no_argument, nullptr, Help},
    {nullptr, 0, nullptr, 0},
};

constexpr int MaxWaitSeconds = 3600;
constexpr int MaxRetries = 100;

const char* OptionName(int id) {
  for (const option& entry : LongOptions) {
    if (entry.val == id) {
      return entry.name;
    }
  }
  return "";
}

// The dotted quad in its plain form, so that 010.0.0.7 shows as the 10.0.0.7 it is.
std::optional<std::string> ReadAddress(const std::string& text) {
  const auto address = ReadAddressBytes(text);
  return address ? std::optional(FormatAddress(*address)) : std::nullopt;
}

// Takes the value of option `id` into `options`; returns what is wrong with it, or "".
std::string Take(int id, const char* value, DevicesOptions& options) {
  switch (id) {
    case Broadcast: {
      const auto address = ReadAddress(value);
      options.broadcast = address.value_or("");
      return address ? "" : "expects an IPv4 address such as 10.0.0.255";
    }
    case Wait: {
      const auto seconds = ReadNumberText(value, 1, MaxWaitSeconds);
      options.waitSeconds = seconds.value_or(0);
      return seconds ? "" : "expects a whole number of seconds from 1 to 3600";
    }
    case Setting:
      options.setting = value;
      return options.setting.empty() || options.setting.size() > MaxSettingLength
                 ? "expects 1 to 89 bytes"
                 : "";
    case Retries: {
      const auto retries = ReadNumberText(value, 0, MaxRetries);
      options.retries = retries.value_or(0);
      return retries ? "" : "expects a whole number from 0 to 100";
    }
    default:  // the flags
      options.json |= id == Json;
      options.all |= id == All;
      options.version |= id == Version;
      options.help |= id == Help;
      return "";
  }
}

// The options each command takes, as bits (1 << (id - Broadcast)).
constexpr unsigned Bit(int id) {
  return 1u << (id - Broadcast);
}
constexpr unsigned DiscoveryOptions = Bit(Broadcast) | Bit(Wait);

bool Refuse(std::string& error, std::string reason) {
  error = std::move(reason);
  return false;
}

// Checks the operands and options of the command named first.
bool TakeCommand(const std::vector<std::string>& operands, unsigned given, DevicesOptions& options,
                 std::string& error) {
  if (operands.empty()) {
    return Refuse(error, "no command given (list, info or update)");
  }
  const std::string& name = operands[0];
  unsigned allowed = Bit(Json);
  size_t fewest = 1;
  size_t most = 1;
  if (name == "list") {
    options.command = DevicesCommand::List;
    allowed |= DiscoveryOptions;
  } else if (name == "info") {
    options.command = DevicesCommand::Info;
    fewest = most = 2;
  } else if (name == "update") {
    options.command = DevicesCommand::Update;
    allowed |= Bit(All) | Bit(Setting) | Bit(Retries) | (options.all ? DiscoveryOptions : 0);
    fewest = options.all ? 2 : 3;
    most = options.all ? 2 : operands.size();
  } else {
    return Refuse(error, "unknown command '" + name + "' (list, info or update)");
  }
  const std::string command = name == "update" && options.all ? "update --all" : name;
  for (int id = Broadcast; id <= Retries; ++id) {
    if ((given & ~allowed & Bit(id)) != 0) {
      return Refuse(error, "option '--" + std::string(OptionName(id)) + "' does not apply to '" +
                               command + "'");
    }
  }
  if (operands.size() < fewest) {
    return Refuse(error, name == "info"        ? "info needs the device's ADDRESS"
                         : operands.size() < 2 ? "update needs the IMAGE to install"
                                               : "update needs device addresses or --all");
  }
  if (operands.size() > most) {
    return Refuse(error, "unexpected argument '" + operands[most] + "' after '" + command + "'");
  }
  size_t first = 1;
  if (options.command == DevicesCommand::Update) {
    options.image = operands[1];
    first = 2;
  }
  for (size_t index = first; index < operands.size(); ++index) {
    const auto address = ReadAddress(operands[index]);
    if (!address) {
      return Refuse(error, "'" + operands[index] + "' is not an IPv4 address such as 10.0.0.7");
    }
    options.addresses.push_back(*address);
  }
  return true;
}

}  // namespace

bool ParseDevicesCommandLine(int argc, char* argv[], DevicesOptions& options, std::string& error) {
  // 0 starts getopt afresh; the leading ':' tells a missing value apart, and opterr = 0 leaves
  // every message to this function.
  optind = 0;
  opterr = 0;
  unsigned given = 0;
  for (int id; (id = getopt_long(argc, argv, ":", LongOptions, nullptr)) != -1;) {
    if (id < Broadcast) {
      // `optopt` names the option whose value is missing or needless; 0 for an unknown one.
      return Refuse(error,
                    optopt < Broadcast
                        ? "unknown or ambiguous option '" + std::string(argv[optind - 1]) + "'"
                        : "option '--" + std::string(OptionName(optopt)) + "' " +
                              (id == ':' ? "needs a value" : "takes no value"));
    }
    const std::string fault = Take(id, optarg, options);
    if (!fault.empty()) {
      return Refuse(error, "option '--" + std::string(OptionName(id)) + "' " + fault + ", not '" +
                               optarg + "'");
    }
    given |= id <= Retries ? Bit(id) : 0;
  }
  if (options.help || options.version) {
    return true;
  }
  return TakeCommand(std::vector<std::string>(argv + optind, argv + argc), given, options, error);
}
