// The simulator's device core datagram by datagram, its command line and its network namespace
// check: what the end-to-end suites cannot see from the utility's side, that the device refuses
// what a sound utility never sends and plays each fault as asked.
#include <gtest/gtest.h>

#include <iterator>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "sim/device.h"
#include "sim/serve.h"
#include "sim/sim_options.h"
#include "test_data.h"
#include "transfer/block_record.h"

namespace {

using namespace devsim;

using Bytes = std::vector<uint8_t>;

// The file of the transfers below, and the image the utility loads from it.
const Bytes File = PatternBytes(ImageCapacity, 9);
const std::unique_ptr<ImageBuffer> Image = LoadedImage(File);

// A record as the utility sends it, built and masked by the utility's own code.
Bytes Record(char command, uint32_t offset) {
  BlockRecord record{};
  FillBlockRecord(record, static_cast<uint8_t>(command), offset, *Image);
  ScrambleBlockRecord(record);
  return {record.begin(), record.end()};
}

// Reads `line` as the simulator's command line; returns the error, "" when it was taken.
std::string Parse(const std::string& line, SimOptions& options) {
  std::istringstream words("torvane-devsim " + line);
  std::vector<std::string> arguments{std::istream_iterator<std::string>(words), {}};
  std::vector<char*> argv;
  for (std::string& argument : arguments) {
    argv.push_back(argument.data());
  }
  std::string error;
  return ParseSimOptions(static_cast<int>(argv.size()), argv.data(), options, error) ? "" : error;
}

// Plays the utility's side against one device set up by the simulator's options (one text).
struct Utility {
  explicit Utility(const std::string& options = "") {
    SimOptions parsed;
    EXPECT_EQ(Parse(options, parsed), "");
    device = std::make_unique<Device>(parsed.device);
  }

  // The replies, comma-separated.
  std::string Send(const Bytes& bytes) {
    last = device->Handle({bytes, {{10, 0, 0, 1}, 40000}, {10, 0, 0, 2}});
    std::string replies;
    for (const Reply& reply : last.replies) {
      replies += (replies.empty() ? "" : ",") + std::string(reply.bytes.begin(), reply.bytes.end());
    }
    return replies;
  }
  // "S", "E", "R", "T" (a probe), or "P3" / "V3" for the record of block 3.
  std::string Send(const std::string& step) {
    Bytes bytes(step.begin(), step.end());
    if (step == "T") {
      bytes.resize(513, 0);
    } else if (step.size() > 1) {
      bytes = Record(step[0], std::stoul(step.substr(1)) * 256);
    }
    return Send(bytes);
  }
  // Sends each step of `script` ("S=S,1 P2=P,0,0": the datagram, then the replies it must get).
  void Play(const std::string& script) {
    std::istringstream steps(script);
    for (std::string step; steps >> step;) {
      const size_t equals = step.find('=');
      EXPECT_EQ(Send(step.substr(0, equals)), step.substr(equals + 1)) << step << ": " << Log();
    }
  }
  // The start-update request, "S", the ten probes and the first "E".
  void Open() {
    Send(ManagementRequest(0x74));
    Play("S=S,1 T=T,1 T=T,1 T=T,1 T=T,1 T=T,1 T=T,1 T=T,1 T=T,1 T=T,1 T=T,1 E=E,1");
  }
  std::string Log() const { return last.log; }

  std::unique_ptr<Device> device;
  Outcome last;
};

TEST(DevsimDevice, UnmasksTheUtilitysRecords) {
  for (uint32_t offset : {0u, 0x10000u, 0x1FF00u}) {
    const auto record = UnmaskBlockRecord(Record('V', offset));
    ASSERT_TRUE(record.has_value());
    EXPECT_TRUE(record->command == 'V' && record->reserved == 0 && record->offset == offset);
    EXPECT_TRUE(std::equal(record->data.begin(), record->data.end(), &Image->bytes[offset]));
  }
  EXPECT_FALSE(UnmaskBlockRecord(Bytes(325, 0)).has_value());
  EXPECT_FALSE(UnmaskBlockRecord(Bytes(327, 0)).has_value());
}

TEST(DevsimDevice, RefusesRecordsItCannotTakeAndSaysWhy) {
  const struct {
    uint32_t offset;
    uint8_t reserved;
    std::string log;
  } cases[] = {
      {0x80, 0, "program 1 0 refused offset 0x00080 not a multiple of 256"},
      {131072, 0, "program 1 512 refused offset 0x20000 out of range"},
      {0, 7, "program 1 0 refused try 1, reserved byte 0x07"},
  };
  for (const auto& c : cases) {
    Utility utility;
    utility.Open();
    Bytes record = Record('P', c.offset);
    record[1] = c.reserved;
    EXPECT_EQ(utility.Send(record), "P,0,0");
    EXPECT_EQ(utility.Log(), c.log + " -> P 0 0");
    EXPECT_TRUE(utility.device->StoredImage().empty());
  }
  Utility utility;
  utility.Send(ManagementRequest(0x74));
  utility.Play("S=S,1 P1=P,0,0");
  EXPECT_EQ(utility.Log(), "program - 1 refused try 1, no erase since \"S\" -> P 0 0");
}

TEST(DevsimDevice, VerifiesAgainstWhatWasProgrammedAndStoresOnlyThat) {
  Utility utility;
  utility.Open();
  utility.Play("V1=V,0,0");
  EXPECT_EQ(utility.Log(), "verify 1 1 refused try 1, block not programmed -> V 0 0");
  utility.Play("P1=P,1");
  Bytes changed = Record('V', 256);
  changed[6 + 17] ^= 0x40;
  EXPECT_EQ(utility.Send(changed), "V,0,0");
  EXPECT_EQ(utility.Log(),
            "verify 1 1 refused try 2, differs from the programmed data at byte 17 -> V 0 0");
  utility.Play("V1=V,1 P2=P,1 V2=V,1");
  // Zeros where no block came; the file's own bytes where one did.
  Bytes stored(256, 0);
  stored.insert(stored.end(), File.begin() + 256, File.begin() + 768);
  EXPECT_EQ(utility.device->StoredImage(), stored);
  // A hole at block 0: the finish is answered, and the closing ends a failed update.
  utility.Play("R=R,1");
  EXPECT_EQ(utility.Log(),
            "finish 1 - ok 2 blocks programmed and verified, not contiguous from block 0 -> R 1");
  utility.Play("R= R= R= R= R=");
  EXPECT_TRUE(utility.last.updateEnded);
  EXPECT_FALSE(utility.last.updateSucceeded);
  EXPECT_EQ(utility.Log(),
            "end - - incomplete 2 blocks programmed, 2 verified, not contiguous from block 0");
}

TEST(DevsimDevice, TransferWaitsForTheStartUpdateRequestUnlessLifted) {
  Utility strict;
  strict.Play("S=");
  EXPECT_EQ(strict.Log(),
            "open - - refused from 10.0.0.1:40000: no start-update request yet "
            "(--no-start-required lifts this)");
  Utility("--no-start-required").Play("S=S,1");
}

TEST(DevsimDevice, TransferFaultsShapeTheReplies) {
  const struct {
    const char* options;
    const char* script;  // after the start-update request
  } cases[] = {
      {"--silent-from S.1", "S=S T= S="},
      {"--wrong-byte P1.1", "S=S,1 E=E,1 P0=P,1 P1=P,?"},
      {"--wrong-byte E=0x21 --fault-cycles 1", "S=S,1 E=!,1 E=E,1"},
      {"--refuse P2:2", "S=S,1 E=E,1 P2=P,0,0 P2=P,0,0 P2=P,1 E=E,1 P2=P,0,0"},
      {"--two-byte P", "S=S,1 E=E,1 P0=P1 P1=P1 V0=V,1"},
      {"--drop 1", "S="},
      {"--duplicate 1", "S=S,S,1,1"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.options);
    Utility utility(c.options);
    utility.Send(ManagementRequest(0x74));
    utility.Play(c.script);
  }
}

TEST(DevsimDevice, DelaysRideOnTheRepliesAndRandomFaultsFollowTheSeed) {
  Utility delayed("--no-start-required --erase-ms 1500 --delay 1:40");
  delayed.Play("S=S,1 E=E,1");
  EXPECT_EQ(delayed.last.replies[0].delayMilliseconds, 40);
  EXPECT_EQ(delayed.last.replies[1].delayMilliseconds, 1540);
  EXPECT_EQ(delayed.Log(), "erase 1 - ok -> E(+40ms) 1(+1540ms)");
  auto replies = [](const std::string& seed) {
    Utility utility("--no-start-required --drop 0.3 --duplicate 0.3 --seed " + seed);
    std::string all;
    for (int i = 0; i < 20; ++i) {
      all += utility.Send("S") + "|";
    }
    return all;
  };
  const std::string seven = replies("7");
  EXPECT_EQ(replies("7"), seven);
  EXPECT_NE(replies("8"), seven);
  // 40 replies, some dropped, some doubled.
  const auto sent = std::count_if(seven.begin(), seven.end(), isalnum);
  EXPECT_NE(sent, 40);
  EXPECT_GT(sent, 10);
}

TEST(DevsimDevice, ManagementRepliesByteForByte) {
  Utility utility(
      "--address 192.168.1.200 --device-type 258 --device-id 01:02:03:04:05:06 "
      "--discovery-length 22 --identify-code 0x1234");
  const std::string reply(
      "\x43\x21\x30\x39\xC0\xA8\x01\xC8\0\0\0\0\x01\x02\x03\x04\x05\x06\x01\x02", 20);
  EXPECT_EQ(utility.Send(ManagementRequest(0x39)), reply + "\xEE\xEE");
  EXPECT_EQ(utility.Log(),
            "discover - - answered from 10.0.0.1:40000: announcing 192.168.1.200 -> 22 bytes");
  EXPECT_EQ(utility.Send(ManagementRequest(0x3E)),
            reply.substr(0, 2) + "\x12\x34" + reply.substr(4));
  EXPECT_EQ(utility.Log(),
            "identify - - answered from 10.0.0.1:40000: type 258, id 01:02:03:04:05:06, code "
            "0x1234 -> 20 bytes");
}

// A setting record for this device's default id.
Bytes Setting(const std::string& text) {
  return SettingRecordBytes({0x00, 0x1B, 0x2C, 0x3D, 0x4E, 0x5F}, text);
}

TEST(DevsimDevice, TakesASettingRecordOnlyWhenEveryByteIsRight) {
  Utility utility;
  utility.Send(Setting("a\"b\\c\xE9"));
  EXPECT_TRUE(utility.last.settingReceived);
  EXPECT_EQ(utility.Log(),
            "setting - - taken from 10.0.0.1:40000: \"a\\x22b\\x5cc\\xe9\" (6 characters)");
  EXPECT_EQ(utility.device->Setting(), "a\"b\\c\xE9");
  const struct {
    size_t at;  // 104: one byte too many
    uint8_t byte;
    const char* fault;
  } cases[] = {
      {104, 0, "record of 105 bytes"},
      {5, 5, "first item type 3 length 5, expected type 3 length 6"},
      {12, 6, "second item type 6, expected 5"},
      {13, 0, "text item length 0"},
      {13, 90, "text item length 90"},
      {15, 0, "zero byte inside the text"},
      {103, 1, "byte 103 after the text is not zero"},
      {8, 0, "device id \\x00\\x1b\\x00=N_ is not this device's"},
  };
  for (const auto& c : cases) {
    Bytes record = Setting("abc");
    record.resize(std::max<size_t>(104, c.at + 1));
    record[c.at] = c.byte;
    Utility device;
    device.Send(record);
    EXPECT_FALSE(device.last.settingReceived);
    EXPECT_EQ(device.Log(), std::string("setting - - refused from 10.0.0.1:40000: ") + c.fault);
  }
}

TEST(DevsimDevice, StrayDatagramsAreLoggedAndIgnored) {
  Bytes shortRequest = ManagementRequest(0x39);
  shortRequest.pop_back();
  const struct {
    Bytes bytes;
    const char* reason;
    const char* detail;
  } cases[] = {
      {{}, "empty", ""},
      {Bytes(512, 'T'), "unknown", ": datagram of 512 bytes starting with 0x54"},
      {{'E'}, "unopened", ": 'E' before \"S\""},
      {{0x43, 0x21, 0x30}, "short", ": management datagram of 3 bytes"},
      {shortRequest, "unknown", ": management code 0x3039 in 19 bytes"},
      {ManagementRequest(0x34), "unknown", ": management code 0x3034 in 20 bytes"},
  };
  for (const auto& c : cases) {
    Utility utility;
    utility.Send(ManagementRequest(0x74));
    EXPECT_EQ(utility.Send(c.bytes), "");
    EXPECT_EQ(utility.Log(),
              std::string("ignored - - ") + c.reason + " from 10.0.0.1:40000" + c.detail);
  }
}

TEST(DevsimOptions, StepNames) {
  // Each name as command, number (-1: any) and ".1" for the reply after the echo.
  std::string read;
  for (const char* text : {"S", "S.1", "T10", "T1.1", "E2.1", "P0", "V511", "R.1"}) {
    const auto step = ParseDialogueStep(text);
    read +=
        step ? step->kind + std::to_string(step->index) + (step->completion ? ".1 " : " ") : "? ";
  }
  EXPECT_EQ(read, "S-1 S-1.1 T10 T1.1 E2.1 P0 V511 R-1.1 ");
  for (const char* text : {"", "X", "s", "S1", "T0", "T11", "P512", "E0", "P-1", "P3.2", "P3x"}) {
    EXPECT_FALSE(ParseDialogueStep(text).has_value()) << text;
  }
}

TEST(DevsimOptions, GetoptLongTakesBothFormsAndNamesMistakes) {
  const std::pair<const char*, const char*> cases[] = {
      {"--device-type=2 --refuse P3:4 --refuse=V:1 --timeout 9 --once", ""},
      {"image.bin", "unexpected argument 'image.bin'"},
      {"--bogus", "unknown or ambiguous option '--bogus'"},
      {"--d 1", "unknown or ambiguous option '--d'"},
      {"--once=1", "option '--once' takes no value"},
      {"--store", "option '--store' needs a value"},
      {"--refuse E:1", "option '--refuse' expects BLOCK:K such as P3:4 or V:1, not 'E:1'"},
      {"--delay=0.5", "option '--delay' expects RATE:MS such as 0.1:1500, not '0.5'"},
      {"--device-id 0011223344zz",
       "option '--device-id' expects 12 hexadecimal digits, not "
       "'0011223344zz'"},
  };
  for (const auto& [arguments, message] : cases) {
    SimOptions options;
    EXPECT_EQ(Parse(arguments, options), message);
  }
  SimOptions taken;
  Parse(cases[0].first, taken);
  EXPECT_TRUE(taken.device.deviceType == 2 && taken.device.refusals.size() == 2 &&
              taken.timeoutSeconds == 9 && taken.once);
}

TEST(DevsimNetwork, TellsTheInitialNamespaceByItsFile) {
  // Any files serve as namespace files: the same file is the same namespace.
  const struct {
    const char* own;
    const char* pid1;
    const char* pid2;
    NetworkNamespace verdict;
  } cases[] = {
      {"/", "/", "/proc", NetworkNamespace::Initial},
      {"/", "/proc", "/", NetworkNamespace::Private},
      {"/", "/missing", "/", NetworkNamespace::Initial},
      {"/", "/missing", "/missing", NetworkNamespace::Unknown},
      {"/missing", "/", "/", NetworkNamespace::Unknown},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(ClassifyNetworkNamespace(c.own, {c.pid1, c.pid2}), c.verdict) << c.own << c.pid1;
  }
}

}  // namespace
