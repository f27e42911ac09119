// SPDX-License-Identifier: Apache-2.0
// The encode mode's output file on Windows: a new file beside the output, written, flushed, closed
// and moved over it with MoveFileExA.
#include <windows.h>

#include <algorithm>
#include <string>

#include "image/output_file.h"

namespace {

// Names tried for the new file before creating it counts as failed.
constexpr int NewFileNames = 100;
// The new file's name repeats at most this much of the output's, to stay within a name's limit.
constexpr size_t NameShownMaximum = 200;
// The attributes an existing output passes on to the file that replaces it.
constexpr DWORD KeptAttributes = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM |
                                 FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;

// Writes all of `bytes`, going on after a partial write; false after a failure.
bool WriteAll(HANDLE file, std::span<const uint8_t> bytes) {
  while (!bytes.empty()) {
    DWORD written = 0;
    const DWORD chunk = static_cast<DWORD>(std::min<size_t>(bytes.size(), 1u << 30));
    if (!WriteFile(file, bytes.data(), chunk, &written, nullptr) || written == 0) {
      return false;
    }
    bytes = bytes.subspan(written);
  }
  return true;
}

// The folder part of `path`, with its separator ("" for a bare name).
std::string FolderOf(const std::string& path) {
  const size_t separator = path.find_last_of("\\/:");
  return separator == std::string::npos ? std::string() : path.substr(0, separator + 1);
}

// The name of the file that `file` is, links followed, in the form the A functions take; `path`
// when the system cannot tell.
std::string FinalName(HANDLE file, const std::string& path) {
  char name[MAX_PATH * 4];
  const DWORD length = GetFinalPathNameByHandleA(file, name, sizeof name, VOLUME_NAME_DOS);
  if (length == 0 || length >= sizeof name) {
    return path;
  }
  const std::string found(name, length);
  if (found.rfind("\\\\?\\UNC\\", 0) == 0) {
    return "\\\\" + found.substr(8);
  }
  return found.rfind("\\\\?\\", 0) == 0 ? found.substr(4) : found;
}

// Creates a file that did not exist, in `folder`, named after `name`.
HANDLE CreateNewFile(const std::string& folder, const std::string& name, DWORD attributes,
                     std::string& created) {
  const std::string stem = folder + "." + name.substr(0, NameShownMaximum) + "." +
                           std::to_string(GetCurrentProcessId()) + ".";
  for (int attempt = 0; attempt < NewFileNames; ++attempt) {
    created = stem + std::to_string(attempt);
    const HANDLE file =
        CreateFileA(created.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, attributes, nullptr);
    if (file != INVALID_HANDLE_VALUE || GetLastError() != ERROR_FILE_EXISTS) {
      return file;
    }
  }
  return INVALID_HANDLE_VALUE;
}

}  // namespace

OutputFileResult WriteOutputFile(const std::string& path, std::span<const uint8_t> bytes) {
  // Opened for writing, not emptied: tells whether the output exists, may be written and is a
  // file on a disk. An output that may not be written stays as it is, as it did when it was
  // written in place.
  const HANDLE existing = CreateFileA(path.c_str(), GENERIC_WRITE,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  std::string output = path;
  DWORD attributes = FILE_ATTRIBUTE_NORMAL;
  if (existing == INVALID_HANDLE_VALUE) {
    if (GetLastError() != ERROR_FILE_NOT_FOUND) {
      return OutputFileResult::NotCreated;
    }
  } else if (GetFileType(existing) != FILE_TYPE_DISK) {
    // A device (NUL, CON) or a pipe: written where it is, since nothing may be moved over it.
    const bool written = WriteAll(existing, bytes);
    return CloseHandle(existing) && written ? OutputFileResult::Written
                                            : OutputFileResult::NotWritten;
  } else {
    output = FinalName(existing, path);
    BY_HANDLE_FILE_INFORMATION information;
    if (GetFileInformationByHandle(existing, &information) &&
        (information.dwFileAttributes & KeptAttributes) != 0) {
      attributes = information.dwFileAttributes & KeptAttributes;
    }
    CloseHandle(existing);
  }
  const std::string folder = FolderOf(output);
  std::string created;
  const HANDLE file = CreateNewFile(folder, output.substr(folder.size()), attributes, created);
  if (file == INVALID_HANDLE_VALUE) {
    return OutputFileResult::NotCreated;
  }
  bool written = WriteAll(file, bytes) && FlushFileBuffers(file);
  written = CloseHandle(file) && written;
  if (!written || !MoveFileExA(created.c_str(), output.c_str(), MOVEFILE_REPLACE_EXISTING)) {
    DeleteFileA(created.c_str());
    return OutputFileResult::NotWritten;
  }
  return OutputFileResult::Written;
}
