// SPDX-License-Identifier: Apache-2.0
// FormatText: printf-style formatting into a std::string as long as the text needs, its format
// and arguments checked by the compiler; and arguments shown in messages without their control
// bytes.
#pragma once

#include <cstdarg>
#include <string>
#include <string_view>

#if defined(__GNUC__)
#define TORVANE_PRINTF_FORMAT(format_index, first_arg) \
  __attribute__((format(printf, format_index, first_arg)))
#else
#define TORVANE_PRINTF_FORMAT(format_index, first_arg)
#endif

/// `format` and its arguments as printf would print them, whole. Empty when the format cannot be
/// printed (an encoding error).
std::string FormatText(const char* format, ...) TORVANE_PRINTF_FORMAT(1, 2);

/// `FormatText` over a `va_list`, which it leaves to the caller to end.
std::string FormatTextList(const char* format, std::va_list arguments);

/// `text` as a message may show it, between single quotes: control bytes (below 32, 127, and the
/// C1 controls U+0080 to U+009F) and bytes that are not UTF-8 written as \n, \r, \t or \xNN, so
/// that no byte of an argument reaches a terminal as an escape sequence; the rest as it is. A text
/// of more than `QuotedTextLimit` bytes is cut there (never inside a character) and ends with
/// "... (N bytes)", N being its whole length.
std::string QuotedText(std::string_view text);

/// The bytes of an argument that `QuotedText` shows at most.
inline constexpr size_t QuotedTextLimit = 64;
