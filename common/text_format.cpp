// SPDX-License-Identifier: Apache-2.0
// FormatText: the text measured with vsnprintf first, then printed into a string of that length;
// QuotedText: an argument made safe to show.
#include "common/text_format.h"

#include <algorithm>
#include <cstdint>
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

namespace {

// The length of the UTF-8 character at the start of `text` when it is one that a terminal shows
// (not a C1 control), else 0. Overlong forms, surrogates and code points past U+10FFFF are none.
size_t ShownCharacterLength(std::string_view text) {
  const auto byte = [&text](size_t at) { return static_cast<uint8_t>(text[at]); };
  const uint8_t lead = byte(0);
  const size_t length = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC2 ? 2 : 0;
  if (lead > 0xF4 || length == 0 || text.size() < length) {
    return 0;
  }
  uint32_t code = lead & (0x7F >> length);
  for (size_t at = 1; at < length; ++at) {
    if ((byte(at) & 0xC0) != 0x80) {
      return 0;
    }
    code = code << 6 | (byte(at) & 0x3F);
  }
  const uint32_t lowest[] = {0, 0, 0xA0, 0x800, 0x10000};
  const bool surrogate = code >= 0xD800 && code <= 0xDFFF;
  return code >= lowest[length] && code <= 0x10FFFF && !surrogate ? length : 0;
}

}  // namespace

std::string QuotedText(std::string_view text) {
  std::string shown = "'";
  size_t at = 0;
  while (at < text.size()) {
    const auto byte = static_cast<uint8_t>(text[at]);
    const size_t character =
        byte >= 0x20 && byte < 0x7F ? 1 : ShownCharacterLength(text.substr(at));
    if (at + std::max<size_t>(character, 1) > QuotedTextLimit) {
      break;
    }
    if (character > 0) {
      shown.append(text.substr(at, character));
      at += character;
      continue;
    }
    shown += byte == '\n'   ? "\\n"
             : byte == '\r' ? "\\r"
             : byte == '\t' ? "\\t"
                            : FormatText("\\x%02x", byte);
    ++at;
  }
  shown += "'";
  return at == text.size() ? shown : shown + "... (" + std::to_string(text.size()) + " bytes)";
}
