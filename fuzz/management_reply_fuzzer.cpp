// Discovery and target preparation on replies of any length and content, played from the
// fuzzer's bytes behind the management socket interface. Whatever arrives, discovery writes the
// address field only for exactly one answer and then with a dotted quad, preparation sends two or
// three datagrams only to a device of the expected type, and both close their socket.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "app/console.h"
#include "management/discovery.h"
#include "management/management_datagram.h"
#include "management/target_preparation.h"

namespace {

// Reads events from the fuzzer's bytes: a silent second, a receive that fails, or a datagram of
// the length the next byte gives.
class FuzzedSocket final : public ManagementSocket {
 public:
  explicit FuzzedSocket(std::span<const uint8_t> script) : script_(script) {}

  bool Open() override { return open_ = Next() != 0xFF; }
  bool EnableBroadcast() override { return true; }
  int SendDatagram(std::span<const uint8_t> datagram, uint16_t, const char*) override {
    sent.emplace_back(datagram.begin(), datagram.end());
    return static_cast<int>(datagram.size());
  }
  bool WaitReadable(int) override {
    // Bounded by the script: every wait consumes at least one byte, and an empty script is silent.
    const uint8_t event = Next();
    failNext_ = event < 0x20;
    return event >= 0x10;
  }
  int ReceiveDatagram(std::span<uint8_t> buffer) override {
    if (failNext_) {
      return -1;
    }
    const size_t length = Next();
    const size_t available = std::min(length, script_.size() - position_);
    const auto datagram = script_.subspan(position_, available);
    position_ += available;
    const size_t count = std::min(buffer.size(), datagram.size());
    std::copy_n(datagram.begin(), count, buffer.begin());
    return static_cast<int>(count);
  }
  void Close() override { open_ = false; }

  bool IsOpen() const { return open_; }
  std::vector<std::vector<uint8_t>> sent;

 private:
  uint8_t Next() { return position_ < script_.size() ? script_[position_++] : 0; }

  std::span<const uint8_t> script_;
  size_t position_ = 0;
  bool open_ = false;
  bool failNext_ = false;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  ConsoleCapture console;
  const std::span<const uint8_t> input(data, size);
  const size_t half = size / 2;

  AddressText target{};
  FuzzedSocket discovery(input.first(half));
  const int count = DiscoverDevice(discovery, target);
  if (count < 0 || discovery.IsOpen() || discovery.sent.size() > 1) {
    std::abort();
  }
  if (count == 1) {
    const size_t length = strnlen(target.data(), target.size());
    if (length < 7 || length > 15 ||
        std::string_view(target.data(), length).find_first_not_of("0123456789.") !=
            std::string::npos) {
      std::abort();
    }
  } else if (target[0] != '\0') {
    std::abort();
  }

  FuzzedSocket preparation(input.subspan(half));
  const std::string setting(half % 3 == 0 ? "" : "site");
  const int prepared = PrepareTarget(preparation, "127.0.0.1", setting);
  const size_t expectedSent = prepared == 1 ? (setting.empty() ? 2 : 3) : 1;
  if (preparation.IsOpen() ||
      (preparation.sent.size() != expectedSent && !(prepared == 0 && preparation.sent.empty()))) {
    std::abort();
  }
  if (prepared == 1 && preparation.sent.back()[3] != 0x74) {
    std::abort();
  }
  return 0;
}
