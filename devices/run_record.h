// SPDX-License-Identifier: Apache-2.0
// What a run of torvane-devices concerned and what became of each device: the records that the
// reporters show and that the exit status is read from, and the fixed names they go by.
#pragma once

#include <chrono>
#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "management/target_preparation.h"
#include "transfer/transfer_report.h"

using WallClock = std::chrono::system_clock;

/// What became of a device the run concerned.
enum class DeviceResult { Updated, Failed, Skipped, Interrupted, TimedOut };

/// Why a device was not updated; `None` for an updated one.
enum class ResultReason {
  None,
  // failed
  SocketError,     // no UDP socket could be opened
  NoAnswer,        // no answer to identify (failed when named; skipped under --all)
  WrongType,       // a device of another type, named by address or id
  TransferFailed,  // the transfer dialogue failed
  // skipped
  AlreadyUpdated,  // the journal says this image is on it
  NotSupported,    // --all: a device of another type
  NotFound,        // an id that no device answered with
  DuplicateId,     // an id that more than one device answered with
  CanaryFailed,    // not started: a canary device was not updated
  MaxFailed,       // not started: the failure limit was reached
  Interrupted,     // not started (skipped) or abandoned (interrupted) because of a stop
  DryRun,          // would be updated
  // timed out
  DeviceTimeout,
};

/// The step at which a device's last attempt stopped.
enum class DeviceStep {
  None,
  Socket,
  Identify,
  DeviceType,
  Opening,
  Probe,
  Erase,
  EraseWait,
  Program,
  Verify,
};

/// A step and, for a probe (1 to 10) or a block (from 0), its number.
struct StepReached {
  DeviceStep step = DeviceStep::None;
  std::optional<int> number;
};

/// A device as discovery and identification found it: what list and info show, and what the plan
/// of an update starts from.
struct ListedDevice {
  /// The plain dotted form; empty when no address is known (an id nobody answered with).
  std::string address;
  Identification identity;
  /// Why it has no identity to show, when it has none: `NoAnswer`, `SocketError`, `NotFound`;
  /// `DuplicateId` when its id, asked for, is another device's too; `None` otherwise.
  ResultReason reason = ResultReason::None;
  /// The id it was asked for by (--id); nothing when named by address or found by discovery.
  std::optional<DeviceId> askedId;
};

/// What list or info found, and when the command started and ended.
struct ListRun {
  WallClock::time_point started;
  WallClock::time_point ended;
  std::vector<ListedDevice> devices;
};

/// What the run did, or is doing, to one device of an update.
struct DeviceRecord {
  std::string address;
  /// As the device last answered its identify request; `NoAnswer` when it never did.
  Identification identity;
  DeviceResult result = DeviceResult::Skipped;
  ResultReason reason = ResultReason::None;
  /// Where the last attempt stopped; `None` when the device was updated or never started.
  StepReached failedAt;
  int attempts = 0;
  int failedCycles = 0;
  bool settingWritten = false;
  std::optional<WallClock::time_point> started;
  std::optional<WallClock::time_point> ended;
  /// The time spent on the device, all attempts together, in seconds (to the millisecond).
  double seconds = 0;
  /// The id it was asked for by (--id); nothing when named by address or found by discovery.
  std::optional<DeviceId> askedId;
};

/// The image an update installs, as it was read.
struct ImageFacts {
  /// As given on the command line.
  std::string path;
  /// The bytes taken from the file (at most 131072), and their SHA-256 in lower-case hexadecimal.
  size_t size = 0;
  std::string sha256;
};

/// What update was asked to do and did.
struct UpdateRun {
  WallClock::time_point started;
  WallClock::time_point ended;
  ImageFacts image;
  /// Only identified the devices and said what it would do.
  bool dryRun = false;
  /// The stop request that ended the run early ("SIGINT", "SIGTERM", "CTRL_C"...); empty when none
  /// came.
  std::string stoppedBy;
  /// One record per device the run concerned, in the plan's order.
  std::vector<DeviceRecord> devices;
};

/// The results' fixed names, as the JSON shows them: "updated", "failed", "skipped",
/// "interrupted", "timed_out".
const char* ResultName(DeviceResult result);

/// The reasons' fixed names: null for `None`, else "socket_error", "no_answer", "wrong_type",
/// "transfer_failed", "already_updated", "not_supported", "not_found", "duplicate_id",
/// "canary_failed", "max_failed", "interrupted", "dry_run", "device_timeout".
const char* ReasonName(ResultReason reason);

/// The steps' fixed names: null for `None`, else "socket", "identify", "device_type", "opening",
/// "probe", "erase", "erase_wait", "program", "verify".
const char* StepName(DeviceStep step);

/// The step as the progress lines say it: "identify", "device type", "erase wait", "probe 3",
/// "program block 5", "verify block 0"; empty for `None`.
std::string StepText(const StepReached& reached);

/// The step of the transfer dialogue at which it failed, with its probe or block.
StepReached TransferStepReached(const TransferFailure& failure);

/// The id to show for a device: the one it answered with, else the one it was asked for by.
std::optional<DeviceId> KnownId(const Identification& identity,
                                const std::optional<DeviceId>& askedId);

/// How many of `devices` have `result`.
size_t CountResult(const std::vector<DeviceRecord>& devices, DeviceResult result);
