// SPDX-License-Identifier: Apache-2.0
// What shapes the simulated device's answers: its identity and the faults it plays, with the
// step names that the faults use.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <vector>

namespace devsim {

/// One reply of the transfer dialogue, or a pattern of them, named as on the command line:
/// a letter S, T, E, P, V or R (the datagram answered), an optional number, and ".1" for the reply
/// that completes the step instead of its echo. The number is the probe (1 to 10) for T, the
/// erase cycle (1 = the first "E" after "S") for E, and the block (offset / 256, from 0) for P and
/// V; S and R take none. "P3" is the 'P' echo of block 3, "P3.1" its '1' (or '0' when refused),
/// "E.1" the '1' that ends any erase, "T10" the echo of the tenth probe.
struct DialogueStep {
  char kind = 0;
  /// -1 matches every number.
  int index = -1;
  /// False: the echo; true: the completing reply ('1', or '0' for a refused record).
  bool completion = false;

  bool Matches(char replyKind, int replyIndex, bool replyCompletion) const {
    return kind == replyKind && (index < 0 || index == replyIndex) && completion == replyCompletion;
  }
};

/// How the device answers one kind of management request (discovery or identification).
struct ManagementReplySettings {
  /// Replies sent per request: 0 keeps the device silent, 2 answers twice.
  int count = 1;
  /// Every reply to the request leaves this long after it.
  int delayMilliseconds = 0;
  /// The code echoed in bytes 2..3; nothing means the request's own code.
  std::optional<uint16_t> code;
  /// Bytes per reply: fewer than 20 cut the reply short, more add bytes 0xEE after it.
  int length = 20;
};

/// A reply the device gets wrong: `step` carries `byte` instead.
struct WrongByte {
  DialogueStep step;
  uint8_t byte = '?';
};

/// The first `tries` records of the blocks that `block` names ("P3", "V" for every block) are
/// refused, counted afresh in every program or verify phase.
struct Refusal {
  DialogueStep block;
  int tries = 0;
};

/// Everything that shapes the device's answers. The defaults are a sound device that answers at
/// once.
struct DeviceSettings {
  /// The transfer dialogue is refused until a start-update request arrives, as on the device.
  bool startRequired = true;
  /// Announced by discovery; nothing means the address the request reached.
  std::optional<std::array<uint8_t, 4>> announcedAddress;
  uint16_t deviceType = 1;
  std::array<uint8_t, 6> deviceId = {0x00, 0x1B, 0x2C, 0x3D, 0x4E, 0x5F};
  ManagementReplySettings discovery;
  ManagementReplySettings identify;

  /// From this reply on the device answers nothing at all.
  std::optional<DialogueStep> silentFrom;
  std::vector<WrongByte> wrongBytes;
  /// Echoes sent in one datagram together with the reply that follows them ('P' and '1').
  std::vector<DialogueStep> twoByteReplies;
  std::vector<Refusal> refusals;
  /// The erase's '1' comes as reply number `eraseReads` after the 'E' (fillers '0' before it),
  /// and `eraseMilliseconds` after the "E", never before the last filler.
  int eraseReads = 1;
  int eraseMilliseconds = 0;
  /// The fillers come this far apart, the first this long after the "E": a person watching the
  /// utility sees its marks grow one by one.
  int eraseGapMilliseconds = 0;
  /// Wrong bytes, two-byte replies, refusals and the erase's length and gaps apply only to this
  /// many update cycles (0: to all); the probes and the opening count as cycle 0.
  int faultCycles = 0;
  /// Every scripted fault (the silence, wrong bytes, two-byte replies, refusals and the erase's
  /// length and gaps) applies only to this many updates (0: to all), each ended by its closing; the
  /// silence ends with its update.
  int faultUpdates = 0;

  /// Random faults on the transfer dialogue's replies, drawn from a generator seeded with `seed`.
  double dropRate = 0;
  double duplicateRate = 0;
  double delayRate = 0;
  int delayMilliseconds = 0;
  uint64_t seed = 1;
};

}  // namespace devsim
