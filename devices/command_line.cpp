// SPDX-License-Identifier: Apache-2.0
// The command line of torvane-devices read with CLI11: the options in one table of which command
// takes each, the commands' operands, and the rules that CLI11 cannot state.
#include "devices/command_line.h"

#include <CLI/CLI.hpp>
#include <optional>

#include "common/dotted_quad.h"
#include "management/management_datagram.h"

namespace {

constexpr int MaxWaitSeconds = 3600;
constexpr int MaxRetries = 100;
constexpr int MaxParallel = 64;
constexpr int MaxDeviceCount = 100000;
constexpr int MaxDeviceSeconds = 86400;

// The forms of a command line that an option may apply to; update with --all is a form of its own,
// since it discovers the devices as list does.
enum Form : unsigned { List = 1, Info = 2, Update = 4, UpdateAll = 8 };
constexpr unsigned EveryForm = List | Info | Update | UpdateAll;
constexpr unsigned Discovery = List | UpdateAll;

constexpr const char* ProgramHelp =
    "Usage: torvane-devices list [OPTION]...\n"
    "  or:  torvane-devices info [OPTION]... ADDRESS\n"
    "  or:  torvane-devices update [OPTION]... IMAGE (ADDRESS... | --all)\n"
    "  or:  torvane-devices --help | --version\n"
    "Lists, checks and updates Torvane devices on the local network (UDP port 36).\n"
    "'torvane-devices COMMAND --help' shows the options of one command; the manual\n"
    "page torvane-devices(1) describes the output and the exit statuses.\n"
    "\n"
    "Commands:\n"
    "  list                   find the devices by broadcast and identify each one\n"
    "  info ADDRESS           identify one device; nothing is written to it\n"
    "  update IMAGE ADDR...   install IMAGE into each device in turn\n";

constexpr const char* ExitStatusHelp =
    "Exit status: 0 all done, 1 a device failed or none was found, 2 a bad command\n"
    "line or an unreadable image (nothing sent).\n";

// The program's command line: every option on the program itself, so that it may come before
// the command, and on each command that takes it, for the command's help. An option given to a
// command that does not take it falls through to the program and is refused by its form.
class DevicesCommandLine {
 public:
  explicit DevicesCommandLine(DevicesOptions& options);

  CommandLineOutcome Read(int argc, const char* const* argv) {
    return ReadCommandLine(app_, argc, argv, [this] { return CheckCommand(); });
  }

 private:
  // Adds one option: `valueName` empty for a flag, `take` reading its value.
  void Add(const std::string& name, const std::string& valueName, unsigned forms,
           const std::string& help, const TakeValue& take);
  CLI::App* AddCommand(const char* name, const std::string& help);
  std::string CheckCommand();
  std::string CheckForm(const CLI::App& command, unsigned form, const std::string& shown) const;
  std::string CheckOperands(const std::string& shown) const;

  DevicesOptions& options_;
  CLI::App app_{ProgramHelp, "torvane-devices"};
  CLI::App* list_ = AddCommand("list",
                               "Usage: torvane-devices list [OPTION]...\n"
                               "Finds the devices by broadcast and identifies each one.\n\n");
  CLI::App* info_ = AddCommand("info",
                               "Usage: torvane-devices info [OPTION]... ADDRESS\n"
                               "Identifies one device; nothing is written to it.\n\n");
  CLI::App* update_ =
      AddCommand("update",
                 "Usage: torvane-devices update [OPTION]... IMAGE (ADDRESS... | --all)\n"
                 "Installs IMAGE into each device in turn.\n\n");
  // Each option and the forms that take it.
  std::vector<std::pair<std::string, unsigned>> forms_;
};

// Addresses are kept in their plain dotted form, so that 010.0.0.7 shows as the 10.0.0.7 it is.
TakeValue Address(std::vector<std::string>& list) {
  return [&list](const std::string& value) -> std::string {
    const auto address = ReadAddressBytes(value);
    if (!address) {
      return "expects an IPv4 address such as 10.0.0.7";
    }
    list.push_back(FormatAddress(*address));
    return "";
  };
}

TakeValue Broadcast(std::string& field) {
  return [&field](const std::string& value) -> std::string {
    const auto address = ReadAddressBytes(value);
    field = address ? FormatAddress(*address) : field;
    return address ? "" : "expects an IPv4 address such as 10.0.0.255";
  };
}

TakeValue Setting(std::string& field) {
  return [&field](const std::string& value) {
    field = value;
    return value.empty() || value.size() > MaxSettingLength ? "expects 1 to 89 bytes" : "";
  };
}

TakeValue Path(std::string& field) {
  return [&field](const std::string& value) {
    field = value;
    return value.empty() ? "expects a file name" : "";
  };
}

TakeValue Set(bool& field) {
  return [&field](const std::string&) {
    field = true;
    return std::string();
  };
}

DevicesCommandLine::DevicesCommandLine(DevicesOptions& options) : options_(options) {
  // One command per run: a second command's name is an argument like any other.
  app_.require_subcommand(0, 1);
  // One line per option, in the order of the help.
  Add("--broadcast", "ADDRESS", Discovery, "discovery to ADDRESS, such as 10.0.0.255 (list, --all)",
      Broadcast(options.broadcast));
  Add("--wait", "SECONDS", Discovery, "listen SECONDS at most (list, --all; default 5)",
      WholeNumber(options.waitSeconds, 1, MaxWaitSeconds));
  Add("--all", "", Update | UpdateAll, "update every device of the supported type that answers",
      Set(options.all));
  Add("--setting", "TEXT", Update | UpdateAll, "write TEXT (1 to 89 bytes) into each device first",
      Setting(options.setting));
  Add("--retries", "N", Update | UpdateAll, "run a failed device's update up to N more times",
      WholeNumber(options.retries, 0, MaxRetries));
  Add("--parallel", "N", Update | UpdateAll, "update up to N devices at a time (1 to 64)",
      WholeNumber(options.parallel, 1, MaxParallel));
  Add("--canary", "K", Update | UpdateAll, "update the first K alone; the rest if all K worked",
      WholeNumber(options.canary, 0, MaxDeviceCount));
  Add("--max-failed", "N", Update | UpdateAll, "start no device once N have failed",
      WholeNumber(options.maxFailed, 1, MaxDeviceCount));
  Add("--device-timeout", "S", Update | UpdateAll, "abandon a device after S seconds",
      WholeNumber(options.deviceTimeoutSeconds, 1, MaxDeviceSeconds));
  Add("--journal", "FILE", Update | UpdateAll, "append a JSON line per device started to FILE",
      Path(options.journal));
  Add("--skip-updated", "", Update | UpdateAll, "leave out devices the journal has as updated",
      Set(options.skipUpdated));
  Add("--json", "", EveryForm, "print one JSON document; messages go to standard error",
      Set(options.json));

  AddValueOption(*info_, "ADDRESS", "ADDRESS", "", Address(options.addresses))->expected(-1);
  AddValueOption(*update_, "IMAGE", "IMAGE", "", Text(options.image));
  AddValueOption(*update_, "ADDRESS", "ADDRESS", "", Address(options.addresses))->expected(-1);
  app_.footer(ExitStatusHelp);
  FinishCommandLine(app_, "torvane-devices " TORVANE_VERSION, "-h,--help");
}

void DevicesCommandLine::Add(const std::string& name, const std::string& valueName, unsigned forms,
                             const std::string& help, const TakeValue& take) {
  forms_.emplace_back(name, forms);
  const std::pair<CLI::App*, unsigned> places[] = {
      {&app_, EveryForm}, {list_, List}, {info_, Info}, {update_, Update | UpdateAll}};
  for (const auto& [app, takers] : places) {
    if ((forms & takers) == 0) {
      continue;
    }
    if (valueName.empty()) {
      AddFlag(*app, name, help, [take] { take(""); });
    } else {
      AddValueOption(*app, name, valueName, help, take);
    }
  }
}

// `help` is what the command's --help prints before its options: its usage and what it does.
CLI::App* DevicesCommandLine::AddCommand(const char* name, const std::string& help) {
  CLI::App* command = app_.add_subcommand(name, help);
  command->fallthrough();
  return command;
}

std::string DevicesCommandLine::CheckCommand() {
  const std::vector<CLI::App*> named = app_.get_subcommands();
  if (named.empty()) {
    const std::vector<std::string> unknown = app_.remaining();
    return unknown.empty() ? "no command given (list, info or update)"
                           : "unknown command '" + unknown.front() + "' (list, info or update)";
  }
  const CLI::App& command = *named.front();
  const std::string name = command.get_name();
  const bool all = &command == update_ && options_.all;
  options_.command = &command == list_   ? DevicesCommand::List
                     : &command == info_ ? DevicesCommand::Info
                                         : DevicesCommand::Update;
  const unsigned form = &command == list_   ? List
                        : &command == info_ ? Info
                        : all               ? UpdateAll
                                            : Update;
  const std::string shown = all ? "update --all" : name;
  const std::string fault = CheckForm(command, form, shown);
  return fault.empty() ? CheckOperands(shown) : fault;
}

// Refuses an option that the command, in its form, does not take, wherever it was given.
std::string DevicesCommandLine::CheckForm(const CLI::App& command, unsigned form,
                                          const std::string& shown) const {
  for (const auto& [name, forms] : forms_) {
    const CLI::Option* own = command.get_option_no_throw(name);
    const size_t given = app_.get_option(name)->count() + (own != nullptr ? own->count() : 0);
    if (given > 0 && (forms & form) == 0) {
      return "option '" + name + "' does not apply to '" + shown + "'";
    }
  }
  return "";
}

std::string DevicesCommandLine::CheckOperands(const std::string& shown) const {
  const std::vector<std::string>& addresses = options_.addresses;
  const size_t most = options_.command == DevicesCommand::Info ? 1
                      : options_.all                           ? 0
                                                               : addresses.size();
  if (options_.command == DevicesCommand::Info && addresses.empty()) {
    return "info needs the device's ADDRESS";
  }
  if (options_.command == DevicesCommand::Update && options_.image.empty()) {
    return "update needs the IMAGE to install";
  }
  if (options_.command == DevicesCommand::Update && !options_.all && addresses.empty()) {
    return "update needs device addresses or --all";
  }
  if (options_.skipUpdated && options_.journal.empty()) {
    return "--skip-updated needs --journal FILE";
  }
  return addresses.size() > most
             ? "unexpected argument '" + addresses[most] + "' after '" + shown + "'"
             : "";
}

}  // namespace

CommandLineOutcome ReadDevicesCommandLine(int argc, const char* const* argv,
                                          DevicesOptions& options) {
  return DevicesCommandLine(options).Read(argc, argv);
}
