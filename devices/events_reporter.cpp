// SPDX-License-Identifier: Apache-2.0
// The reporter for dashboards and playbooks: every event as one JSON object on a line of standard
// output (NDJSON), flushed with it, and the run's summary last.
#include <chrono>
#include <map>

#include "common/utc_time.h"
#include "devices/reporter.h"
#include "devices/run_document.h"

namespace {

using Clock = std::chrono::steady_clock;

// A device's progress is told at most every 5 % or every second, and at the phase's end.
constexpr int ProgressStepPercent = 5;
constexpr std::chrono::seconds ProgressInterval(1);

const char* PhaseName(TransferPhase phase) {
  // In the order of TransferPhase.
  constexpr const char* Names[] = {"erase", "program", "verify"};
  return Names[static_cast<int>(phase)];
}

// The last progress told of one device's phase.
struct ProgressTold {
  TransferPhase phase = TransferPhase::Erase;
  int percent = -1;
  Clock::time_point when;
};

// The calls come one at a time (the fleet serializes them), so the reporter's state needs no lock.
class EventsReporter final : public Reporter {
 public:
  explicit EventsReporter(std::string command) : command_(std::move(command)) {}

  void Note(const std::string& text) override {
    Complain(text);
    notes_.push_back(text);
    Json event = Event("note");
    event["text"] = text;
    Write(event);
  }
  void Discovered(const std::string& address) override {
    Write(DeviceEvent("discovered", address, std::nullopt));
  }
  void Identified(const ListedDevice& device) override {
    const Json entry = ListedEntry(device);
    Json event = DeviceEvent("identified", device.address, KnownId(device.identity, std::nullopt));
    for (const char* member : {"type", "supported", "answered"}) {
      event[member] = entry[member];
    }
    Write(event);
  }
  void Devices(const ListRun& run) override { Summary(ListDocument(command_, run, notes_)); }

  void DeviceSkipped(const DeviceRecord& device) override { DeviceDone(device); }
  void AttemptStarted(const DeviceRecord& device) override {
    Json event = DeviceEvent("attempt_started", device);
    event["attempt"] = device.attempts;
    Write(event);
  }
  void TransferStarted(const DeviceRecord& /*device*/) override {}
  void PhaseStarted(const DeviceRecord& device, int cycle, TransferPhase phase) override {
    Json event = DeviceEvent("phase_started", device);
    event["attempt"] = device.attempts;
    event["cycle"] = cycle;
    event["phase"] = PhaseName(phase);
    Write(event);
    progress_[device.address] = {phase, -1, Clock::now()};
  }
  void PhaseProgress(const DeviceRecord& device, TransferPhase phase, int percent) override {
    ProgressTold& told = progress_[device.address];
    const bool due = told.phase != phase || told.percent < 0 ||
                     percent >= told.percent + ProgressStepPercent ||
                     Clock::now() - told.when >= ProgressInterval;
    if (due) {
      Progress(device, phase, percent);
    }
  }
  void PhaseDone(const DeviceRecord& device, TransferPhase phase, size_t /*blocks*/) override {
    if (phase != TransferPhase::Erase) {
      Progress(device, phase, 100);
    }
  }
  void CycleFailed(const DeviceRecord& device, const TransferFailure& failure) override {
    const StepReached step = TransferStepReached(failure);
    Json event = DeviceEvent("cycle_failed", device);
    event["cycle"] = failure.cycle;
    event["failed_step"] = StepName(step.step);
    event["failed_number"] = step.number ? Json(*step.number) : Json(nullptr);
    event["failed_step_text"] = StepText(step);
    Write(event);
  }
  void AttemptFailed(const DeviceRecord& /*device*/, const StepReached& /*reached*/,
                     const std::string& /*why*/, bool /*retrying*/) override {}
  void DeviceDone(const DeviceRecord& device) override {
    Json event = DeviceEvent("device_done", device);
    event["device"] = UpdateEntry(device);
    Write(event);
  }
  void Updates(const UpdateRun& run) override { Summary(UpdateDocument(run, notes_)); }

 private:
  static Json Event(const char* name) {
    return {{"format", DocumentFormat},
            {"event", name},
            {"time", FormatUtcTime(std::chrono::system_clock::now())}};
  }
  static Json DeviceEvent(const char* name, const std::string& address,
                          const std::optional<DeviceId>& id) {
    Json event = Event(name);
    event["address"] = AddressJson(address);
    event["id"] = IdJson(id);
    return event;
  }
  static Json DeviceEvent(const char* name, const DeviceRecord& device) {
    return DeviceEvent(name, device.address, KnownId(device.identity, device.askedId));
  }
  static void Write(const Json& event) { WriteLine(stdout, JsonText(event)); }

  void Progress(const DeviceRecord& device, TransferPhase phase, int percent) {
    progress_[device.address] = {phase, percent, Clock::now()};
    Json event = DeviceEvent("progress", device);
    event["phase"] = PhaseName(phase);
    event["percent"] = percent;
    Write(event);
  }
  // The document's members after the event's own.
  static void Summary(const Json& document) {
    Json event = Event("summary");
    for (const auto& [member, value] : document.items()) {
      if (member != "format") {
        event[member] = value;
      }
    }
    Write(event);
  }

  std::string command_;
  std::vector<std::string> notes_;
  // Keyed by the device's address: devices may be updated side by side.
  std::map<std::string, ProgressTold> progress_;
};

}  // namespace

std::unique_ptr<Reporter> MakeEventsReporter(const std::string& command) {
  return std::make_unique<EventsReporter>(command);
}
