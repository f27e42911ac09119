// SPDX-License-Identifier: Apache-2.0
// The output file's steps on every platform: what the output is, the new file's name and the
// attempts at creating it, the writing, and the rename, the writing in place or the clean-up; the
// system calls are the platform's file's.
#include "image/output_file.h"

#include "image/output_file_system.h"

namespace {

// Names tried for the new file before creating it counts as failed.
constexpr int NewFileNames = 100;
// The new file's name repeats at most this much of the output's, to stay within a name's limit.
constexpr size_t NameShownMaximum = 200;

// Writes all of `bytes`, going on after a partial write; false after a failure.
bool WriteAll(FileHandle file, std::span<const uint8_t> bytes) {
  while (!bytes.empty()) {
    const long written = WriteSome(file, bytes);
    if (written <= 0) {
      return false;
    }
    bytes = bytes.subspan(static_cast<size_t>(written));
  }
  return true;
}

// Empties the opened output and writes `bytes` into it, as an open with "wb" would have.
OutputFileResult WriteInPlace(FileHandle file, std::span<const uint8_t> bytes) {
  return EmptyFile(file) && WriteAll(file, bytes) ? OutputFileResult::Written
                                                  : OutputFileResult::NotWritten;
}

// Creates a file that did not exist, in the output's folder and named after it: ".NAME.PID.N".
FileHandle CreateBeside(const OutputPlace& place, std::string& created) {
  const std::string stem =
      "." + place.name.substr(0, NameShownMaximum) + "." + std::to_string(ProcessId()) + ".";
  for (int attempt = 0; attempt < NewFileNames; ++attempt) {
    created = stem + std::to_string(attempt);
    bool nameTaken = false;
    const FileHandle file = CreateNewFile(place, created, nameTaken);
    if (file != NoFile || !nameTaken) {
      return file;
    }
  }
  return NoFile;
}

// Writes `bytes` into a new file in the output's folder and puts it in the output's place.
OutputFileResult Replace(const OpenedOutput& output, const OutputPlace& place,
                         std::span<const uint8_t> bytes) {
  std::string created;
  const FileHandle file = CreateBeside(place, created);
  if (file == NoFile) {
    return OutputFileResult::NotCreated;
  }
  bool written = WriteAll(file, bytes) && CompleteNewFile(file, output);
  written = CloseFile(file) && written;
  // A name that names another file by now is left to it.
  const RenameResult renamed =
      written && StillNamed(output, place) ? RenameOver(place, created) : RenameResult::Failed;
  if (renamed != RenameResult::Done) {
    RemoveName(place, created);
  }
  if (renamed == RenameResult::Busy) {
    // Nothing moves over a mount point; the complete copy showed that the bytes fit.
    return WriteInPlace(output.file, bytes);
  }
  return renamed == RenameResult::Done ? OutputFileResult::Written : OutputFileResult::NotWritten;
}

}  // namespace

OutputFileResult WriteOutputFile(const std::string& path, std::span<const uint8_t> bytes) {
  OpenedOutput output = OpenOutput(path);
  if (output.file == NoFile) {
    return OutputFileResult::NotCreated;
  }
  OutputFileResult result = OutputFileResult::NotCreated;
  OutputPlace place;
  if (output.regular && output.standardOutput) {
    // `-e out in > out`: the start-up banner is in the file already and the closing line would
    // follow the copy, so it could never be the copy alone. Refused before a byte is written.
  } else if (!output.regular || output.standardError) {
    // A device or a pipe takes no rename; the standard error's file would part from its messages.
    result = WriteInPlace(output.file, bytes);
  } else {
    place = LocateOutput(output, path);
    result = place.found ? Replace(output, place, bytes) : WriteInPlace(output.file, bytes);
  }
  if (result != OutputFileResult::Written && output.created && place.found &&
      StillNamed(output, place)) {
    RemoveName(place, place.name);
  }
  CloseFolder(place);
  if (output.file != NoFile && !CloseFile(output.file) && result == OutputFileResult::Written) {
    result = OutputFileResult::NotWritten;
  }
  return result;
}
