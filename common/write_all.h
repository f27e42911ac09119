// SPDX-License-Identifier: Apache-2.0
// The write loop that POSIX files share: every byte of a buffer onto a descriptor.
#pragma once

#include <cstddef>

/// Writes all `size` bytes of `data` to `descriptor`, taking up a write that a signal cut short;
/// false at the first write that fails or writes nothing (errno tells why). POSIX only.
bool WriteAll(int descriptor, const void* data, size_t size);
