// SPDX-License-Identifier: Apache-2.0
// What the commands of torvane-devices found and did, and the Reporter that shows it: as text
// lines, or as one JSON document for scripts.
#pragma once

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "management/target_preparation.h"

/// A device as list and info show it.
struct ListedDevice {
  std::string address;
  Identification identity;
};

/// What update did to one device.
struct UpdateRecord {
  std::string address;
  /// As the device last answered its identify request; `NoAnswer` when it never did.
  Identification identity;
  bool updated = false;
  /// Where the last attempt failed ("identify", "erase wait", "program block 5"...); empty when
  /// the device was updated.
  std::string failedStep;
  int attempts = 0;
  double seconds = 0;
};

/// True when the device answered with the type that this program updates.
bool IsSupported(const Identification& identity);

/// The device id as six hexadecimal pairs: "00:1b:2c:3d:4e:5f".
std::string FormatDeviceId(const DeviceId& id);

/// "1 attempt", "2 attempts": `count` and `noun`, with an "s" unless the count is 1.
std::string Counted(size_t count, const char* noun);

/// How many of `updates` updated their device.
size_t CountUpdated(const std::vector<UpdateRecord>& updates);

/// Writes `line` and a line end to `stream` and flushes it, so that a log shows each line as it
/// comes. A failed write is ignored.
void WriteLine(std::FILE* stream, const std::string& line);

/// Shows a command's progress and results.
class Reporter {
 public:
  virtual ~Reporter() = default;
  /// One line for people about the run as it goes, without its line end.
  virtual void Progress(const std::string& line) = 0;
  /// The result of list or info: the devices in their order.
  virtual void Devices(const std::vector<ListedDevice>& devices) = 0;
  /// The result of update: each device in its order, and the totals.
  virtual void Updates(const std::vector<UpdateRecord>& updates) = 0;
};

/// Progress and results as lines on standard output.
std::unique_ptr<Reporter> MakeTextReporter();

/// Progress as lines on standard error; the result as one JSON document on standard output.
std::unique_ptr<Reporter> MakeJsonReporter();
