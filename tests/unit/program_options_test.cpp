#include "app/program_options.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

struct Expected {
  std::string inputFile;
  std::string outputFile;
  std::string settingString;
  std::string targetAddress;
  bool encodeMode = false;
  bool targetAddressTooLong = false;
};

struct Case {
  const char* name;
  std::vector<const char*> arguments;
  Expected expected;
};

ProgramOptions Parse(const std::vector<const char*>& arguments) {
  std::vector<const char*> argv = {"torvane-fwupdate"};
  argv.insert(argv.end(), arguments.begin(), arguments.end());
  ProgramOptions options;
  ParseCommandLine(static_cast<int>(argv.size()), argv.data(), options);
  return options;
}

TEST(ParseCommandLine, AppliesTheRulesInOrder) {
  const std::string long32(32, '1');
  const Case cases[] = {
      {"nothing", {}, {}},
      {"image and address", {"fw.bin", "10.0.0.1"}, {"fw.bin", "", "", "10.0.0.1"}},
      {"encode first", {"-e", "out", "in"}, {"in", "out", "", "", true}},
      {"encode after input", {"in", "-e", "out"}, {"in", "out", "", "", true}},
      {"encode last has no output", {"in", "-e"}, {"in", "", "", "", true}},
      {"encode takes an option as its name", {"-e", "-pX", "in"}, {"in", "-pX", "", "", true}},
      {"later encode wins", {"-e", "a", "-e", "b", "in"}, {"in", "b", "", "", true}},
      {"setting lower", {"-pabc", "fw"}, {"fw", "", "abc", ""}},
      {"setting upper", {"fw", "-Pabc"}, {"fw", "", "abc", ""}},
      {"later setting wins", {"-pone", "fw", "-Ptwo"}, {"fw", "", "two", ""}},
      {"setting keeps spaces and dashes", {"-p -x y", "fw"}, {"fw", "", " -x y", ""}},
      {"lone -p is positional", {"fw", "-p"}, {"fw", "", "", "-p"}},
      {"lone -P is the input", {"-P", "fw"}, {"-P", "", "", "fw"}},
      {"upper -E is positional", {"-E", "x"}, {"-E", "", "", "x"}},
      {"unknown option is positional", {"-x", "fw"}, {"-x", "", "", "fw"}},
      {"third positional ignored", {"a", "b", "c", "d"}, {"a", "", "", "b"}},
      {"empty argument leaves the field", {"", "fw", "", "10.0.0.1"}, {"fw", "", "", "10.0.0.1"}},
      {"second positional in encode mode", {"-e", "o", "i", "junk"}, {"i", "o", "", "junk", true}},
      {"31 characters fit",
       {"fw", "1234567890123456789012345678901"},
       {"fw", "", "", "1234567890123456789012345678901"}},
      {"32 characters are cut and marked",
       {"fw", long32.c_str()},
       {"fw", "", "", std::string(31, '1'), false, true}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const ProgramOptions options = Parse(c.arguments);
    EXPECT_EQ(options.inputFile, c.expected.inputFile);
    EXPECT_EQ(options.outputFile, c.expected.outputFile);
    EXPECT_EQ(options.settingString, c.expected.settingString);
    EXPECT_EQ(std::string(options.targetAddress.data()), c.expected.targetAddress);
    EXPECT_EQ(options.encodeMode, c.expected.encodeMode);
    EXPECT_EQ(options.targetAddressTooLong, c.expected.targetAddressTooLong);
  }
}

TEST(ParseCommandLine, NeverWritesPastTheAddressField) {
  const std::string huge(4096, '7');
  const ProgramOptions options = Parse({"fw", huge.c_str()});
  EXPECT_EQ(options.targetAddress[31], '\0');
  EXPECT_TRUE(options.targetAddressTooLong);
}

}  // namespace
