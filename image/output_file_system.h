// SPDX-License-Identifier: Apache-2.0
// The system calls under WriteOutputFile, made by one file per platform (output_file_posix.cpp,
// output_file_win32.cpp); the steps and decisions around them are output_file.cpp's.
#pragma once

#include <cstdint>
#include <span>
#include <string>

/// A file or folder of the platform, open, at pointer width; `NoFile` for none (all ones, what
/// either platform gives for a file that could not be opened).
using FileHandle = uintptr_t;
inline constexpr FileHandle NoFile = ~uintptr_t{0};

/// The output as a plain open for writing finds it, and what it is.
struct OpenedOutput {
  /// Open for writing, not emptied; `NoFile` when the system refused to open or create it.
  FileHandle file = NoFile;
  /// The open created it: it goes again after a failure.
  bool created = false;
  /// A file on a disk, not a device, a pipe or a socket.
  bool regular = false;
  /// The same file as this program's standard output, or its standard error.
  bool standardOutput = false;
  bool standardError = false;
};

/// Where an opened output is, as the system found it: its folder (POSIX: opened; Windows: its
/// path with the separator) and its name there.
struct OutputPlace {
  /// False when it cannot be told, or the name no longer names the opened file.
  bool found = false;
  FileHandle folder = NoFile;
  std::string folderPath;
  std::string name;
  /// Windows: the attributes that the new file is created with.
  uint32_t attributes = 0;
};

/// Opens `path` as a plain open for writing does, through the system's own walk of the path with
/// its protections (links in shared folders, other users' files there), creating a missing file
/// but not emptying an existing one. `file` is `NoFile` when the system refused.
OpenedOutput OpenOutput(const std::string& path);

/// Finds where the opened output is from the open file itself, never by resolving `path` again
/// (POSIX: the system's own name of the descriptor, then its folder opened and checked to hold
/// the very file; Windows: the handle's final name). On Windows the output is closed, as a file
/// held open cannot be replaced there; elsewhere it stays open.
OutputPlace LocateOutput(OpenedOutput& output, const std::string& path);

/// True while `place` names the file that `output` opened (on Windows, where it is closed, true).
bool StillNamed(const OpenedOutput& output, const OutputPlace& place);

/// The id of this process, which the new file's name carries.
unsigned long ProcessId();

/// Creates the file `name` in the output's folder, which must not exist yet, for writing.
/// `NoFile` on failure, with `nameTaken` set when it failed because `name` exists.
FileHandle CreateNewFile(const OutputPlace& place, const std::string& name, bool& nameTaken);

/// Writes the first bytes of `bytes` that the system takes at once, going on after an
/// interruption. Returns the count written, 0 or less on failure.
long WriteSome(FileHandle file, std::span<const uint8_t> bytes);

/// Makes the new file's bytes durable, then gives it what it takes over from `output` (POSIX:
/// the owner where allowed, the permission bits). True when both were done.
bool CompleteNewFile(FileHandle file, const OpenedOutput& output);

/// Empties `file` when it is a file on a disk, as an open that truncates would; anything else is
/// left as it is. True unless emptying failed.
bool EmptyFile(FileHandle file);

/// Closes `file`; true when that succeeded.
bool CloseFile(FileHandle file);

enum class RenameResult { Done, Busy, Failed };

/// Puts the file `name` of the output's folder in the output's place, replacing it. `Busy` when
/// the output is a mount point (a file bound over another), where nothing can be moved.
RenameResult RenameOver(const OutputPlace& place, const std::string& name);

/// Removes the file `name` from the output's folder; a failure is ignored.
void RemoveName(const OutputPlace& place, const std::string& name);

/// Closes the folder that `LocateOutput` opened, if any.
void CloseFolder(OutputPlace& place);
