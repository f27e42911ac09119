// SPDX-License-Identifier: Apache-2.0
// FormatText: the text measured with vsnprintf first, then printed into a string of that length.
#include "common/text_format.h"

#include <cstdio>

std::string FormatText(const char* format, ...) {
  std::va_list arguments;
  va_start(arguments, format);
  std::string text = FormatTextList(format, arguments);
  va_end(arguments);
  return text;
}

std::string FormatTextList(const char* format, std::va_list arguments) {
  std::va_list measuring;
  va_copy(measuring, arguments);
  const int length = std::vsnprintf(nullptr, 0, format, measuring);
  va_end(measuring);
  if (length <= 0) {
    return {};
  }
  // The string's own terminating zero takes the one vsnprintf writes.
  std::string text(static_cast<size_t>(length), '\0');
  std::vsnprintf(text.data(), text.size() + 1, format, arguments);
  return text;
}
