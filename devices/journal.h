// SPDX-License-Identifier: Apache-2.0
// The journal of torvane-devices: one JSON line per device an update started, appended to a file
// that several runs may share, and read back to leave out the devices already updated.
#pragma once

#include <mutex>
#include <set>
#include <string>

#include "devices/journal_file.h"
#include "devices/run_record.h"

/// The journal file of a run. Its appends may come from several threads at once.
class Journal {
 public:
  /// Opens the journal at `path` for appending, creating it when it does not exist. False, with
  /// nothing said, when it cannot be opened.
  bool Open(const std::string& path);

  /// Appends the line of a device that was started and is done with (`device` final) and that
  /// carries `image`: written whole with one write, under the file's advisory lock, flushed to
  /// disk before it returns. Returns what to say when the line could not be written (once: later
  /// failures return ""); "" when it was.
  std::string Append(const DeviceRecord& device, const ImageFacts& image);

 private:
  std::string path_;
  // One append at a time from this process's threads; the file's lock keeps other runs out.
  std::mutex mutex_;
  JournalFile file_;
  bool failureSaid_ = false;
};

/// The device ids of the journal at `path` with a line whose result is "updated" and whose image
/// has the SHA-256 `sha256`. Lines that are not such JSON objects (a line torn by a power cut) are
/// passed over; an unreadable or missing file gives none.
std::set<std::string> ReadUpdatedIds(const std::string& path, const std::string& sha256);

/// The journal line of `device` with `image`, without its line end: {"format": 1, "id",
/// "address", "image_size", "image_sha256", "result", "failed_step", "started", "ended",
/// "tool_version"}; the id, step and times null where the record has none.
std::string JournalLine(const DeviceRecord& device, const ImageFacts& image);
