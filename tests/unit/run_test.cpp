// SPDX-License-Identifier: Apache-2.0
// The run's order with stand-in steps: the platform's failures, which end it before the command
// line, and which step gets which address text and setting.
#include "app/run.h"

#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <vector>

#include "app/console.h"

namespace {

const std::string Ng = "GGGGGGG\n\nError encountered, press any key to continue";

TEST(RunProgram, StopsWhereAStepFailsWithItsOutputAndStatus) {
  const std::string image = testing::TempDir() + "torvane-run-test.bin";
  std::ofstream(image) << "firmware";
  const char* img = image.c_str();
  const struct {
    std::vector<const char*> arguments;
    int framework, sockets;
    std::string output;  // the end of the output, from the start-up banner's blank line
    int status;
    std::string calls;
  } cases[] = {
      {{img, "10.0.0.1"}, 0, 1, "\n\nFatal Error: MFC initialization failed", 0, ""},
      {{img, "10.0.0.1"}, 1, 0, "\n\nSocket init error\n", 0, ""},
      // Decimal parts (as octal, 08 would be no number); the text goes on as it was given.
      {{img, "1.2.003.08  ", "-pabc"}, 1, 1, Ng, 1, "P 1.2.003.08   abc;T 1.2.003.08  ;K;"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.calls);
    std::string calls;
    RunSteps steps;
    steps.initializeFramework = [&] { return c.framework; };
    steps.startSocketLibrary = [&] { return c.sockets; };
    steps.prepareTarget = [&](const char* target, std::string_view setting) {
      calls += "P " + std::string(target) + " " + std::string(setting) + ";";
      return 1;
    };
    steps.runTransferSequence = [&](const char* target) {
      calls += "T " + std::string(target) + ";";
      return 0;
    };
    steps.waitForKey = [&] { calls += "K;"; };
    std::vector<const char*> argv = {"torvane-fwupdate"};
    argv.insert(argv.end(), c.arguments.begin(), c.arguments.end());
    ConsoleCapture console;
    EXPECT_EQ(RunProgram(static_cast<int>(argv.size()), argv.data(), steps), c.status);
    const std::string& text = console.Text();
    EXPECT_TRUE(text.starts_with("Torvane Firmware Update Utility.   ")) << text;
    EXPECT_TRUE(text.ends_with(c.output)) << text;
    EXPECT_EQ(calls, c.calls);
  }
  std::remove(image.c_str());
}

}  // namespace
