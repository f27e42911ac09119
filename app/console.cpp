// SPDX-License-Identifier: Apache-2.0
// ConsolePrint, the program's one formatted print to standard output, and the capture that
// tests and fuzzers put in its place.
#include "app/console.h"

#include <cstdarg>
#include <cstdio>

namespace {
ConsoleCapture* activeCapture = nullptr;
}  // namespace

ConsoleCapture::ConsoleCapture() {
  activeCapture = this;
}

ConsoleCapture::~ConsoleCapture() {
  activeCapture = nullptr;
}

void ConsolePrint(const char* format, ...) {
  std::va_list arguments;
  va_start(arguments, format);
  const std::string text = FormatTextList(format, arguments);
  va_end(arguments);

  if (activeCapture != nullptr) {
    activeCapture->text_ += text;
    return;
  }
  // A failed write is not the run's failure: the update goes on to its end and its exit status.
  std::fwrite(text.data(), 1, text.size(), stdout);
  // On a console every print shows at once, marks and figures included. Elsewhere every line is
  // written out as it ends, so that a log captured from a run that was killed shows how far it
  // got; done here because the Windows runtime has no line buffering.
  static const bool flushEachPrint = StandardOutputIsConsole();
  if (flushEachPrint || text.find('\n') != std::string::npos) {
    std::fflush(stdout);
  }
}
