// SPDX-License-Identifier: Apache-2.0
// The output file's steps on every platform: what the output is, the new file's name and the
// attempts at creating it, the writing, and the rename or the clean-up; the system calls are the
// platform's file's.
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

// Creates a file that did not exist, beside the output and named after it: ".NAME.PID.N".
FileHandle CreateBeside(const ExistingOutput& output, std::string& created) {
  const size_t separator = output.file.find_last_of(PathSeparators);
  const size_t nameStart = separator == std::string::npos ? 0 : separator + 1;
  const std::string stem = output.file.substr(0, nameStart) + "." +
                           output.file.substr(nameStart, NameShownMaximum) + "." +
                           std::to_string(ProcessId()) + ".";
  for (int attempt = 0; attempt < NewFileNames; ++attempt) {
    created = stem + std::to_string(attempt);
    bool nameTaken = false;
    const FileHandle file = CreateNewFile(created, output, nameTaken);
    if (file != NoFile || !nameTaken) {
      return file;
    }
  }
  return NoFile;
}

}  // namespace

OutputFileResult WriteOutputFile(const std::string& path, std::span<const uint8_t> bytes) {
  const ExistingOutput output = ExamineOutput(path);
  if (output.kind == ExistingOutput::Kind::Refused) {
    return OutputFileResult::NotCreated;
  }
  if (output.kind == ExistingOutput::Kind::InPlace) {
    const bool written = WriteAll(output.inPlace, bytes);
    const bool closed = CloseFile(output.inPlace);
    return written && closed ? OutputFileResult::Written : OutputFileResult::NotWritten;
  }
  std::string created;
  const FileHandle file = CreateBeside(output, created);
  if (file == NoFile) {
    return OutputFileResult::NotCreated;
  }
  bool written = WriteAll(file, bytes) && CompleteNewFile(file, output);
  written = CloseFile(file) && written;
  if (!written || !RenameOver(created, output.file)) {
    RemoveFile(created);
    return OutputFileResult::NotWritten;
  }
  return OutputFileResult::Written;
}
