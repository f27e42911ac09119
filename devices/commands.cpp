// SPDX-License-Identifier: Apache-2.0
// The commands of torvane-devices: discovery and identification for list and info; for update,
// each device in turn through preparation and the transfer, attempt after attempt.
#include "devices/commands.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <memory>
#include <optional>

#include "common/text_format.h"
#include "image/image_buffer.h"
#include "management/discovery.h"
#include "transfer/transfer_sequence.h"

namespace {

// Distinct addresses one discovery keeps; further answers are still counted.
constexpr size_t MaxDevices = 1024;

// "erase wait", "probe 3", "program block 5": the step, and the probe or block it concerns.
std::string StepName(const TransferFailure& failure) {
  // In the order of TransferStep.
  constexpr const char* Names[] = {"socket",     "opening",       "probe",       "erase",
                                   "erase wait", "program block", "verify block"};
  const TransferStep step = failure.step;
  const bool numbered =
      step == TransferStep::Probe || step == TransferStep::Program || step == TransferStep::Verify;
  return Names[static_cast<int>(step)] + (numbered ? " " + std::to_string(failure.number) : "");
}

// "type 1 (supported), id 00:1b:2c:3d:4e:5f", or why there is none.
std::string IdentityText(const Identification& identity) {
  if (identity.result == IdentifyResult::SocketError) {
    return "cannot open a UDP socket";
  }
  if (identity.result == IdentifyResult::NoAnswer) {
    return "no answer to identify";
  }
  return "type " + std::to_string(identity.deviceType) +
         (IsSupported(identity) ? " (supported)" : " (not supported)") + ", id " +
         FormatDeviceId(identity.deviceId);
}

// One line per phase of the transfer, and where it failed.
class ProgressReport final : public TransferReport {
 public:
  ProgressReport(const std::string& address, Reporter& reporter)
      : address_(address), reporter_(reporter) {}

  void PhaseStarted(TransferPhase /*phase*/) override { blocks_ = 0; }
  void BlockDone(TransferPhase /*phase*/, int /*percent*/) override { ++blocks_; }
  void PhaseDone(TransferPhase phase, int /*percent*/) override {
    Line(std::string(PhaseLabel(phase)) + " done" +
         (phase == TransferPhase::Erase ? "" : " (" + Counted(blocks_, "block") + ")"));
  }
  void CycleFailed(const TransferFailure& failure) override {
    Line("cycle " + std::to_string(failure.cycle) + " failed at " + StepName(failure));
  }
  void DialogueFailed(const TransferFailure& failure) override { failedStep_ = StepName(failure); }

  const std::string& FailedStep() const { return failedStep_; }

 private:
  void Line(const std::string& text) { reporter_.Progress(address_ + ": " + text); }

  const std::string& address_;
  Reporter& reporter_;
  size_t blocks_ = 0;
  std::string failedStep_ = "transfer";
};

// How one attempt at one device ended, and why, for people, when that says more than the step.
struct Attempt {
  bool updated = false;
  bool worthRetrying = true;
  std::string failedStep;
  std::string why;
};

// One attempt: the preparation, then the whole transfer over an endpoint of its own.
Attempt RunAttempt(UpdateRecord& record, const ImageBuffer& image, const std::string& setting,
                   Reporter& reporter) {
  const std::string& address = record.address;
  EndpointManagementSocket socket;
  const Preparation preparation = PrepareDevice(socket, address.c_str(), setting);
  const std::string identity = IdentityText(preparation.identity);
  if (preparation.identity.result == IdentifyResult::Answered) {
    record.identity = preparation.identity;
  }
  switch (preparation.result) {
    case PreparationResult::Started:
      break;
    case PreparationResult::SocketError:
      return {false, true, "socket", identity};
    case PreparationResult::NotFound:
      return {false, true, "identify", "no answer within a second"};
    case PreparationResult::WrongType:
      // Another try finds the same device.
      return {false, false, "device type", identity + "; a device of another type is not retried"};
    case PreparationResult::SettingTooLong:
      return {false, false, "setting", "the setting does not fit"};
  }
  reporter.Progress(address + ": " + identity + ", transfer started");
  TransferEndpoint endpoint;
  EndpointLink link(endpoint);
  ProgressReport report(address, reporter);
  if (RunTransferSequence(link, image, address.c_str(), report) == 1) {
    return {true, false, "", ""};
  }
  return {false, true, report.FailedStep(), ""};
}

// "(2 attempts, 1.4 s)"
std::string AttemptsText(const UpdateRecord& record) {
  return "(" + Counted(static_cast<size_t>(record.attempts), "attempt") + ", " +
         FormatText("%.1f s", record.seconds) + ")";
}

// Every attempt at one device, up to 1 + `retries`, until one succeeds or a retry is pointless.
UpdateRecord UpdateDevice(const std::string& address, const ImageBuffer& image,
                          const DevicesOptions& options, Reporter& reporter) {
  const auto start = std::chrono::steady_clock::now();
  UpdateRecord record;
  record.address = address;
  for (int attempt = 1; attempt <= 1 + options.retries; ++attempt) {
    record.attempts = attempt;
    const Attempt outcome = RunAttempt(record, image, options.setting, reporter);
    record.updated = outcome.updated;
    record.failedStep = outcome.failedStep;
    if (outcome.updated) {
      break;
    }
    const bool retrying = outcome.worthRetrying && attempt <= options.retries;
    reporter.Progress(address + ": attempt " + std::to_string(attempt) + " failed at " +
                      outcome.failedStep + (outcome.why.empty() ? "" : ": " + outcome.why) +
                      (retrying ? "; trying again" : ""));
    if (!retrying) {
      break;
    }
  }
  const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
  record.seconds = std::round(elapsed.count() * 1000) / 1000;
  reporter.Progress(address + ": " +
                    (record.updated ? "updated " : "failed at " + record.failedStep + " ") +
                    AttemptsText(record));
  return record;
}

// Broadcasts as list and update --all do; the answers' addresses in numeric order, or nothing
// when no socket could be opened.
std::optional<std::vector<std::string>> FindDevices(const DevicesOptions& options) {
  DiscoveryRequest request;
  request.broadcast = options.broadcast.empty() ? nullptr : options.broadcast.c_str();
  request.limitMilliseconds = options.waitSeconds * 1000;
  request.keptAddresses = MaxDevices;
  EndpointManagementSocket socket;
  DiscoveryOutcome outcome = Discover(socket, request);
  if (!outcome.opened) {
    Complain("cannot open a UDP socket");
    return std::nullopt;
  }
  if (outcome.addresses.size() == MaxDevices) {
    Complain("only the first " + std::to_string(MaxDevices) + " devices that answered are kept");
  }
  std::sort(outcome.addresses.begin(), outcome.addresses.end());
  std::vector<std::string> addresses;
  for (const AddressBytes& address : outcome.addresses) {
    addresses.push_back(FormatAddress(address));
  }
  if (addresses.empty()) {
    Complain("no device answered the discovery request");
  }
  return addresses;
}

std::vector<ListedDevice> IdentifyAll(const std::vector<std::string>& addresses) {
  std::vector<ListedDevice> devices;
  for (const std::string& address : addresses) {
    EndpointManagementSocket socket;
    devices.push_back({address, IdentifyDevice(socket, address.c_str())});
  }
  return devices;
}

int ListDevices(const DevicesOptions& options, Reporter& reporter) {
  const auto addresses = FindDevices(options);
  reporter.Devices(addresses ? IdentifyAll(*addresses) : std::vector<ListedDevice>{});
  return addresses && !addresses->empty() ? ExitDone : ExitFailed;
}

int ShowDevice(const DevicesOptions& options, Reporter& reporter) {
  const std::vector<ListedDevice> devices = IdentifyAll(options.addresses);
  reporter.Devices(devices);
  return devices.front().identity.result == IdentifyResult::Answered ? ExitDone : ExitFailed;
}

// update --all: the devices of the supported type that answer, each said why when left out.
std::vector<std::string> SupportedDevices(const DevicesOptions& options, Reporter& reporter) {
  std::vector<std::string> supported;
  for (const ListedDevice& device :
       IdentifyAll(FindDevices(options).value_or(std::vector<std::string>{}))) {
    if (IsSupported(device.identity)) {
      supported.push_back(device.address);
    } else {
      reporter.Progress(device.address + ": left out, " + IdentityText(device.identity));
    }
  }
  return supported;
}

int UpdateDevices(const DevicesOptions& options, Reporter& reporter) {
  // The image is read before anything is sent: a bad one touches no device.
  const auto image = std::make_unique<ImageBuffer>();
  switch (LoadImage(*image, options.image)) {
    case ImageLoad::Loaded:
      break;
    case ImageLoad::NotFound:
      Complain("cannot open the image '" + options.image + "'");
      return ExitUsage;
    case ImageLoad::ReadError:
      Complain("cannot read the image '" + options.image + "'");
      return ExitUsage;
    case ImageLoad::Empty:
      Complain("the image '" + options.image + "' is empty");
      return ExitUsage;
  }
  const std::vector<std::string> addresses =
      options.all ? SupportedDevices(options, reporter) : options.addresses;
  std::vector<UpdateRecord> records;
  for (const std::string& address : addresses) {
    records.push_back(UpdateDevice(address, *image, options, reporter));
  }
  reporter.Updates(records);
  if (addresses.empty()) {
    Complain("no device of the supported type answered");
    return ExitFailed;
  }
  const bool allUpdated = std::all_of(records.begin(), records.end(),
                                      [](const UpdateRecord& record) { return record.updated; });
  return allUpdated ? ExitDone : ExitFailed;
}

}  // namespace

void Complain(const std::string& message) {
  WriteLine(stderr, "torvane-devices: " + message);
}

int RunDevicesCommand(const DevicesOptions& options, Reporter& reporter) {
  switch (options.command) {
    case DevicesCommand::List:
      return ListDevices(options, reporter);
    case DevicesCommand::Info:
      return ShowDevice(options, reporter);
    case DevicesCommand::Update:
      return UpdateDevices(options, reporter);
    case DevicesCommand::None:
      break;
  }
  return ExitUsage;
}
