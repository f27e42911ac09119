#include "sim/sim_options.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using namespace devsim;

bool Parse(const std::vector<std::string>& arguments, SimOptions& options, std::string& error) {
  return ParseSimOptions(arguments, options, error);
}

TEST(DevsimOptions, StepNames) {
  struct Case {
    const char* text;
    bool valid;
    char kind;
    int index;
    bool completion;
  };
  const Case cases[] = {
      {"S", true, 'S', -1, false},  {"S.1", true, 'S', -1, true},    {"T10", true, 'T', 10, false},
      {"T1.1", true, 'T', 1, true}, {"E", true, 'E', -1, false},     {"E2.1", true, 'E', 2, true},
      {"P0", true, 'P', 0, false},  {"V511", true, 'V', 511, false}, {"R.1", true, 'R', -1, true},
      {"", false, 0, 0, false},     {"X", false, 0, 0, false},       {"s", false, 0, 0, false},
      {"S1", false, 0, 0, false},   {"R2", false, 0, 0, false},      {"T0", false, 0, 0, false},
      {"T11", false, 0, 0, false},  {"P512", false, 0, 0, false},    {"E0", false, 0, 0, false},
      {"P-1", false, 0, 0, false},  {"P3.2", false, 0, 0, false},    {"P3x", false, 0, 0, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    const auto step = ParseDialogueStep(c.text);
    ASSERT_EQ(step.has_value(), c.valid);
    if (c.valid) {
      EXPECT_EQ(step->kind, c.kind);
      EXPECT_EQ(step->index, c.index);
      EXPECT_EQ(step->completion, c.completion);
    }
  }
}

TEST(DevsimOptions, EveryOptionReachesTheSettings) {
  SimOptions o;
  std::string error;
  ASSERT_TRUE(Parse({"--no-start-required",
                     "--address",
                     "10.0.0.200",
                     "--device-type=2",
                     "--device-id",
                     "0a:0b:0c:0d:0e:0f",
                     "--discovery-replies",
                     "2",
                     "--discovery-delay",
                     "1500",
                     "--identify-code",
                     "0x3930",
                     "--identify-length",
                     "30",
                     "--silent-from",
                     "T10",
                     "--wrong-byte",
                     "P3.1=0x30",
                     "--wrong-byte",
                     "S",
                     "--two-byte",
                     "P",
                     "--refuse",
                     "V2:5",
                     "--erase-reads",
                     "35",
                     "--erase-ms",
                     "200",
                     "--fault-cycles",
                     "1",
                     "--drop",
                     "0.25",
                     "--duplicate",
                     "1",
                     "--delay",
                     "0.5:40",
                     "--seed",
                     "9",
                     "--store",
                     "out.bin",
                     "--store-setting",
                     "setting.txt",
                     "--once",
                     "--timeout",
                     "30",
                     "--ready-fd",
                     "5",
                     "--quiet"},
                    o, error))
      << error;
  const DeviceSettings& d = o.device;
  EXPECT_FALSE(d.startRequired);
  EXPECT_EQ(d.announcedAddress, (std::array<uint8_t, 4>{10, 0, 0, 200}));
  EXPECT_EQ(d.deviceType, 2);
  EXPECT_EQ(d.deviceId, (std::array<uint8_t, 6>{10, 11, 12, 13, 14, 15}));
  EXPECT_EQ(d.discovery.count, 2);
  EXPECT_EQ(d.discovery.delayMs, 1500);
  EXPECT_EQ(d.identify.code, 0x3930);
  EXPECT_EQ(d.identify.length, 30);
  ASSERT_TRUE(d.silentFrom.has_value());
  EXPECT_TRUE(d.silentFrom->Matches('T', 10, false));
  ASSERT_EQ(d.wrongBytes.size(), 2u);
  EXPECT_TRUE(d.wrongBytes[0].step.Matches('P', 3, true));
  EXPECT_EQ(d.wrongBytes[0].byte, '0');
  EXPECT_EQ(d.wrongBytes[1].byte, '?');
  ASSERT_EQ(d.twoByteReplies.size(), 1u);
  ASSERT_EQ(d.refusals.size(), 1u);
  EXPECT_TRUE(d.refusals[0].block.Matches('V', 2, false));
  EXPECT_EQ(d.refusals[0].tries, 5);
  EXPECT_EQ(d.eraseReads, 35);
  EXPECT_EQ(d.eraseMs, 200);
  EXPECT_EQ(d.faultCycles, 1);
  EXPECT_EQ(d.dropRate, 0.25);
  EXPECT_EQ(d.duplicateRate, 1);
  EXPECT_EQ(d.delayRate, 0.5);
  EXPECT_EQ(d.delayMs, 40);
  EXPECT_EQ(d.seed, 9u);
  EXPECT_EQ(o.storeFile, "out.bin");
  EXPECT_EQ(o.settingFile, "setting.txt");
  EXPECT_TRUE(o.once);
  EXPECT_EQ(o.timeoutSeconds, 30);
  EXPECT_EQ(o.readyFd, 5);
  EXPECT_TRUE(o.quiet);
}

TEST(DevsimOptions, MistakesAreNamed) {
  struct Case {
    std::vector<std::string> arguments;
    const char* error;
  };
  const Case cases[] = {
      {{"image.bin"}, "unexpected argument 'image.bin'"},
      {{"--bogus"}, "unknown option '--bogus'"},
      {{"--once=1"}, "option '--once' takes no value"},
      {{"--store"}, "option '--store' needs a value FILE"},
      {{"--address", "10.0.0"},
       "option '--address' expects an IPv4 address such as 10.0.0.200, "
       "not '10.0.0'"},
      {{"--erase-reads", "0"},
       "option '--erase-reads' expects a whole number from 1 to 1000, "
       "not '0'"},
      {{"--device-type", "65536"},
       "option '--device-type' expects a whole number from 0 to "
       "65535, not '65536'"},
      {{"--device-id", "0a0b0c0d0e"},
       "option '--device-id' expects 12 hexadecimal digits, not "
       "'0a0b0c0d0e'"},
      {{"--drop", "1.5"}, "option '--drop' expects a rate from 0 to 1, not '1.5'"},
      {{"--delay", "0.5"}, "option '--delay' expects RATE:MS such as 0.1:1500, not '0.5'"},
      {{"--refuse", "E:1"}, "option '--refuse' expects BLOCK:K such as P3:4 or V:1, not 'E:1'"},
      {{"--two-byte", "P.1"},
       "option '--two-byte' expects an echo step such as S, T or P3, not "
       "'P.1'"},
      {{"--wrong-byte", "S=ab"},
       "option '--wrong-byte' expects one character or 0xNN after '=', "
       "not 'S=ab'"},
      {{"--identify-code", "0x10000"},
       "option '--identify-code' expects a code from 0x0000 to "
       "0xFFFF, not '0x10000'"},
  };
  for (const Case& c : cases) {
    SimOptions options;
    std::string error;
    EXPECT_FALSE(Parse(c.arguments, options, error));
    EXPECT_EQ(error, c.error);
  }
}

TEST(DevsimOptions, HelpNamesEveryOption) {
  const std::string help = SimUsage();
  for (const char* name : {"--address",
                           "--device-type",
                           "--device-id",
                           "--no-start-required",
                           "--discovery-replies",
                           "--discovery-delay",
                           "--discovery-code",
                           "--discovery-length",
                           "--identify-replies",
                           "--identify-delay",
                           "--identify-code",
                           "--identify-length",
                           "--silent-from",
                           "--wrong-byte",
                           "--two-byte",
                           "--refuse",
                           "--erase-reads",
                           "--erase-ms",
                           "--fault-cycles",
                           "--drop",
                           "--duplicate",
                           "--delay",
                           "--seed",
                           "--store",
                           "--store-setting",
                           "--once",
                           "--timeout",
                           "--ready-fd",
                           "--quiet",
                           "--version",
                           "--help"}) {
    EXPECT_NE(help.find(std::string("\n  ") + name + " "), std::string::npos) << name;
  }
}

}  // namespace
