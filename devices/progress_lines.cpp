// SPDX-License-Identifier: Apache-2.0
// The progress lines of an update: "10.0.0.7: Erase done", "10.0.0.7: updated (1 attempt, 0.6 s)".
#include "devices/progress_lines.h"

#include "common/text_format.h"

namespace {

// "erase", "program", "verify": the phase as the status line shows it.
std::string PhaseName(TransferPhase phase) {
  std::string name = PhaseLabel(phase);
  name[0] = static_cast<char>(name[0] - 'A' + 'a');
  return name;
}

}  // namespace

ProgressLines::ProgressLines(std::FILE* stream)
    : stream_(stream),
      status_(IsTerminal(stream) ? std::make_unique<StatusLine>(stream) : nullptr) {}

void ProgressLines::Note(const std::string& text) {
  // Standard error may be the same terminal: the status line makes room, and comes back with the
  // next progress.
  if (status_) {
    status_->Hide();
  }
  Complain(text);
}

void ProgressLines::DeviceSkipped(const DeviceRecord& device) {
  Line(device, SkipText(device.reason, device.identity));
}

void ProgressLines::AttemptStarted(const DeviceRecord& device) {
  if (status_) {
    status_->Running(device.address, "identify");
  }
}

void ProgressLines::TransferStarted(const DeviceRecord& device) {
  Line(device, IdentityText(device.identity) + ", transfer started");
  if (status_) {
    status_->Running(device.address, "opening");
  }
}

void ProgressLines::PhaseStarted(const DeviceRecord& device, int /*cycle*/, TransferPhase phase) {
  if (status_) {
    status_->Running(device.address, PhaseName(phase));
  }
}

void ProgressLines::PhaseProgress(const DeviceRecord& device, TransferPhase phase, int percent) {
  if (status_) {
    status_->Running(device.address, PhaseName(phase), percent);
  }
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
  if (status_) {
    status_->Finished(device.address, device.result == DeviceResult::Updated);
  }
  // A dry run fails a device at its identification, before any attempt.
  if (device.attempts == 0 && device.result == DeviceResult::Failed) {
    Line(device, "failed at " + StepText(device.failedAt) + ", " + IdentityText(device.identity));
    return;
  }
  // In the order of DeviceResult; a skipped device is never done.
  constexpr const char* Results[] = {"updated", "failed at ", "", "interrupted at ",
                                     "timed out at "};
  const std::string step = device.result == DeviceResult::Updated ? "" : StepText(device.failedAt);
  Line(device, Results[static_cast<int>(device.result)] + step + " (" +
                   Counted(static_cast<size_t>(device.attempts), "attempt") + ", " +
                   FormatText("%.1f s", device.seconds) + ")");
}

void ProgressLines::Line(const DeviceRecord& device, const std::string& text) {
  Write(DeviceName(device.address, device.askedId) + ": " + text);
}

void ProgressLines::Write(const std::string& text) {
  if (status_) {
    status_->WriteAbove(text);
  } else {
    WriteLine(stream_, text);
  }
}
