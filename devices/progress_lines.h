// SPDX-License-Identifier: Apache-2.0
// ProgressLines: an update's progress as plain lines for people, one per step of each device,
// which both the text and the JSON reporter show (on standard output and standard error).
#pragma once

#include <cstdio>

#include "devices/reporter.h"

/// Writes the progress events as lines to `stream`, each whole and flushed; the results are left
/// to the reporter that derives from it.
class ProgressLines : public Reporter {
 public:
  explicit ProgressLines(std::FILE* stream) : stream_(stream) {}

  void Note(const std::string& text) override { Complain(text); }
  void DeviceSkipped(const DeviceRecord& device) override;
  void TransferStarted(const DeviceRecord& device) override;
  void PhaseDone(const DeviceRecord& device, TransferPhase phase, size_t blocks) override;
  void CycleFailed(const DeviceRecord& device, const TransferFailure& failure) override;
  void AttemptFailed(const DeviceRecord& device, const StepReached& reached, const std::string& why,
                     bool retrying) override;
  void DeviceDone(const DeviceRecord& device) override;

 private:
  // "10.0.0.7: " and `text`.
  void Line(const DeviceRecord& device, const std::string& text);

  std::FILE* stream_;
};
