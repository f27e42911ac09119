// SPDX-License-Identifier: Apache-2.0
// The command line's parser and the run's one ProgramOptions record.
#include "app/program_options.h"

#include <algorithm>
#include <cstring>
#include <string_view>

ProgramOptions programOptions;

namespace {

void SetTargetAddress(ProgramOptions& options, std::string_view argument) {
  const size_t room = options.targetAddress.size() - 1;
  const size_t length = std::min(argument.size(), room);
  std::copy_n(argument.data(), length, options.targetAddress.data());
  options.targetAddress[length] = '\0';
  options.targetAddressTooLong = argument.size() > room;
}

}  // namespace

void ParseCommandLine(int argc, const char* const* argv, ProgramOptions& options) {
  for (int index = 1; index < argc; ++index) {
    const std::string_view argument = argv[index];
    if (argument == "-e") {
      options.encodeMode = true;
      ++index;
      options.outputFile = index < argc ? argv[index] : "";
    } else if (argument.size() >= 3 && (argument.starts_with("-p") || argument.starts_with("-P"))) {
      options.settingString = argument.substr(2);
    } else if (options.inputFile.empty()) {
      options.inputFile = argument;
    } else if (options.targetAddress[0] == '\0') {
      SetTargetAddress(options, argument);
    }
  }
}
