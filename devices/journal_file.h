// SPDX-License-Identifier: Apache-2.0
// JournalFile: the journal's file, which several runs may share, appended to one whole line at a
// time under an advisory lock and flushed to disk. One file per platform implements it.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

/// An open journal file; closed when it goes. Not copyable. Not for two threads at once: its
/// lock keeps other processes out, not other threads.
class JournalFile {
 public:
  JournalFile() = default;
  ~JournalFile() { Close(); }
  JournalFile(const JournalFile&) = delete;
  JournalFile& operator=(const JournalFile&) = delete;

  /// Opens `path` for reading and appending, creating it (mode 0644 less the umask) when it does
  /// not exist. False when it cannot be opened.
  bool Open(const std::string& path);
  /// Under an exclusive advisory lock of the whole file (waiting for another run's to go): when
  /// the file does not end with a line end (a line torn by a power cut), writes one first; then
  /// appends `line` with one write and flushes it to disk (fsync, FlushFileBuffers). True when
  /// all of it was written and flushed; false on any failure, or when not open.
  bool AppendWhole(std::string_view line);
  /// Closes the file; nothing when it is not open.
  void Close();

 private:
  // The platform's descriptor or handle at pointer width; all ones while none is open.
  static constexpr uintptr_t Closed = ~uintptr_t{0};
  uintptr_t handle_ = Closed;
};
