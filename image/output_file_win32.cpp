// SPDX-License-Identifier: Apache-2.0
// The output file's system calls on Windows: CreateFileA with OPEN_ALWAYS (the system's own walk
// of the path, as a plain open for writing), the handle's final name, CreateFileA with
// CREATE_NEW, WriteFile, FlushFileBuffers and MoveFileExA.
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

// True when `file` and the standard stream `stream` are one file on a disk. Wine's handle of a
// Unix file inherited as a standard stream answers no query of its identity: false there.
bool IsStream(HANDLE file, DWORD stream) {
  const HANDLE standard = GetStdHandle(stream);
  BY_HANDLE_FILE_INFORMATION one;
  BY_HANDLE_FILE_INFORMATION other;
  return standard != nullptr && standard != INVALID_HANDLE_VALUE &&
         GetFileType(standard) == FILE_TYPE_DISK && GetFileInformationByHandle(file, &one) &&
         GetFileInformationByHandle(standard, &other) &&
         one.dwVolumeSerialNumber == other.dwVolumeSerialNumber &&
         one.nFileIndexHigh == other.nFileIndexHigh && one.nFileIndexLow == other.nFileIndexLow;
}

}  // namespace

OpenedOutput OpenOutput(const std::string& path) {
  // Created when missing, not emptied; shared for deleting, so that the name can be reused.
  const HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                  OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    return {};
  }
  const bool created = GetLastError() != ERROR_ALREADY_EXISTS;
  return {.file = Handle(file),
          .created = created,
          .regular = GetFileType(file) == FILE_TYPE_DISK,
          .standardOutput = IsStream(file, STD_OUTPUT_HANDLE),
          .standardError = IsStream(file, STD_ERROR_HANDLE)};
}

OutputPlace LocateOutput(OpenedOutput& output, const std::string& path) {
  const HANDLE file = Native(output.file);
  const std::string name = FinalName(file, path);
  const size_t separator = name.find_last_of("\\/:");
  OutputPlace place;
  place.folderPath = separator == std::string::npos ? "" : name.substr(0, separator + 1);
  place.name = name.substr(separator == std::string::npos ? 0 : separator + 1);
  place.attributes = FILE_ATTRIBUTE_NORMAL;
  BY_HANDLE_FILE_INFORMATION information;
  if (GetFileInformationByHandle(file, &information) &&
      (information.dwFileAttributes & KeptAttributes) != 0) {
    place.attributes = information.dwFileAttributes & KeptAttributes;
  }
  place.found = !place.name.empty();
  // MoveFileExA does not replace a file that is open, even for deleting.
  CloseHandle(file);
  output.file = NoFile;
  return place;
}

bool StillNamed(const OpenedOutput& /*output*/, const OutputPlace& /*place*/) {
  return true;
}

unsigned long ProcessId() {
  return GetCurrentProcessId();
}

FileHandle CreateNewFile(const OutputPlace& place, const std::string& name, bool& nameTaken) {
  const HANDLE file = CreateFileA((place.folderPath + name).c_str(), GENERIC_WRITE, 0, nullptr,
                                  CREATE_NEW, place.attributes, nullptr);
  nameTaken = file == INVALID_HANDLE_VALUE && GetLastError() == ERROR_FILE_EXISTS;
  return Handle(file);
}

long WriteSome(FileHandle file, std::span<const uint8_t> bytes) {
  DWORD written = 0;
  const DWORD chunk = static_cast<DWORD>(std::min<size_t>(bytes.size(), 1u << 30));
  return WriteFile(Native(file), bytes.data(), chunk, &written, nullptr) ? written : -1;
}

bool CompleteNewFile(FileHandle file, const OpenedOutput& /*output*/) {
  // The attributes were given at creation.
  return FlushFileBuffers(Native(file));
}

bool EmptyFile(FileHandle file) {
  if (GetFileType(Native(file)) != FILE_TYPE_DISK) {
    return true;
  }
  return SetFilePointer(Native(file), 0, nullptr, FILE_BEGIN) == 0 && SetEndOfFile(Native(file));
}

bool CloseFile(FileHandle file) {
  return CloseHandle(Native(file));
}

RenameResult RenameOver(const OutputPlace& place, const std::string& name) {
  // A file bound over another is a POSIX notion: no Busy here.
  return MoveFileExA((place.folderPath + name).c_str(), (place.folderPath + place.name).c_str(),
                     MOVEFILE_REPLACE_EXISTING)
             ? RenameResult::Done
             : RenameResult::Failed;
}

void RemoveName(const OutputPlace& place, const std::string& name) {
  DeleteFileA((place.folderPath + name).c_str());
}

void CloseFolder(OutputPlace& /*place*/) {}
