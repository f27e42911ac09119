// SPDX-License-Identifier: Apache-2.0
// The entry point of torvane-fwupdate: the run over the platform's real steps.
#include "app/run.h"
#include "common/platform_startup.h"

int main(int argc, char** argv) {
  IgnoreWriteFailureSignals();
  const int status = RunProgram(argc, argv, PlatformRunSteps());
  StopSocketLibrary();
  return status;
}
