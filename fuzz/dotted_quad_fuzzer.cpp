// The address check on any bytes: it must never read past the text, and whatever it accepts must
// mean what it says, so printing the result and checking that again gives the same address.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "net/dotted_quad.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  const uint32_t address = ParseDottedQuad(text.c_str());
  if (address == 0) {
    return 0;
  }
  uint8_t parts[4];
  std::memcpy(parts, &address, sizeof parts);
  char printed[16];
  std::snprintf(printed, sizeof printed, "%u.%u.%u.%u", parts[0], parts[1], parts[2], parts[3]);
  if (ParseDottedQuad(printed) != address) {
    std::abort();
  }
  // Only digits, dots and trailing spaces can make up an accepted text (it ends at its first
  // zero byte).
  const std::string read = text.substr(0, text.find('\0'));
  if (read.find_first_not_of("0123456789. ") != std::string::npos) {
    std::abort();
  }
  return 0;
}
