// SPDX-License-Identifier: Apache-2.0
// JournalFile on Windows: FILE_APPEND_DATA, LockFileEx around the append, FlushFileBuffers before
// the unlock.
#include <windows.h>

#include <string>

#include "devices/journal_file.h"

namespace {

HANDLE Handle(uintptr_t handle) {
  return reinterpret_cast<HANDLE>(handle);
}

// True when the file is empty or its last byte is a line end.
bool EndsWithLineEnd(HANDLE file) {
  LARGE_INTEGER size{};
  if (!GetFileSizeEx(file, &size)) {
    return false;
  }
  if (size.QuadPart == 0) {
    return true;
  }
  OVERLAPPED at{};
  at.Offset = static_cast<DWORD>(size.QuadPart - 1);
  at.OffsetHigh = static_cast<DWORD>((size.QuadPart - 1) >> 32);
  char last = 0;
  DWORD read = 0;
  return ReadFile(file, &last, 1, &read, &at) && read == 1 && last == '\n';
}

}  // namespace

bool JournalFile::Open(const std::string& path) {
  Close();
  // Others may read, append and lock it meanwhile: the lock, not the sharing mode, orders them.
  const HANDLE file =
      CreateFileA(path.c_str(), FILE_APPEND_DATA | GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                  nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  handle_ = file == INVALID_HANDLE_VALUE ? Closed : reinterpret_cast<uintptr_t>(file);
  return file != INVALID_HANDLE_VALUE;
}

bool JournalFile::AppendWhole(std::string_view line) {
  const HANDLE file = Handle(handle_);
  OVERLAPPED whole{};
  if (handle_ == Closed ||
      !LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK, 0, MAXDWORD, MAXDWORD, &whole)) {
    return false;
  }
  const std::string bytes = (EndsWithLineEnd(file) ? "" : "\n") + std::string(line);
  DWORD written = 0;
  // With FILE_APPEND_DATA alone for writing, every write goes to the file's end.
  const bool done =
      WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
      written == bytes.size() && FlushFileBuffers(file);
  UnlockFileEx(file, 0, MAXDWORD, MAXDWORD, &whole);
  return done;
}

void JournalFile::Close() {
  if (handle_ != Closed) {
    CloseHandle(Handle(handle_));
    handle_ = Closed;
  }
}
