// SPDX-License-Identifier: Apache-2.0
// The encode mode's output file on POSIX: a new file beside the output, written, fsync'ed, closed
// and renamed over it.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

#include "image/output_file.h"

namespace {

// Links followed at most in a chain, as the system's own path resolution does.
constexpr int MaxLinks = 40;
// Names tried for the new file before creating it counts as failed.
constexpr int NewFileNames = 100;
// The new file's name repeats at most this much of the output's, to stay within a name's limit.
constexpr size_t NameShownMaximum = 200;

// Writes all of `bytes`, going on after a partial write; false after a failure.
bool WriteAll(int file, std::span<const uint8_t> bytes) {
  while (!bytes.empty()) {
    const ssize_t written = write(file, bytes.data(), bytes.size());
    if (written < 0 && errno == EINTR) {
      continue;
    }
    if (written <= 0) {
      return false;
    }
    bytes = bytes.subspan(static_cast<size_t>(written));
  }
  return true;
}

// The folder part of `path`, with its slash ("" for a bare name).
std::string FolderOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

// The file that `path` names once the links in its last component are followed; a link to nothing
// names the file that writing through it would create. Empty when the chain is too long.
std::string FollowLinks(std::string path) {
  for (int link = 0; link < MaxLinks; ++link) {
    struct stat status {};
    if (lstat(path.c_str(), &status) != 0 || !S_ISLNK(status.st_mode)) {
      return path;
    }
    std::vector<char> target(256);
    ssize_t length = 0;
    while ((length = readlink(path.c_str(), target.data(), target.size())) ==
           static_cast<ssize_t>(target.size())) {
      target.resize(target.size() * 2);
    }
    if (length <= 0) {
      return path;
    }
    const std::string next(target.data(), static_cast<size_t>(length));
    path = next[0] == '/' ? next : FolderOf(path) + next;
  }
  return {};
}

// True for a device, a pipe or a socket, and for the file that is this program's own standard
// output or error (`-e /dev/stdout ... > file`): a rename would put a plain file in a device's
// place, or part the messages that follow from the file.
bool WrittenInPlace(const struct stat& output) {
  struct stat stream {};
  for (const int descriptor : {STDOUT_FILENO, STDERR_FILENO}) {
    if (fstat(descriptor, &stream) == 0 && stream.st_dev == output.st_dev &&
        stream.st_ino == output.st_ino) {
      return true;
    }
  }
  return !S_ISREG(output.st_mode);
}

// Writes the output where it is, as opening it with "wb" would.
OutputFileResult WriteInPlace(const std::string& path, std::span<const uint8_t> bytes) {
  const int file = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (file < 0) {
    return OutputFileResult::NotCreated;
  }
  const bool written = WriteAll(file, bytes);
  const bool closed = close(file) == 0;
  return written && closed ? OutputFileResult::Written : OutputFileResult::NotWritten;
}

// Creates a file that did not exist, in `folder`, named after `name`; -1 when none can be made.
int CreateNewFile(const std::string& folder, const std::string& name, mode_t mode,
                  std::string& created) {
  const std::string stem =
      folder + "." + name.substr(0, NameShownMaximum) + "." + std::to_string(getpid()) + ".";
  for (int attempt = 0; attempt < NewFileNames; ++attempt) {
    created = stem + std::to_string(attempt);
    const int file = open(created.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
    if (file >= 0 || errno != EEXIST) {
      return file;
    }
  }
  return -1;
}

}  // namespace

OutputFileResult WriteOutputFile(const std::string& path, std::span<const uint8_t> bytes) {
  struct stat existing {};
  if (stat(path.c_str(), &existing) == 0 && WrittenInPlace(existing)) {
    return WriteInPlace(path, bytes);
  }
  const std::string output = FollowLinks(path);
  if (output.empty()) {
    return OutputFileResult::NotCreated;
  }
  const bool exists = stat(output.c_str(), &existing) == 0;
  if (exists) {
    // An output that may not be written stays as it is, as it did when it was written in place.
    const int probe = open(output.c_str(), O_WRONLY | O_CLOEXEC | O_NOCTTY);
    if (probe < 0) {
      return OutputFileResult::NotCreated;
    }
    close(probe);
  }
  const std::string folder = FolderOf(output);
  std::string created;
  // While it is written, the new file is open to nobody else when it replaces an existing one.
  const int file =
      CreateNewFile(folder, output.substr(folder.size()), exists ? 0600 : 0666, created);
  if (file < 0) {
    return OutputFileResult::NotCreated;
  }
  bool written = WriteAll(file, bytes) && fsync(file) == 0;
  if (written && exists) {
    // The owner is kept where the system allows it; the permission bits always. chown first: it
    // clears the set-user-ID and set-group-ID bits that chmod then puts back.
    [[maybe_unused]] const int owned = fchown(file, existing.st_uid, existing.st_gid);
    written = fchmod(file, existing.st_mode & 07777) == 0;
  }
  written = close(file) == 0 && written;
  if (!written || rename(created.c_str(), output.c_str()) != 0) {
    unlink(created.c_str());
    return OutputFileResult::NotWritten;
  }
  return OutputFileResult::Written;
}
