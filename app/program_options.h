// SPDX-License-Identifier: Apache-2.0
// ProgramOptions, what the command line asked for, and the parser that fills it.
#pragma once

#include <string>

#include "common/dotted_quad.h"

/// What the command line asked for. Filled by `ParseCommandLine`; discovery writes
/// `targetAddress` when none was given.
struct ProgramOptions {
  std::string inputFile;
  std::string outputFile;
  /// Written into the device before the update when not empty.
  std::string settingString;
  /// The second positional argument, at most 31 characters and a terminating zero.
  AddressText targetAddress{};
  /// Set when the argument that landed in `targetAddress` did not fit and was cut; the address
  /// check refuses such an address.
  bool targetAddressTooLong = false;
  bool encodeMode = false;
};

/// The options of the run.
extern ProgramOptions programOptions;

/// Takes the arguments after the program's name (`argv[1]` to `argv[argc - 1]`) from left to
/// right into `options`. Each argument goes to the first rule that applies: "-e" sets
/// `encodeMode` and consumes the next argument, if any, as `outputFile`; "-p" or "-P" followed by
/// at least one character sets `settingString` to that rest; otherwise it fills `inputFile`, then
/// `targetAddress`, when empty, and is ignored after both. Later options win. Never fails.
void ParseCommandLine(int argc, const char* const* argv, ProgramOptions& options);
