// SPDX-License-Identifier: Apache-2.0
// ConsoleTransferReport: the utility's progress lines of the transfer, drawn on the console.
#pragma once

#include "transfer/transfer_report.h"

/// Draws the transfer on the console with `ConsolePrint`, as the utility shows it: "Updating
/// ADDRESS", then per phase its label in a 20-column field; "+" per erase-wait read, taken back
/// with "\b \b" and followed by "\b\b\b Ok\n"; "\b\b\b\b\b%3d %" after each block and the same
/// with a line end after the phase; "\b\b\b\b\b\b Error\n" after a failed cycle. A failure of
/// the whole dialogue prints nothing of its own: when opening fails nothing is printed at all, and
/// when the device does not answer the opening or a probe, only the "Updating" line.
class ConsoleTransferReport final : public TransferReport {
 public:
  void Started(const char* target) override;
  void PhaseStarted(TransferPhase phase) override;
  void EraseWaitRead() override;
  void EraseWaitEnded(int reads, bool erased) override;
  void BlockDone(TransferPhase phase, int percent) override;
  void PhaseDone(TransferPhase phase, int percent) override;
  void CycleFailed(const TransferFailure& failure) override;
};
