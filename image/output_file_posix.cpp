// SPDX-License-Identifier: Apache-2.0
// The output file's system calls on POSIX: links followed by hand, open with O_EXCL, write,
// fsync, the owner and mode passed on, and rename.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <vector>

#include "image/output_file_system.h"

namespace {

// Links followed at most in a chain, as the system's own path resolution does.
constexpr int MaxLinks = 40;

int Descriptor(FileHandle file) {
  return static_cast<int>(file);
}

FileHandle Handle(int descriptor) {
  return descriptor < 0 ? NoFile : static_cast<FileHandle>(descriptor);
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

// The output that a new file replaces: links followed, and refused when it exists but may not be
// written, as it was when it was written in place.
ExistingOutput Replaced(const std::string& path) {
  ExistingOutput output(ExistingOutput::Kind::Replaced, NoFile, FollowLinks(path));
  struct stat existing {};
  output.exists = !output.file.empty() && stat(output.file.c_str(), &existing) == 0;
  if (output.exists) {
    const int probe = open(output.file.c_str(), O_WRONLY | O_CLOEXEC | O_NOCTTY);
    if (probe < 0) {
      return {};
    }
    close(probe);
    output.owner = existing.st_uid;
    output.group = existing.st_gid;
    output.permissions = existing.st_mode & 07777;
  }
  return output.file.empty() ? ExistingOutput{} : output;
}

}  // namespace

const char* const PathSeparators = "/";

ExistingOutput ExamineOutput(const std::string& path) {
  struct stat existing {};
  if (stat(path.c_str(), &existing) == 0 && WrittenInPlace(existing)) {
    // Written where it is, as opening it with "wb" would.
    const int file = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    return {file < 0 ? ExistingOutput::Kind::Refused : ExistingOutput::Kind::InPlace, Handle(file),
            path};
  }
  return Replaced(path);
}

unsigned long ProcessId() {
  return static_cast<unsigned long>(getpid());
}

FileHandle CreateNewFile(const std::string& name, const ExistingOutput& output, bool& nameTaken) {
  // While it is written, the new file is open to nobody else when it replaces an existing one.
  const int file =
      open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, output.exists ? 0600 : 0666);
  nameTaken = file < 0 && errno == EEXIST;
  return Handle(file);
}

long WriteSome(FileHandle file, std::span<const uint8_t> bytes) {
  for (;;) {
    const ssize_t written = write(Descriptor(file), bytes.data(), bytes.size());
    if (written >= 0 || errno != EINTR) {
      return written;
    }
  }
}

bool CompleteNewFile(FileHandle file, const ExistingOutput& output) {
  if (fsync(Descriptor(file)) != 0) {
    return false;
  }
  if (!output.exists) {
    return true;
  }
  // The owner is kept where the system allows it; the permission bits always. chown first: it
  // clears the set-user-ID and set-group-ID bits that chmod then puts back.
  [[maybe_unused]] const int owned = fchown(Descriptor(file), output.owner, output.group);
  return fchmod(Descriptor(file), output.permissions) == 0;
}

bool CloseFile(FileHandle file) {
  return close(Descriptor(file)) == 0;
}

bool RenameOver(const std::string& from, const std::string& to) {
  return rename(from.c_str(), to.c_str()) == 0;
}

void RemoveFile(const std::string& name) {
  unlink(name.c_str());
}
