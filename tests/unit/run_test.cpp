#include "app/run.h"

#include <gtest/gtest.h>

#include <cstring>
#include <regex>
#include <string>
#include <vector>

#include "app/console.h"
#include "app/program_options.h"
#include "test_data.h"

namespace {

const std::string OkResult =
    "\n"
    "\n           OOOOOO       K    K\n           O    O       K   K"
    "\n           O    O       K  K\n           O    O       KKK"
    "\n           O    O       K  K\n           O    O       K   K"
    "\n           OOOOOO       K    K"
    "\n\nFirmware upgraded, press any key to continue";
const std::string NgResult =
    "\n"
    "\n           N    N       GGGGGGG\n           NN   N       G     G"
    "\n           N N  N       G      \n           N  N N       G  GGGG"
    "\n           N   NN       G     G\n           N   NN       G     G"
    "\n           N    N       GGGGGGG"
    "\n\nError encountered, press any key to continue";

// The steps of a run that touch the platform or the network: each answers as the case sets it, and
// discovery, preparation, transfer and the key wait log their calls (D, P, T and K) with the
// address text (and the setting string) they were given.
struct FakeSteps {
  int framework = 1;
  int sockets = 1;
  int devices = 1;
  int prepared = 1;
  int transferred = 1;
  std::string calls;

  RunSteps Steps() {
    RunSteps steps;
    steps.initializeFramework = [this] { return framework; };
    steps.startSocketLibrary = [this] { return sockets; };
    steps.discoverDevice = [this](AddressText& target) {
      calls += "D;";
      if (devices == 1) {
        std::strcpy(target.data(), "10.0.0.200");
      }
      return devices;
    };
    steps.prepareTarget = [this](const char* target, std::string_view setting) {
      calls +=
          "P " + std::string(target) + (setting.empty() ? "" : " " + std::string(setting)) + ";";
      return prepared;
    };
    steps.runTransferSequence = [this](const char* target) {
      calls += "T " + std::string(target) + ";";
      return transferred;
    };
    steps.waitForKey = [this] { calls += "K;"; };
    return steps;
  }
};

// The paths that the end-to-end suites cannot reach or see from outside: the platform's failures,
// and which step got which address text.
TEST(RunProgram, EveryPathHasItsOutputExitStatusAndSteps) {
  TempDir dir;
  const std::string image = dir.File("fw.bin");
  WriteBytes(image, PatternBytes(300));
  const char* img = image.c_str();
  using F = FakeSteps;
  const struct {
    std::vector<const char*> arguments;
    int F::*step;
    int answer;
    std::string output;
    int status;
    std::string calls;
  } cases[] = {
      {{img, "10.0.0.1"}, &F::framework, 0, "Fatal Error: MFC initialization failed", 0, ""},
      {{img, "10.0.0.1"}, &F::sockets, 0, "Socket init error\n", 0, ""},
      {{img, "10.0.0.1"}, &F::prepared, 0, "", 1, "P 10.0.0.1;"},
      {{img, "1.2.3.4  "}, &F::transferred, 1, OkResult, 1, "P 1.2.3.4  ;T 1.2.3.4  ;K;"},
      {{img, "1.2.003.010"}, &F::transferred, 0, NgResult, 1, "P 1.2.003.010;T 1.2.003.010;K;"},
      {{"-pabc", img}, &F::devices, 1, OkResult, 1, "D;P 10.0.0.200 abc;T 10.0.0.200;K;"},
  };
  const std::regex banner(
      "Torvane Firmware Update Utility\\.   [A-Z][a-z]{2} [ 1-3][0-9] [0-9]{4} "
      "[0-2][0-9]:[0-5][0-9]:[0-5][0-9]\n\n");
  for (const auto& c : cases) {
    SCOPED_TRACE(c.calls);
    programOptions = ProgramOptions{};
    FakeSteps steps;
    steps.*c.step = c.answer;
    std::vector<const char*> argv = {"torvane-fwupdate"};
    argv.insert(argv.end(), c.arguments.begin(), c.arguments.end());
    ConsoleCapture console;
    EXPECT_EQ(RunProgram(static_cast<int>(argv.size()), argv.data(), steps.Steps()), c.status);
    std::smatch match;
    ASSERT_TRUE(std::regex_search(console.Text(), match, banner)) << console.Text();
    EXPECT_EQ(match.position(0), 0);
    EXPECT_EQ(match.suffix().str(), c.output);
    EXPECT_EQ(steps.calls, c.calls);
  }
}

}  // namespace
