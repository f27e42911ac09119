// SPDX-License-Identifier: Apache-2.0
// The system calls under WriteOutputFile, made by one file per platform (output_file_posix.cpp,
// output_file_win32.cpp); the steps and decisions around them are output_file.cpp's.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <utility>

/// A file of the platform open for writing, at pointer width; `NoFile` for none (all ones, what
/// either platform gives for a file that could not be opened).
using FileHandle = uintptr_t;
inline constexpr FileHandle NoFile = ~uintptr_t{0};

/// The output as found before anything is written, and what a file that replaces it takes over.
struct ExistingOutput {
  enum class Kind { Refused, InPlace, Replaced };
  ExistingOutput() = default;
  ExistingOutput(Kind kind, FileHandle inPlace, std::string file)
      : kind(kind), inPlace(inPlace), file(std::move(file)) {}

  /// `Refused`: it cannot be written (nothing was changed); `InPlace`: it is written where it is
  /// (a device, a pipe, the program's own standard output); `Replaced`: a new file takes its
  /// place.
  Kind kind = Kind::Refused;
  /// `InPlace`: the output, open for writing (and emptied, where the platform empties it).
  FileHandle inPlace = NoFile;
  /// `Replaced`: the file to replace, links followed; it may not exist yet.
  std::string file;
  bool exists = false;
  /// What only the platform's own file reads: on POSIX the owner, group and permission bits of
  /// an existing `file`, on Windows the attributes that the new file is created with.
  uint32_t owner = 0;
  uint32_t group = 0;
  uint32_t permissions = 0;
  uint32_t attributes = 0;
};

/// The characters after which a path's last component starts ("/"; on Windows "\\/:").
extern const char* const PathSeparators;

/// Finds what `path` is and, for `InPlace`, opens it. Follows the platform's rules; see
/// `WriteOutputFile`.
ExistingOutput ExamineOutput(const std::string& path);

/// The id of this process, which the new file's name carries.
unsigned long ProcessId();

/// Creates the file `name`, which must not exist yet, for writing, as the replacement of `output`.
/// `NoFile` on failure, with `nameTaken` set when it failed because `name` exists.
FileHandle CreateNewFile(const std::string& name, const ExistingOutput& output, bool& nameTaken);

/// Writes the first bytes of `bytes` that the system takes at once, going on after an
/// interruption. Returns the count written, 0 or less on failure.
long WriteSome(FileHandle file, std::span<const uint8_t> bytes);

/// Makes the new file's bytes durable, then gives it what it takes over from `output`. True when
/// both were done.
bool CompleteNewFile(FileHandle file, const ExistingOutput& output);

/// Closes `file`; true when that succeeded.
bool CloseFile(FileHandle file);

/// Puts the file `from` in the place of `to`, replacing it; true when done.
bool RenameOver(const std::string& from, const std::string& to);

/// Removes the file `name`; a failure is ignored.
void RemoveFile(const std::string& name);
