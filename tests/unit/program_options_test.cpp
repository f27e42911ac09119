#include "app/program_options.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

// What the command line gave, as "input|output|setting|address", then " -e" in the encode mode and
// " cut" for an address that did not fit its field.
std::string Parsed(std::vector<const char*> arguments) {
  arguments.insert(arguments.begin(), "torvane-fwupdate");
  ProgramOptions o;
  ParseCommandLine(static_cast<int>(arguments.size()), arguments.data(), o);
  return o.inputFile + "|" + o.outputFile + "|" + o.settingString + "|" + o.targetAddress.data() +
         (o.encodeMode ? " -e" : "") + (o.targetAddressTooLong ? " cut" : "");
}

TEST(ParseCommandLine, AppliesTheRulesInOrder) {
  const std::string address31(31, '1');
  const std::string address32 = address31 + "2";
  const struct {
    std::vector<const char*> arguments;
    std::string parsed;
  } cases[] = {
      {{}, "|||"},
      {{"fw.bin", "10.0.0.1"}, "fw.bin|||10.0.0.1"},
      {{"-e", "out", "in"}, "in|out|| -e"},
      {{"in", "-e"}, "in||| -e"},
      {{"-e", "a", "-e", "b", "in"}, "in|b|| -e"},
      {{"-e", "o", "i", "junk"}, "i|o||junk -e"},
      {{"-pone", "fw", "-Ptwo"}, "fw||two|"},
      {{"-p -x y", "fw"}, "fw|| -x y|"},
      {{"-P", "fw"}, "-P|||fw"},
      {{"-E", "x"}, "-E|||x"},
      {{"a", "b", "c", "d"}, "a|||b"},
      {{"", "fw", "", "10.0.0.1"}, "fw|||10.0.0.1"},
      {{"fw", address31.c_str()}, "fw|||" + address31},
      {{"fw", address32.c_str()}, "fw|||" + address31 + " cut"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Parsed(c.arguments), c.parsed);
  }
}

}  // namespace
