// SPDX-License-Identifier: Apache-2.0
// The simulator's device core refuses what a sound utility never sends, so that the end-to-end
// runs catch such a datagram; its command line, read as the manual page says; and its check of the
// network namespace.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "sim/device.h"
#include "sim/serve.h"
#include "sim/sim_options.h"

namespace {

using namespace devsim;
using Bytes = std::vector<uint8_t>;

// `bytes` with byte `at` set to `byte`, longer (with zeros) when `at` is past their end.
Bytes Set(Bytes bytes, size_t at, uint8_t byte) {
  bytes.resize(std::max(bytes.size(), at + 1), 0);
  bytes[at] = byte;
  return bytes;
}

// A management request of 20 bytes, or of `length`.
Bytes Request(uint8_t code, size_t length = 20) {
  return Set({0x43, 0x21, 0x30, code}, length - 1, 0);
}

// A block record with an all-zero pad, so that its offset travels in clear.
Bytes Record(char command, uint32_t offset, uint8_t reserved = 0, uint8_t data = 0) {
  Bytes record = {static_cast<uint8_t>(command), reserved};
  for (const int shift : {24, 16, 8, 0}) {
    record.push_back(static_cast<uint8_t>(offset >> shift));
  }
  record.resize(6 + 256, data);
  return Set(record, 325, 0);
}

// A setting record for the default device id.
Bytes Setting(const std::string& text) {
  Bytes record = {0x43, 0x21, 0x30, 0x3F, 3, 6, 0x00, 0x1B, 0x2C, 0x3D, 0x4E, 0x5F, 5};
  record.push_back(static_cast<uint8_t>(text.size()));
  record.insert(record.end(), text.begin(), text.end());
  record.resize(std::max<size_t>(104, record.size()), 0);
  return record;
}

TEST(DevsimDevice, RefusesWhatASoundUtilityNeverSends) {
  // The start-update request, "S", ten probes and the first "E".
  std::vector<Bytes> opened(12, Set({'T'}, 512, 0));
  opened.front() = Request(0x74);
  opened[1] = {'S'};
  opened.push_back({'E'});
  std::vector<Bytes> programmed = opened;
  programmed.push_back(Record('P', 0));
  const struct {
    const char* name;
    std::vector<Bytes> before;
    Bytes datagram;
    std::string fields;  // the first four of its log line, which goes on with a detail
  } cases[] = {
      {"transfer before the start-update request", {}, {'S'}, "open - - refused"},
      {"record off a block start", opened, Record('P', 0x80), "program 1 0 refused"},
      {"record past the image", opened, Record('P', 0x20000), "program 1 512 refused"},
      {"record with its reserved byte set", opened, Record('P', 0, 7), "program 1 0 refused"},
      {"verify of a block never programmed", opened, Record('V', 0), "verify 1 0 refused"},
      {"verify of other data", programmed, Record('V', 0, 0, 1), "verify 1 0 refused"},
      {"request of 3 bytes", {}, Bytes{0x43, 0x21, 0x30}, "ignored - - short"},
      {"discovery of 19 bytes", {}, Request(0x39, 19), "ignored - - unknown"},
      {"discovery with a byte set", {}, Set(Request(0x39), 10, 1), "ignored - - unknown"},
      {"unknown code", {}, Request(0x34), "ignored - - unknown"},
      {"setting record as sent", {}, Setting("abc"), "setting - - taken"},
      {"setting record of 105 bytes", {}, Set(Setting("abc"), 104, 0), "setting - - refused"},
      {"setting text of 90 bytes", {}, Setting(std::string(90, 'x')), "setting - - refused"},
      {"zero in the setting text", {}, Set(Setting("abc"), 15, 0), "setting - - refused"},
      {"byte after the setting text", {}, Set(Setting("abc"), 103, 1), "setting - - refused"},
      {"setting for another device", {}, Set(Setting("abc"), 8, 0), "setting - - refused"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Device device{DeviceSettings{}};
    for (const Bytes& datagram : c.before) {
      device.Handle({datagram, {{10, 0, 0, 1}, 40000}, {10, 0, 0, 2}});
    }
    const std::string log = device.Handle({c.datagram, {{10, 0, 0, 1}, 40000}, {10, 0, 0, 2}}).log;
    EXPECT_EQ(log.substr(0, c.fields.size() + 1), c.fields + " ") << log;
  }
}

TEST(DevsimOptions, ReadAsTheManualPageSays) {
  const struct {
    std::vector<const char*> arguments;
    const char* refusal;  // what standard error says, or nothing for an accepted line
    int deviceType;
    size_t wrongBytes;
  } cases[] = {
      {{"--device-t", "7"}, "", 7, 0},
      {{"--device-type=2", "--device-type", "3"}, "", 3, 0},
      {{"--wrong-byte", "S", "--wrong-byte=T3.1=0x41", "--store="}, "", 1, 2},
      {{"--d", "2"}, "unknown or ambiguous option '--d'", 0, 0},
      {{"--once=yes"}, "--once: takes no value, not 'yes'", 0, 0},
      {{"--timeout"}, "--timeout: 1 required SECONDS missing", 0, 0},
      {{"--seed", "--tim"}, "--seed: expects a whole number, not '--tim'", 0, 0},
      {{"--device-type", "0x10"},
       "--device-type: expects a whole number from 0 to 65535, not '0x10'",
       0,
       0},
      {{"--quiet", "extra"}, "unexpected argument 'extra'", 0, 0},
      {{"--", "--once"}, "unexpected argument '--once'", 0, 0},
  };
  for (const auto& c : cases) {
    std::vector<const char*> argv = {"torvane-devsim"};
    argv.insert(argv.end(), c.arguments.begin(), c.arguments.end());
    SimOptions options;
    testing::internal::CaptureStderr();
    const CommandLineOutcome outcome =
        ReadSimCommandLine(static_cast<int>(argv.size()), argv.data(), options);
    const std::string error = testing::internal::GetCapturedStderr();
    const bool accepted = *c.refusal == '\0';
    SCOPED_TRACE(c.arguments.front());
    EXPECT_EQ(outcome, accepted ? CommandLineOutcome::Run : CommandLineOutcome::Refused);
    EXPECT_EQ(error, accepted ? ""
                              : "torvane-devsim: " + std::string(c.refusal) +
                                    "\nTry 'torvane-devsim --help'.\n");
    if (accepted) {
      EXPECT_EQ(options.device.deviceType, c.deviceType);
      EXPECT_EQ(options.device.wrongBytes.size(), c.wrongBytes);
    }
  }
}

TEST(DevsimNetwork, TellsTheInitialNamespaceByItsFile) {
  // Any files serve as namespace files: the same file is the same namespace.
  const struct {
    const char* own;
    const char* pid1;
    const char* pid2;
    NetworkNamespace verdict;
    const char* why;
  } cases[] = {
      {"/", "/", "/proc", NetworkNamespace::Initial, ""},
      {"/", "/proc", "/", NetworkNamespace::Private, ""},
      {"/", "/missing", "/", NetworkNamespace::Initial, ""},
      {"/", "/missing", "/gone", NetworkNamespace::Unknown,
       "cannot read /missing (No such file or directory) nor /gone (No such file or directory)"},
      {"/missing", "/", "/", NetworkNamespace::Unknown,
       "cannot read /missing: No such file or directory"},
  };
  for (const auto& c : cases) {
    const NamespaceVerdict verdict = ClassifyNetworkNamespace(c.own, {c.pid1, c.pid2});
    EXPECT_EQ(verdict.kind, c.verdict) << c.own << c.pid1;
    EXPECT_EQ(verdict.why, c.why);
  }
}

}  // namespace
