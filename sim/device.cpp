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

std::string FormatEndpoint(const Ipv4Endpoint& endpoint) {
  return FormatAddress(endpoint.address) + Format(":%u", endpoint.port);
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
  const uint8_t b2 = record[2] ^ pad[17];
  const uint8_t b3 = record[3] ^ pad[18];
  const uint8_t b4 = record[4] ^ pad[19];
  const uint8_t b5 = record[5] ^ pad[20];
  unmasked.offset = (uint32_t{b2} << 24) | (uint32_t{b3} << 16) | (uint32_t{b4} << 8) | b5;
  // The key's 32 bytes repeat twice within the pad's 64: one combined mask serves all 256 bytes.
  std::array<uint8_t, 64> mask;
  for (int i = 0; i < 64; ++i) {
    mask[i] = pad[i] ^ ImageKey[i % 32];
  }
  for (int i = 0; i < ImageBlockSize; ++i) {
    unmasked.data[i] = record[6 + i] ^ mask[i % 64];
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
    outcome.log.push_back("ignored from " + FormatEndpoint(datagram.sender) + ": empty datagram");
  }
  if (!settings_.log) {
    outcome.log.clear();
  }
  return outcome;
}

void Device::HandleManagement(const Incoming& datagram, Outcome& outcome) {
  const auto bytes = datagram.bytes;
  const std::string from = " from " + FormatEndpoint(datagram.sender);
  if (bytes.size() < 4) {
    outcome.log.push_back("ignored" + from +
                          Format(": management datagram of %zu bytes", bytes.size()));
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
    outcome.log.push_back("start-update" + from + ": transfer allowed");
  } else if (code == CmdWriteSetting) {
    std::string fault;
    const auto items = ParseSettingRecord(bytes, fault);
    if (!items) {
      outcome.log.push_back("setting" + from + ": refused, " + fault);
    } else if (items->deviceId != settings_.deviceId) {
      outcome.log.push_back("setting" + from + ": refused, device id " + Escape(items->deviceId) +
                            " is not this device's");
    } else {
      setting_ = items->text;
      outcome.settingReceived = true;
      outcome.log.push_back(
          "setting" + from + ": \"" +
          Escape({reinterpret_cast<const uint8_t*>(setting_->data()), setting_->size()}) + "\" (" +
          Plural(static_cast<int>(setting_->size()), "character") + ")");
    }
  } else {
    outcome.log.push_back("ignored" + from +
                          Format(": management code 0x%04X in %zu bytes", code, bytes.size()));
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

  std::string line =
      std::string(discovery ? "discover" : "identify") + " from " + FormatEndpoint(datagram.sender);
  if (discovery) {
    line += ": announcing " + FormatAddress(address);
  } else {
    line += Format(": type %u, id %02x:%02x:%02x:%02x:%02x:%02x", settings_.deviceType,
                   settings_.deviceId[0], settings_.deviceId[1], settings_.deviceId[2],
                   settings_.deviceId[3], settings_.deviceId[4], settings_.deviceId[5]);
  }
  if (replies.code) {
    line += Format(", code 0x%04X", code);
  }
  line += " ->";
  if (silent_ || replies.count == 0) {
    outcome.log.push_back(line + " (silent)");
    return;
  }
  for (int i = 0; i < replies.count; ++i) {
    outcome.replies.push_back({reply, replies.delayMs});
    line += Format(" %d bytes", replies.length);
    if (replies.delayMs > 0) {
      line += Format("(+%dms)", replies.delayMs);
    }
  }
  outcome.log.push_back(line);
}

void Device::HandleTransfer(const Incoming& datagram, Outcome& outcome) {
  const auto bytes = datagram.bytes;
  const uint8_t command = bytes[0];
  const size_t length = bytes.size();
  // Only the rare lines name the sender; the hot path spends nothing on it.
  const auto from = [&datagram] { return " from " + FormatEndpoint(datagram.sender); };
  if (command == 'R' && length == 1) {
    HandleR(outcome);
    return;
  }
  const bool known = ((command == 'S' || command == 'E') && length == 1) ||
                     (command == 'T' && length == ProbeLength) ||
                     ((command == 'P' || command == 'V') && length == BlockRecordLength);
  if (!known) {
    outcome.log.push_back("ignored" + from() + ": datagram of " +
                          Plural(static_cast<int>(length), "byte") +
                          Format(" starting with 0x%02x", command));
    return;
  }
  // Anything but "R" between the "R"s means the closing has not begun.
  closingRs_ = 0;
  if (command == 'S') {
    if (!started_) {
      outcome.log.push_back("open" + from() +
                            ": ignored, no start-update request yet (--no-start-required lifts "
                            "this)");
      return;
    }
    open_ = true;
    erased_ = false;
    finished_ = false;
    probes_ = 0;
    cycle_ = 0;
    Emit('S', -1, {{'S', Role::Echo, 0}, {'1', Role::Completion, 0}}, "open" + from(), outcome);
    return;
  }
  if (!open_) {
    outcome.log.push_back("ignored" + from() + Format(": '%c' before \"S\"", command));
    return;
  }
  if (command == 'T') {
    ++probes_;
    std::string line = Format("probe %d", probes_);
    if (std::any_of(bytes.begin() + 1, bytes.end(), [](uint8_t b) { return b != 0; })) {
      line += " (not all zero after the 'T')";
    }
    Emit('T', probes_, {{'T', Role::Echo, 0}, {'1', Role::Completion, 0}}, line, outcome);
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
    const int reads = slow ? settings_.eraseReads : 1;
    std::vector<PlannedReply> planned{{'E', Role::Echo, 0}};
    for (int i = 1; i < reads; ++i) {
      planned.push_back({'0', Role::Filler, 0});
    }
    planned.push_back({'1', Role::Completion, slow ? settings_.eraseMs : 0});
    Emit('E', cycle_, planned, Format("erase cycle %d", cycle_), outcome);
    return;
  }
  HandleRecord(datagram, outcome);
}

void Device::HandleRecord(const Incoming& datagram, Outcome& outcome) {
  const UnmaskedRecord record = *UnmaskBlockRecord(datagram.bytes);
  const bool program = record.command == 'P';
  const char kind = program ? 'P' : 'V';
  const int block = static_cast<int>(std::min<uint32_t>(record.offset / ImageBlockSize, 99999));
  const bool valid = record.offset % ImageBlockSize == 0 && record.offset < ImageCapacity;
  int tries = 0;
  if (valid) {
    tries = ++(program ? programTries_ : verifyTries_)[block];
  }
  std::string line;
  if (settings_.log) {
    line =
        Format("%s block %d offset 0x%05X", program ? "program" : "verify", block, record.offset);
    if (valid) {
      line += Format(" try %d", tries);
    }
  }

  std::string refusal;
  if (record.reserved != 0) {
    refusal = Format("reserved byte 0x%02x", record.reserved);
  } else if (record.offset % ImageBlockSize != 0) {
    refusal = "offset not a multiple of 256";
  } else if (record.offset >= ImageCapacity) {
    refusal = "offset out of range";
  } else if (!erased_) {
    refusal = "no erase since \"S\"";
  } else if (FaultsApply() && std::any_of(settings_.refusals.begin(), settings_.refusals.end(),
                                          [&](const Refusal& r) {
                                            return r.block.Matches(kind, block, false) &&
                                                   tries <= r.tries;
                                          })) {
    refusal = "refused (fault)";
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
  line += refusal.empty() ? ": ok" : ": " + refusal;
  // A refused record is answered with '0' where the '1' belongs, and one '0' more that the
  // utility reads and ignores before it sends the record again.
  if (refusal.empty()) {
    Emit(kind, block, {{static_cast<uint8_t>(kind), Role::Echo, 0}, {'1', Role::Completion, 0}},
         line, outcome);
  } else {
    Emit(kind, block,
         {{static_cast<uint8_t>(kind), Role::Echo, 0},
          {'0', Role::Completion, 0},
          {'0', Role::Extra, 0}},
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
    std::string line = "finish: " + Plural(count, "block") + " programmed and verified";
    if (!Contiguous()) {
      line += ", not contiguous from block 0";
    }
    Emit('R', -1, {{'R', Role::Echo, 0}, {'1', Role::Completion, 0}}, line, outcome);
    return;
  }
  ++closingRs_;
  outcome.log.push_back(Format("close: R %d of %d", closingRs_, ClosingRs));
  if (closingRs_ == ClosingRs) {
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
    outcome.log.push_back("end: update complete, " + Plural(programmed, "block") +
                          " programmed and verified");
  } else {
    outcome.log.push_back("end: update failed, " + Plural(programmed, "block") + " programmed, " +
                          std::to_string(verified) + " verified" +
                          (programmed > 0 && !contiguous ? ", not contiguous from block 0" : ""));
  }
  open_ = false;
  erased_ = false;
  finished_ = false;
  closingRs_ = 0;
  started_ = !settings_.startRequired;
}

bool Device::FaultsApply() const {
  return settings_.faultCycles == 0 || cycle_ <= settings_.faultCycles;
}

// splitmix64: the same draws for the same seed on every platform and library.
double Device::NextUnit() {
  random_ += 0x9E3779B97F4A7C15u;
  uint64_t z = random_;
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9u;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBu;
  z ^= z >> 31;
  return static_cast<double>(z >> 11) * 0x1.0p-53;
}

void Device::Emit(char kind, int index, const std::vector<PlannedReply>& planned, std::string line,
                  Outcome& outcome) {
  const bool faults = FaultsApply();
  std::vector<Reply> datagrams;
  bool mergeNext = false;
  for (const PlannedReply& reply : planned) {
    const bool named = reply.role == Role::Echo || reply.role == Role::Completion;
    const bool completion = reply.role == Role::Completion;
    if (!silent_ && named && settings_.silentFrom &&
        settings_.silentFrom->Matches(kind, index, completion)) {
      silent_ = true;
      line += " (silent from here on)";
    }
    if (silent_) {
      break;
    }
    uint8_t byte = reply.byte;
    if (faults && named) {
      for (const WrongByte& wrong : settings_.wrongBytes) {
        if (wrong.step.Matches(kind, index, completion)) {
          byte = wrong.byte;
        }
      }
    }
    if (mergeNext && reply.delayMs == 0) {
      datagrams.back().bytes.push_back(byte);
    } else {
      datagrams.push_back({{byte}, reply.delayMs});
    }
    mergeNext =
        faults && reply.role == Role::Echo && reply.delayMs == 0 &&
        std::any_of(settings_.twoByteReplies.begin(), settings_.twoByteReplies.end(),
                    [&](const DialogueStep& step) { return step.Matches(kind, index, false); });
  }

  // Tokens of the log line: each datagram's bytes; runs of the same token are counted.
  std::vector<std::string> tokens;
  auto add = [&tokens, this](const Reply& reply, const char* note) {
    if (!settings_.log) {
      return;
    }
    std::string token = Escape(reply.bytes);
    if (reply.delayMs > 0) {
      token += Format("(+%dms)", reply.delayMs);
    }
    tokens.push_back(note[0] ? Format("(%s %s)", token.c_str(), note) : token);
  };
  for (Reply& datagram : datagrams) {
    if (settings_.dropRate > 0 && NextUnit() < settings_.dropRate) {
      add(datagram, "dropped");
      continue;
    }
    if (settings_.delayRate > 0 && NextUnit() < settings_.delayRate) {
      datagram.delayMs += settings_.delayMs;
    }
    const bool twice = settings_.duplicateRate > 0 && NextUnit() < settings_.duplicateRate;
    add(datagram, "");
    outcome.replies.push_back(datagram);
    if (twice) {
      add(datagram, "");
      outcome.replies.push_back(datagram);
    }
  }
  if (!settings_.log) {
    return;
  }

  line += " ->";
  if (tokens.empty()) {
    line += " (silent)";
  }
  for (size_t i = 0; i < tokens.size();) {
    size_t run = 1;
    while (i + run < tokens.size() && tokens[i + run] == tokens[i]) {
      ++run;
    }
    line += " " + tokens[i] + (run > 2 ? Format("*%zu", run) : "");
    if (run == 2) {
      line += " " + tokens[i];
    }
    i += run;
  }
  outcome.log.push_back(line);
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
