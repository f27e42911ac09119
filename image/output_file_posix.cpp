// SPDX-License-Identifier: Apache-2.0
// The output file's system calls on POSIX: the output opened as a plain open for writing opens it,
// its place read from the kernel (/proc/self/fd), its folder opened, then openat with O_EXCL,
// write, fsync, the owner and mode passed on, and renameat.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <vector>

#include "image/output_file_system.h"

namespace {

int Descriptor(FileHandle file) {
  return static_cast<int>(file);
}

FileHandle Handle(int descriptor) {
  return descriptor < 0 ? NoFile : static_cast<FileHandle>(descriptor);
}

bool SameFile(const struct stat& one, const struct stat& other) {
  return one.st_dev == other.st_dev && one.st_ino == other.st_ino;
}

bool IsStream(int stream, const struct stat& file) {
  struct stat status {};
  return fstat(stream, &status) == 0 && SameFile(status, file);
}

// The kernel's own name of the file open as `descriptor`, as it resolved it when opening: empty
// when it cannot say (no /proc).
std::string KernelName(int descriptor) {
  const std::string link = "/proc/self/fd/" + std::to_string(descriptor);
  std::vector<char> name(256);
  ssize_t length = 0;
  while ((length = readlink(link.c_str(), name.data(), name.size())) ==
         static_cast<ssize_t>(name.size())) {
    name.resize(name.size() * 2);
  }
  return length > 0 && name[0] == '/' ? std::string(name.data(), static_cast<size_t>(length))
                                      : std::string();
}

}  // namespace

OpenedOutput OpenOutput(const std::string& path) {
  // Whether the open below creates the file: stat follows links as the open does.
  struct stat before {};
  const bool existed = stat(path.c_str(), &before) == 0;
  // O_CREAT as in "wb", so that the kernel applies protected_regular and protected_fifos, and
  // protected_symlinks to a link at the end; no O_TRUNC: the old content stays until replaced.
  const int file = open(path.c_str(), O_WRONLY | O_CREAT | O_NOCTTY | O_CLOEXEC, 0666);
  struct stat opened {};
  if (file < 0 || fstat(file, &opened) != 0) {
    if (file >= 0) {
      close(file);
    }
    return {};
  }
  return {.file = Handle(file),
          .created = !existed,
          .regular = S_ISREG(opened.st_mode),
          .standardOutput = IsStream(STDOUT_FILENO, opened),
          .standardError = IsStream(STDERR_FILENO, opened)};
}

OutputPlace LocateOutput(OpenedOutput& output, const std::string& path) {
  // Without /proc the name as given, if it names the opened file itself and not a link to it.
  std::string name = KernelName(Descriptor(output.file));
  if (name.empty()) {
    name = path;
  }
  const size_t slash = name.rfind('/');
  OutputPlace place;
  place.folderPath = slash == std::string::npos ? "." : slash == 0 ? "/" : name.substr(0, slash);
  place.name = name.substr(slash == std::string::npos ? 0 : slash + 1);
  place.folder = Handle(open(place.folderPath.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
  place.found = place.folder != NoFile && !place.name.empty() && StillNamed(output, place);
  return place;
}

bool StillNamed(const OpenedOutput& output, const OutputPlace& place) {
  struct stat opened {};
  struct stat named {};
  return fstat(Descriptor(output.file), &opened) == 0 &&
         fstatat(Descriptor(place.folder), place.name.c_str(), &named, AT_SYMLINK_NOFOLLOW) == 0 &&
         SameFile(opened, named);
}

unsigned long ProcessId() {
  return static_cast<unsigned long>(getpid());
}

FileHandle CreateNewFile(const OutputPlace& place, const std::string& name, bool& nameTaken) {
  // Open to nobody else while it is written; it takes the output's mode once complete.
  const int file =
      openat(Descriptor(place.folder), name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
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

bool CompleteNewFile(FileHandle file, const OpenedOutput& output) {
  struct stat existing {};
  if (fsync(Descriptor(file)) != 0 || fstat(Descriptor(output.file), &existing) != 0) {
    return false;
  }
  // The owner is kept where the system allows it; the permission bits always. chown first: it
  // clears the set-user-ID and set-group-ID bits that chmod then puts back.
  [[maybe_unused]] const int owned = fchown(Descriptor(file), existing.st_uid, existing.st_gid);
  return fchmod(Descriptor(file), existing.st_mode & 07777) == 0;
}

bool EmptyFile(FileHandle file) {
  struct stat status {};
  if (fstat(Descriptor(file), &status) != 0) {
    return false;
  }
  return !S_ISREG(status.st_mode) || ftruncate(Descriptor(file), 0) == 0;
}

bool CloseFile(FileHandle file) {
  return close(Descriptor(file)) == 0;
}

RenameResult RenameOver(const OutputPlace& place, const std::string& name) {
  const int folder = Descriptor(place.folder);
  if (renameat(folder, name.c_str(), folder, place.name.c_str()) == 0) {
    return RenameResult::Done;
  }
  return errno == EBUSY ? RenameResult::Busy : RenameResult::Failed;
}

void RemoveName(const OutputPlace& place, const std::string& name) {
  unlinkat(Descriptor(place.folder), name.c_str(), 0);
}

void CloseFolder(OutputPlace& place) {
  if (place.folder != NoFile) {
    close(Descriptor(place.folder));
    place.folder = NoFile;
  }
}
