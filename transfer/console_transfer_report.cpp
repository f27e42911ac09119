// SPDX-License-Identifier: Apache-2.0
// The utility's transfer as it shows it: its progress lines on the console.
#include "transfer/console_transfer_report.h"

#include "app/console.h"

void ConsoleTransferReport::Started(const char* target) {
  ConsolePrint("Updating %s\n", target);
}

void ConsoleTransferReport::PhaseStarted(TransferPhase phase) {
  ConsolePrint("%-20s", PhaseLabel(phase));
}

// Each mark goes up before its read, so even an instant answer shows, then removes, one mark.
void ConsoleTransferReport::EraseWaitRead() {
  ConsolePrint("+");
}

void ConsoleTransferReport::EraseWaitEnded(int reads, bool /*erased*/) {
  for (int i = 0; i < reads; ++i) {
    ConsolePrint("\b \b");
  }
}

// Each figure overwrites the last five columns of the label's field.
void ConsoleTransferReport::BlockDone(TransferPhase /*phase*/, int percent) {
  ConsolePrint("\b\b\b\b\b%3d %s", percent, "%");
}

void ConsoleTransferReport::PhaseDone(TransferPhase phase, int percent) {
  if (phase == TransferPhase::Erase) {
    ConsolePrint("\b\b\b Ok\n");
  } else {
    ConsolePrint("\b\b\b\b\b%3d %s\n", percent, "%");
  }
}

void ConsoleTransferReport::CycleFailed(const TransferFailure& /*failure*/) {
  ConsolePrint("\b\b\b\b\b\b Error\n");
}
