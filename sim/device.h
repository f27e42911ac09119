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

#include "image/image_buffer.h"
#include "sim/device_settings.h"

namespace devsim {

/// An IPv4 address and UDP port; the address's first number comes first.
struct Ipv4Endpoint {
  std::array<uint8_t, 4> address{};
  uint16_t port = 0;
};

/// One datagram as the device received it.
struct Incoming {
  std::span<const uint8_t> bytes;
  Ipv4Endpoint sender;
  /// The device's own address as the sender sees it (where its datagram arrived, or for a
  /// broadcast the address the device answers from); discovery announces it by default.
  std::array<uint8_t, 4> localAddress{};
};

/// One datagram for the sender of the datagram answered, `delayMilliseconds` after it arrived.
struct Reply {
  std::vector<uint8_t> bytes;
  int delayMilliseconds = 0;
};

/// What the device does about one datagram.
struct Outcome {
  std::vector<Reply> replies;
  /// The datagram's line in the log, without line end: "KIND STEP BLOCK OUTCOME DETAIL" (see
  /// torvane-devsim(1)).
  std::string log;
  /// The update's fifth closing "R" has come.
  bool updateEnded = false;
  /// With `updateEnded`: every block from 0 up was programmed and then verified in the last cycle.
  bool updateSucceeded = false;
  /// The setting string that arrived and was taken, if one did.
  std::optional<std::string> setting;
};

/// The simulated device: it holds the dialogue's state and the programmed blocks, and has no
/// sockets, clocks or output of its own, so a test drives it datagram by datagram.
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
  // An echo and a completing reply are named by a step (`DialogueStep`); fillers and extras not.
  enum class Role { Echo, Completion, Filler, Extra };
  struct PlannedReply {
    uint8_t byte;
    Role role;
    int delayMilliseconds;
  };

  void HandleManagement(const Incoming& datagram, Outcome& outcome);
  void AnswerManagement(const Incoming& datagram, uint16_t requestCode, bool discovery,
                        Outcome& outcome);
  void HandleTransfer(const Incoming& datagram, Outcome& outcome);
  void HandleRecord(std::span<const uint8_t> bytes, Outcome& outcome);
  void HandleR(Outcome& outcome);
  void EndUpdate(Outcome& outcome);
  // Answers step `kind` `index` of the transfer dialogue: its echo, `fillers` times '0', the
  // completing reply `completion` `delayMilliseconds` late, and after a refusal ('0') one '0'
  // more, all as the faults shape them. The log line is `line` followed by the replies sent.
  void Emit(char kind, int index, uint8_t completion, std::string line, Outcome& outcome,
            int fillers = 0, int delayMilliseconds = 0);
  std::vector<Reply> ScriptedReplies(char kind, int index, const std::vector<PlannedReply>& planned,
                                     std::string& line);
  void AddRandomFaults(Reply reply, Outcome& outcome, std::vector<std::string>& tokens);
  bool FaultsApply() const;
  bool UpdateFaultsApply() const;
  bool Draw(double rate);
  bool Contiguous() const;
  int HighestBlock() const;

  DeviceSettings settings_;
  bool started_ = false;
  bool silent_ = false;
  bool open_ = false;
  bool erased_ = false;
  bool finished_ = false;
  int probes_ = 0;
  int cycle_ = 0;
  int closingRs_ = 0;
  int updatesEnded_ = 0;
  uint64_t random_;
  std::array<uint8_t, ImageCapacity> memory_{};
  static constexpr int BlockCount = ImageCapacity / ImageBlockSize;
  std::bitset<BlockCount> programmed_;
  std::bitset<BlockCount> verified_;
  // The tries of each block's records since the erase: [0] program, [1] verify.
  std::array<std::array<int, BlockCount>, 2> tries_{};
};

}  // namespace devsim
