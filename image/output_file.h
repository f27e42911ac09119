// SPDX-License-Identifier: Apache-2.0
// Writing a whole output file so that it takes the old one's place only once it is complete.
#pragma once

#include <cstdint>
#include <span>
#include <string>

enum class OutputFileResult { Written, NotCreated, NotWritten };

/// Makes `bytes` the content of the file `path` without ever leaving a partial file in its place:
/// writes them to a new file in the same folder and, once every byte is written, flushed to the
/// disk and the new file closed, renames it over `path`. An output that is a symbolic link gets its
/// target replaced, not the link. An existing output keeps its permission bits; a new one gets what
/// creating a file gives (0666 less the umask on POSIX). An output that exists but is not a regular
/// file (a device such as /dev/null or NUL, a pipe), or is the program's own standard output or
/// error, is written in place as before, with no new file and no rename.
/// Returns `Written`; `NotCreated` when the new file cannot be created or the output cannot be
/// opened for writing; `NotWritten` when a write, the flush, the close or the rename failed. On a
/// failure the new file is removed and the old output is left as it was.
OutputFileResult WriteOutputFile(const std::string& path, std::span<const uint8_t> bytes);
