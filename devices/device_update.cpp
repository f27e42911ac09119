// SPDX-License-Identifier: Apache-2.0
// One device's update: each attempt's preparation and transfer, and what they tell the reporter.
#include "devices/device_update.h"

#include <chrono>
#include <cmath>

#include "management/management_socket.h"
#include "transfer/transfer_sequence.h"

namespace {

// The transfer's events, told to the reporter as the device's.
class DeviceTransferReport final : public TransferReport {
 public:
  DeviceTransferReport(DeviceRecord& record, Reporter& reporter)
      : record_(record), reporter_(reporter) {}

  void PhaseStarted(TransferPhase phase) override {
    blocks_ = 0;
    reporter_.PhaseStarted(record_, cycle_, phase);
  }
  void BlockDone(TransferPhase phase, int percent) override {
    ++blocks_;
    reporter_.PhaseProgress(record_, phase, percent);
  }
  void PhaseDone(TransferPhase phase, int /*percent*/) override {
    reporter_.PhaseDone(record_, phase, blocks_);
  }
  void CycleFailed(const TransferFailure& failure) override {
    ++record_.failedCycles;
    ++cycle_;
    reporter_.CycleFailed(record_, failure);
  }
  void DialogueFailed(const TransferFailure& failure) override {
    failedAt_ = TransferStepReached(failure);
  }

  const StepReached& FailedAt() const { return failedAt_; }

 private:
  DeviceRecord& record_;
  Reporter& reporter_;
  size_t blocks_ = 0;
  int cycle_ = 1;
  StepReached failedAt_;
};

// How one attempt ended, and why, for people, when that says more than the step.
struct Attempt {
  ResultReason reason = ResultReason::None;
  StepReached failedAt;
  bool worthRetrying = true;
  std::string why;
};

// The preparation of one attempt: identification, type, setting and start, on a socket of its
// own. `ResultReason::None` when the device was asked to start its update.
Attempt Prepare(DeviceRecord& record, const std::string& setting) {
  EndpointManagementSocket socket;
  const Preparation preparation = PrepareDevice(socket, record.address.c_str(), setting);
  if (preparation.identity.result == IdentifyResult::Answered) {
    record.identity = preparation.identity;
  }
  switch (preparation.result) {
    case PreparationResult::Started:
      record.settingWritten = record.settingWritten || !setting.empty();
      return {};
    case PreparationResult::SocketError:
      return {ResultReason::SocketError,
              {DeviceStep::Socket, {}},
              true,
              IdentityText(preparation.identity)};
    case PreparationResult::NotFound:
      return {
          ResultReason::NoAnswer, {DeviceStep::Identify, {}}, true, "no answer within a second"};
    case PreparationResult::WrongType:
      // Another try finds the same device.
      return {ResultReason::WrongType,
              {DeviceStep::DeviceType, {}},
              false,
              IdentityText(preparation.identity) + "; a device of another type is not retried"};
    case PreparationResult::SettingTooLong:
      break;
  }
  // Not reached: the command line refuses a setting that does not fit. Nothing was sent.
  return {ResultReason::TransferFailed, {}, false, "the setting does not fit"};
}

// One attempt: the preparation, then the whole transfer over an endpoint of its own.
Attempt RunAttempt(DeviceRecord& record, const ImageBuffer& image, const std::string& setting,
                   Reporter& reporter) {
  const Attempt prepared = Prepare(record, setting);
  if (prepared.reason != ResultReason::None) {
    return prepared;
  }
  reporter.TransferStarted(record);
  TransferEndpoint endpoint;
  EndpointLink link(endpoint);
  DeviceTransferReport report(record, reporter);
  if (RunTransferSequence(link, image, record.address.c_str(), report) == 1) {
    return {};
  }
  return {ResultReason::TransferFailed, report.FailedAt(), true, ""};
}

}  // namespace

void UpdateDevice(DeviceRecord& record, const ImageBuffer& image,
                  const DeviceUpdateSettings& settings, Reporter& reporter) {
  const auto start = std::chrono::steady_clock::now();
  record.started = WallClock::now();
  for (int attempt = 1; attempt <= 1 + settings.retries; ++attempt) {
    record.attempts = attempt;
    reporter.AttemptStarted(record);
    const Attempt outcome = RunAttempt(record, image, settings.setting, reporter);
    record.reason = outcome.reason;
    record.failedAt = outcome.failedAt;
    if (outcome.reason == ResultReason::None) {
      break;
    }
    const bool retrying = outcome.worthRetrying && attempt <= settings.retries;
    reporter.AttemptFailed(record, outcome.failedAt, outcome.why, retrying);
    if (!retrying) {
      break;
    }
  }
  record.result =
      record.reason == ResultReason::None ? DeviceResult::Updated : DeviceResult::Failed;
  record.ended = WallClock::now();
  const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
  record.seconds = std::round(elapsed.count() * 1000) / 1000;
  reporter.DeviceDone(record);
}
