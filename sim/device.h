// SPDX-License-Identifier: Apache-2.0
// The simulated device: one datagram in, its replies and one log line out.
#pragma once

#include <array>
#include <bitset>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "common/dotted_quad.h"
#include "image/image_buffer.h"
#include "sim/fault_script.h"

namespace devsim {

/// An IPv4 address and UDP port; the address's first number comes first.
struct Ipv4Endpoint {
  AddressBytes address{};
  uint16_t port = 0;
};

/// One datagram as the device received it.
struct Incoming {
  std::span<const uint8_t> bytes;
  Ipv4Endpoint sender;
  /// The device's own address as the sender sees it (where its datagram arrived, or for a
  /// broadcast the address the device answers from); discovery announces it by default.
  AddressBytes localAddress{};
};

/// What the device does about one datagram.
struct Outcome {
  std::vector<Reply> replies;
  /// The datagram's line in the log, without line end (see log_text.h).
  std::string log;
  /// The update's fifth closing "R" has come.
  bool updateEnded = false;
  /// With `updateEnded`: every block from 0 up was programmed and then verified in the last cycle.
  bool updateSucceeded = false;
  /// The setting string that arrived and was taken, if one did.
  std::optional<std::string> setting;
};

/// The simulated device: it holds the dialogue's state and the programmed blocks, and has no
/// sockets, clocks or output of its own, so a test drives it datagram by datagram. Its faults are
/// the `FaultScript`'s, its log's words those of log_text.h.
class Device {
 public:
  explicit Device(DeviceSettings settings);

  /// Answers `datagram`. A malformed or unexpected datagram gets no reply and a log line saying
  /// why; it never fails the call.
  Outcome Handle(const Incoming& datagram);

  /// The image file as received since the last erase, up to the end of the highest programmed
  /// block: the programmed blocks with the key applied again (which gives the file's own bytes),
  /// zeros elsewhere. Empty when no block was programmed.
  std::vector<uint8_t> StoredImage() const;

 private:
  // Where the transfer dialogue stands: before the start-update request, after it, opened by
  // "S", finished by the "R" that follows a whole verify. An erase reopens a finished dialogue.
  enum class Dialogue { AwaitingStart, Started, Open, Finished };
  // A block record with its pad and key taken off.
  struct Record {
    char kind;
    uint8_t reserved;
    uint32_t offset;
    std::array<uint8_t, ImageBlockSize> data;
  };
  static constexpr int BlockCount = ImageCapacity / ImageBlockSize;

  void HandleManagement(const Incoming& datagram, Outcome& outcome);
  void AnswerManagement(const Incoming& datagram, uint16_t requestCode, Outcome& outcome);
  void TakeSetting(const Incoming& datagram, Outcome& outcome) const;
  void HandleTransfer(const Incoming& datagram, Outcome& outcome);
  void Open(const Incoming& datagram, Outcome& outcome);
  void Probe(std::span<const uint8_t> bytes, Outcome& outcome);
  void Erase(Outcome& outcome);
  void HandleRecord(std::span<const uint8_t> bytes, Outcome& outcome);
  std::string TakeRecord(const Record& record, int block, int tries);
  std::string Verify(const Record& record, int block);
  void HandleR(Outcome& outcome);
  void EndUpdate(Outcome& outcome);
  // Answers step `kind` `index`: its echo, `fillers` times '0', the completing reply `completion`
  // `delayMilliseconds` late, and after a refusal ('0') one '0' more, all as the faults shape
  // them. The log line is `line` followed by the replies.
  void Answer(char kind, int index, uint8_t completion, const std::string& line, Outcome& outcome,
              EraseTiming erase = {});
  bool Contiguous() const;
  int HighestBlock() const;

  const DeviceSettings settings_;
  FaultScript faults_;
  Dialogue dialogue_;
  int probes_ = 0;
  // Erases since the last "S": 0 until the first, without which no record is taken.
  int cycle_ = 0;
  int closingRs_ = 0;
  std::array<uint8_t, ImageCapacity> memory_{};
  std::bitset<BlockCount> programmed_;
  std::bitset<BlockCount> verified_;
  // The tries of each block's records since the erase: [0] program, [1] verify.
  std::array<std::array<int, BlockCount>, 2> tries_{};
};

}  // namespace devsim
