// SPDX-License-Identifier: Apache-2.0
// The command line of torvane-devices read with CLI11: the options in one table of which command
// takes each and where else it may take its value from, the commands' operands, the defaults of the
// environment and of the configuration file, and the rules that CLI11 cannot state.
#include "devices/command_line.h"

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>

#include "common/dotted_quad.h"
#include "common/number_text.h"
#include "common/text_format.h"

namespace {

constexpr int MaxWaitSeconds = 3600;
constexpr int MaxRetries = 100;
constexpr int MaxParallel = 64;
constexpr int MaxDeviceCount = 100000;
constexpr int MaxDeviceSeconds = 86400;

// The traits of a command line that an option may apply to: the command, update with --all (which
// discovers the devices as list does), and devices named by id (found by discovery too). An option
// applies when it shares one trait with the command line.
enum Form : unsigned { List = 1, Info = 2, Update = 4, UpdateAll = 8, ById = 16 };
constexpr unsigned EveryForm = List | Info | Update | UpdateAll | ById;
constexpr unsigned Discovery = List | UpdateAll | ById;
constexpr unsigned Updates = Update | UpdateAll;

// Where an option not given on the command line may take its value from besides the environment
// variable that its line names: the configuration file, or nowhere.
enum Defaults : unsigned { CommandLineOnly = 0, FromFile = 1 };

constexpr const char* ProgramHelp =
    "Usage: torvane-devices list [OPTION]...\n"
    "  or:  torvane-devices info [OPTION]... (ADDRESS... | --id ID...)\n"
    "  or:  torvane-devices update [OPTION]... IMAGE (ADDRESS... | --id ID | --all)\n"
    "  or:  torvane-devices --help | --version\n"
    "Lists, checks and updates Torvane devices on the local network (UDP port 36).\n"
    "'torvane-devices COMMAND --help' shows the options of one command; the manual\n"
    "page torvane-devices(1) describes the output and the exit statuses.\n"
    "\n"
    "Commands:\n"
    "  list                   find the devices by broadcast and identify each one\n"
    "  info ADDRESS...        identify devices; nothing is written to them\n"
    "  update IMAGE ADDR...   install IMAGE into each device, --parallel N at a time\n";

constexpr const char* ExitStatusHelp =
    "Exit status: 0 all done, 1 a device failed or none was found, 2 a bad command\n"
    "line or an unreadable image (nothing sent), 130 or 143 after a stop (SIGINT or\n"
    "SIGTERM; Windows: Ctrl+C, or Ctrl+Break and the console's closing).\n";

// One line of the option table.
struct TableOption {
  std::string name;
  unsigned forms = 0;
  bool flag = false;
  Defaults defaults = CommandLineOnly;
  const char* environment = nullptr;
  TakeValue take;
};

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
  // Adds one option: `valueName` empty for a flag, `take` reading its value; `defaults` and
  // `environment` say where else its value may come from when the command line does not give it.
  void Add(const std::string& name, const std::string& valueName, unsigned forms,
           const std::string& help, const TakeValue& take, Defaults defaults = CommandLineOnly,
           const char* environment = nullptr);
  CLI::App* AddCommand(const char* name, const std::string& help);
  std::string EnvironmentHelp() const;
  std::string CheckCommand();
  size_t GivenCount(const CLI::App& command, const std::string& name) const;
  std::string TakeDefaults(const CLI::App& command, unsigned form);
  std::string CheckForm(const CLI::App& command, unsigned form, const std::string& shown) const;
  std::string CheckOperands(const std::string& shown) const;

  DevicesOptions& options_;
  CLI::App app_{ProgramHelp, "torvane-devices"};
  CLI::App* list_ = AddCommand("list",
                               "Usage: torvane-devices list [OPTION]...\n"
                               "Finds the devices by broadcast and identifies each one.\n\n");
  CLI::App* info_ = AddCommand("info",
                               "Usage: torvane-devices info [OPTION]... (ADDRESS... | --id ID...)\n"
                               "Identifies devices; nothing is written to them.\n\n");
  CLI::App* update_ =
      AddCommand("update",
                 "Usage: torvane-devices update [OPTION]... IMAGE (ADDRESS... | --id ID | --all)\n"
                 "Installs IMAGE into each device in turn.\n\n");
  std::vector<TableOption> table_;
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

TakeValue Id(std::vector<DeviceId>& list) {
  return [&list](const std::string& value) -> std::string {
    const auto id = ReadDeviceId(value);
    if (id) {
      list.push_back(*id);
    }
    return id ? "" : "expects a device id such as 00:1b:2c:3d:4e:5f";
  };
}

TakeValue Wait(DevicesOptions& options) {
  return [&options](const std::string& value) {
    const std::string fault = WholeNumber(options.waitSeconds, 1, MaxWaitSeconds)(value);
    options.waitGiven = options.waitGiven || fault.empty();
    return fault;
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
  Add("--id", "ID", Info | Update, "the device whose id is ID (repeatable; info, update)",
      Id(options.ids));
  Add("--all", "", UpdateAll, "update every device of the supported type that answers",
      Set(options.all));
  Add("--broadcast", "ADDRESS", Discovery, "discovery to ADDRESS, such as 10.0.0.255",
      Broadcast(options.broadcast), FromFile, "TORVANE_BROADCAST");
  Add("--wait", "SECONDS", Discovery, "listen SECONDS to discovery (default: 1 to 5)",
      Wait(options), FromFile, "TORVANE_WAIT");
  Add("--setting", "TEXT", Updates, "write TEXT (1 to 89 bytes) into each device first",
      Setting(options.setting), FromFile);
  Add("--retries", "N", Updates, "run a failed device's update up to N more times",
      WholeNumber(options.retries, 0, MaxRetries), FromFile, "TORVANE_RETRIES");
  Add("--parallel", "N", Updates, "update up to N devices at a time (1 to 64)",
      WholeNumber(options.parallel, 1, MaxParallel), FromFile, "TORVANE_PARALLEL");
  Add("--canary", "K", Updates, "update the first K alone; the rest if all K worked",
      WholeNumber(options.canary, 0, MaxDeviceCount), FromFile);
  Add("--max-failed", "N", Updates, "start no device once N have failed or timed out",
      WholeNumber(options.maxFailed, 1, MaxDeviceCount), FromFile);
  Add("--device-timeout", "SECONDS", Updates, "abandon a device after SECONDS (1 to 86400)",
      WholeNumber(options.deviceTimeoutSeconds, 1, MaxDeviceSeconds), FromFile);
  Add("--journal", "FILE", Updates, "append a JSON line per device started to FILE",
      Path(options.journal), FromFile, "TORVANE_JOURNAL");
  Add("--skip-updated", "", Updates, "leave out devices the journal has as updated",
      Set(options.skipUpdated), FromFile);
  Add("--dry-run", "", Updates, "say what would be done; send nothing past identify",
      Set(options.dryRun));
  Add("--json", "", EveryForm, "print one JSON document; messages go to standard error",
      Set(options.json));
  Add("--events", "", EveryForm, "print one JSON object per line as things happen",
      Set(options.events));
  Add("--config", "FILE", EveryForm, "take the defaults of options from FILE",
      Text(options.configFile));

  AddValueOption(*info_, "ADDRESS", "ADDRESS", "", Address(options.addresses))->expected(-1);
  AddValueOption(*update_, "IMAGE", "IMAGE", "", Text(options.image));
  AddValueOption(*update_, "ADDRESS", "ADDRESS", "", Address(options.addresses))->expected(-1);
  app_.footer(EnvironmentHelp() + ExitStatusHelp);
  FinishCommandLine(app_, "torvane-devices " TORVANE_VERSION, "-h,--help");
}

void DevicesCommandLine::Add(const std::string& name, const std::string& valueName, unsigned forms,
                             const std::string& help, const TakeValue& take, Defaults defaults,
                             const char* environment) {
  table_.push_back({name, forms, valueName.empty(), defaults, environment, take});
  const std::pair<CLI::App*, unsigned> places[] = {
      {&app_, EveryForm}, {list_, List}, {info_, Info | ById}, {update_, Updates | ById}};
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

// "Defaults from the environment: TORVANE_BROADCAST, ...", the names of the table, in lines of at
// most 80 columns.
std::string DevicesCommandLine::EnvironmentHelp() const {
  std::string help = "Defaults from the environment:";
  size_t lineStart = 0;
  for (const TableOption& option : table_) {
    if (option.environment == nullptr) {
      continue;
    }
    const std::string name = option.environment;
    if (help.size() - lineStart + name.size() + 2 > 80) {
      help += "\n ";
      lineStart = help.size() - 1;
    }
    help += " " + name + ",";
  }
  help.back() = '\n';
  return help;
}

std::string DevicesCommandLine::CheckCommand() {
  const std::vector<CLI::App*> named = app_.get_subcommands();
  if (named.empty()) {
    const std::vector<std::string> unknown = app_.remaining();
    return unknown.empty()
               ? "no command given (list, info or update)"
               : "unknown command " + QuotedText(unknown.front()) + " (list, info or update)";
  }
  const CLI::App& command = *named.front();
  const bool all = &command == update_ && options_.all;
  options_.command = &command == list_   ? DevicesCommand::List
                     : &command == info_ ? DevicesCommand::Info
                                         : DevicesCommand::Update;
  const unsigned form = (&command == list_   ? List
                         : &command == info_ ? Info
                         : all               ? UpdateAll
                                             : Update) |
                        (options_.ids.empty() ? 0U : unsigned{ById});
  const std::string shown = all ? "update --all" : command.get_name();
  std::string fault = CheckForm(command, form, shown);
  fault = fault.empty() ? TakeDefaults(command, form) : fault;
  return fault.empty() ? CheckOperands(shown) : fault;
}

// How often `name` was given on the command line, before the command or after it.
size_t DevicesCommandLine::GivenCount(const CLI::App& command, const std::string& name) const {
  const CLI::Option* own = command.get_option_no_throw(name);
  return app_.get_option(name)->count() + (own != nullptr ? own->count() : 0);
}

// Refuses an option that the command, in its form, does not take, wherever it was given.
std::string DevicesCommandLine::CheckForm(const CLI::App& command, unsigned form,
                                          const std::string& shown) const {
  for (const TableOption& option : table_) {
    if (GivenCount(command, option.name) > 0 && (option.forms & form) == 0) {
      return "option '" + option.name + "' does not apply to '" + shown + "'";
    }
  }
  if (options_.json && options_.events) {
    return "options '--json' and '--events' exclude each other";
  }
  return "";
}

// The configuration file's items, or why it cannot be used. Its keys are the long names of the
// options that take their defaults from it; a section is a command's name.
std::string ReadConfigFile(const std::string& path, std::vector<CLI::ConfigItem>& items) {
  std::FILE* file = std::fopen(path.c_str(), "r");
  if (file == nullptr) {
    return "cannot read the configuration file " + QuotedText(path) + ": " + std::strerror(errno);
  }
  std::fclose(file);
  try {
    for (CLI::ConfigItem& item : CLI::ConfigTOML().from_file(path)) {
      // Section starts and ends are marked by items of these names.
      if (item.name != "++" && item.name != "--") {
        items.push_back(std::move(item));
      }
    }
  } catch (const CLI::Error&) {
    return "cannot read the configuration file " + QuotedText(path);
  }
  return "";
}

// Checks every item of the file against the table: a known section, a key that an option of that
// section's command (or, at the top, of any command) takes from the file, one value.
std::string CheckConfigItems(const std::vector<CLI::ConfigItem>& items,
                             const std::vector<TableOption>& table) {
  const std::pair<std::string, unsigned> sections[] = {
      {"", EveryForm}, {"list", List}, {"info", Info | ById}, {"update", Updates | ById}};
  for (const CLI::ConfigItem& item : items) {
    const std::string section = item.parents.empty() ? "" : item.parents.front();
    const auto place = std::find_if(std::begin(sections), std::end(sections),
                                    [&section](const auto& each) { return each.first == section; });
    const auto option = std::find_if(table.begin(), table.end(), [&item](const TableOption& each) {
      return each.name == "--" + item.name && (each.defaults & FromFile) != 0;
    });
    const std::string key = QuotedText(item.fullname());
    if (place == std::end(sections) || item.parents.size() > 1) {
      return "no command has the section of " + key;
    }
    if (option == table.end() || (option->forms & place->second) == 0) {
      return "no option of " + (section.empty() ? "any command" : "'" + section + "'") +
             " takes a default from " + key;
    }
    if (item.inputs.size() != 1) {
      return key + " expects one value";
    }
  }
  return "";
}

// The item of the file that gives `name` its default for `command`: that of the command's section,
// else the top-level one; null for none.
const CLI::ConfigItem* FileDefault(const std::vector<CLI::ConfigItem>& items,
                                   const std::string& name, const std::string& command) {
  const CLI::ConfigItem* top = nullptr;
  for (const CLI::ConfigItem& item : items) {
    if ("--" + item.name == name && !item.parents.empty() && item.parents.front() == command) {
      return &item;
    }
    top = "--" + item.name == name && item.parents.empty() ? &item : top;
  }
  return top;
}

// Takes a default `value` as the command line would take it; a flag's is "true" or "false".
std::string TakeDefault(const TableOption& option, const std::string& value) {
  if (!option.flag) {
    const std::string fault = option.take(value);
    return fault.empty() ? fault : fault + ", not " + QuotedText(value);
  }
  if (value == "true") {
    option.take("");
  }
  return value == "true" || value == "false" ? "" : "expects true or false";
}

// Gives each option that the command line did not give, and that the command in its form takes,
// its default: from the environment variable of its line when set and not empty, else from the
// file, the command's section before the top. A value is checked as on the command line.
std::string DevicesCommandLine::TakeDefaults(const CLI::App& command, unsigned form) {
  std::vector<CLI::ConfigItem> items;
  if (!options_.configFile.empty()) {
    std::string fault = ReadConfigFile(options_.configFile, items);
    fault = fault.empty() ? CheckConfigItems(items, table_) : fault;
    if (!fault.empty()) {
      return fault;
    }
  }
  for (const TableOption& option : table_) {
    if (GivenCount(command, option.name) > 0 || (option.forms & form) == 0) {
      continue;
    }
    const char* set = option.environment != nullptr ? std::getenv(option.environment) : nullptr;
    const CLI::ConfigItem* item = (option.defaults & FromFile) != 0
                                      ? FileDefault(items, option.name, command.get_name())
                                      : nullptr;
    std::string fault;
    if (set != nullptr && *set != '\0') {
      fault = TakeDefault(option, set);
      fault = fault.empty() ? fault : std::string(option.environment) + ": " + fault;
    } else if (item != nullptr) {
      fault = TakeDefault(option, item->inputs.front());
      fault = fault.empty()
                  ? fault
                  : QuotedText(options_.configFile) + ", " + item->fullname() + ": " + fault;
    }
    if (!fault.empty()) {
      return fault;
    }
  }
  return "";
}

std::string DevicesCommandLine::CheckOperands(const std::string& shown) const {
  const std::vector<std::string>& addresses = options_.addresses;
  const bool named = !addresses.empty() || !options_.ids.empty();
  if (options_.command == DevicesCommand::Info && !named) {
    return "info needs device addresses or --id";
  }
  if (options_.command == DevicesCommand::Update && options_.image.empty()) {
    return "update needs the IMAGE to install";
  }
  if (options_.command == DevicesCommand::Update && !options_.all && !named) {
    return "update needs device addresses, --id or --all";
  }
  if (options_.skipUpdated && options_.journal.empty()) {
    return "--skip-updated needs --journal FILE";
  }
  if (options_.all && !addresses.empty()) {
    return "unexpected argument " + QuotedText(addresses.front()) + " after '" + shown + "'";
  }
  for (const std::string& address : addresses) {
    const char* refusal = UnusableTarget(*ReadAddressBytes(address), options_.broadcast);
    if (refusal != nullptr) {
      return QuotedText(address) + " is " + refusal + ", not a device's";
    }
  }
  return "";
}

}  // namespace

CommandLineOutcome ReadDevicesCommandLine(int argc, const char* const* argv,
                                          DevicesOptions& options) {
  return DevicesCommandLine(options).Read(argc, argv);
}

std::optional<DeviceId> ReadDeviceId(const std::string& text) {
  DeviceId id{};
  // "aa:bb:cc:dd:ee:ff": two digits at 0, 3, ..., 15, one separator between each pair.
  if (text.size() != 3 * id.size() - 1) {
    return std::nullopt;
  }
  for (size_t i = 0; i < id.size(); ++i) {
    const auto byte = ReadNumberText<int>(std::string_view(text).substr(3 * i, 2), 0, 255, 16);
    const char separator = i + 1 < id.size() ? text[3 * i + 2] : ':';
    if (!byte || (separator != ':' && separator != '-') || text[3 * i] == '+' ||
        text[3 * i] == '-') {
      return std::nullopt;
    }
    id[i] = static_cast<uint8_t>(*byte);
  }
  return id;
}

const char* UnusableTarget(const AddressBytes& address, const std::string& broadcast) {
  if (address[0] >= 224 && address[0] <= 239) {
    return "a multicast address";
  }
  if (address == AddressBytes{255, 255, 255, 255} || FormatAddress(address) == broadcast) {
    return "a broadcast address";
  }
  if (address[0] == 127) {
    return "a loopback address";
  }
  return address == AddressBytes{} ? "no address" : nullptr;
}
