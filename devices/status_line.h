// SPDX-License-Identifier: Apache-2.0
// StatusLine: on a terminal, one line below an update's progress lines, redrawn in place, that
// counts the devices done and failed and shows each running device's phase and percentage.
#pragma once

#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

/// True when `stream` is a terminal (a console on Windows), where a line may be redrawn.
bool IsTerminal(std::FILE* stream);

/// The status line on a terminal `stream`, kept below the lines written through it: "2 done,
/// 1 failed, 3 running: 10.0.0.11 program 45%, 10.0.0.12 erase", at most 79 columns (cut with
/// "..."), and taken away while no device runs. Drawn with a carriage return and spaces, which
/// every terminal and console understands. Not locked: one thread at a time.
class StatusLine {
 public:
  explicit StatusLine(std::FILE* terminal) : terminal_(terminal) {}

  /// The device at `address` runs, at `phase` ("identify", "erase"...), with `percent` of it done
  /// (-1: no figure). A new figure alone is drawn at most every tenth of a second.
  void Running(const std::string& address, const std::string& phase, int percent = -1);
  /// The device at `address` no longer runs: `updated`, or not. Drawn with the next line.
  void Finished(const std::string& address, bool updated);
  /// Writes `line` and a line end where the status line stands, then draws it again below.
  void WriteAbove(const std::string& line);
  /// Takes the status line away until the next figure or line draws it again, so that another
  /// stream may write to the same terminal.
  void Hide();

 private:
  struct Device {
    std::string address;
    std::string phase;
    int percent;
  };
  std::string Text() const;
  void Draw();

  std::FILE* terminal_;
  std::vector<Device> running_;  // in the order they started
  size_t done_ = 0;
  size_t failed_ = 0;
  size_t shown_ = 0;  // columns of the status line on the terminal now
  std::chrono::steady_clock::time_point drawn_;
};
