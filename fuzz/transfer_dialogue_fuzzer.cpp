// The whole transfer dialogue against a device whose every reply comes from the fuzzer's bytes:
// time-outs, failures, one-byte answers and datagrams of any length. Pauses are counted, not
// slept. Every run must end within the sequence's own bounds on reads and sends, pause exactly as
// the protocol says, close its socket, and report success only after a complete verify phase.
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "app/console.h"
#include "image/image_buffer.h"
#include "transfer/transfer_protocol.h"
#include "transfer/transfer_sequence.h"

namespace {

class FuzzedDevice final : public TransferLink {
 public:
  explicit FuzzedDevice(std::span<const uint8_t> script) : script_(script) {}

  int Open() override { return 1; }
  int Connect(const char*, uint16_t) override { return 1; }
  int Send(const uint8_t*, int length) override {
    ++sends;
    return length;
  }
  int Receive(uint8_t* buffer, int capacity) override {
    ++reads;
    // Once the script is spent, the device is silent.
    if (position_ >= script_.size()) {
      return 0;
    }
    const uint8_t event = Next();
    switch (event % 4) {
      case 0:
        return 0;
      case 1:
        return -1;
      case 2:
        buffer[0] = Next();
        return 1;
      default: {
        const int length = std::min<int>(Next() * 5, capacity);
        for (int i = 0; i < length; ++i) {
          buffer[i] = Next();
        }
        return length;
      }
    }
  }
  // Every scripted reply counts as one that arrives after the datagram it follows, so none is
  // waiting to be dropped.
  void DiscardQueuedReplies(int) override {}
  int Close() override {
    ++closes;
    return 0;
  }
  void Pause(int milliseconds) override { pauses.push_back(milliseconds); }

  long reads = 0;
  long sends = 0;
  int closes = 0;
  std::vector<int> pauses;

 private:
  uint8_t Next() { return position_ < script_.size() ? script_[position_++] : 0; }

  std::span<const uint8_t> script_;
  size_t position_ = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) {
    return 0;
  }
  static const auto image = std::make_unique<ImageBuffer>();
  const long blocks = 1 + data[0] % 4;
  image->size = static_cast<int32_t>(blocks * ImageBlockSize);

  ConsoleCapture console;
  FuzzedDevice device(std::span<const uint8_t>(data + 1, size - 1));
  const int result = RunTransferSequence(device, *image, "127.0.0.1");

  const long phaseReads = blocks * BlockTries * 3;
  const long cycleReads = 1 + EraseWaitReads + 2 * phaseReads + 3;
  const long maxReads = 2 + 2 * ProbeCount + TransferCycles * cycleReads;
  const long cycleSends = 1 + 2 * blocks * BlockTries + 1;
  const long maxSends = 1 + ProbeCount + TransferCycles * cycleSends + 5;
  if (result < 0 || result > 1 || device.reads > maxReads || device.sends > maxSends ||
      device.closes != 1) {
    std::abort();
  }
  const std::vector<int> expectedPauses = {500, 10, 10, 10, 10, 10};
  if (device.pauses != expectedPauses) {
    std::abort();
  }
  const std::string& text = console.Text();
  if (result == 1 && (text.find("Verify") == std::string::npos || !text.ends_with("100 %\n"))) {
    std::abort();
  }
  return 0;
}
