// SPDX-License-Identifier: Apache-2.0
// Discovery and target preparation on replies of any length and content from the fuzzer's bytes.
// Whatever arrives, discovery writes an address only for exactly one answer, and then a dotted
// quad; preparation sends the setting and start-update only after an accepted reply; both close.
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "app/console.h"
#include "management/discovery.h"
#include "management/target_preparation.h"
#include "tests/unit/scripted_device.h"

namespace {

// The datagrams that `bytes` hold, each a length byte and as many bytes after it (an empty one
// fails its receive).
void Queue(ScriptedSocket& socket, std::span<const uint8_t> bytes) {
  while (!bytes.empty()) {
    const size_t length = std::min<size_t>(bytes[0], bytes.size() - 1);
    socket.incoming.emplace_back(bytes.begin() + 1, bytes.begin() + 1 + length);
    bytes = bytes.subspan(1 + length);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  ConsoleCapture console;
  ScriptedSocket discovery, preparation;
  Queue(discovery, {data, size / 2});
  Queue(preparation, {data + size / 2, size - size / 2});
  AddressText target{};
  const int count = DiscoverDevice(discovery, target);
  const std::string_view address(target.data(), strnlen(target.data(), target.size()));
  const bool dottedQuad = address.size() >= 7 && address.size() <= 15 &&
                          address.find_first_not_of("0123456789.") == std::string_view::npos;
  if (count < 0 || discovery.open || discovery.sent.size() != 1 ||
      (count == 1 ? !dottedQuad : !address.empty())) {
    std::abort();
  }
  const std::string setting(size % 3 == 0 ? "" : "site");
  const int prepared = PrepareTarget(preparation, "127.0.0.1", setting);
  const size_t sent = preparation.sent.size();
  if (preparation.open ||
      sent != (prepared == 0     ? 1
               : setting.empty() ? 2
                                 : 3) ||
      (prepared == 1 && !preparation.sent.back().ends_with("43213074" + std::string(32, '0')))) {
    std::abort();
  }
  return 0;
}
