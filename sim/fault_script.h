// SPDX-License-Identifier: Apache-2.0
// The faults that DeviceSettings asks of the simulated device: silence from a step on, wrong
// bytes, two-byte replies, refused records, a slow erase, and replies dropped, doubled or late.
#pragma once

#include <cstdint>
#include <vector>

#include "sim/device_settings.h"

namespace devsim {

/// One datagram for the sender of the datagram answered, `delayMilliseconds` after it arrived.
struct Reply {
  std::vector<uint8_t> bytes;
  int delayMilliseconds = 0;
};

/// A reply of the transfer dialogue as the device means it, before the faults. An echo and a
/// completing reply are named by a step (`DialogueStep`); fillers and extras are not.
struct PlannedReply {
  enum class Role { Echo, Completion, Filler, Extra };
  uint8_t byte;
  Role role;
  int delayMilliseconds;
};

/// A datagram as the faults left it: sent, or dropped (and then shown in the log only).
struct PlayedReply {
  Reply reply;
  bool dropped = false;
};

/// What the faults made of the replies to one datagram.
struct PlayedReplies {
  std::vector<PlayedReply> replies;
  /// The silence of `silentFrom` began with this datagram.
  bool silenceBegan = false;
};

/// How the erase of one cycle ends: its '1' after `fillers` replies '0', `delayMilliseconds` late.
struct EraseTiming {
  int fillers = 0;
  int delayMilliseconds = 0;
};

/// Plays the faults of `DeviceSettings` on the device's replies. It holds what the faults
/// remember (the silence once begun, the updates ended, the random generator) and knows nothing of
/// the dialogue but the cycle and step it is told.
class FaultScript {
 public:
  explicit FaultScript(DeviceSettings settings);

  /// True from the step of `silentFrom` on, to the end of that update when `faultUpdates` limits
  /// the faults: the device then answers nothing, management requests included.
  bool Silent() const { return silent_; }
  /// The erase of `cycle`: slow when `eraseReads` or `eraseMilliseconds` ask so in this cycle.
  EraseTiming Erase(int cycle) const;
  /// True when try `tries` of the `kind` record of block `block` is to be refused (`refusals`).
  bool Refuses(char kind, int block, int tries, int cycle) const;
  /// The datagrams that answer step `kind` `index` of `cycle` (see `DialogueStep`), made of
  /// `planned`: silence from a step on, wrong bytes (the last one named wins), an echo sent
  /// together with the reply after it, then the random drops, delays and duplicates, drawn in
  /// that order for each datagram.
  PlayedReplies Play(char kind, int index, int cycle, const std::vector<PlannedReply>& planned);
  /// The update has ended with its closing: counts it, and ends a silence limited to updates.
  void UpdateEnded();

 private:
  bool ApplyInCycle(int cycle) const;
  bool ApplyInUpdate() const;
  std::vector<Reply> Scripted(char kind, int index, int cycle,
                              const std::vector<PlannedReply>& planned, bool& silenceBegan);
  void AddRandomFaults(Reply reply, std::vector<PlayedReply>& played);
  bool Draw(double rate);

  const DeviceSettings settings_;
  bool silent_ = false;
  int updatesEnded_ = 0;
  uint64_t random_;
};

}  // namespace devsim
