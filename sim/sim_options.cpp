// The simulator's command line read with getopt_long, and its --help text written out as it
// prints; the manual page torvane-devsim(1) is the full description.
#include "sim/sim_options.h"

#include <getopt.h>

#include <array>
#include <charconv>
#include <optional>
#include <string_view>

#include "net/dotted_quad.h"

namespace devsim {

const char* const SimUsage =
    "Usage: torvane-devsim [OPTION]...\n"
    "Plays a Torvane device on UDP port 36 for torvane-fwupdate, in a network\n"
    "namespace of its own (unshare --net). The manual page torvane-devsim(1)\n"
    "describes every option, the STEP names, the log and the exit statuses.\n"
    "\n"
    "Device:\n"
    "  --address A.B.C.D      address announced by discovery (default: as reached)\n"
    "  --device-type N        device type in identify replies (default 1)\n"
    "  --device-id HEX        six id bytes in hex (default 00:1b:2c:3d:4e:5f)\n"
    "  --no-start-required    accept \"S\" without a start-update request first\n"
    "Management faults:\n"
    "  --discovery-replies N  replies per discovery request, 0 to 10 (default 1)\n"
    "  --discovery-delay MS   send them MS milliseconds late\n"
    "  --discovery-code CODE  echo CODE (0xNNNN or decimal), not the request's code\n"
    "  --discovery-length N   reply with N bytes, 0 to 1024 (default 20)\n"
    "  --identify-replies N   replies per identify request, 0 to 10 (default 1)\n"
    "  --identify-delay MS    send them MS milliseconds late\n"
    "  --identify-code CODE   echo CODE (0xNNNN or decimal), not the request's code\n"
    "  --identify-length N    reply with N bytes, 0 to 1024 (default 20)\n"
    "Transfer faults (STEP: S, T3, E2, P3, V3, R...; .1: the reply after the echo):\n"
    "  --silent-from STEP     answer nothing at all from STEP on\n"
    "  --wrong-byte STEP[=B]  answer STEP with byte B: a character, 0xNN, default ?\n"
    "  --two-byte STEP        send the echo of STEP and the next reply together\n"
    "  --refuse BLOCK:K       refuse the first K tries of BLOCK: P3, V0, P (all)\n"
    "  --erase-reads N        the erase's '1' is reply N after the 'E' (default 1)\n"
    "  --erase-ms MS          the erase's '1' comes MS milliseconds after the \"E\"\n"
    "  --fault-cycles N       --wrong-byte to --erase-ms only in the first N cycles\n"
    "  --fault-updates N      --silent-from to --erase-ms only in the first N updates\n"
    "  --drop RATE            drop this share (0 to 1) of the transfer replies\n"
    "  --duplicate RATE       send this share of the transfer replies twice\n"
    "  --delay RATE:MS        send this share of the transfer replies MS ms late\n"
    "  --seed N               seed of the drops, duplicates and delays (default 1)\n"
    "Running:\n"
    "  --store FILE           write the image received to FILE after each update\n"
    "  --store-setting FILE   write each setting string received to FILE\n"
    "  --once                 exit after one update: status 0 complete, 1 incomplete\n"
    "  --timeout SECONDS      exit with status 4 when nothing arrives for SECONDS\n"
    "  --ready-fd N           write \"ready\" to descriptor N once port 36 is bound\n"
    "  --host-network         run even in this machine's own network namespace\n"
    "  --quiet                log nothing on standard error but errors\n"
    "  --version              print the version and exit\n"
    "  --help                 print this help and exit\n";

namespace {

// The options in the order of --help; getopt_long reports each by its `val`, its index plus
// `FirstId` (above every character, so that no short option, ':' or '?' is taken for one).
struct OptionName {
  const char* name;
  int hasArgument;
};
constexpr OptionName Options[] = {
    {"address", required_argument},
    {"device-type", required_argument},
    {"device-id", required_argument},
    {"no-start-required", no_argument},
    {"discovery-replies", required_argument},
    {"discovery-delay", required_argument},
    {"discovery-code", required_argument},
    {"discovery-length", required_argument},
    {"identify-replies", required_argument},
    {"identify-delay", required_argument},
    {"identify-code", required_argument},
    {"identify-length", required_argument},
    {"silent-from", required_argument},
    {"wrong-byte", required_argument},
    {"two-byte", required_argument},
    {"refuse", required_argument},
    {"erase-reads", required_argument},
    {"erase-ms", required_argument},
    {"fault-cycles", required_argument},
    {"fault-updates", required_argument},
    {"drop", required_argument},
    {"duplicate", required_argument},
    {"delay", required_argument},
    {"seed", required_argument},
    {"store", required_argument},
    {"store-setting", required_argument},
    {"once", no_argument},
    {"timeout", required_argument},
    {"ready-fd", required_argument},
    {"host-network", no_argument},
    {"quiet", no_argument},
    {"version", no_argument},
    {"help", no_argument},
};
constexpr int FirstId = 256;

constexpr auto LongOptions = [] {
  std::array<option, std::size(Options) + 1> table{};  // ends with a zero entry
  for (size_t index = 0; index < std::size(Options); ++index) {
    table[index] = {Options[index].name, Options[index].hasArgument, nullptr,
                    FirstId + static_cast<int>(index)};
  }
  return table;
}();

// The index of the option `name` in `Options`; a name that is not there fails the build.
consteval int Id(std::string_view name) {
  for (size_t index = 0; index < std::size(Options); ++index) {
    if (name == Options[index].name) {
      return static_cast<int>(index);
    }
  }
  throw "no such option";
}

constexpr long long MaxMilliseconds = 600000;

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

std::optional<double> ReadRate(std::string_view text) {
  double value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (text.empty() || error != std::errc() || end != text.data() + text.size() || !(value >= 0) ||
      value > 1) {
    return std::nullopt;
  }
  return value;
}

// "A:B" split at its first colon (or equals sign); `second` is empty without one.
struct Halves {
  std::string_view first, second;
  bool separated;
};
Halves Split(std::string_view text, char separator) {
  const size_t at = text.find(separator);
  if (at == std::string_view::npos) {
    return {text, {}, false};
  }
  return {text.substr(0, at), text.substr(at + 1), true};
}

// Stores the number in `target`; returns what is wrong with `text`, or "" when it was taken.
std::string SetNumber(std::string_view text, long long lowest, long long highest, int& target) {
  const auto value = ReadNumber(text, lowest, highest);
  if (!value) {
    return "expects a whole number from " + std::to_string(lowest) + " to " +
           std::to_string(highest);
  }
  target = static_cast<int>(*value);
  return "";
}

std::string TakeDeviceId(std::string_view value, DeviceSettings& device) {
  std::string digits(value);
  std::erase(digits, ':');
  std::array<uint8_t, 6> id;
  for (size_t i = 0; i < id.size(); ++i) {
    const auto byte = digits.size() == 12
                          ? ReadNumber(std::string_view(digits).substr(2 * i, 2), 0, 255, 16)
                          : std::nullopt;
    if (!byte) {
      return "expects 12 hexadecimal digits";
    }
    id[i] = static_cast<uint8_t>(*byte);
  }
  device.deviceId = id;
  return "";
}

std::string TakeWrongByte(std::string_view value, DeviceSettings& device) {
  const auto [name, byteText, separated] = Split(value, '=');
  const auto step = ParseDialogueStep(name);
  const auto hex =
      byteText.starts_with("0x") ? ReadNumber(byteText.substr(2), 0, 255, 16) : std::nullopt;
  if (!step) {
    return "expects a step such as S, T3.1 or P0";
  }
  if (separated && byteText.size() != 1 && !hex) {
    return "expects one character or 0xNN after '='";
  }
  const uint8_t byte = !separated ? '?' : hex ? static_cast<uint8_t>(*hex) : byteText[0];
  device.wrongBytes.push_back({*step, byte});
  return "";
}

std::string TakeRefusal(std::string_view value, DeviceSettings& device) {
  const auto [name, triesText, separated] = Split(value, ':');
  const auto step = ParseDialogueStep(name);
  const auto tries = ReadNumber(triesText, 1, 1000);
  if (!step || step->completion || (step->kind != 'P' && step->kind != 'V') || !tries) {
    return "expects BLOCK:K such as P3:4 or V:1";
  }
  device.refusals.push_back({*step, static_cast<int>(*tries)});
  return "";
}

std::string TakeRate(std::string_view value, double& rate) {
  const auto read = ReadRate(value);
  rate = read.value_or(0);
  return read ? "" : "expects a rate from 0 to 1";
}

// Takes the value of option `index` (empty for a flag) into `options`; returns what is wrong
// with it, or "" when it was taken.
std::string Take(int index, std::string_view value, SimOptions& options) {
  DeviceSettings& device = options.device;
  const bool discovery = std::string_view(Options[index].name).starts_with("discovery-");
  ManagementReplySettings& replies = discovery ? device.discovery : device.identify;
  switch (index) {
    case Id("address"): {
      const uint32_t address = ParseDottedQuad(std::string(value).c_str());
      if (address == 0) {
        return "expects an IPv4 address such as 10.0.0.200";
      }
      device.announcedAddress = {static_cast<uint8_t>(address), static_cast<uint8_t>(address >> 8),
                                 static_cast<uint8_t>(address >> 16),
                                 static_cast<uint8_t>(address >> 24)};
      return "";
    }
    case Id("device-type"): {
      int type = 0;
      std::string fault = SetNumber(value, 0, 65535, type);
      device.deviceType = static_cast<uint16_t>(type);
      return fault;
    }
    case Id("device-id"):
      return TakeDeviceId(value, device);
    case Id("no-start-required"):
      device.startRequired = false;
      return "";
    case Id("discovery-replies"):
    case Id("identify-replies"):
      return SetNumber(value, 0, 10, replies.count);
    case Id("discovery-delay"):
    case Id("identify-delay"):
      return SetNumber(value, 0, MaxMilliseconds, replies.delayMilliseconds);
    case Id("discovery-code"):
    case Id("identify-code"): {
      const bool hex = value.starts_with("0x") || value.starts_with("0X");
      const auto code = ReadNumber(value.substr(hex ? 2 : 0), 0, 0xFFFF, hex ? 16 : 10);
      replies.code = code ? std::optional<uint16_t>(static_cast<uint16_t>(*code)) : std::nullopt;
      return code ? "" : "expects a code from 0x0000 to 0xFFFF";
    }
    case Id("discovery-length"):
    case Id("identify-length"):
      return SetNumber(value, 0, 1024, replies.length);
    case Id("silent-from"):
      device.silentFrom = ParseDialogueStep(value);
      return device.silentFrom ? "" : "expects a step such as S.1, T10 or P3";
    case Id("wrong-byte"):
      return TakeWrongByte(value, device);
    case Id("two-byte"): {
      const auto step = ParseDialogueStep(value);
      if (!step || step->completion) {
        return "expects an echo step such as S, T or P3";
      }
      device.twoByteReplies.push_back(*step);
      return "";
    }
    case Id("refuse"):
      return TakeRefusal(value, device);
    case Id("erase-reads"):
      return SetNumber(value, 1, 1000, device.eraseReads);
    case Id("erase-ms"):
      return SetNumber(value, 0, MaxMilliseconds, device.eraseMilliseconds);
    case Id("fault-cycles"):
      return SetNumber(value, 1, 1000, device.faultCycles);
    case Id("fault-updates"):
      return SetNumber(value, 1, 1000, device.faultUpdates);
    case Id("drop"):
      return TakeRate(value, device.dropRate);
    case Id("duplicate"):
      return TakeRate(value, device.duplicateRate);
    case Id("delay"): {
      const auto [rateText, millisecondsText, separated] = Split(value, ':');
      const auto rate = ReadRate(rateText);
      const auto milliseconds = ReadNumber(millisecondsText, 0, MaxMilliseconds);
      if (!rate || !milliseconds) {
        return "expects RATE:MS such as 0.1:1500";
      }
      device.delayRate = *rate;
      device.delayMilliseconds = static_cast<int>(*milliseconds);
      return "";
    }
    case Id("seed"): {
      const auto seed = ReadNumber(value, 0, 1LL << 62);
      device.seed = static_cast<uint64_t>(seed.value_or(0));
      return seed ? "" : "expects a whole number";
    }
    case Id("store"):
      options.storeFile = value;
      return "";
    case Id("store-setting"):
      options.settingFile = value;
      return "";
    case Id("timeout"):
      return SetNumber(value, 1, 86400, options.timeoutSeconds);
    case Id("ready-fd"):
      return SetNumber(value, 0, 65535, options.readyFd);
    default:  // the flags
      options.once |= index == Id("once");
      options.hostNetwork |= index == Id("host-network");
      options.quiet |= index == Id("quiet");
      options.version |= index == Id("version");
      options.help |= index == Id("help");
      return "";
  }
}

}  // namespace

bool ParseSimOptions(int argc, char* argv[], SimOptions& options, std::string& error) {
  // 0 starts getopt afresh (a test parses many command lines); the leading ':' tells a missing
  // value apart, and opterr = 0 leaves every message to this function.
  optind = 0;
  opterr = 0;
  for (int result; (result = getopt_long(argc, argv, ":", LongOptions.data(), nullptr)) != -1;) {
    if (result < FirstId) {
      // `optopt` names the option whose value is missing or needless; it is 0 for an unknown or
      // ambiguous one (and a character for a short option, of which there is none).
      if (optopt < FirstId) {
        error = "unknown or ambiguous option '" + std::string(argv[optind - 1]) + "'";
      } else {
        error = "option '--" + std::string(Options[optopt - FirstId].name) + "' " +
                (result == ':' ? "needs a value" : "takes no value");
      }
      return false;
    }
    const int index = result - FirstId;
    const std::string_view value = optarg != nullptr ? optarg : "";
    const std::string fault = Take(index, value, options);
    if (!fault.empty()) {
      error = "option '--" + std::string(Options[index].name) + "' " + fault + ", not '" +
              std::string(value) + "'";
      return false;
    }
  }
  if (optind < argc) {
    error = "unexpected argument '" + std::string(argv[optind]) + "'";
    return false;
  }
  return true;
}

}  // namespace devsim
