// SPDX-License-Identifier: Apache-2.0
// The simulator's command line read with CLI11, one line per option in the order of --help; the
// manual page torvane-devsim(1) is the full description.
#include "sim/sim_options.h"

#include <CLI/CLI.hpp>
#include <functional>
#include <optional>
#include <string_view>

#include "common/dotted_quad.h"
#include "common/number_text.h"

namespace devsim {

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

TakeValue Rate(double& field) {
  return [&field](std::string_view value) -> std::string {
    const auto rate = ReadRate(value);
    field = rate.value_or(0);
    return rate ? "" : "expects a rate from 0 to 1";
  };
}

TakeValue Code(std::optional<uint16_t>& field) {
  return [&field](std::string_view value) -> std::string {
    const bool hex = value.starts_with("0x") || value.starts_with("0X");
    const auto code = ReadNumber(value.substr(hex ? 2 : 0), 0, 0xFFFF, hex ? 16 : 10);
    field = code ? std::optional<uint16_t>(static_cast<uint16_t>(*code)) : std::nullopt;
    return code ? "" : "expects a code from 0x0000 to 0xFFFF";
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

// Adds the simulator's options to its command line, each in one call.
class OptionAdder {
 public:
  OptionAdder(CLI::App& app, DeviceSettings& device) : app_(app), device_(device) {}

  // The options added from now on are listed under `name` in --help.
  void Group(const char* name) { app_.option_defaults()->group(name); }
  void Value(const std::string& name, const char* shown, const std::string& help, TakeValue take) {
    AddValueOption(app_, name, shown, help, std::move(take));
  }
  // An option read by one of the Take functions above, into the device's settings.
  void OnDevice(const char* name, const char* shown, const char* help,
                std::string (*take)(DeviceSettings&, std::string_view)) {
    Value(name, shown, help, std::bind_front(take, std::ref(device_)));
  }
  void Flag(const char* name, const char* help, bool& field, bool set) {
    AddFlag(app_, name, help, [&field, set] { field = set; });
  }

 private:
  CLI::App& app_;
  DeviceSettings& device_;
};

void AddDeviceOptions(OptionAdder& add, DeviceSettings& device) {
  add.Group("Device");
  add.OnDevice("--address", "A.B.C.D", "address announced by discovery (default: as reached)",
               TakeAddress);
  add.Value("--device-type", "N", "device type in identify replies (default 1)",
            WholeNumber(device.deviceType, 0, 65535));
  add.OnDevice("--device-id", "HEX", "six id bytes in hex (default 00:1b:2c:3d:4e:5f)",
               TakeDeviceId);
  add.Flag("--no-start-required", "accept \"S\" without a start-update request first",
           device.startRequired, false);
}

// The options of one kind of management request, "discovery" or "identify", alike but for it.
void AddReplyOptions(OptionAdder& add, const std::string& request,
                     ManagementReplySettings& replies) {
  const std::string option = "--" + request + "-";
  add.Value(option + "replies", "N", "replies per " + request + " request, 0 to 10 (default 1)",
            WholeNumber(replies.count, 0, 10));
  add.Value(option + "delay", "MS", "send them MS milliseconds late",
            WholeNumber(replies.delayMilliseconds, 0, MaxMilliseconds));
  add.Value(option + "code", "CODE", "echo CODE (0xNNNN or decimal), not the request's code",
            Code(replies.code));
  add.Value(option + "length", "N", "reply with N bytes, 0 to 1024 (default 20)",
            WholeNumber(replies.length, 0, 1024));
}

void AddTransferFaultOptions(OptionAdder& add, DeviceSettings& device) {
  add.Group("Transfer faults (STEP: S, T3, E2, P3, V3, R...; .1: the reply after the echo)");
  add.OnDevice("--silent-from", "STEP", "answer nothing at all from STEP on", TakeSilentFrom);
  add.OnDevice("--wrong-byte", "STEP[=B]", "answer STEP with byte B: a character, 0xNN, default ?",
               TakeWrongByte);
  add.OnDevice("--two-byte", "STEP", "send the echo of STEP and the next reply together",
               TakeTwoByte);
  add.OnDevice("--refuse", "BLOCK:K", "refuse the first K tries of BLOCK: P3, V0, P (all)",
               TakeRefusal);
  add.Value("--erase-reads", "N", "the erase's '1' is reply N after the 'E' (default 1)",
            WholeNumber(device.eraseReads, 1, 1000));
  add.Value("--erase-ms", "MS", "the erase's '1' comes MS milliseconds after the \"E\"",
            WholeNumber(device.eraseMilliseconds, 0, MaxMilliseconds));
  add.Value("--fault-cycles", "N", "--wrong-byte to --erase-ms only in the first N cycles",
            WholeNumber(device.faultCycles, 1, 1000));
  add.Value("--fault-updates", "N", "--silent-from to --erase-ms only in the first N updates",
            WholeNumber(device.faultUpdates, 1, 1000));
  add.Value("--drop", "RATE", "drop this share (0 to 1) of the transfer replies",
            Rate(device.dropRate));
  add.Value("--duplicate", "RATE", "send this share of the transfer replies twice",
            Rate(device.duplicateRate));
  add.OnDevice("--delay", "RATE:MS", "send this share of the transfer replies MS ms late",
               TakeDelay);
  add.OnDevice("--seed", "N", "seed of the drops, duplicates and delays (default 1)", TakeSeed);
}

void AddRunningOptions(OptionAdder& add, SimOptions& options) {
  add.Group("Running");
  add.Value("--store", "FILE", "write the image received to FILE after each update",
            Text(options.storeFile));
  add.Value("--store-setting", "FILE", "write each setting string received to FILE",
            Text(options.settingFile));
  add.Flag("--once", "exit after one update: status 0 complete, 1 incomplete", options.once, true);
  add.Value("--timeout", "SECONDS", "exit with status 4 when nothing arrives for SECONDS",
            WholeNumber(options.timeoutSeconds, 1, 86400));
  add.Value("--ready-fd", "N", "write \"ready\" to descriptor N once port 36 is bound",
            WholeNumber(options.readyFd, 0, 65535));
  add.Flag("--host-network", "run even in this machine's own network namespace",
           options.hostNetwork, true);
  add.Value("--user", "NAME", "when root, become NAME after binding (default nobody)",
            Text(options.user));
  add.Flag("--quiet", "log nothing on standard error but errors", options.quiet, true);
}

}  // namespace

CommandLineOutcome ReadSimCommandLine(int argc, const char* const* argv, SimOptions& options) {
  CLI::App app(
      "Usage: torvane-devsim [OPTION]...\n"
      "Plays a Torvane device on UDP port 36 for torvane-fwupdate, in a network\n"
      "namespace of its own (unshare --net). The manual page torvane-devsim(1)\n"
      "describes every option, the STEP names, the log and the exit statuses.\n\n",
      "torvane-devsim");
  OptionAdder add(app, options.device);
  AddDeviceOptions(add, options.device);
  add.Group("Management faults");
  AddReplyOptions(add, "discovery", options.device.discovery);
  AddReplyOptions(add, "identify", options.device.identify);
  AddTransferFaultOptions(add, options.device);
  AddRunningOptions(add, options);
  FinishCommandLine(app, "torvane-devsim " TORVANE_VERSION, "--help");
  return ReadCommandLine(app, argc, argv);
}

}  // namespace devsim
