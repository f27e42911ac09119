// SPDX-License-Identifier: Apache-2.0
// The Reporter, which shows what the commands of torvane-devices find and do as it happens: as
// text lines for people, as one JSON document or as a stream of JSON events for scripts; and what
// the forms share.
#pragma once

#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "devices/run_record.h"

/// True when the device answered with the type that this program updates.
bool IsSupported(const Identification& identity);

/// The device id as six hexadecimal pairs: "00:1b:2c:3d:4e:5f".
std::string FormatDeviceId(const DeviceId& id);

/// "type 1 (supported), id 00:1b:2c:3d:4e:5f", or why there is none ("no answer to identify",
/// "cannot open a UDP socket").
std::string IdentityText(const Identification& identity);

/// What a device's line begins with: its address, or without one the id it was asked for by.
std::string DeviceName(const std::string& address, const std::optional<DeviceId>& askedId);

/// Why a device that was left out was, for people: "type 2 (not supported), id ...", "no device
/// answered with this id", "would be updated (dry run)".
std::string SkipText(ResultReason reason, const Identification& identity);

/// "1 attempt", "2 attempts": `count` and `noun`, with an "s" unless the count is 1.
std::string Counted(size_t count, const char* noun);

/// Writes "torvane-devices: " and `message` as one line on standard error.
void Complain(const std::string& message);

/// Writes `line` and a line end to `stream` and flushes it, so that a log shows each line as it
/// comes. A failed write to standard output is remembered for `StandardOutputFault`; any other is
/// ignored.
void WriteLine(std::FILE* stream, const std::string& line);

/// Flushes and closes standard output. Returns "" when everything written to it arrived whole,
/// else why not ("No space left on device"), from the first write that failed.
std::string CloseStandardOutput();

/// Receives the events of one command, in the order they happen, and shows them. The commands
/// and the fleet call it one call at a time, never from two threads at once, so an implementation
/// needs no lock of its own. The events of one device name it by its record as it stands at that
/// moment.
class Reporter {
 public:
  virtual ~Reporter() = default;

  /// A message about the run for people, without its line end: on standard error, and kept for
  /// the document's notes ("10.0.0.7 was named twice; taken once").
  virtual void Note(const std::string& text) = 0;

  /// Discovery heard a device at `address` (the plain dotted form), which it keeps.
  virtual void Discovered(const std::string& /*address*/) {}
  /// A device was identified (or found silent) before anything is written to any device.
  virtual void Identified(const ListedDevice& /*device*/) {}
  /// The result of list or info: the devices in their order.
  virtual void Devices(const ListRun& run) = 0;

  /// An update's device was left out before its turn came (`device.result` is `Skipped`, with
  /// its reason).
  virtual void DeviceSkipped(const DeviceRecord& device) = 0;
  /// An attempt at the device begins (`device.attempts` counts it).
  virtual void AttemptStarted(const DeviceRecord& /*device*/) {}
  /// The device was identified and asked to start its update; the transfer follows.
  virtual void TransferStarted(const DeviceRecord& device) = 0;
  /// A phase of cycle `cycle` (from 1) begins.
  virtual void PhaseStarted(const DeviceRecord& /*device*/, int /*cycle*/,
                            TransferPhase /*phase*/) {}
  /// A block of the program or verify phase is done: `percent` of the image is behind it.
  virtual void PhaseProgress(const DeviceRecord& /*device*/, TransferPhase /*phase*/,
                             int /*percent*/) {}
  /// A phase ended well after `blocks` blocks (0 for the erase).
  virtual void PhaseDone(const DeviceRecord& device, TransferPhase phase, size_t blocks) = 0;
  /// A cycle failed at `failure`; the next one starts from the erase, unless it was the last.
  virtual void CycleFailed(const DeviceRecord& device, const TransferFailure& failure) = 0;
  /// An attempt failed at `reached`; `why` says more for people when the step does not ("no
  /// answer within a second"), and `retrying` whether another attempt follows.
  virtual void AttemptFailed(const DeviceRecord& device, const StepReached& reached,
                             const std::string& why, bool retrying) = 0;
  /// The device is done with: its record is final.
  virtual void DeviceDone(const DeviceRecord& device) = 0;
  /// The result of update: every device the run concerned, and the totals.
  virtual void Updates(const UpdateRun& run) = 0;
};

/// Progress and results as lines on standard output; notes on standard error.
std::unique_ptr<Reporter> MakeTextReporter();

/// Progress as lines on standard error; the result of `command` ("list", "info", "update") as one
/// JSON document of format 1 on standard output, its notes included.
std::unique_ptr<Reporter> MakeJsonReporter(const std::string& command);

/// Every event as one JSON object of format 1 on a line of standard output, flushed with it, the
/// summary (the document of `command`) last; notes on standard error too.
std::unique_ptr<Reporter> MakeEventsReporter(const std::string& command);
