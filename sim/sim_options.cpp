// SPDX-License-Identifier: Apache-2.0
// The simulator's command line read with getopt_long, and its --help text written out as it
// prints; the manual page torvane-devsim(1) is the full description.
#include "sim/sim_options.h"

#include <getopt.h>

#include <functional>
#include <optional>
#include <string_view>
#include <vector>

#include "common/dotted_quad.h"
#include "common/number_text.h"

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

constexpr long long MaxMilliseconds = 600000;

// Every whole number of the simulator's options is read at this one width.
std::optional<long long> ReadNumber(std::string_view text, long long lowest, long long highest,
                                    int base = 10) {
  return ReadNumberText(text, lowest, highest, base);
}

std::optional<double> ReadRate(std::string_view text) {
  return ReadNumberText(text, 0.0, 1.0);
}

// "A:B" split at its first `separator`; `second` is empty without one.
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

// Reads a step name as `DialogueStep` describes it; nothing for any other text (an unknown
// letter, a number on S or R, a number out of range, trailing characters).
std::optional<DialogueStep> ReadStep(std::string_view text) {
  if (text.empty() || std::string_view("STEPVR").find(text[0]) == std::string_view::npos) {
    return std::nullopt;
  }
  DialogueStep step{.kind = text[0], .completion = text.ends_with(".1")};
  const std::string_view number = text.substr(1, text.size() - (step.completion ? 3 : 1));
  if (number.empty()) {
    return step;
  }
  const bool block = step.kind == 'P' || step.kind == 'V';
  const auto index = ReadNumber(number, block ? 0 : 1, block ? 511 : step.kind == 'T' ? 10 : 1000);
  if (step.kind == 'S' || step.kind == 'R' || !index) {
    return std::nullopt;
  }
  step.index = static_cast<int>(*index);
  return step;
}

// Takes an option's value (empty for a flag) into the options; returns what is wrong with it, or
// "" when it was taken.
using Take = std::function<std::string(std::string_view value)>;

template <typename Field>
Take Number(Field& field, long long lowest, long long highest) {
  return [&field, lowest, highest](std::string_view value) -> std::string {
    const auto number = ReadNumber(value, lowest, highest);
    field = static_cast<Field>(number.value_or(field));
    return number ? ""
                  : "expects a whole number from " + std::to_string(lowest) + " to " +
                        std::to_string(highest);
  };
}

Take Rate(double& field) {
  return [&field](std::string_view value) -> std::string {
    const auto rate = ReadRate(value);
    field = rate.value_or(0);
    return rate ? "" : "expects a rate from 0 to 1";
  };
}

Take Code(std::optional<uint16_t>& field) {
  return [&field](std::string_view value) -> std::string {
    const bool hex = value.starts_with("0x") || value.starts_with("0X");
    const auto code = ReadNumber(value.substr(hex ? 2 : 0), 0, 0xFFFF, hex ? 16 : 10);
    field = code ? std::optional<uint16_t>(static_cast<uint16_t>(*code)) : std::nullopt;
    return code ? "" : "expects a code from 0x0000 to 0xFFFF";
  };
}

template <typename Field>
Take Set(Field& field, Field value) {
  return [&field, value](std::string_view) -> std::string {
    field = value;
    return "";
  };
}

Take Text(std::string& field) {
  return [&field](std::string_view value) -> std::string {
    field = value;
    return "";
  };
}

std::string TakeAddress(DeviceSettings& device, std::string_view value) {
  device.announcedAddress = ReadAddressBytes(std::string(value));
  return device.announcedAddress ? "" : "expects an IPv4 address such as 10.0.0.200";
}

std::string TakeDeviceId(DeviceSettings& device, std::string_view value) {
  std::string digits(value);
  std::erase(digits, ':');
  for (size_t i = 0; i < device.deviceId.size(); ++i) {
    const auto byte = digits.size() == 12
                          ? ReadNumber(std::string_view(digits).substr(2 * i, 2), 0, 255, 16)
                          : std::nullopt;
    if (!byte) {
      return "expects 12 hexadecimal digits";
    }
    device.deviceId[i] = static_cast<uint8_t>(*byte);
  }
  return "";
}

std::string TakeSilentFrom(DeviceSettings& device, std::string_view value) {
  device.silentFrom = ReadStep(value);
  return device.silentFrom ? "" : "expects a step such as S.1, T10 or P3";
}

std::string TakeWrongByte(DeviceSettings& device, std::string_view value) {
  const auto [name, byteText, separated] = Split(value, '=');
  const auto step = ReadStep(name);
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

std::string TakeTwoByte(DeviceSettings& device, std::string_view value) {
  const auto step = ReadStep(value);
  if (!step || step->completion) {
    return "expects an echo step such as S, T or P3";
  }
  device.twoByteReplies.push_back(*step);
  return "";
}

std::string TakeRefusal(DeviceSettings& device, std::string_view value) {
  const auto [name, triesText, separated] = Split(value, ':');
  const auto step = ReadStep(name);
  const auto tries = ReadNumber(triesText, 1, 1000);
  if (!step || step->completion || (step->kind != 'P' && step->kind != 'V') || !tries) {
    return "expects BLOCK:K such as P3:4 or V:1";
  }
  device.refusals.push_back({*step, static_cast<int>(*tries)});
  return "";
}

std::string TakeDelay(DeviceSettings& device, std::string_view value) {
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

std::string TakeSeed(DeviceSettings& device, std::string_view value) {
  const auto seed = ReadNumber(value, 0, 1LL << 62);
  device.seed = static_cast<uint64_t>(seed.value_or(0));
  return seed ? "" : "expects a whole number";
}

struct Option {
  const char* name;
  int hasArgument;
  Take take;
};

// getopt_long reports each option by its `val`: its index plus `FirstId`, above every character,
// so that no short option, ':' or '?' is taken for one.
constexpr int FirstId = 256;

}  // namespace

bool ParseSimOptions(int argc, char* argv[], SimOptions& options, std::string& error) {
  DeviceSettings& device = options.device;
  const auto onDevice = [&device](auto take) { return std::bind_front(take, std::ref(device)); };
  // In the order of --help.
  const Option table[] = {
      {"address", required_argument, onDevice(TakeAddress)},
      {"device-type", required_argument, Number(device.deviceType, 0, 65535)},
      {"device-id", required_argument, onDevice(TakeDeviceId)},
      {"no-start-required", no_argument, Set(device.startRequired, false)},
      {"discovery-replies", required_argument, Number(device.discovery.count, 0, 10)},
      {"discovery-delay", required_argument,
       Number(device.discovery.delayMilliseconds, 0, MaxMilliseconds)},
      {"discovery-code", required_argument, Code(device.discovery.code)},
      {"discovery-length", required_argument, Number(device.discovery.length, 0, 1024)},
      {"identify-replies", required_argument, Number(device.identify.count, 0, 10)},
      {"identify-delay", required_argument,
       Number(device.identify.delayMilliseconds, 0, MaxMilliseconds)},
      {"identify-code", required_argument, Code(device.identify.code)},
      {"identify-length", required_argument, Number(device.identify.length, 0, 1024)},
      {"silent-from", required_argument, onDevice(TakeSilentFrom)},
      {"wrong-byte", required_argument, onDevice(TakeWrongByte)},
      {"two-byte", required_argument, onDevice(TakeTwoByte)},
      {"refuse", required_argument, onDevice(TakeRefusal)},
      {"erase-reads", required_argument, Number(device.eraseReads, 1, 1000)},
      {"erase-ms", required_argument, Number(device.eraseMilliseconds, 0, MaxMilliseconds)},
      {"fault-cycles", required_argument, Number(device.faultCycles, 1, 1000)},
      {"fault-updates", required_argument, Number(device.faultUpdates, 1, 1000)},
      {"drop", required_argument, Rate(device.dropRate)},
      {"duplicate", required_argument, Rate(device.duplicateRate)},
      {"delay", required_argument, onDevice(TakeDelay)},
      {"seed", required_argument, onDevice(TakeSeed)},
      {"store", required_argument, Text(options.storeFile)},
      {"store-setting", required_argument, Text(options.settingFile)},
      {"once", no_argument, Set(options.once, true)},
      {"timeout", required_argument, Number(options.timeoutSeconds, 1, 86400)},
      {"ready-fd", required_argument, Number(options.readyFd, 0, 65535)},
      {"host-network", no_argument, Set(options.hostNetwork, true)},
      {"quiet", no_argument, Set(options.quiet, true)},
      {"version", no_argument, Set(options.version, true)},
      {"help", no_argument, Set(options.help, true)},
  };
  std::vector<option> longOptions;
  for (const Option& entry : table) {
    longOptions.push_back(
        {entry.name, entry.hasArgument, nullptr, FirstId + static_cast<int>(longOptions.size())});
  }
  longOptions.push_back({});  // the end of the list
  // 0 starts getopt afresh (a test parses many command lines); the leading ':' tells a missing
  // value apart, and opterr = 0 leaves every message to this function.
  optind = 0;
  opterr = 0;
  for (int result; (result = getopt_long(argc, argv, ":", longOptions.data(), nullptr)) != -1;) {
    // `optopt` names the option whose value is missing or needless; it is 0 for an unknown or
    // ambiguous one (and a character for a short option, of which there is none).
    if (result < FirstId && optopt < FirstId) {
      error = "unknown or ambiguous option '" + std::string(argv[optind - 1]) + "'";
      return false;
    }
    const Option& entry = table[(result < FirstId ? optopt : result) - FirstId];
    if (result < FirstId) {
      error = "option '--" + std::string(entry.name) + "' " +
              (result == ':' ? "needs a value" : "takes no value");
      return false;
    }
    const std::string_view value = optarg != nullptr ? optarg : "";
    const std::string fault = entry.take(value);
    if (!fault.empty()) {
      error = "option '--" + std::string(entry.name) + "' " + fault + ", not '" +
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
