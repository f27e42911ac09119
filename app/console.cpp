#include "app/console.h"

#include <cstdarg>
#include <cstdio>
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
  std::fwrite(text.data(), 1, static_cast<size_t>(length), stdout);
  static const bool flushEachPrint = StandardOutputIsConsole();
  if (flushEachPrint) {
    std::fflush(stdout);
  }
}
