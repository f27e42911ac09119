// SPDX-License-Identifier: Apache-2.0
// The CLI11 set-up that the programs share: values taken by their own readers, flags refused a
// value, the help's layout, and the one place where CLI11's exceptions are caught.
#include "common/command_line.h"

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cstdio>
#include <sstream>
#include <vector>

#include "common/number_text.h"
#include "common/text_format.h"

namespace {

// Where the descriptions of the options start in the help, counted from the line's start.
constexpr size_t HelpColumn = 25;

// The help as the programs print it: nothing CLI11 would add of its own (usage line, operands,
// commands), only the description as written, the groups of options and the footer.
class HelpFormatter final : public CLI::Formatter {
 public:
  HelpFormatter() { column_width(HelpColumn); }

  std::string make_help(const CLI::App* app, std::string /*name*/,
                        CLI::AppFormatMode /*mode*/) const override {
    std::ostringstream help;
    help << app->get_description();
    for (const std::string& group : app->get_groups()) {
      const auto options = app->get_options([&group](const CLI::Option* option) {
        return option->get_group() == group && option->nonpositional();
      });
      if (!group.empty() && !options.empty()) {
        help << group << ":\n";
        for (const CLI::Option* option : options) {
          help << make_option(option, false);
        }
      }
    }
    help << app->get_footer();
    return help.str();
  }
};

// The first argument that nothing took and that `options` says is an option (or is not), as
// CLI11 left it over; empty when there is none. After "--" every argument is an operand.
std::string Leftover(const CLI::App& app, bool options) {
  bool operandsOnly = false;
  for (const std::string& argument : app.remaining()) {
    if (argument == "--" && !operandsOnly) {
      operandsOnly = true;
    } else if ((!operandsOnly && argument.starts_with('-')) == options) {
      return argument;
    }
  }
  return "";
}

// The option of `app` whose long name is `name` ("--wait"), or else the one option whose long name
// begins with it; null for none, or for a beginning that several options share.
const CLI::Option* FindLongOption(const CLI::App& app, const std::string& name) {
  const CLI::Option* found = nullptr;
  int beginnings = 0;
  for (const CLI::Option* option : app.get_options()) {
    for (const std::string& longName : option->get_lnames()) {
      const std::string full = "--" + longName;
      if (full == name) {
        return option;
      }
      if (full.starts_with(name) && found != option) {
        found = option;
        ++beginnings;
      }
    }
  }
  return beginnings == 1 ? found : nullptr;
}

// The arguments in the order CLI11 takes them, the last first, read as getopt_long reads them: a
// long option shortened to a beginning no other shares written out ("--ret 2" is "--retries 2"),
// and "--name=" an empty value. An option's value and whatever follows "--" are left as they are.
std::vector<std::string> WrittenOut(const CLI::App& app, int argc, const char* const* argv) {
  std::vector<std::string> arguments(argv + std::min(argc, 1), argv + argc);
  for (size_t at = 0; at < arguments.size() && arguments[at] != "--"; ++at) {
    const std::string argument = arguments[at];
    const size_t equals = argument.find('=');
    const CLI::Option* option =
        argument.starts_with("--") ? FindLongOption(app, argument.substr(0, equals)) : nullptr;
    if (option == nullptr) {
      continue;
    }
    const bool takesValue = option->get_expected_min() > 0;
    const std::string value = equals == std::string::npos ? "" : argument.substr(equals);
    arguments[at] = "--" + option->get_lnames().front() + (value == "=" ? "" : value);
    if (value == "=" && takesValue) {
      // An empty value after "=" is a value all the same, as getopt_long takes it.
      arguments.insert(arguments.begin() + static_cast<std::ptrdiff_t>(at) + 1, "");
    }
    at += (value.empty() || value == "=") && takesValue ? 1 : 0;
  }
  std::reverse(arguments.begin(), arguments.end());
  return arguments;
}

}  // namespace

CLI::Option* AddValueOption(CLI::App& app, const std::string& name, const std::string& valueName,
                            const std::string& help, TakeValue take) {
  // The value is taken while CLI11 checks it, so that a refusal carries the program's own words.
  CLI::Option* option = app.add_option(name, help)->type_name(valueName);
  option->check(CLI::Validator(
      [take = std::move(take)](std::string& value) {
        const std::string fault = take(value);
        return fault.empty() ? fault : fault + ", not " + QuotedText(value);
      },
      ""));
  return option->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
}

CLI::Option* AddFlag(CLI::App& app, const std::string& name, const std::string& help,
                     std::function<void()> set) {
  // CLI11 hands a flag given without a value over as "true".
  return app.add_flag_callback(name, std::move(set), help)->check([](const std::string& value) {
    return value == "true" ? std::string() : "takes no value, not " + QuotedText(value);
  });
}

TakeValue WholeNumber(long long& field, long long lowest, long long highest) {
  return [&field, lowest, highest](const std::string& value) -> std::string {
    const auto number = ReadNumberText(value, lowest, highest);
    field = number.value_or(field);
    return number ? ""
                  : "expects a whole number from " + std::to_string(lowest) + " to " +
                        std::to_string(highest);
  };
}

TakeValue Text(std::string& field) {
  return [&field](const std::string& value) {
    field = value;
    return std::string();
  };
}

void FinishCommandLine(CLI::App& app, const std::string& version, const std::string& helpFlag) {
  const auto formatter = std::make_shared<HelpFormatter>();
  app.set_version_flag("--version", version, "print the version and exit");
  // What nothing takes is left over for `ReadCommandLine` to name.
  app.allow_extras();
  for (CLI::App* each : app.get_subcommands({})) {
    each->formatter(formatter)->set_help_flag(helpFlag, "print this help and exit");
  }
  app.formatter(formatter)->set_help_flag(helpFlag, "print this help and exit");
}

CommandLineOutcome ReadCommandLine(CLI::App& app, int argc, const char* const* argv,
                                   const std::function<std::string()>& check) {
  std::string refusal;
  try {
    app.parse(WrittenOut(app, argc, argv));
    // An unknown option is told first, what the program checks next, a stray operand last.
    const std::string option = Leftover(app, true);
    refusal = !option.empty() ? "unknown or ambiguous option " + QuotedText(option)
              : check         ? check()
                              : "";
    const std::string operand = Leftover(app, false);
    if (refusal.empty() && !operand.empty()) {
      refusal = "unexpected argument " + QuotedText(operand);
    }
  } catch (const CLI::CallForHelp&) {
    std::fputs(app.help().c_str(), stdout);
    return CommandLineOutcome::Answered;
  } catch (const CLI::CallForVersion& version) {
    std::printf("%s\n", version.what());
    return CommandLineOutcome::Answered;
  } catch (const CLI::Error& error) {
    refusal = error.what();
  }
  if (refusal.empty()) {
    return CommandLineOutcome::Run;
  }
  const std::string name = app.get_name();
  std::fprintf(stderr, "%s: %s\nTry '%s --help'.\n", name.c_str(), refusal.c_str(), name.c_str());
  return CommandLineOutcome::Refused;
}
