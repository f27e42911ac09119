// The simulated device: one datagram in, its replies and one log line out, with the record
// unmasking and the setting record's reading that it needs.
#pragma once

#include <array>
#include <bitset>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "image/image_buffer.h"
#include "net/device_port.h"
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
  /// The datagram's line in the dialogue log, without line end: "KIND STEP BLOCK OUTCOME DETAIL"
  /// (see torvane-devsim(1)).
  std::string log;
  /// The closing of an update has been received (its fifth closing "R").
  bool updateEnded = false;
  /// With `updateEnded`: every block from 0 up was programmed and then verified in the last cycle.
  bool updateSucceeded = false;
  /// A setting string arrived and was taken (see `Device::Setting`).
  bool settingReceived = false;
};

/// A block record with its masking undone.
struct UnmaskedRecord {
  uint8_t command = 0;
  uint8_t reserved = 0;
  uint32_t offset = 0;
  std::array<uint8_t, ImageBlockSize> data{};
};

/// Bytes of a block record on the wire: command, reserved byte, offset, data, pad.
inline constexpr int BlockRecordLength = 326;

/// Takes the pad (record bytes 262..325) and the `ImageKey` off a block record: the offset is
/// bytes 2..5 XOR pad[17..20], most significant byte first; data[i] is byte 6 + i XOR
/// pad[i % 64] XOR key[i % 32], the utility's image buffer at offset + i, that is the image
/// file's byte XOR the key (the firmware itself when the file is an encoded image). Returns
/// nothing when `record` is not `BlockRecordLength` bytes.
std::optional<UnmaskedRecord> UnmaskBlockRecord(std::span<const uint8_t> record);

/// The items of a 104-byte setting record.
struct SettingRecordItems {
  std::array<uint8_t, 6> deviceId{};
  std::string text;
};

/// Reads a setting record: 43 21 30 3F, the item 3/6/device id, the item 5/n/text with n from 1
/// to 89 and no zero byte inside the text, then zero bytes to the end of the 104. Returns nothing
/// and puts the first fault found into `fault` ("record of 103 bytes", "text item length 0", ...)
/// for anything else.
std::optional<SettingRecordItems> ParseSettingRecord(std::span<const uint8_t> record,
                                                     std::string& fault);

/// The simulated device: answers one datagram at a time with the replies and log line of an
/// `Outcome`. It holds the dialogue's state and the programmed blocks, and has no sockets, clocks
/// or output of its own, so a test drives it datagram by datagram.
class Device {
 public:
  explicit Device(DeviceSettings settings);

  /// Answers `datagram`. Malformed or unexpected datagrams get no reply and a log line saying
  /// why; they never fail the call.
  Outcome Handle(const Incoming& datagram);

  /// The image file as received since the last erase: every programmed block's data with the key
  /// applied again (which gives the file's own bytes, zero past its end), zero for the blocks
  /// never programmed, up to the end of the highest programmed block. Empty when no block was
  /// programmed.
  std::vector<uint8_t> StoredImage() const;

  /// The last setting string received, if any.
  const std::optional<std::string>& Setting() const { return setting_; }

 private:
  enum class Role { Echo, Completion, Filler, Extra };
  struct PlannedReply {
    uint8_t byte;
    Role role;
    int delayMilliseconds;
  };

  void HandleManagement(const Incoming& datagram, Outcome& outcome);
  void AnswerManagement(const Incoming& datagram, const ManagementReplySettings& replies,
                        bool discovery, Outcome& outcome);
  void HandleTransfer(const Incoming& datagram, Outcome& outcome);
  void HandleRecord(const Incoming& datagram, Outcome& outcome);
  void HandleR(Outcome& outcome);
  // Answers one step of the transfer dialogue with `planned` as the faults shape it; the log line
  // is `line` followed by the replies sent.
  void Emit(char kind, int index, const std::vector<PlannedReply>& planned, std::string line,
            Outcome& outcome);
  std::vector<Reply> ScriptedReplies(char kind, int index, const std::vector<PlannedReply>& planned,
                                     std::string& line);
  uint8_t ScriptedByte(char kind, int index, bool completion, uint8_t byte) const;
  bool SentWithNext(char kind, int index) const;
  void AddRandomFaults(Reply reply, Outcome& outcome, std::vector<std::string>& tokens);
  bool FaultsApply() const;
  bool UpdateFaultsApply() const;
  bool Draw(double rate);
  bool Complete() const;
  bool Contiguous() const;
  int HighestBlock() const;
  void EndUpdate(Outcome& outcome);

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
  std::array<int, BlockCount> programTries_{};
  std::array<int, BlockCount> verifyTries_{};
  std::optional<std::string> setting_;
};

}  // namespace devsim
