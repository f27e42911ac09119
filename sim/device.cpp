// SPDX-License-Identifier: Apache-2.0
// The simulated device's behaviour: the management requests and the transfer dialogue, each
// datagram answered as a sound device would, with the faults of its FaultScript.
#include "sim/device.h"

#include <algorithm>
#include <utility>

#include "common/text_format.h"
#include "sim/log_text.h"

namespace devsim {

namespace {

// The protocol's numbers and layouts, written here again on purpose rather than taken from the
// library's headers: the simulator checks the library, so a mistake there must not become its
// own. Only the image's sizes and key are shared, as the file's own description.
constexpr uint8_t MagicHigh = 0x43;
constexpr uint8_t MagicLow = 0x21;
constexpr uint16_t CmdDiscover = 0x3039;
constexpr uint16_t CmdIdentify = 0x303E;
constexpr uint16_t CmdWriteSetting = 0x303F;
constexpr uint16_t CmdStartUpdate = 0x3074;
constexpr size_t RequestLength = 20;
constexpr size_t SettingRecordLength = 104;
constexpr int MaxSettingLength = 89;
constexpr size_t ProbeLength = 513;
constexpr size_t BlockRecordLength = 326;
constexpr int PadOffset = 262;
constexpr int ClosingRs = 5;
// Bytes a long management reply carries after its 20, so they stand out in a capture.
constexpr uint8_t LongReplyFill = 0xEE;

std::string From(const Incoming& datagram) {
  return devsim::From(datagram.sender.address, datagram.sender.port);
}

// What is wrong with a setting record for the device `deviceId`, the first fault found; "" for a
// sound one (the item 3/6/device id, the item 5/n/text with n from 1 to 89 and no zero byte
// inside, then zeros to byte 104), whose text then goes to `text`.
std::string SettingRecordFault(std::span<const uint8_t> record,
                               const std::array<uint8_t, 6>& deviceId,
                               std::span<const uint8_t>& text) {
  if (record.size() != SettingRecordLength) {
    return FormatText("record of %zu bytes", record.size());
  }
  if (record[4] != 3 || record[5] != 6) {
    return FormatText("first item type %u length %u, expected type 3 length 6", record[4],
                      record[5]);
  }
  if (record[12] != 5) {
    return FormatText("second item type %u, expected 5", record[12]);
  }
  const int length = record[13];
  if (length < 1 || length > MaxSettingLength) {
    return FormatText("text item length %d", length);
  }
  const auto setting = record.subspan(14, length);
  if (std::ranges::find(setting, 0) != setting.end()) {
    return "zero byte inside the text";
  }
  // The terminating zero and everything after it must be zero.
  const auto rest = record.subspan(14 + length);
  const auto nonZero = std::ranges::find_if(rest, [](uint8_t b) { return b != 0; });
  if (nonZero != rest.end()) {
    return FormatText("byte %d after the text is not zero",
                      14 + length + static_cast<int>(nonZero - rest.begin()));
  }
  if (!std::equal(deviceId.begin(), deviceId.end(), record.begin() + 6)) {
    return "device id " + Escape(record.subspan(6, 6)) + " is not this device's";
  }
  text = setting;
  return "";
}

}  // namespace

Device::Device(DeviceSettings settings)
    : settings_(std::move(settings)),
      faults_(settings_),
      dialogue_(settings_.startRequired ? Dialogue::AwaitingStart : Dialogue::Started) {}

Outcome Device::Handle(const Incoming& datagram) {
  Outcome outcome;
  const auto bytes = datagram.bytes;
  if (bytes.size() >= 2 && bytes[0] == MagicHigh && bytes[1] == MagicLow) {
    HandleManagement(datagram, outcome);
  } else if (!bytes.empty()) {
    HandleTransfer(datagram, outcome);
  } else {
    outcome.log = LogLine("ignored", 0, -1, "empty", From(datagram));
  }
  return outcome;
}

void Device::HandleManagement(const Incoming& datagram, Outcome& outcome) {
  const auto bytes = datagram.bytes;
  if (bytes.size() < 4) {
    outcome.log =
        LogLine("ignored", 0, -1, "short",
                From(datagram) + FormatText(": management datagram of %zu bytes", bytes.size()));
    return;
  }
  const uint16_t code = static_cast<uint16_t>(bytes[2] << 8 | bytes[3]);
  // A request is exactly its four header bytes and sixteen zeros.
  const bool plain = bytes.size() == RequestLength &&
                     std::all_of(bytes.begin() + 4, bytes.end(), [](uint8_t b) { return b == 0; });
  if (plain && (code == CmdDiscover || code == CmdIdentify)) {
    AnswerManagement(datagram, code, outcome);
  } else if (plain && code == CmdStartUpdate) {
    dialogue_ = dialogue_ == Dialogue::AwaitingStart ? Dialogue::Started : dialogue_;
    outcome.log = LogLine("start", 0, -1, "taken", From(datagram) + ": transfer allowed");
  } else if (code == CmdWriteSetting) {
    TakeSetting(datagram, outcome);
  } else {
    outcome.log = LogLine(
        "ignored", 0, -1, "unknown",
        From(datagram) + FormatText(": management code 0x%04X in %zu bytes", code, bytes.size()));
  }
}

void Device::AnswerManagement(const Incoming& datagram, uint16_t requestCode, Outcome& outcome) {
  const bool discovery = requestCode == CmdDiscover;
  const ManagementReplySettings& replies = discovery ? settings_.discovery : settings_.identify;
  const AddressBytes address = settings_.announcedAddress.value_or(datagram.localAddress);
  const std::array<uint8_t, 6>& id = settings_.deviceId;
  const uint16_t code = replies.code.value_or(requestCode);
  const uint16_t type = settings_.deviceType;
  std::vector<uint8_t> reply = {MagicHigh, MagicLow, uint8_t(code >> 8), uint8_t(code)};
  reply.insert(reply.end(), address.begin(), address.end());
  reply.resize(12, 0);
  reply.insert(reply.end(), id.begin(), id.end());
  reply.insert(reply.end(), {uint8_t(type >> 8), uint8_t(type)});
  reply.resize(replies.length, LongReplyFill);

  const std::string detail =
      From(datagram) +
      (discovery ? ": announcing " + FormatAddress(address)
                 : FormatText(": type %u, id %02x:%02x:%02x:%02x:%02x:%02x", type, id[0], id[1],
                              id[2], id[3], id[4], id[5])) +
      (replies.code ? FormatText(", code 0x%04X", code) : "");
  const int count = faults_.Silent() ? 0 : replies.count;
  outcome.replies.assign(count, {reply, replies.delayMilliseconds});
  outcome.log =
      LogLine(discovery ? "discover" : "identify", 0, -1, count > 0 ? "answered" : "silent",
              detail + ListReplies(FormatText("%d bytes", replies.length),
                                   replies.delayMilliseconds, count));
}

void Device::TakeSetting(const Incoming& datagram, Outcome& outcome) const {
  std::span<const uint8_t> text;
  const std::string fault = SettingRecordFault(datagram.bytes, settings_.deviceId, text);
  if (!fault.empty()) {
    outcome.log = LogLine("setting", 0, -1, "refused", From(datagram) + ": " + fault);
    return;
  }
  outcome.log = LogLine(
      "setting", 0, -1, "taken",
      From(datagram) + ": \"" + Escape(text) + "\" (" + Plural(text.size(), "character") + ")");
  outcome.setting = std::string(text.begin(), text.end());
}

void Device::HandleTransfer(const Incoming& datagram, Outcome& outcome) {
  const uint8_t command = datagram.bytes[0];
  const size_t length = datagram.bytes.size();
  const bool known = (length == 1 && (command == 'S' || command == 'E' || command == 'R')) ||
                     (command == 'T' && length == ProbeLength) ||
                     ((command == 'P' || command == 'V') && length == BlockRecordLength);
  if (!known) {
    outcome.log = LogLine("ignored", 0, -1, "unknown",
                          From(datagram) + ": datagram of " + Plural(length, "byte") +
                              FormatText(" starting with 0x%02x", command));
  } else if (command == 'R') {
    HandleR(outcome);
  } else if (closingRs_ = 0; command == 'S') {
    // Anything but "R" between the "R"s means the closing has not begun.
    Open(datagram, outcome);
  } else if (dialogue_ == Dialogue::AwaitingStart || dialogue_ == Dialogue::Started) {
    outcome.log = LogLine("ignored", 0, -1, "unopened",
                          From(datagram) + FormatText(": '%c' before \"S\"", command));
  } else if (command == 'T') {
    Probe(datagram.bytes, outcome);
  } else if (command == 'E') {
    Erase(outcome);
  } else {
    HandleRecord(datagram.bytes, outcome);
  }
}

void Device::Open(const Incoming& datagram, Outcome& outcome) {
  if (dialogue_ == Dialogue::AwaitingStart) {
    outcome.log =
        LogLine("open", 0, -1, "refused",
                From(datagram) + ": no start-update request yet (--no-start-required lifts this)");
    return;
  }
  dialogue_ = Dialogue::Open;
  probes_ = 0;
  cycle_ = 0;
  Answer('S', -1, '1', LogLine("open", 0, -1, "ok", From(datagram)), outcome);
}

void Device::Probe(std::span<const uint8_t> bytes, Outcome& outcome) {
  ++probes_;
  const bool zeros = std::all_of(bytes.begin() + 1, bytes.end(), [](uint8_t b) { return b == 0; });
  Answer('T', probes_, '1',
         LogLine("probe", probes_, -1, "ok", zeros ? "" : "bytes after the 'T' not all zero"),
         outcome);
}

void Device::Erase(Outcome& outcome) {
  ++cycle_;
  dialogue_ = Dialogue::Open;
  memory_.fill(0);
  programmed_.reset();
  verified_.reset();
  tries_ = {};
  Answer('E', cycle_, '1', LogLine("erase", cycle_, -1, "ok"), outcome, faults_.Erase(cycle_));
}

void Device::HandleRecord(std::span<const uint8_t> bytes, Outcome& outcome) {
  // The pad (the last 64 bytes) and the key come off: the offset is bytes 2..5 XOR pad[17..20],
  // most significant first; data byte i is byte 6 + i XOR pad[i % 64] XOR key[i % 32], which is
  // the image file's own byte XOR the key, as the utility holds it.
  const auto pad = bytes.subspan(PadOffset);
  Record record{static_cast<char>(bytes[0]), bytes[1], 0, {}};
  for (int i = 0; i < 4; ++i) {
    record.offset = record.offset << 8 | (bytes[2 + i] ^ pad[17 + i]);
  }
  for (int i = 0; i < ImageBlockSize; ++i) {
    record.data[i] = bytes[6 + i] ^ pad[i % 64] ^ ImageKey[i % 32];
  }
  const int block = static_cast<int>(record.offset / ImageBlockSize);
  const bool valid = record.offset % ImageBlockSize == 0 && record.offset < ImageCapacity;
  const int tries = valid ? ++tries_[record.kind == 'P' ? 0 : 1][block] : 0;
  const std::string refusal = TakeRecord(record, block, tries);
  std::string detail = tries > 0 ? FormatText("try %d", tries) : "";
  detail += refusal.empty() || detail.empty() ? refusal : ", " + refusal;
  Answer(record.kind, block, refusal.empty() ? '1' : '0',
         LogLine(record.kind == 'P' ? "program" : "verify", cycle_, block,
                 refusal.empty() ? "ok" : "refused", detail),
         outcome);
}

// Programs or verifies the block of `record`; why it is refused, or "" when it was taken.
std::string Device::TakeRecord(const Record& record, int block, int tries) {
  if (record.reserved != 0) {
    return FormatText("reserved byte 0x%02x", record.reserved);
  }
  if (record.offset % ImageBlockSize != 0) {
    return FormatText("offset 0x%05X not a multiple of 256", record.offset);
  }
  if (record.offset >= ImageCapacity) {
    return FormatText("offset 0x%05X out of range", record.offset);
  }
  if (cycle_ == 0) {
    return "no erase since \"S\"";
  }
  if (faults_.Refuses(record.kind, block, tries, cycle_)) {
    return "by --refuse";
  }
  if (record.kind == 'V') {
    return Verify(record, block);
  }
  std::ranges::copy(record.data, memory_.begin() + record.offset);
  programmed_.set(block);
  verified_.reset(block);
  return "";
}

std::string Device::Verify(const Record& record, int block) {
  if (!programmed_.test(block)) {
    return "block not programmed";
  }
  const auto [differs, ignored] =
      std::mismatch(record.data.begin(), record.data.end(), memory_.begin() + record.offset);
  if (differs != record.data.end()) {
    return FormatText("differs from the programmed data at byte %d",
                      static_cast<int>(differs - record.data.begin()));
  }
  verified_.set(block);
  return "";
}

void Device::HandleR(Outcome& outcome) {
  // The finish: every programmed block was verified after it was programmed.
  if (dialogue_ == Dialogue::Open && programmed_.any() && (programmed_ & ~verified_).none()) {
    dialogue_ = Dialogue::Finished;
    const std::string detail = Plural(programmed_.count(), "block") + " programmed and verified" +
                               (Contiguous() ? "" : ", not contiguous from block 0");
    Answer('R', -1, '1', LogLine("finish", cycle_, -1, "ok", detail), outcome);
    return;
  }
  // The closing "R"s get no answer; the last of them ends the update and says how it went.
  ++closingRs_;
  if (closingRs_ < ClosingRs) {
    outcome.log = LogLine("close", closingRs_, -1, "ok");
  } else {
    EndUpdate(outcome);
  }
}

void Device::EndUpdate(Outcome& outcome) {
  const size_t programmed = programmed_.count();
  const size_t verified = (programmed_ & verified_).count();
  const bool contiguous = Contiguous();
  outcome.updateEnded = true;
  outcome.updateSucceeded = dialogue_ == Dialogue::Finished && contiguous;
  outcome.log =
      outcome.updateSucceeded
          ? LogLine("end", 0, -1, "complete",
                    Plural(programmed, "block") + " programmed and verified")
          : LogLine("end", 0, -1, "incomplete",
                    Plural(programmed, "block") + " programmed, " + std::to_string(verified) +
                        " verified" +
                        (programmed > 0 && !contiguous ? ", not contiguous from block 0" : ""));
  dialogue_ = settings_.startRequired ? Dialogue::AwaitingStart : Dialogue::Started;
  closingRs_ = 0;
  faults_.UpdateEnded();
}

void Device::Answer(char kind, int index, uint8_t completion, const std::string& line,
                    Outcome& outcome, EraseTiming erase) {
  using Role = PlannedReply::Role;
  std::vector<PlannedReply> planned{{static_cast<uint8_t>(kind), Role::Echo, 0}};
  planned.insert(planned.end(), erase.fillers, {'0', Role::Filler, 0});
  planned.push_back({completion, Role::Completion, erase.delayMilliseconds});
  if (completion == '0') {
    // A refused record's '0' stands where the '1' belongs; the utility reads and ignores one '0'
    // more before it sends the record again.
    planned.push_back({'0', Role::Extra, 0});
  }
  const PlayedReplies played = faults_.Play(kind, index, cycle_, planned);
  for (const PlayedReply& reply : played.replies) {
    if (!reply.dropped) {
      outcome.replies.push_back(reply.reply);
    }
  }
  outcome.log =
      line + (played.silenceBegan ? " silent from here on" : "") + ListReplies(played.replies);
}

// Blocks 0 to n - 1 are programmed and no other: the image has no hole.
bool Device::Contiguous() const {
  const int count = static_cast<int>(programmed_.count());
  return count > 0 && HighestBlock() == count - 1;
}

int Device::HighestBlock() const {
  for (int block = BlockCount - 1; block >= 0; --block) {
    if (programmed_.test(block)) {
      return block;
    }
  }
  return -1;
}

std::vector<uint8_t> Device::StoredImage() const {
  std::vector<uint8_t> image((HighestBlock() + 1) * ImageBlockSize, 0);
  for (size_t at = 0; at < image.size(); ++at) {
    if (programmed_.test(at / ImageBlockSize)) {
      // The utility loaded the file with the key applied; applying it again gives the file.
      image[at] = memory_[at] ^ ImageKey[at % 32];
    }
  }
  return image;
}

}  // namespace devsim
