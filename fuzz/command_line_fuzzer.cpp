// The command line on any argument list (the fuzzer's bytes split at zero bytes), up to the point
// where the run would touch a file or the network: parsing, then the address check the update
// path makes. The address field must stay terminated inside its 32 bytes, and an address the
// check lets through must be a dotted quad that fits the field.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "app/program_options.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<std::string> arguments = {"torvane-fwupdate"};
  std::string current;
  for (size_t i = 0; i < size; ++i) {
    if (data[i] == 0) {
      arguments.push_back(current);
      current.clear();
    } else {
      current.push_back(static_cast<char>(data[i]));
    }
  }
  arguments.push_back(current);
  std::vector<const char*> argv;
  for (const std::string& argument : arguments) {
    argv.push_back(argument.c_str());
  }

  ProgramOptions options;
  ParseCommandLine(static_cast<int>(argv.size()), argv.data(), options);

  if (std::memchr(options.targetAddress.data(), '\0', options.targetAddress.size()) == nullptr) {
    std::abort();
  }
  if (!options.settingString.empty() && options.settingString.find('\0') != std::string::npos) {
    std::abort();
  }
  const bool accepted = options.targetAddress[0] != '\0' && !options.targetAddressTooLong &&
                        ParseDottedQuad(options.targetAddress.data()) != 0;
  if (accepted && std::strlen(options.targetAddress.data()) > 31) {
    std::abort();
  }
  return 0;
}
