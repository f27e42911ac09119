// SPDX-License-Identifier: Apache-2.0
// ProgressLines: an update's progress as plain lines for people, one per step of each device,
// which both the text and the JSON reporter show (on standard output and standard error).
#pragma once

#include <cstdio>
#include <memory>

#include "devices/reporter.h"
#include "devices/status_line.h"

/// Writes the progress events as lines to `stream`, each whole and flushed; on a terminal, with a
/// `StatusLine` below them. The results are left to the reporter that derives from it.
class ProgressLines : public Reporter {
 public:
  explicit ProgressLines(std::FILE* stream);

  /// On standard error, as `Complain` writes it; the status line makes way for it.
  void Note(const std::string& text) override;
  void DeviceSkipped(const DeviceRecord& device) override;
  void AttemptStarted(const DeviceRecord& device) override;
  void TransferStarted(const DeviceRecord& device) override;
  void PhaseStarted(const DeviceRecord& device, int cycle, TransferPhase phase) override;
  void PhaseProgress(const DeviceRecord& device, TransferPhase phase, int percent) override;
  void PhaseDone(const DeviceRecord& device, TransferPhase phase, size_t blocks) override;
  void CycleFailed(const DeviceRecord& device, const TransferFailure& failure) override;
  void AttemptFailed(const DeviceRecord& device, const StepReached& reached, const std::string& why,
                     bool retrying) override;
  void DeviceDone(const DeviceRecord& device) override;

 private:
  // "10.0.0.7: " and `text`.
  void Line(const DeviceRecord& device, const std::string& text);
  // `text` as a line above the status line, if there is one.
  void Write(const std::string& text);

  std::FILE* stream_;
  // Only on a terminal.
  std::unique_ptr<StatusLine> status_;
};
