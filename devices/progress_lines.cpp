// SPDX-License-Identifier: Apache-2.0
// The progress lines of an update: "10.0.0.7: Erase done", "10.0.0.7: updated (1 attempt, 0.6 s)".
#include "devices/progress_lines.h"

#include "common/text_format.h"

void ProgressLines::DeviceSkipped(const DeviceRecord& device) {
  Line(device, SkipText(device.reason, device.identity));
}

void ProgressLines::TransferStarted(const DeviceRecord& device) {
  Line(device, IdentityText(device.identity) + ", transfer started");
}

void ProgressLines::PhaseDone(const DeviceRecord& device, TransferPhase phase, size_t blocks) {
  Line(device, std::string(PhaseLabel(phase)) + " done" +
                   (phase == TransferPhase::Erase ? "" : " (" + Counted(blocks, "block") + ")"));
}

void ProgressLines::CycleFailed(const DeviceRecord& device, const TransferFailure& failure) {
  Line(device, "cycle " + std::to_string(failure.cycle) + " failed at " +
                   StepText(TransferStepReached(failure)));
}

void ProgressLines::AttemptFailed(const DeviceRecord& device, const StepReached& reached,
                                  const std::string& why, bool retrying) {
  Line(device, "attempt " + std::to_string(device.attempts) + " failed at " + StepText(reached) +
                   (why.empty() ? "" : ": " + why) + (retrying ? "; trying again" : ""));
}

void ProgressLines::DeviceDone(const DeviceRecord& device) {
  // A dry run fails a device at its identification, before any attempt.
  if (device.attempts == 0) {
    Line(device, "failed at " + StepText(device.failedAt) + ", " + IdentityText(device.identity));
    return;
  }
  const std::string attempts = "(" + Counted(static_cast<size_t>(device.attempts), "attempt") +
                               ", " + FormatText("%.1f s", device.seconds) + ")";
  Line(device, device.result == DeviceResult::Updated
                   ? "updated " + attempts
                   : "failed at " + StepText(device.failedAt) + " " + attempts);
}

void ProgressLines::Line(const DeviceRecord& device, const std::string& text) {
  WriteLine(stream_, DeviceName(device.address, device.askedId) + ": " + text);
}
