// SPDX-License-Identifier: Apache-2.0
// Writing a whole output file so that it takes the old one's place only once it is complete.
#pragma once

#include <cstdint>
#include <span>
#include <string>

enum class OutputFileResult { Written, NotCreated, NotWritten };

/// Makes `bytes` the content of the file `path` without ever leaving a partial file in its place.
/// The output is first opened as a plain open for writing opens it (created when missing, not
/// emptied), so the system's protections of links and of other users' files in shared folders
/// apply as they would there; the file found is the one replaced, where the system found it: a
/// new file in its folder takes its name once every byte is written, flushed to the disk and the
/// new file closed. An existing output keeps its permission bits (and on POSIX its owner where
/// the system allows); a new one gets what creating a file gives (0666 less the umask on POSIX).
/// Written in place instead, with no new file and no rename: an output that is not a file on a
/// disk (a device such as /dev/null or NUL, a pipe), the program's own standard error, a file
/// bound over another (a mount point, which nothing can be moved over; written once the new copy
/// was complete, so the disk had room), and a file whose place cannot be told.
/// Returns `Written`; `NotCreated` when the system refuses to open or create the output, when it
/// is the program's own standard output and a file on a disk (the program's messages go there
/// too, so it could never hold the copy alone), or when the new file cannot be created;
/// `NotWritten` when a write, the flush, the close or the rename failed. On a failure the new
/// file is removed, an output that the open created too, and an existing output is left as it
/// was (but one written in place).
OutputFileResult WriteOutputFile(const std::string& path, std::span<const uint8_t> bytes);
