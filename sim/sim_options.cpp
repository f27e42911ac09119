#include "sim/sim_options.h"

#include <algorithm>
#include <charconv>
#include <cstdlib>
#include <functional>
#include <optional>
#include <string_view>

#include "net/dotted_quad.h"

namespace devsim {

namespace {

// Reads all of `text` as a number from `lowest` to `highest` in `base`.
std::optional<long long> ReadNumber(std::string_view text, long long lowest, long long highest,
                                    int base = 10) {
  long long value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value, base);
  if (text.empty() || error != std::errc() || end != text.data() + text.size() || value < lowest ||
      value > highest) {
    return std::nullopt;
  }
  return value;
}

// A 16-bit code as 0xNNNN (hexadecimal) or decimal.
std::optional<long long> ReadCode(std::string_view text) {
  if (text.starts_with("0x") || text.starts_with("0X")) {
    return ReadNumber(text.substr(2), 0, 0xFFFF, 16);
  }
  return ReadNumber(text, 0, 0xFFFF);
}

std::optional<double> ReadRate(std::string_view text) {
  double value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (text.empty() || error != std::errc() || end != text.data() + text.size() || !(value >= 0) ||
      value > 1) {
    return std::nullopt;
  }
  return value;
}

constexpr long long MaxMs = 600000;

struct Option {
  std::string name;      // without "--"; empty for a heading
  const char* argument;  // nullptr for a flag
  const char* help;
  // Takes the value (empty for a flag); returns what is wrong with it, or "" when it was taken.
  std::function<std::string(std::string_view, SimOptions&)> take;
};

std::string SetNumber(std::string_view text, long long lowest, long long highest, int& target) {
  const auto value = ReadNumber(text, lowest, highest);
  if (!value) {
    return "expects a whole number from " + std::to_string(lowest) + " to " +
           std::to_string(highest);
  }
  target = static_cast<int>(*value);
  return "";
}

// The four options that shape one kind of management reply.
void AddReplyOptions(std::vector<Option>& options, const char* kind,
                     ManagementReplySettings DeviceSettings::*member) {
  const std::string prefix = kind;
  auto settings = [member](SimOptions& o) -> ManagementReplySettings& { return o.device.*member; };
  options.push_back(
      {prefix + "-replies", "N", "replies per request: 0 for none, 2 to answer twice (default 1)",
       [=](std::string_view v, SimOptions& o) { return SetNumber(v, 0, 10, settings(o).count); }});
  options.push_back({prefix + "-delay", "MS", "send the replies MS milliseconds late",
                     [=](std::string_view v, SimOptions& o) {
                       return SetNumber(v, 0, MaxMs, settings(o).delayMilliseconds);
                     }});
  options.push_back({prefix + "-code", "CODE",
                     "echo CODE (0xNNNN or decimal) in bytes 2..3 instead of the request's",
                     [=](std::string_view v, SimOptions& o) -> std::string {
                       const auto code = ReadCode(v);
                       if (!code) {
                         return "expects a code from 0x0000 to 0xFFFF";
                       }
                       settings(o).code = static_cast<uint16_t>(*code);
                       return "";
                     }});
  options.push_back({prefix + "-length", "N",
                     "reply with N bytes: fewer than 20 cut it, more add bytes 0xEE",
                     [=](std::string_view v, SimOptions& o) {
                       return SetNumber(v, 0, 1024, settings(o).length);
                     }});
}

const std::vector<Option>& Options() {
  static const std::vector<Option> options = [] {
    std::vector<Option> list;
    list.push_back({"", nullptr, "Device", nullptr});
    list.push_back({"address", "A.B.C.D",
                    "address announced by discovery (default: the address the request reached)",
                    [](std::string_view v, SimOptions& o) -> std::string {
                      const uint32_t address = ParseDottedQuad(std::string(v).c_str());
                      if (address == 0) {
                        return "expects an IPv4 address such as 10.0.0.200";
                      }
                      o.device.announcedAddress = {
                          static_cast<uint8_t>(address), static_cast<uint8_t>(address >> 8),
                          static_cast<uint8_t>(address >> 16), static_cast<uint8_t>(address >> 24)};
                      return "";
                    }});
    list.push_back({"device-type", "N", "device type in identify replies (default 1)",
                    [](std::string_view v, SimOptions& o) -> std::string {
                      int type = 0;
                      std::string error = SetNumber(v, 0, 65535, type);
                      o.device.deviceType = static_cast<uint16_t>(type);
                      return error;
                    }});
    list.push_back({"device-id", "HEX",
                    "six id bytes as 12 hex digits, colons allowed (default 00:1b:2c:3d:4e:5f)",
                    [](std::string_view v, SimOptions& o) -> std::string {
                      std::string digits;
                      for (char c : v) {
                        if (c != ':') {
                          digits += c;
                        }
                      }
                      if (digits.size() != 12) {
                        return "expects 12 hexadecimal digits";
                      }
                      for (int i = 0; i < 6; ++i) {
                        const auto byte =
                            ReadNumber(std::string_view(digits).substr(2 * i, 2), 0, 255, 16);
                        if (!byte) {
                          return "expects 12 hexadecimal digits";
                        }
                        o.device.deviceId[i] = static_cast<uint8_t>(*byte);
                      }
                      return "";
                    }});
    list.push_back({"no-start-required", nullptr,
                    "accept \"S\" without a start-update request first (rehearse the transfer "
                    "alone)",
                    [](std::string_view, SimOptions& o) {
                      o.device.startRequired = false;
                      return std::string();
                    }});
    list.push_back({"", nullptr, "Management faults", nullptr});
    AddReplyOptions(list, "discovery", &DeviceSettings::discovery);
    AddReplyOptions(list, "identify", &DeviceSettings::identify);
    list.push_back({"", nullptr,
                    "Transfer faults. STEP names a reply: S, T (T1..T10: probe), E (E2: erase of\n"
                    "cycle 2), P or V (P3: block 3, offset 768), R; add .1 for the reply after\n"
                    "the echo ('1', or '0' when refused): S.1, T10.1, E.1, P3.1",
                    nullptr});
    list.push_back({"silent-from", "STEP", "answer nothing at all from STEP on",
                    [](std::string_view v, SimOptions& o) -> std::string {
                      o.device.silentFrom = ParseDialogueStep(v);
                      return o.device.silentFrom ? "" : "expects a step such as S.1, T10 or P3";
                    }});
    list.push_back({"wrong-byte", "STEP[=B]",
                    "answer STEP with byte B (a character or 0xNN; default '?'); repeatable",
                    [](std::string_view v, SimOptions& o) -> std::string {
                      const size_t equals = v.find('=');
                      WrongByte wrong;
                      const auto step = ParseDialogueStep(v.substr(0, equals));
                      if (!step) {
                        return "expects a step such as S, T3.1 or P0";
                      }
                      wrong.step = *step;
                      if (equals != std::string_view::npos) {
                        const std::string_view byte = v.substr(equals + 1);
                        const auto hex = byte.starts_with("0x")
                                             ? ReadNumber(byte.substr(2), 0, 255, 16)
                                             : std::nullopt;
                        if (byte.size() == 1) {
                          wrong.byte = static_cast<uint8_t>(byte[0]);
                        } else if (hex) {
                          wrong.byte = static_cast<uint8_t>(*hex);
                        } else {
                          return "expects one character or 0xNN after '='";
                        }
                      }
                      o.device.wrongBytes.push_back(wrong);
                      return "";
                    }});
    list.push_back({"two-byte", "STEP",
                    "send the echo of STEP and the reply after it in one datagram; repeatable",
                    [](std::string_view v, SimOptions& o) -> std::string {
                      const auto step = ParseDialogueStep(v);
                      if (!step || step->completion) {
                        return "expects an echo step such as S, T or P3";
                      }
                      o.device.twoByteReplies.push_back(*step);
                      return "";
                    }});
    list.push_back({"refuse", "BLOCK:K",
                    "refuse the first K tries of BLOCK (P3, V0, P for every block) in each "
                    "phase; repeatable",
                    [](std::string_view v, SimOptions& o) -> std::string {
                      const size_t colon = v.find(':');
                      const auto step = ParseDialogueStep(v.substr(0, colon));
                      const auto tries = colon == std::string_view::npos
                                             ? std::nullopt
                                             : ReadNumber(v.substr(colon + 1), 1, 1000);
                      if (!step || step->completion || (step->kind != 'P' && step->kind != 'V') ||
                          !tries) {
                        return "expects BLOCK:K such as P3:4 or V:1";
                      }
                      o.device.refusals.push_back({*step, static_cast<int>(*tries)});
                      return "";
                    }});
    list.push_back({"erase-reads", "N",
                    "the erase's '1' is the N-th reply after the 'E' (N-1 '0' before it)",
                    [](std::string_view v, SimOptions& o) {
                      return SetNumber(v, 1, 1000, o.device.eraseReads);
                    }});
    list.push_back({"erase-ms", "MS", "the erase's '1' comes MS milliseconds after the \"E\"",
                    [](std::string_view v, SimOptions& o) {
                      return SetNumber(v, 0, MaxMs, o.device.eraseMilliseconds);
                    }});
    list.push_back({"fault-cycles", "N",
                    "wrong bytes, two-byte replies, refusals and the erase's length only in the "
                    "first N cycles (default: all)",
                    [](std::string_view v, SimOptions& o) {
                      return SetNumber(v, 1, 1000, o.device.faultCycles);
                    }});
    list.push_back({"drop", "RATE", "drop this share (0 to 1) of the transfer replies",
                    [](std::string_view v, SimOptions& o) -> std::string {
                      const auto rate = ReadRate(v);
                      o.device.dropRate = rate.value_or(0);
                      return rate ? "" : "expects a rate from 0 to 1";
                    }});
    list.push_back({"duplicate", "RATE", "send this share of the transfer replies twice",
                    [](std::string_view v, SimOptions& o) -> std::string {
                      const auto rate = ReadRate(v);
                      o.device.duplicateRate = rate.value_or(0);
                      return rate ? "" : "expects a rate from 0 to 1";
                    }});
    list.push_back({"delay", "RATE:MS", "send this share of the transfer replies MS ms late",
                    [](std::string_view v, SimOptions& o) -> std::string {
                      const size_t colon = v.find(':');
                      const auto rate = ReadRate(v.substr(0, colon));
                      const auto ms = colon == std::string_view::npos
                                          ? std::nullopt
                                          : ReadNumber(v.substr(colon + 1), 0, MaxMs);
                      if (!rate || !ms) {
                        return "expects RATE:MS such as 0.1:1500";
                      }
                      o.device.delayRate = *rate;
                      o.device.delayMilliseconds = static_cast<int>(*ms);
                      return "";
                    }});
    list.push_back({"seed", "N", "seed of the random faults (default 1)",
                    [](std::string_view v, SimOptions& o) -> std::string {
                      const auto seed = ReadNumber(v, 0, (1LL << 62));
                      o.device.seed = static_cast<uint64_t>(seed.value_or(0));
                      return seed ? "" : "expects a whole number";
                    }});
    list.push_back({"", nullptr, "Running", nullptr});
    list.push_back({"store", "FILE",
                    "write the image received (pad and key taken off, up to the last programmed "
                    "block) to FILE at the end of each update and on exit",
                    [](std::string_view v, SimOptions& o) {
                      o.storeFile = v;
                      return std::string();
                    }});
    list.push_back({"store-setting", "FILE", "write each setting string received to FILE",
                    [](std::string_view v, SimOptions& o) {
                      o.settingFile = v;
                      return std::string();
                    }});
    list.push_back({"once", nullptr,
                    "exit after one update: status 0 when every block was programmed and "
                    "verified, 1 otherwise",
                    [](std::string_view, SimOptions& o) {
                      o.once = true;
                      return std::string();
                    }});
    list.push_back({"timeout", "SECONDS", "exit with status 4 when no datagram arrives for SECONDS",
                    [](std::string_view v, SimOptions& o) {
                      return SetNumber(v, 1, 86400, o.timeoutSeconds);
                    }});
    list.push_back(
        {"ready-fd", "N", "write \"ready\" to descriptor N once port 36 is bound, then close it",
         [](std::string_view v, SimOptions& o) { return SetNumber(v, 0, 65535, o.readyFd); }});
    list.push_back({"quiet", nullptr, "no dialogue log on standard error (errors only)",
                    [](std::string_view, SimOptions& o) {
                      o.quiet = true;
                      return std::string();
                    }});
    list.push_back(
        {"version", nullptr, "print the version and exit", [](std::string_view, SimOptions& o) {
           o.version = true;
           return std::string();
         }});
    list.push_back(
        {"help", nullptr, "print this help and exit", [](std::string_view, SimOptions& o) {
           o.help = true;
           return std::string();
         }});
    return list;
  }();
  return options;
}

// One option of the help text: its name in the first 28 columns, its meaning wrapped at 79.
std::string Wrap(std::string left, std::string_view help) {
  constexpr size_t Indent = 28;
  constexpr size_t Width = 79;
  std::string text;
  std::string line = left.size() + 2 <= Indent ? left + std::string(Indent - left.size(), ' ')
                                               : left + "\n" + std::string(Indent, ' ');
  size_t lineStart = line.rfind('\n') == std::string::npos ? 0 : line.rfind('\n') + 1;
  bool first = true;
  while (!help.empty()) {
    const size_t space = help.find(' ');
    const std::string_view word = help.substr(0, space);
    help = space == std::string_view::npos ? std::string_view() : help.substr(space + 1);
    if (!first && line.size() - lineStart + 1 + word.size() > Width) {
      line += "\n" + std::string(Indent, ' ');
      lineStart = line.size() - Indent;
      first = true;
    }
    line += (first ? "" : " ") + std::string(word);
    first = false;
  }
  return line + "\n";
}

}  // namespace

bool ParseSimOptions(std::span<const std::string> arguments, SimOptions& options,
                     std::string& error) {
  for (size_t index = 0; index < arguments.size(); ++index) {
    const std::string_view argument = arguments[index];
    if (!argument.starts_with("--")) {
      error = "unexpected argument '" + std::string(argument) + "'";
      return false;
    }
    const size_t equals = argument.find('=');
    const std::string_view name =
        argument.substr(2, equals == std::string_view::npos ? std::string_view::npos : equals - 2);
    const Option* option = nullptr;
    for (const Option& candidate : Options()) {
      if (!candidate.name.empty() && name == candidate.name) {
        option = &candidate;
      }
    }
    if (option == nullptr) {
      error = "unknown option '--" + std::string(name) + "'";
      return false;
    }
    std::string_view value;
    if (option->argument == nullptr) {
      if (equals != std::string_view::npos) {
        error = "option '--" + std::string(name) + "' takes no value";
        return false;
      }
    } else if (equals != std::string_view::npos) {
      value = argument.substr(equals + 1);
    } else if (index + 1 < arguments.size()) {
      value = arguments[++index];
    } else {
      error = "option '--" + std::string(name) + "' needs a value " + option->argument;
      return false;
    }
    const std::string fault = option->take(value, options);
    if (!fault.empty()) {
      error =
          "option '--" + std::string(name) + "' " + fault + ", not '" + std::string(value) + "'";
      return false;
    }
  }
  return true;
}

const char* SimUsage() {
  static const std::string usage = [] {
    std::string text =
        "Usage: torvane-devsim [OPTION]...\n"
        "Plays the Torvane device on UDP port 36 (all addresses) for torvane-fwupdate:\n"
        "answers discovery, identification, the setting record, the start-update request\n"
        "and the transfer dialogue, and logs the dialogue on standard error. Binding\n"
        "port 36 needs root; run it in a private network namespace (unshare --net).\n";
    for (const Option& option : Options()) {
      if (option.name.empty()) {
        text += std::string("\n") + option.help + ":\n";
        continue;
      }
      std::string left = "  --" + option.name;
      if (option.argument != nullptr) {
        left += std::string(" ") + option.argument;
      }
      text += Wrap(left, option.help);
    }
    text +=
        "\nExit status: 0 update complete (--once) or stopped by a signal; 1 update\n"
        "incomplete (--once); 2 bad command line; 3 port 36 or a file unusable;\n"
        "4 --timeout expired.\n";
    return text;
  }();
  return usage.c_str();
}

}  // namespace devsim
