// SPDX-License-Identifier: Apache-2.0
// Reading a command line with CLI11, the one way the programs read theirs: options whose values
// are taken by the program's own readers, flags that take no value, help laid out one line per
// option, and a refusal told in one line.
#pragma once

#include <functional>
#include <string>

// CLI11's own header is for the files that set a command line up: it is large, and the programs'
// other files need no more than these names.
namespace CLI {
class App;
class Option;
}  // namespace CLI

/// Takes one value of an option into the program's settings. Returns "" when it was taken,
/// otherwise what the option expects ("expects a whole number from 1 to 3600").
using TakeValue = std::function<std::string(const std::string& value)>;

/// Adds the option `name` ("--wait"; or "ADDRESS", an operand) to `app`, its value shown as
/// `valueName` in the help. Each value given is handed to `take` in the order given, so that a
/// later one wins or adds to a list; one that `take` refuses refuses the command line ("--wait:
/// expects a whole number from 1 to 3600, not '0'", the value shown as `QuotedText` shows it).
/// An operand takes one argument, or with `->expected(-1)` every one left.
CLI::Option* AddValueOption(CLI::App& app, const std::string& name, const std::string& valueName,
                            const std::string& help, TakeValue take);

/// Adds the flag `name` to `app`: `set` runs when it is given; a value (`--json=yes`) refuses the
/// command line.
CLI::Option* AddFlag(CLI::App& app, const std::string& name, const std::string& help,
                     std::function<void()> set);

/// Takes a whole decimal number from `lowest` to `highest` (`ReadNumberText`) into `field`.
TakeValue WholeNumber(long long& field, long long lowest, long long highest);
template <typename Field>
TakeValue WholeNumber(Field& field, long long lowest, long long highest) {
  return [&field, lowest, highest](const std::string& value) {
    long long number = 0;
    const std::string fault = WholeNumber(number, lowest, highest)(value);
    field = fault.empty() ? static_cast<Field>(number) : field;
    return fault;
  };
}

/// Takes the value as it is into `field`.
TakeValue Text(std::string& field);

/// Completes `app` and its commands after their options are added: their help laid out as written
/// (the description first, which holds the usage lines; then each group of options, one line
/// each; then the footer), `--version` printing `version` on `app`, and `helpFlag` ("-h,--help" or
/// "--help") last in each list.
void FinishCommandLine(CLI::App& app, const std::string& version, const std::string& helpFlag);

/// How reading a command line ended.
enum class CommandLineOutcome { Run, Answered, Refused };

/// Reads `argv[1]` to `argv[argc - 1]` with `app`, then checks what CLI11 cannot state with
/// `check` (which returns "" when the command line holds). `Answered` after printing the help of
/// the command named (or of the program) or the version on standard output; `Refused` after
/// writing "NAME: REASON" and "Try 'NAME --help'." on standard error; `Run` otherwise. Throws
/// nothing.
CommandLineOutcome ReadCommandLine(CLI::App& app, int argc, const char* const* argv,
                                   const std::function<std::string()>& check = {});
