// SPDX-License-Identifier: Apache-2.0
// ConsolePrint, the program's one formatted print to standard output, and the capture that
// tests and fuzzers put in its place.
#include "app/console.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <vector>

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
  std::va_list measuring;
  va_copy(measuring, arguments);
  const int length = std::vsnprintf(nullptr, 0, format, measuring);
  va_end(measuring);
  if (length < 0) {
    va_end(arguments);
    return;
  }
  std::vector<char> text(static_cast<size_t>(length) + 1);
  std::vsnprintf(text.data(), text.size(), format, arguments);
  va_end(arguments);

  if (activeCapture != nullptr) {
    activeCapture->text_.append(text.data(), static_cast<size_t>(length));
    return;
  }
  // A failed write is not the run's failure: the update goes on to its end and its exit status.
  std::fwrite(text.data(), 1, static_cast<size_t>(length), stdout);
  // On a console every print shows at once, marks and figures included. Elsewhere every line is
  // written out as it ends, so that a log captured from a run that was killed shows how far it
  // got; done here because the Windows runtime has no line buffering.
  static const bool flushEachPrint = StandardOutputIsConsole();
  if (flushEachPrint || std::memchr(text.data(), '\n', static_cast<size_t>(length)) != nullptr) {
    std::fflush(stdout);
  }
}
