// SPDX-License-Identifier: Apache-2.0
// The output file's system calls on Windows: the final name of an existing output, CreateFileA
// with CREATE_NEW, WriteFile, FlushFileBuffers and MoveFileExA.
#include <windows.h>

#include <algorithm>

#include "image/output_file_system.h"

namespace {

// The attributes an existing output passes on to the file that replaces it.
constexpr DWORD KeptAttributes = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM |
                                 FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;

HANDLE Native(FileHandle file) {
  return reinterpret_cast<HANDLE>(file);
}

FileHandle Handle(HANDLE file) {
  return reinterpret_cast<FileHandle>(file);
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

}  // namespace

const char* const PathSeparators = "\\/:";

ExistingOutput ExamineOutput(const std::string& path) {
  // Opened for writing, not emptied: tells whether the output exists, may be written and is a
  // file on a disk. An output that may not be written stays as it is, as it did when it was
  // written in place.
  const HANDLE existing = CreateFileA(path.c_str(), GENERIC_WRITE,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  ExistingOutput output(ExistingOutput::Kind::Replaced, NoFile, path);
  output.attributes = FILE_ATTRIBUTE_NORMAL;
  if (existing == INVALID_HANDLE_VALUE) {
    return GetLastError() == ERROR_FILE_NOT_FOUND ? output : ExistingOutput{};
  }
  if (GetFileType(existing) != FILE_TYPE_DISK) {
    // A device (NUL, CON) or a pipe: written where it is, since nothing may be moved over it.
    return {ExistingOutput::Kind::InPlace, Handle(existing), path};
  }
  output.file = FinalName(existing, path);
  output.exists = true;
  BY_HANDLE_FILE_INFORMATION information;
  if (GetFileInformationByHandle(existing, &information) &&
      (information.dwFileAttributes & KeptAttributes) != 0) {
    output.attributes = information.dwFileAttributes & KeptAttributes;
  }
  CloseHandle(existing);
  return output;
}

unsigned long ProcessId() {
  return GetCurrentProcessId();
}

FileHandle CreateNewFile(const std::string& name, const ExistingOutput& output, bool& nameTaken) {
  const HANDLE file =
      CreateFileA(name.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, output.attributes, nullptr);
  nameTaken = file == INVALID_HANDLE_VALUE && GetLastError() == ERROR_FILE_EXISTS;
  return Handle(file);
}

long WriteSome(FileHandle file, std::span<const uint8_t> bytes) {
  DWORD written = 0;
  const DWORD chunk = static_cast<DWORD>(std::min<size_t>(bytes.size(), 1u << 30));
  return WriteFile(Native(file), bytes.data(), chunk, &written, nullptr) ? written : -1;
}

bool CompleteNewFile(FileHandle file, const ExistingOutput& /*output*/) {
  // The attributes were given at creation.
  return FlushFileBuffers(Native(file));
}

bool CloseFile(FileHandle file) {
  return CloseHandle(Native(file));
}

bool RenameOver(const std::string& from, const std::string& to) {
  return MoveFileExA(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING);
}

void RemoveFile(const std::string& name) {
  DeleteFileA(name.c_str());
}
