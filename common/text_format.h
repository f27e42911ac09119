// SPDX-License-Identifier: Apache-2.0
// FormatText: printf-style formatting into a std::string as long as the text needs, its format
// and arguments checked by the compiler.
#pragma once

#include <cstdarg>
#include <string>

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
