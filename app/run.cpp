// SPDX-License-Identifier: Apache-2.0
// The order of one run: start-up, the command line, then the encode mode or the update (image,
// target, preparation, transfer, result and key wait), and its exit status.
#include "app/run.h"

#include "app/build_stamp.h"
#include "app/console.h"
#include "app/key_wait.h"
#include "app/program_options.h"
#include "app/result_banner.h"
#include "common/platform_startup.h"
#include "image/image_buffer.h"
#include "management/discovery.h"
#include "management/target_preparation.h"
#include "transfer/block_record.h"
#include "transfer/console_transfer_report.h"
#include "transfer/transfer_sequence.h"

namespace {

// The utility's one transfer endpoint, for the whole run.
TransferEndpoint transferEndpoint;

}  // namespace

// Each management step gets a socket of its own, which lives for that step.
RunSteps PlatformRunSteps() {
  RunSteps steps;
  steps.initializeFramework = InitializeFramework;
  steps.startSocketLibrary = StartSocketLibrary;
  steps.discoverDevice = [](AddressText& target) {
    EndpointManagementSocket socket;
    return DiscoverDevice(socket, target);
  };
  steps.prepareTarget = [](const char* target, std::string_view setting) {
    EndpointManagementSocket socket;
    return PrepareTarget(socket, target, setting);
  };
  steps.runTransferSequence = [](const char* target) {
    EndpointLink link(transferEndpoint);
    ConsoleTransferReport report;
    return RunTransferSequence(link, imageBuffer, target, report);
  };
  steps.waitForKey = WaitForKey;
  return steps;
}

namespace {

// Start-up: seeds the pseudo-random generator from the clock, prints the banner line with the
// build date and time, initialises the framework and starts the socket library (printing "Fatal
// Error: MFC initialization failed" or "Socket init error\n" on failure), and clears the
// `ImageBuffer`. Returns 1 when the run may go on, 0 otherwise.
int Startup(const RunSteps& steps) {
  SeedPadGenerator();
  ConsolePrint("Torvane Firmware Update Utility.   %s %s\n\n", BuildDate, BuildTime);
  if (steps.initializeFramework() == 0) {
    ConsolePrint("Fatal Error: MFC initialization failed");
    return 0;
  }
  if (steps.startSocketLibrary() == 0) {
    ConsolePrint("Socket init error\n");
    return 0;
  }
  imageBuffer.bytes.fill(0);
  return 1;
}

// The update path after the image has loaded: find or check the target, prepare it, transfer,
// and show the result.
int RunUpdate(ProgramOptions& options, const RunSteps& steps) {
  AddressText& target = options.targetAddress;
  if (target[0] == '\0') {
    // Refused before the broadcast: on a network without the device the user would otherwise see
    // "No device detected" instead of the reason. With an address, preparation refuses it after
    // the address check, before anything is sent. Either way the run counts as having reached
    // the device step (exit status 1).
    if (CheckSettingLength(options.settingString) == 0) {
      return 1;
    }
    const int devices = steps.discoverDevice(target);
    if (devices <= 0) {
      ConsolePrint("No device detected\n");
      return 0;
    }
    if (devices > 1) {
      ConsolePrint("Multiple devices detected, please specify target IP address\n");
      return 0;
    }
  } else if (options.targetAddressTooLong || ParseDottedQuad(target.data()) == 0) {
    ConsolePrint("Invalid IP address\n");
    return 0;
  }
  // The text itself, trailing spaces included, goes on to preparation and transfer.
  if (steps.prepareTarget(target.data(), options.settingString) == 0) {
    return 1;
  }
  const int transferResult = steps.runTransferSequence(target.data());
  PrintResultBanner(transferResult);
  ConsolePrint(transferResult == 0 ? "\nError encountered, press any key to continue"
                                   : "\nFirmware upgraded, press any key to continue");
  steps.waitForKey();
  return 1;
}

}  // namespace

int RunProgram(int argc, const char* const* argv, const RunSteps& steps) {
  if (Startup(steps) == 0) {
    return 0;
  }
  // The run's options are read here and handed to each step. The record starts empty because the
  // parser fills only what the command line names, and the run chooses its path by what is left
  // empty or unset: no address means discovery, no "-e" means an update.
  ProgramOptions& options = programOptions;
  options = ProgramOptions{};
  ParseCommandLine(argc, argv, options);
  if (options.encodeMode) {
    // The encode mode ends the run whatever its outcome.
    EncodeImageFile(imageBuffer, options.inputFile, options.outputFile);
    return 0;
  }
  if (LoadImageFile(imageBuffer, options.inputFile) == 0) {
    return 0;
  }
  return RunUpdate(options, steps);
}
