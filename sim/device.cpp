// SPDX-License-Identifier: Apache-2.0
// The simulated device: the management requests, the transfer dialogue with its scripted and
// random faults, and the one log line each datagram gets.
#include "sim/device.h"

#include <algorithm>
#include <utility>

#include "common/dotted_quad.h"
#include "common/text_format.h"

namespace devsim {

namespace {

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

// "from A.B.C.D:PORT", the sender of `datagram`.
std::string From(const Incoming& datagram) {
  return "from " + FormatAddress(datagram.sender.address) + FormatText(":%u", datagram.sender.port);
}

// Printable ASCII as is, everything else (and the quote and backslash) escaped, so the log shows
// the exact bytes.
std::string Escape(const auto& bytes) {
  std::string text;
  for (const auto character : bytes) {
    const auto byte = static_cast<uint8_t>(character);
    if (byte >= 0x20 && byte < 0x7F && byte != '"' && byte != '\\') {
      text += static_cast<char>(byte);
    } else {
      text += FormatText("\\x%02x", byte);
    }
  }
  return text;
}

std::string Plural(size_t count, const char* noun) {
  return FormatText("%zu %s%s", count, noun, count == 1 ? "" : "s");
}

// The four fields of a log line ("-" where a number does not apply) and its detail, if any.
std::string LogLine(const char* kind, int step, int64_t block, const char* outcome,
                    const std::string& detail = "") {
  const std::string stepField = step > 0 ? std::to_string(step) : "-";
  const std::string blockField = block >= 0 ? std::to_string(block) : "-";
  return FormatText("%s %s %s %s", kind, stepField.c_str(), blockField.c_str(), outcome) +
         (detail.empty() ? "" : " " + detail);
}

// A reply in the log: `text`, and its delay when it has one.
std::string Token(const std::string& text, int delayMilliseconds) {
  return text + (delayMilliseconds > 0 ? FormatText("(+%dms)", delayMilliseconds) : "");
}

// " -> " and the tokens of the replies sent, a run of three or more alike counted ("0*34").
std::string ListReplies(const std::vector<std::string>& tokens) {
  std::string text = tokens.empty() ? " -> (silent)" : " ->";
  for (size_t i = 0; i < tokens.size();) {
    size_t run = 1;
    while (i + run < tokens.size() && tokens[i + run] == tokens[i]) {
      ++run;
    }
    text += " " + tokens[i] + (run > 2 ? FormatText("*%zu", run) : run == 2 ? " " + tokens[i] : "");
    i += run;
  }
  return text;
}

// What is wrong with a setting record for the device `deviceId`, the first fault found; "" for a
// sound one (the item 3/6/device id, the item 5/n/text with n from 1 to 89 and no zero byte
// inside, then zeros to byte 104), whose text then goes to `text`.
std::string SettingRecordFault(std::span<const uint8_t> record,
                               const std::array<uint8_t, 6>& deviceId, std::string& text) {
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
  if (std::find(setting.begin(), setting.end(), 0) != setting.end()) {
    return "zero byte inside the text";
  }
  // The terminating zero and everything after it must be zero.
  const auto rest = record.subspan(14 + length);
  const auto nonZero = std::find_if(rest.begin(), rest.end(), [](uint8_t b) { return b != 0; });
  if (nonZero != rest.end()) {
    return FormatText("byte %d after the text is not zero",
                      14 + length + int(nonZero - rest.begin()));
  }
  if (!std::equal(deviceId.begin(), deviceId.end(), record.begin() + 6)) {
    return "device id " + Escape(record.subspan(6, 6)) + " is not this device's";
  }
  text.assign(setting.begin(), setting.end());
  return "";
}

}  // namespace

Device::Device(DeviceSettings settings)
    : settings_(std::move(settings)), started_(!settings_.startRequired), random_(settings_.seed) {}

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
  const std::string from = From(datagram);
  if (bytes.size() < 4) {
    outcome.log = LogLine("ignored", 0, -1, "short",
                          from + FormatText(": management datagram of %zu bytes", bytes.size()));
    return;
  }
  const uint16_t code = static_cast<uint16_t>(bytes[2] << 8 | bytes[3]);
  // A request is exactly its four header bytes and sixteen zeros.
  const bool plain = bytes.size() == RequestLength &&
                     std::all_of(bytes.begin() + 4, bytes.end(), [](uint8_t b) { return b == 0; });
  if (plain && (code == CmdDiscover || code == CmdIdentify)) {
    AnswerManagement(datagram, code, code == CmdDiscover, outcome);
  } else if (plain && code == CmdStartUpdate) {
    started_ = true;
    outcome.log = LogLine("start", 0, -1, "taken", from + ": transfer allowed");
  } else if (code == CmdWriteSetting) {
    std::string text;
    const std::string fault = SettingRecordFault(bytes, settings_.deviceId, text);
    if (!fault.empty()) {
      outcome.log = LogLine("setting", 0, -1, "refused", from + ": " + fault);
      return;
    }
    outcome.log =
        LogLine("setting", 0, -1, "taken",
                from + ": \"" + Escape(text) + "\" (" + Plural(text.size(), "character") + ")");
    outcome.setting = std::move(text);
  } else {
    outcome.log =
        LogLine("ignored", 0, -1, "unknown",
                from + FormatText(": management code 0x%04X in %zu bytes", code, bytes.size()));
  }
}

void Device::AnswerManagement(const Incoming& datagram, uint16_t requestCode, bool discovery,
                              Outcome& outcome) {
  const ManagementReplySettings& replies = discovery ? settings_.discovery : settings_.identify;
  const std::array<uint8_t, 4> address = settings_.announcedAddress.value_or(datagram.localAddress);
  const std::array<uint8_t, 6>& id = settings_.deviceId;
  const uint16_t code = replies.code.value_or(requestCode);
  const uint16_t type = settings_.deviceType;
  std::vector<uint8_t> reply = {MagicHigh, MagicLow, uint8_t(code >> 8), uint8_t(code)};
  reply.insert(reply.end(), address.begin(), address.end());
  reply.resize(12, 0);
  reply.insert(reply.end(), id.begin(), id.end());
  reply.insert(reply.end(), {uint8_t(type >> 8), uint8_t(type)});
  reply.resize(replies.length, LongReplyFill);

  std::string detail =
      From(datagram) +
      (discovery ? ": announcing " + FormatAddress(address)
                 : FormatText(": type %u, id %02x:%02x:%02x:%02x:%02x:%02x", settings_.deviceType,
                              id[0], id[1], id[2], id[3], id[4], id[5])) +
      (replies.code ? FormatText(", code 0x%04X", code) : "");
  const int count = silent_ ? 0 : replies.count;
  outcome.replies.assign(count, {reply, replies.delayMilliseconds});
  const std::string token =
      Token(FormatText("%d bytes", replies.length), replies.delayMilliseconds);
  outcome.log =
      LogLine(discovery ? "discover" : "identify", 0, -1, count > 0 ? "answered" : "silent",
              detail + ListReplies(std::vector<std::string>(count, token)));
}

void Device::HandleTransfer(const Incoming& datagram, Outcome& outcome) {
  const auto bytes = datagram.bytes;
  const uint8_t command = bytes[0];
  const size_t length = bytes.size();
  const bool known = (length == 1 && (command == 'S' || command == 'E' || command == 'R')) ||
                     (command == 'T' && length == ProbeLength) ||
                     ((command == 'P' || command == 'V') && length == BlockRecordLength);
  if (!known) {
    outcome.log = LogLine("ignored", 0, -1, "unknown",
                          From(datagram) + ": datagram of " + Plural(length, "byte") +
                              FormatText(" starting with 0x%02x", command));
    return;
  }
  if (command == 'R') {
    HandleR(outcome);
    return;
  }
  // Anything but "R" between the "R"s means the closing has not begun.
  closingRs_ = 0;
  if (command == 'S') {
    if (!started_) {
      outcome.log = LogLine(
          "open", 0, -1, "refused",
          From(datagram) + ": no start-update request yet (--no-start-required lifts this)");
      return;
    }
    open_ = true;
    erased_ = false;
    finished_ = false;
    probes_ = 0;
    cycle_ = 0;
    Emit('S', -1, '1', LogLine("open", 0, -1, "ok", From(datagram)), outcome);
  } else if (!open_) {
    outcome.log = LogLine("ignored", 0, -1, "unopened",
                          From(datagram) + FormatText(": '%c' before \"S\"", command));
  } else if (command == 'T') {
    ++probes_;
    const bool zeros =
        std::all_of(bytes.begin() + 1, bytes.end(), [](uint8_t b) { return b == 0; });
    Emit('T', probes_, '1',
         LogLine("probe", probes_, -1, "ok", zeros ? "" : "bytes after the 'T' not all zero"),
         outcome);
  } else if (command == 'E') {
    ++cycle_;
    erased_ = true;
    finished_ = false;
    memory_.fill(0);
    programmed_.reset();
    verified_.reset();
    tries_ = {};
    const bool slow = FaultsApply();
    Emit('E', cycle_, '1', LogLine("erase", cycle_, -1, "ok"), outcome,
         slow ? settings_.eraseReads - 1 : 0, slow ? settings_.eraseMilliseconds : 0);
  } else {
    HandleRecord(bytes, outcome);
  }
}

void Device::HandleRecord(std::span<const uint8_t> bytes, Outcome& outcome) {
  // The pad (the last 64 bytes) and the key come off: the offset is bytes 2..5 XOR pad[17..20],
  // most significant first; data byte i is byte 6 + i XOR pad[i % 64] XOR key[i % 32], which is
  // the image file's own byte XOR the key, as the utility holds it.
  const auto pad = bytes.subspan(PadOffset);
  uint32_t offset = 0;
  for (int i = 0; i < 4; ++i) {
    offset = offset << 8 | (bytes[2 + i] ^ pad[17 + i]);
  }
  std::array<uint8_t, ImageBlockSize> data;
  for (int i = 0; i < ImageBlockSize; ++i) {
    data[i] = bytes[6 + i] ^ pad[i % 64] ^ ImageKey[i % 32];
  }
  const char kind = static_cast<char>(bytes[0]);
  const bool program = kind == 'P';
  const int block = static_cast<int>(offset / ImageBlockSize);
  const bool valid = offset % ImageBlockSize == 0 && offset < ImageCapacity;
  const int tries = valid ? ++tries_[program ? 0 : 1][block] : 0;

  std::string refusal;
  if (bytes[1] != 0) {
    refusal = FormatText("reserved byte 0x%02x", bytes[1]);
  } else if (offset % ImageBlockSize != 0) {
    refusal = FormatText("offset 0x%05X not a multiple of 256", offset);
  } else if (offset >= ImageCapacity) {
    refusal = FormatText("offset 0x%05X out of range", offset);
  } else if (!erased_) {
    refusal = "no erase since \"S\"";
  } else if (FaultsApply() && std::any_of(settings_.refusals.begin(), settings_.refusals.end(),
                                          [&](const Refusal& r) {
                                            return r.block.Matches(kind, block, false) &&
                                                   tries <= r.tries;
                                          })) {
    refusal = "by --refuse";
  } else if (program) {
    std::copy(data.begin(), data.end(), memory_.begin() + offset);
    programmed_.set(block);
    verified_.reset(block);
  } else if (!programmed_.test(block)) {
    refusal = "block not programmed";
  } else {
    const auto [differs, ignored] =
        std::mismatch(data.begin(), data.end(), memory_.begin() + offset);
    if (differs != data.end()) {
      refusal = FormatText("differs from the programmed data at byte %d",
                           static_cast<int>(differs - data.begin()));
    } else {
      verified_.set(block);
    }
  }
  std::string detail = tries > 0 ? FormatText("try %d", tries) : "";
  detail += refusal.empty() || detail.empty() ? refusal : ", " + refusal;
  Emit(kind, block, refusal.empty() ? '1' : '0',
       LogLine(program ? "program" : "verify", cycle_, block, refusal.empty() ? "ok" : "refused",
               detail),
       outcome);
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

void Device::HandleR(Outcome& outcome) {
  // The finish: every programmed block was verified after it was programmed.
  if (open_ && !finished_ && programmed_.any() && (programmed_ & ~verified_).none()) {
    finished_ = true;
    const std::string detail = Plural(programmed_.count(), "block") + " programmed and verified" +
                               (Contiguous() ? "" : ", not contiguous from block 0");
    Emit('R', -1, '1', LogLine("finish", cycle_, -1, "ok", detail), outcome);
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
  outcome.updateSucceeded = finished_ && contiguous;
  if (outcome.updateSucceeded) {
    outcome.log =
        LogLine("end", 0, -1, "complete", Plural(programmed, "block") + " programmed and verified");
  } else {
    outcome.log = LogLine(
        "end", 0, -1, "incomplete",
        Plural(programmed, "block") + " programmed, " + std::to_string(verified) + " verified" +
            (programmed > 0 && !contiguous ? ", not contiguous from block 0" : ""));
  }
  open_ = false;
  erased_ = false;
  finished_ = false;
  closingRs_ = 0;
  started_ = !settings_.startRequired;
  ++updatesEnded_;
  silent_ = silent_ && settings_.faultUpdates == 0;
}

bool Device::FaultsApply() const {
  return (settings_.faultCycles == 0 || cycle_ <= settings_.faultCycles) && UpdateFaultsApply();
}

bool Device::UpdateFaultsApply() const {
  return settings_.faultUpdates == 0 || updatesEnded_ < settings_.faultUpdates;
}

// True with probability `rate`, drawn with splitmix64: the same draws for the same seed on every
// platform and library. A rate of 0 draws nothing, so it leaves the other faults' draws alone.
bool Device::Draw(double rate) {
  if (rate <= 0) {
    return false;
  }
  random_ += 0x9E3779B97F4A7C15u;
  uint64_t z = random_;
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9u;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBu;
  z ^= z >> 31;
  return static_cast<double>(z >> 11) * 0x1.0p-53 < rate;
}

void Device::Emit(char kind, int index, uint8_t completion, std::string line, Outcome& outcome,
                  int fillers, int delayMilliseconds) {
  std::vector<PlannedReply> planned{{static_cast<uint8_t>(kind), Role::Echo, 0}};
  planned.insert(planned.end(), fillers, {'0', Role::Filler, 0});
  planned.push_back({completion, Role::Completion, delayMilliseconds});
  if (completion == '0') {
    // A refused record's '0' stands where the '1' belongs; the utility reads and ignores one '0'
    // more before it sends the record again.
    planned.push_back({'0', Role::Extra, 0});
  }
  std::vector<std::string> tokens;
  for (Reply& reply : ScriptedReplies(kind, index, planned, line)) {
    AddRandomFaults(std::move(reply), outcome, tokens);
  }
  outcome.log = line + ListReplies(tokens);
}

// The datagrams of `planned` as the scripted faults make them: silence from a step on, wrong
// bytes (the last one named wins), and an echo sent together with the reply after it.
std::vector<Reply> Device::ScriptedReplies(char kind, int index,
                                           const std::vector<PlannedReply>& planned,
                                           std::string& line) {
  const bool faults = FaultsApply();
  const auto names = [&](const DialogueStep& step, bool completion) {
    return step.Matches(kind, index, completion);
  };
  std::vector<Reply> datagrams;
  bool withPrevious = false;
  for (const PlannedReply& reply : planned) {
    const bool named = reply.role == Role::Echo || reply.role == Role::Completion;
    const bool completion = reply.role == Role::Completion;
    if (!silent_ && named && settings_.silentFrom && UpdateFaultsApply() &&
        names(*settings_.silentFrom, completion)) {
      silent_ = true;
      line += " silent from here on";
    }
    if (silent_) {
      break;
    }
    uint8_t byte = reply.byte;
    for (const WrongByte& wrong : settings_.wrongBytes) {
      byte = faults && named && names(wrong.step, completion) ? wrong.byte : byte;
    }
    if (withPrevious && reply.delayMilliseconds == 0) {
      datagrams.back().bytes.push_back(byte);
    } else {
      datagrams.push_back({{byte}, reply.delayMilliseconds});
    }
    withPrevious = faults && reply.role == Role::Echo &&
                   std::ranges::any_of(settings_.twoByteReplies, [&](const DialogueStep& step) {
                     return names(step, false);
                   });
  }
  return datagrams;
}

// Drops, delays or doubles `reply` as the random faults draw, in that order of draws.
void Device::AddRandomFaults(Reply reply, Outcome& outcome, std::vector<std::string>& tokens) {
  if (Draw(settings_.dropRate)) {
    tokens.push_back("(" + Token(Escape(reply.bytes), reply.delayMilliseconds) + " dropped)");
    return;
  }
  if (Draw(settings_.delayRate)) {
    reply.delayMilliseconds += settings_.delayMilliseconds;
  }
  const int copies = Draw(settings_.duplicateRate) ? 2 : 1;
  for (int i = 0; i < copies; ++i) {
    tokens.push_back(Token(Escape(reply.bytes), reply.delayMilliseconds));
    outcome.replies.push_back(reply);
  }
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
