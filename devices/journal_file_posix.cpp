// SPDX-License-Identifier: Apache-2.0
// JournalFile on POSIX: open with O_APPEND, flock around the append, fsync before the unlock.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "common/write_all.h"
#include "devices/journal_file.h"

namespace {

int Descriptor(uintptr_t handle) {
  return static_cast<int>(handle);
}

// True when the file is empty or its last byte is a line end.
bool EndsWithLineEnd(int descriptor) {
  struct stat status {};
  char last = '\n';
  return fstat(descriptor, &status) == 0 &&
         (status.st_size == 0 ||
          (pread(descriptor, &last, 1, status.st_size - 1) == 1 && last == '\n'));
}

}  // namespace

bool JournalFile::Open(const std::string& path) {
  Close();
  const int descriptor = open(path.c_str(), O_RDWR | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  handle_ = descriptor < 0 ? Closed : static_cast<uintptr_t>(descriptor);
  return descriptor >= 0;
}

bool JournalFile::AppendWhole(std::string_view line) {
  const int descriptor = Descriptor(handle_);
  if (handle_ == Closed || flock(descriptor, LOCK_EX) != 0) {
    return false;
  }
  const std::string whole = (EndsWithLineEnd(descriptor) ? "" : "\n") + std::string(line);
  const bool written = WriteAll(descriptor, whole.data(), whole.size()) && fsync(descriptor) == 0;
  flock(descriptor, LOCK_UN);
  return written;
}

void JournalFile::Close() {
  if (handle_ != Closed) {
    close(Descriptor(handle_));
    handle_ = Closed;
  }
}
