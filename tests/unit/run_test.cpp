#include "app/run.h"

#include <gtest/gtest.h>

#include <cstring>
#include <regex>
#include <string>
#include <vector>

#include "app/console.h"
#include "app/program_options.h"
#include "app/result_banner.h"
#include "image/image_buffer.h"
#include "temp_dir.h"

namespace {

const std::string OkDisplay =
    "\n"
    "\n           OOOOOO       K    K\n           O    O       K   K"
    "\n           O    O       K  K\n           O    O       KKK"
    "\n           O    O       K  K\n           O    O       K   K"
    "\n           OOOOOO       K    K"
    "\n";
const std::string NgDisplay =
    "\n"
    "\n           N    N       GGGGGGG\n           NN   N       G     G"
    "\n           N N  N       G      \n           N  N N       G  GGGG"
    "\n           N   NN       G     G\n           N   NN       G     G"
    "\n           N    N       GGGGGGG"
    "\n";

// Records which steps ran and with what, and answers as the test sets it up.
struct FakeDevice {
  int framework = 1;
  int sockets = 1;
  int devicesFound = 1;
  const char* discoveredAddress = "10.0.0.200";
  int prepareResult = 1;
  int transferResult = 1;
  std::vector<std::string> calls;

  RunSteps Steps() {
    RunSteps steps;
    steps.initializeFramework = [this] { return framework; };
    steps.startSocketLibrary = [this] { return sockets; };
    steps.discoverDevice = [this](AddressText& target) {
      calls.push_back("discover");
      if (devicesFound == 1) {
        std::strcpy(target.data(), discoveredAddress);
      }
      return devicesFound;
    };
    steps.prepareTarget = [this](const char* target) {
      calls.push_back(std::string("prepare ") + target);
      return prepareResult;
    };
    steps.runTransferSequence = [this](const char* target) {
      calls.push_back(std::string("transfer ") + target);
      return transferResult;
    };
    steps.waitForKey = [this] { calls.push_back("key"); };
    return steps;
  }
};

class RunProgramTest : public ::testing::Test {
 protected:
  void SetUp() override {
    programOptions = ProgramOptions{};
    WriteBytes(image, PatternBytes(300));
  }

  int Run(std::vector<const char*> arguments) {
    arguments.insert(arguments.begin(), "torvane-fwupdate");
    return RunProgram(static_cast<int>(arguments.size()), arguments.data(), device.Steps());
  }

  // The console text after the start-up banner, which must open every run.
  std::string AfterBanner() const {
    static const std::regex banner(
        R"(Torvane Firmware Update Utility\.   [A-Z][a-z]{2} [ 1-3][0-9] [0-9]{4} [0-2][0-9]:[0-5][0-9]:[0-5][0-9]\n\n)");
    std::smatch match;
    const std::string& text = console.Text();
    if (!std::regex_search(text, match, banner) || match.position(0) != 0) {
      ADD_FAILURE() << "no start-up banner in: " << text;
      return text;
    }
    return match.suffix();
  }

  TempDir dir;
  std::string image = dir.File("fw.bin");
  FakeDevice device;
  ConsoleCapture console;
};

TEST_F(RunProgramTest, EveryPathHasItsOutputAndExitStatus) {
  struct Case {
    const char* name;
    std::vector<const char*> arguments;
    void (*setUp)(FakeDevice&);
    std::string output;
    int status;
    std::vector<std::string> calls;
  };
  const char* img = image.c_str();
  const Case cases[] = {
      {"framework fails",
       {img, "10.0.0.1"},
       [](FakeDevice& d) { d.framework = 0; },
       "Fatal Error: MFC initialization failed",
       0,
       {}},
      {"socket library fails",
       {img, "10.0.0.1"},
       [](FakeDevice& d) { d.sockets = 0; },
       "Socket init error\n",
       0,
       {}},
      {"no arguments", {}, nullptr, "Missing input file name\n", 0, {}},
      {"image missing, address invalid",
       {"/no/such/file", "1.2.3"},
       nullptr,
       "File not found\n",
       0,
       {}},
      {"no device",
       {img},
       [](FakeDevice& d) { d.devicesFound = 0; },
       "No device detected\n",
       0,
       {"discover"}},
      {"two devices",
       {img},
       [](FakeDevice& d) { d.devicesFound = 2; },
       "Multiple devices detected, please specify target IP address\n",
       0,
       {"discover"}},
      {"invalid address", {img, "1.2.3"}, nullptr, "Invalid IP address\n", 0, {}},
      {"lone -p as address", {img, "-p"}, nullptr, "Invalid IP address\n", 0, {}},
      {"address too long for the field",
       {img, "10.0.0.1                        x"},
       nullptr,
       "Invalid IP address\n",
       0,
       {}},
      {"preparation fails",
       {img, "10.0.0.1"},
       [](FakeDevice& d) { d.prepareResult = 0; },
       "",
       1,
       {"prepare 10.0.0.1"}},
      {"transfer succeeds",
       {img, "10.0.0.1  "},
       nullptr,
       OkDisplay + "\nFirmware upgraded, press any key to continue",
       1,
       {"prepare 10.0.0.1  ", "transfer 10.0.0.1  ", "key"}},
      {"transfer fails",
       {img, "192.168.001.010"},
       [](FakeDevice& d) { d.transferResult = 0; },
       NgDisplay + "\nError encountered, press any key to continue",
       1,
       {"prepare 192.168.001.010", "transfer 192.168.001.010", "key"}},
      {"discovered device is updated",
       {"-pabc", img},
       nullptr,
       OkDisplay + "\nFirmware upgraded, press any key to continue",
       1,
       {"discover", "prepare 10.0.0.200", "transfer 10.0.0.200", "key"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    programOptions = ProgramOptions{};
    device = FakeDevice{};
    console.Clear();
    if (c.setUp != nullptr) {
      c.setUp(device);
    }
    EXPECT_EQ(Run(c.arguments), c.status);
    EXPECT_EQ(AfterBanner(), c.output);
    EXPECT_EQ(device.calls, c.calls);
  }
}

TEST_F(RunProgramTest, EncodeModeNeverTouchesTheNetworkAndExitsZero) {
  const std::string out = dir.File("out.bin");
  EXPECT_EQ(Run({image.c_str(), "-e", out.c_str(), "not-an-address"}), 0);
  EXPECT_EQ(AfterBanner(), "File " + out + " generated: 512 bytes\n");
  EXPECT_TRUE(device.calls.empty());

  console.Clear();
  EXPECT_EQ(Run({"-e"}), 0);
  EXPECT_EQ(AfterBanner(), "Missing output file name\n");
}

TEST_F(RunProgramTest, StartupClearsTheImageBufferAfterThePlatformSteps) {
  imageBuffer.bytes.fill(0xAA);
  RunSteps steps = device.Steps();
  steps.startSocketLibrary = [] { return 0; };
  EXPECT_EQ(Startup(steps), 0);
  EXPECT_EQ(imageBuffer.bytes[0], 0xAA);  // a failed start stops before the clear
  EXPECT_EQ(Startup(device.Steps()), 1);
  EXPECT_EQ(imageBuffer.bytes[0], 0);
  EXPECT_EQ(imageBuffer.bytes[ImageCapacity - 1], 0);
}

TEST(PrintResultBanner, AnyNonZeroResultIsOk) {
  for (int result : {1, 2, -1}) {
    ConsoleCapture console;
    PrintResultBanner(result);
    EXPECT_EQ(console.Text(), OkDisplay);
  }
  ConsoleCapture console;
  PrintResultBanner(0);
  EXPECT_EQ(console.Text(), NgDisplay);
  EXPECT_EQ(OkDisplay.size() + 45, 255u);
  EXPECT_EQ(NgDisplay.size() + 45, 271u);
}

}  // namespace
