// SPDX-License-Identifier: Apache-2.0
// The run of an update's plan: the devices left out, the schedule of those updated (canaries,
// failure limit, stop requests) and the worker threads that update them side by side.
#include "devices/fleet.h"

#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <system_error>
#include <thread>

#include "devices/stop_signal.h"

namespace {

// The run's reporter as the workers share it: every call under one mutex, so that one device's
// line or event is never cut by another's, and the reporters (text, JSON, events) and their state
// (notes, progress told, the status line) need no lock of their own.
class LockedReporter final : public Reporter {
 public:
  explicit LockedReporter(Reporter& reporter) : reporter_(reporter) {}

  void Note(const std::string& text) override { Locked(&Reporter::Note, text); }
  void Discovered(const std::string& address) override { Locked(&Reporter::Discovered, address); }
  void Identified(const ListedDevice& device) override { Locked(&Reporter::Identified, device); }
  void Devices(const ListRun& run) override { Locked(&Reporter::Devices, run); }
  void DeviceSkipped(const DeviceRecord& device) override {
    Locked(&Reporter::DeviceSkipped, device);
  }
  void AttemptStarted(const DeviceRecord& device) override {
    Locked(&Reporter::AttemptStarted, device);
  }
  void TransferStarted(const DeviceRecord& device) override {
    Locked(&Reporter::TransferStarted, device);
  }
  void PhaseStarted(const DeviceRecord& device, int cycle, TransferPhase phase) override {
    Locked(&Reporter::PhaseStarted, device, cycle, phase);
  }
  void PhaseProgress(const DeviceRecord& device, TransferPhase phase, int percent) override {
    Locked(&Reporter::PhaseProgress, device, phase, percent);
  }
  void PhaseDone(const DeviceRecord& device, TransferPhase phase, size_t blocks) override {
    Locked(&Reporter::PhaseDone, device, phase, blocks);
  }
  void CycleFailed(const DeviceRecord& device, const TransferFailure& failure) override {
    Locked(&Reporter::CycleFailed, device, failure);
  }
  void AttemptFailed(const DeviceRecord& device, const StepReached& reached, const std::string& why,
                     bool retrying) override {
    Locked(&Reporter::AttemptFailed, device, reached, why, retrying);
  }
  void DeviceDone(const DeviceRecord& device) override { Locked(&Reporter::DeviceDone, device); }
  void Updates(const UpdateRun& run) override { Locked(&Reporter::Updates, run); }

 private:
  template <typename Event, typename... Arguments>
  void Locked(Event event, const Arguments&... arguments) {
    const std::lock_guard lock(mutex_);
    (reporter_.*event)(arguments...);
  }

  Reporter& reporter_;
  std::mutex mutex_;
};

// Which device of the plan starts next, and whether any still may: the canaries first and alone,
// then the others in the plan's order, until a canary is not updated, the failure limit is reached
// or a stop is requested. Not locked itself: the fleet holds its mutex around every call.
class Schedule {
 public:
  Schedule(const std::vector<DeviceRecord>& plan, const FleetSettings& settings)
      : maxFailed_(settings.maxFailed) {
    for (size_t i = 0; i < plan.size(); ++i) {
      if (plan[i].reason == ResultReason::None) {
        queue_.push_back(i);
      }
    }
    canaries_ = std::min(queue_.size(), static_cast<size_t>(settings.canary));
    canariesLeft_ = canaries_;
  }

  // The device to start now; nothing when none may start now (see `Over` for later).
  std::optional<size_t> Start() {
    NoteStopRequest();
    const bool canaryTurn = next_ < canaries_ || canariesLeft_ == 0;
    if (closedBy_ != ResultReason::None || next_ == queue_.size() || !canaryTurn) {
      return std::nullopt;
    }
    ++running_;
    return queue_[next_++];
  }

  // True when no device will start any more.
  bool Over() {
    NoteStopRequest();
    return closedBy_ != ResultReason::None || next_ == queue_.size();
  }

  bool Finished() { return Over() && running_ == 0; }

  // How many devices are to be updated.
  size_t Devices() const { return queue_.size(); }

  // The device at `index` of the plan is done with: counted, and after a canary that was not
  // updated or at the failure limit no other device starts.
  void Done(size_t index, const DeviceRecord& record) {
    --running_;
    // The queue is in the plan's order: the canaries are its first devices.
    const bool canary = canaries_ > 0 && index <= queue_[canaries_ - 1];
    canariesLeft_ -= canary ? 1 : 0;
    failed_ += record.result == DeviceResult::Failed || record.result == DeviceResult::TimedOut;
    if (canary && record.result != DeviceResult::Updated) {
      Close(ResultReason::CanaryFailed);
    }
    if (maxFailed_ > 0 && failed_ >= maxFailed_) {
      Close(ResultReason::MaxFailed);
    }
  }

  // The devices that never started, and why.
  std::vector<size_t> NotStarted() const {
    return {queue_.begin() + static_cast<std::ptrdiff_t>(next_), queue_.end()};
  }
  ResultReason ClosedBy() const { return closedBy_; }

 private:
  void NoteStopRequest() {
    if (StopRequestCount() > 0) {
      Close(ResultReason::Interrupted);
    }
  }
  // The first reason to start no more devices is the one the others are skipped for.
  void Close(ResultReason reason) {
    closedBy_ = closedBy_ == ResultReason::None ? reason : closedBy_;
  }

  std::vector<size_t> queue_;  // the plan's indices of the devices to update, in order
  size_t next_ = 0;
  size_t canaries_ = 0;
  size_t canariesLeft_ = 0;
  size_t running_ = 0;
  int failed_ = 0;
  int maxFailed_;
  ResultReason closedBy_ = ResultReason::None;
};

class Fleet {
 public:
  Fleet(std::vector<DeviceRecord>& plan, const ImageBuffer& image, const ImageFacts& facts,
        const FleetSettings& settings, Reporter& reporter)
      : plan_(plan),
        image_(image),
        facts_(facts),
        settings_(settings),
        reporter_(reporter),
        schedule_(plan, settings) {}

  // Runs the workers until no device will start and none is running; then reports the devices
  // that never started.
  void Run() {
    const size_t wanted = std::min(static_cast<size_t>(settings_.parallel), schedule_.Devices());
    std::vector<std::jthread> workers;
    for (size_t i = 0; i < wanted; ++i) {
      try {
        workers.emplace_back([this] {
          LeaveStopRequestsToMainThread();
          Work();
        });
      } catch (const std::system_error&) {
        // Fewer threads than asked for: the schedule serves those that started.
        break;
      }
    }
    if (workers.empty() && wanted > 0) {
      Work();
    }
    {
      std::unique_lock lock(mutex_);
      changed_.wait(lock, [this] { return schedule_.Finished(); });
    }
    workers.clear();
    for (const size_t index : schedule_.NotStarted()) {
      plan_[index].result = DeviceResult::Skipped;
      plan_[index].reason = schedule_.ClosedBy();
      reporter_.DeviceSkipped(plan_[index]);
    }
  }

 private:
  // One worker: device after device as the schedule allows, each with this thread's own pads.
  void Work() {
    SeededPadSource pads;
    for (;;) {
      std::optional<size_t> index;
      {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [&] {
          index = schedule_.Start();
          return index || schedule_.Over();
        });
      }
      if (!index) {
        return;
      }
      DeviceRecord& record = plan_[*index];
      UpdateDevice(record, image_, settings_.device, reporter_, pads,
                   [] { return StopRequestCount() >= 2; });
      // On disk before the device counts as done, in the events as well.
      if (settings_.journal != nullptr) {
        const std::string fault = settings_.journal->Append(record, facts_);
        if (!fault.empty()) {
          reporter_.Note(fault);
        }
      }
      reporter_.DeviceDone(record);
      {
        const std::lock_guard lock(mutex_);
        schedule_.Done(*index, record);
      }
      changed_.notify_all();
    }
  }

  // Each worker writes only the records it took from the schedule.
  std::vector<DeviceRecord>& plan_;
  // Read only, by every worker.
  const ImageBuffer& image_;
  const ImageFacts& facts_;
  const FleetSettings& settings_;
  LockedReporter reporter_;
  // Guards `schedule_`; `changed_` wakes the waiting workers and the main thread after each device.
  std::mutex mutex_;
  std::condition_variable changed_;
  Schedule schedule_;
};

}  // namespace

FleetSettings FleetSettingsOf(const DevicesOptions& options) {
  FleetSettings settings;
  settings.device = {options.setting, options.retries, options.deviceTimeoutSeconds};
  settings.parallel = options.parallel;
  settings.canary = options.canary;
  settings.maxFailed = options.maxFailed;
  return settings;
}

std::vector<DeviceRecord> RunFleet(std::vector<DeviceRecord> plan, const ImageBuffer& image,
                                   const ImageFacts& facts, const FleetSettings& settings,
                                   Reporter& reporter) {
  // The devices left out are said first, as the plan found them.
  for (DeviceRecord& record : plan) {
    if (record.reason != ResultReason::None) {
      record.result = DeviceResult::Skipped;
      reporter.DeviceSkipped(record);
    }
  }
  Fleet(plan, image, facts, settings, reporter).Run();
  return plan;
}
