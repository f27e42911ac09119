// The simulated device: the management requests, the transfer dialogue with its scripted and
// random faults, and the one log line each datagram gets.
#include "sim/device.h"

#include <algorithm>
#include <cstdio>
#include <utility>

namespace devsim {

namespace {

constexpr uint8_t MagicHigh = 0x43;
constexpr uint8_t MagicLow = 0x21;
constexpr uint16_t CmdDiscover = 0x3039;
constexpr uint16_t CmdIdentify = 0x303E;
constexpr uint16_t CmdWriteSetting = 0x303F;
constexpr uint16_t CmdStartUpdate = 0x3074;
constexpr int RequestLength = 20;
constexpr int SettingRecordLength = 104;
constexpr int MaxSettingLength = 89;
constexpr int ProbeLength = 513;
constexpr int PadOffset = 262;
constexpr int ClosingRs = 5;
// Bytes a long management reply carries after its 20, so they stand out in a capture.
constexpr uint8_t LongReplyFill = 0xEE;

std::string Format(const char* format, auto... values) {
  char text[256];
  std::snprintf(text, sizeof text, format, values...);
  return text;
}

std::string FormatAddress(const std::array<uint8_t, 4>& address) {
  return Format("%u.%u.%u.%u", address[0], address[1], address[2], address[3]);
}

// "from A.B.C.D:PORT", the sender of `datagram`.
std::string From(const Incoming& datagram) {
  return "from " + FormatAddress(datagram.sender.address) + Format(":%u", datagram.sender.port);
}

// Printable ASCII as is, everything else (and the quote and backslash) escaped, so the log shows
// the exact bytes.
std::string Escape(std::span<const uint8_t> bytes) {
  std::string text;
  for (uint8_t byte : bytes) {
    if (byte >= 0x20 && byte < 0x7F && byte != '"' && byte != '\\') {
      text += static_cast<char>(byte);
    } else {
      text += Format("\\x%02x", byte);
    }
  }
  return text;
}

std::string Plural(int count, const char* noun) {
  return Format("%d %s%s", count, noun, count == 1 ? "" : "s");
}

// The four fields of a log line ("-" where a number does not apply) and its detail, if any.
std::string LogLine(const char* kind, int step, int64_t block, const char* outcome,
                    const std::string& detail = "") {
  const std::string stepField = step > 0 ? std::to_string(step) : "-";
  const std::string blockField = block >= 0 ? std::to_string(block) : "-";
  return Format("%s %s %s %s", kind, stepField.c_str(), blockField.c_str(), outcome) +
         (detail.empty() ? "" : " " + detail);
}

// " -> " and the tokens of the replies sent, a run of three or more alike counted ("0*34").
std::string ListReplies(const std::vector<std::string>& tokens) {
  std::string text = " ->";
  if (tokens.empty()) {
    text += " (silent)";
  }
  for (size_t i = 0; i < tokens.size();) {
    size_t run = 1;
    while (i + run < tokens.size() && tokens[i + run] == tokens[i]) {
      ++run;
    }
    text += " " + tokens[i] + (run > 2 ? Format("*%zu", run) : run == 2 ? " " + tokens[i] : "");
    i += run;
  }
  return text;
}

// A reply in the log: its bytes, and its delay when it has one.
std::string ReplyToken(const Reply& reply) {
  return Escape(reply.bytes) +
         (reply.delayMilliseconds > 0 ? Format("(+%dms)", reply.delayMilliseconds) : "");
}

// A 20-byte request is exactly its four header bytes and sixteen zeros.
bool IsPlainRequest(std::span<const uint8_t> bytes) {
  return bytes.size() == RequestLength &&
         std::all_of(bytes.begin() + 4, bytes.end(), [](uint8_t b) { return b == 0; });
}

}  // namespace

std::optional<UnmaskedRecord> UnmaskBlockRecord(std::span<const uint8_t> record) {
  if (record.size() != BlockRecordLength) {
    return std::nullopt;
  }
  const std::span<const uint8_t> pad = record.subspan(PadOffset, 64);
  UnmaskedRecord unmasked;
  unmasked.command = record[0];
  unmasked.reserved = record[1];
  for (int i = 0; i < 4; ++i) {
    unmasked.offset = unmasked.offset << 8 | (record[2 + i] ^ pad[17 + i]);
  }
  for (int i = 0; i < ImageBlockSize; ++i) {
    unmasked.data[i] = record[6 + i] ^ pad[i % 64] ^ ImageKey[i % 32];
  }
  return unmasked;
}

std::optional<SettingRecordItems> ParseSettingRecord(std::span<const uint8_t> record,
                                                     std::string& fault) {
  if (record.size() != SettingRecordLength) {
    fault = Format("record of %zu bytes", record.size());
    return std::nullopt;
  }
  if (record[0] != MagicHigh || record[1] != MagicLow || record[2] != 0x30 || record[3] != 0x3F) {
    fault = Format("header %02x %02x %02x %02x", record[0], record[1], record[2], record[3]);
    return std::nullopt;
  }
  if (record[4] != 3 || record[5] != 6) {
    fault = Format("first item type %u length %u, expected type 3 length 6", record[4], record[5]);
    return std::nullopt;
  }
  if (record[12] != 5) {
    fault = Format("second item type %u, expected 5", record[12]);
    return std::nullopt;
  }
  const int length = record[13];
  if (length < 1 || length > MaxSettingLength) {
    fault = Format("text item length %d", length);
    return std::nullopt;
  }
  const auto text = record.subspan(14, length);
  if (std::find(text.begin(), text.end(), 0) != text.end()) {
    fault = "zero byte inside the text";
    return std::nullopt;
  }
  // The terminating zero and everything after it must be zero.
  const auto rest = record.subspan(14 + length);
  const auto nonZero = std::find_if(rest.begin(), rest.end(), [](uint8_t b) { return b != 0; });
  if (nonZero != rest.end()) {
    fault = Format("byte %d after the text is not zero", 14 + length + int(nonZero - rest.begin()));
    return std::nullopt;
  }
  SettingRecordItems items;
  std::copy_n(record.begin() + 6, 6, items.deviceId.begin());
  items.text.assign(text.begin(), text.end());
  return items;
}

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
                          from + Format(": management datagram of %zu bytes", bytes.size()));
    return;
  }
  const uint16_t code = static_cast<uint16_t>(bytes[2] << 8 | bytes[3]);
  const bool plain = IsPlainRequest(bytes);
  if (code == CmdDiscover && plain) {
    AnswerManagement(datagram, settings_.discovery, true, outcome);
  } else if (code == CmdIdentify && plain) {
    AnswerManagement(datagram, settings_.identify, false, outcome);
  } else if (code == CmdStartUpdate && plain) {
    started_ = true;
    outcome.log = LogLine("start", 0, -1, "taken", from + ": transfer allowed");
  } else if (code == CmdWriteSetting) {
    std::string fault;
    const auto items = ParseSettingRecord(bytes, fault);
    if (items && items->deviceId != settings_.deviceId) {
      fault = "device id " + Escape(items->deviceId) + " is not this device's";
    }
    if (!fault.empty()) {
      outcome.log = LogLine("setting", 0, -1, "refused", from + ": " + fault);
      return;
    }
    setting_ = items->text;
    outcome.settingReceived = true;
    const std::span<const uint8_t> text(reinterpret_cast<const uint8_t*>(setting_->data()),
                                        setting_->size());
    outcome.log = LogLine("setting", 0, -1, "taken",
                          from + ": \"" + Escape(text) + "\" (" +
                              Plural(static_cast<int>(text.size()), "character") + ")");
  } else {
    outcome.log =
        LogLine("ignored", 0, -1, "unknown",
                from + Format(": management code 0x%04X in %zu bytes", code, bytes.size()));
  }
}

void Device::AnswerManagement(const Incoming& datagram, const ManagementReplySettings& replies,
                              bool discovery, Outcome& outcome) {
  const std::array<uint8_t, 4> address = settings_.announcedAddress.value_or(datagram.localAddress);
  const uint16_t code =
      replies.code.value_or(static_cast<uint16_t>(datagram.bytes[2] << 8 | datagram.bytes[3]));
  std::vector<uint8_t> reply(RequestLength, 0);
  reply[0] = MagicHigh;
  reply[1] = MagicLow;
  reply[2] = static_cast<uint8_t>(code >> 8);
  reply[3] = static_cast<uint8_t>(code);
  std::copy(address.begin(), address.end(), reply.begin() + 4);
  std::copy(settings_.deviceId.begin(), settings_.deviceId.end(), reply.begin() + 12);
  reply[18] = static_cast<uint8_t>(settings_.deviceType >> 8);
  reply[19] = static_cast<uint8_t>(settings_.deviceType);
  reply.resize(replies.length, LongReplyFill);

  std::string detail = From(datagram);
  if (discovery) {
    detail += ": announcing " + FormatAddress(address);
  } else {
    const auto& id = settings_.deviceId;
    detail += Format(": type %u, id %02x:%02x:%02x:%02x:%02x:%02x", settings_.deviceType, id[0],
                     id[1], id[2], id[3], id[4], id[5]);
  }
  if (replies.code) {
    detail += Format(", code 0x%04X", code);
  }
  const int count = silent_ ? 0 : replies.count;
  const std::string token =
      Format("%d bytes", replies.length) +
      (replies.delayMilliseconds > 0 ? Format("(+%dms)", replies.delayMilliseconds) : "");
  for (int i = 0; i < count; ++i) {
    outcome.replies.push_back({reply, replies.delayMilliseconds});
  }
  outcome.log =
      LogLine(discovery ? "discover" : "identify", 0, -1, count > 0 ? "answered" : "silent",
              detail + ListReplies(std::vector<std::string>(count, token)));
}

void Device::HandleTransfer(const Incoming& datagram, Outcome& outcome) {
  const auto bytes = datagram.bytes;
  const uint8_t command = bytes[0];
  const size_t length = bytes.size();
  if (command == 'R' && length == 1) {
    HandleR(outcome);
    return;
  }
  const bool known = ((command == 'S' || command == 'E') && length == 1) ||
                     (command == 'T' && length == ProbeLength) ||
                     ((command == 'P' || command == 'V') && length == BlockRecordLength);
  if (!known) {
    outcome.log =
        LogLine("ignored", 0, -1, "unknown",
                From(datagram) + ": datagram of " + Plural(static_cast<int>(length), "byte") +
                    Format(" starting with 0x%02x", command));
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
    Emit('S', -1, {{'S', Role::Echo, 0}, {'1', Role::Completion, 0}},
         LogLine("open", 0, -1, "ok", From(datagram)), outcome);
    return;
  }
  if (!open_) {
    outcome.log = LogLine("ignored", 0, -1, "unopened",
                          From(datagram) + Format(": '%c' before \"S\"", command));
    return;
  }
  if (command == 'T') {
    ++probes_;
    const bool zeros =
        std::all_of(bytes.begin() + 1, bytes.end(), [](uint8_t b) { return b == 0; });
    Emit('T', probes_, {{'T', Role::Echo, 0}, {'1', Role::Completion, 0}},
         LogLine("probe", probes_, -1, "ok", zeros ? "" : "bytes after the 'T' not all zero"),
         outcome);
    return;
  }
  if (command == 'E') {
    ++cycle_;
    erased_ = true;
    finished_ = false;
    memory_.fill(0);
    programmed_.reset();
    verified_.reset();
    programTries_.fill(0);
    verifyTries_.fill(0);
    const bool slow = FaultsApply();
    std::vector<PlannedReply> planned{{'E', Role::Echo, 0}};
    planned.insert(planned.end(), static_cast<size_t>(slow ? settings_.eraseReads - 1 : 0),
                   {'0', Role::Filler, 0});
    planned.push_back({'1', Role::Completion, slow ? settings_.eraseMilliseconds : 0});
    Emit('E', cycle_, planned, LogLine("erase", cycle_, -1, "ok"), outcome);
    return;
  }
  HandleRecord(datagram, outcome);
}

void Device::HandleRecord(const Incoming& datagram, Outcome& outcome) {
  const UnmaskedRecord record = *UnmaskBlockRecord(datagram.bytes);
  const bool program = record.command == 'P';
  const char kind = program ? 'P' : 'V';
  const int block = static_cast<int>(record.offset / ImageBlockSize);
  const bool valid = record.offset % ImageBlockSize == 0 && record.offset < ImageCapacity;
  const int tries = valid ? ++(program ? programTries_ : verifyTries_)[block] : 0;

  std::string refusal;
  if (record.reserved != 0) {
    refusal = Format("reserved byte 0x%02x", record.reserved);
  } else if (record.offset % ImageBlockSize != 0) {
    refusal = Format("offset 0x%05X not a multiple of 256", record.offset);
  } else if (record.offset >= ImageCapacity) {
    refusal = Format("offset 0x%05X out of range", record.offset);
  } else if (!erased_) {
    refusal = "no erase since \"S\"";
  } else if (FaultsApply() && std::any_of(settings_.refusals.begin(), settings_.refusals.end(),
                                          [&](const Refusal& r) {
                                            return r.block.Matches(kind, block, false) &&
                                                   tries <= r.tries;
                                          })) {
    refusal = "by --refuse";
  } else if (program) {
    std::copy(record.data.begin(), record.data.end(), memory_.begin() + record.offset);
    programmed_.set(block);
    verified_.reset(block);
  } else if (!programmed_.test(block)) {
    refusal = "block not programmed";
  } else {
    const auto stored = memory_.begin() + record.offset;
    const auto [differs, ignored] = std::mismatch(record.data.begin(), record.data.end(), stored);
    if (differs != record.data.end()) {
      refusal = Format("differs from the programmed data at byte %d",
                       static_cast<int>(differs - record.data.begin()));
    } else {
      verified_.set(block);
    }
  }
  std::string detail = tries > 0 ? Format("try %d", tries) : "";
  detail += refusal.empty() || detail.empty() ? refusal : ", " + refusal;
  const std::string line = LogLine(program ? "program" : "verify", cycle_, block,
                                   refusal.empty() ? "ok" : "refused", detail);
  // A refused record is answered with '0' where the '1' belongs, and one '0' more that the
  // utility reads and ignores before it sends the record again.
  const uint8_t echo = static_cast<uint8_t>(kind);
  if (refusal.empty()) {
    Emit(kind, block, {{echo, Role::Echo, 0}, {'1', Role::Completion, 0}}, line, outcome);
  } else {
    Emit(kind, block, {{echo, Role::Echo, 0}, {'0', Role::Completion, 0}, {'0', Role::Extra, 0}},
         line, outcome);
  }
}

// Every programmed block was verified after it was programmed.
bool Device::Complete() const {
  return programmed_.any() && (programmed_ & ~verified_).none();
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
  if (open_ && !finished_ && Complete()) {
    finished_ = true;
    const int count = static_cast<int>(programmed_.count());
    const std::string detail = Plural(count, "block") + " programmed and verified" +
                               (Contiguous() ? "" : ", not contiguous from block 0");
    Emit('R', -1, {{'R', Role::Echo, 0}, {'1', Role::Completion, 0}},
         LogLine("finish", cycle_, -1, "ok", detail), outcome);
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
  const int programmed = static_cast<int>(programmed_.count());
  const int verified = static_cast<int>((programmed_ & verified_).count());
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

void Device::Emit(char kind, int index, const std::vector<PlannedReply>& planned, std::string line,
                  Outcome& outcome) {
  std::vector<std::string> tokens;
  for (Reply& reply : ScriptedReplies(kind, index, planned, line)) {
    AddRandomFaults(std::move(reply), outcome, tokens);
  }
  outcome.log = line + ListReplies(tokens);
}

// The datagrams of `planned` as the scripted faults make them: silence from a step on, wrong
// bytes, and an echo sent together with the reply after it.
std::vector<Reply> Device::ScriptedReplies(char kind, int index,
                                           const std::vector<PlannedReply>& planned,
                                           std::string& line) {
  std::vector<Reply> datagrams;
  bool withPrevious = false;
  for (const PlannedReply& reply : planned) {
    const bool named = reply.role == Role::Echo || reply.role == Role::Completion;
    const bool completion = reply.role == Role::Completion;
    if (!silent_ && named && settings_.silentFrom && UpdateFaultsApply() &&
        settings_.silentFrom->Matches(kind, index, completion)) {
      silent_ = true;
      line += " silent from here on";
    }
    if (silent_) {
      break;
    }
    const uint8_t byte = named ? ScriptedByte(kind, index, completion, reply.byte) : reply.byte;
    if (withPrevious && reply.delayMilliseconds == 0) {
      datagrams.back().bytes.push_back(byte);
    } else {
      datagrams.push_back({{byte}, reply.delayMilliseconds});
    }
    withPrevious =
        reply.role == Role::Echo && reply.delayMilliseconds == 0 && SentWithNext(kind, index);
  }
  return datagrams;
}

// The byte a --wrong-byte fault puts in place of `byte`; the last one named wins.
uint8_t Device::ScriptedByte(char kind, int index, bool completion, uint8_t byte) const {
  if (!FaultsApply()) {
    return byte;
  }
  for (const WrongByte& wrong : settings_.wrongBytes) {
    if (wrong.step.Matches(kind, index, completion)) {
      byte = wrong.byte;
    }
  }
  return byte;
}

bool Device::SentWithNext(char kind, int index) const {
  return FaultsApply() &&
         std::any_of(settings_.twoByteReplies.begin(), settings_.twoByteReplies.end(),
                     [&](const DialogueStep& step) { return step.Matches(kind, index, false); });
}

// Drops, delays or doubles `reply` as the random faults draw, in that order of draws.
void Device::AddRandomFaults(Reply reply, Outcome& outcome, std::vector<std::string>& tokens) {
  if (Draw(settings_.dropRate)) {
    tokens.push_back("(" + ReplyToken(reply) + " dropped)");
    return;
  }
  if (Draw(settings_.delayRate)) {
    reply.delayMilliseconds += settings_.delayMilliseconds;
  }
  const int copies = Draw(settings_.duplicateRate) ? 2 : 1;
  for (int i = 0; i < copies; ++i) {
    tokens.push_back(ReplyToken(reply));
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
