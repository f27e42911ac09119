// SPDX-License-Identifier: Apache-2.0
// WriteAll on POSIX: write(2) until the buffer is out, past EINTR.
#include "common/write_all.h"

#include <unistd.h>

#include <cerrno>

bool WriteAll(int descriptor, const void* data, size_t size) {
  const auto* next = static_cast<const char*>(data);
  while (size > 0) {
    const ssize_t written = write(descriptor, next, size);
    if (written < 0 && errno == EINTR) {
      continue;
    }
    if (written <= 0) {
      return false;
    }
    next += written;
    size -= static_cast<size_t>(written);
  }
  return true;
}
