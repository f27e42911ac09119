// SPDX-License-Identifier: Apache-2.0
// The utility's transfer: its progress lines on the console, and the run over its one static
// endpoint and the global image buffer.
#include "transfer/console_transfer_report.h"

#include "app/console.h"
#include "transfer/transfer_sequence.h"

namespace {

TransferEndpoint transferEndpoint;

}  // namespace

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

int RunTransferSequence(TransferLink& link, const ImageBuffer& image, const char* target) {
  ConsoleTransferReport report;
  return RunTransferSequence(link, image, target, report);
}

int RunTransferSequence(const char* target) {
  EndpointLink link(transferEndpoint);
  return RunTransferSequence(link, imageBuffer, target);
}
