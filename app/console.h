// SPDX-License-Identifier: Apache-2.0
// ConsolePrint, the one way any part of the program prints to its user, and its capture for tests.
#pragma once

#include <string>

#include "common/text_format.h"

/// One formatted print to standard output, the only way the program speaks to its user. On a
/// console the text is flushed before the call returns, so marks and figures printed without a
/// line end show at once; redirected output is flushed by every print that holds a line end. A
/// failed write is ignored. While a `ConsoleCapture` lives, the text goes to it instead.
void ConsolePrint(const char* format, ...) TORVANE_PRINTF_FORMAT(1, 2);

/// Collects everything `ConsolePrint` prints while it lives, instead of writing it to standard
/// output. For tests and fuzzing; captures do not nest.
class ConsoleCapture {
 public:
  ConsoleCapture();
  ~ConsoleCapture();
  ConsoleCapture(const ConsoleCapture&) = delete;
  ConsoleCapture& operator=(const ConsoleCapture&) = delete;

  const std::string& Text() const { return text_; }
  void Clear() { text_.clear(); }

 private:
  friend void ConsolePrint(const char* format, ...);
  std::string text_;
};

/// True when standard output is an interactive console rather than a file or a pipe.
bool StandardOutputIsConsole();
