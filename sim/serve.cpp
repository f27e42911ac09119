// SPDX-License-Identifier: Apache-2.0
// The simulator's edge on POSIX systems: the socket on UDP port 36, one poll that waits for a
// datagram or the next delayed reply, the bounded queue of those replies, the log on standard
// error, the store files, and the check that keeps it off the machine's own network.
#include "sim/serve.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <grp.h>
#include <linux/nsfs.h>
#include <netinet/in.h>
#include <poll.h>
#include <pwd.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "common/write_all.h"
#include "net/device_port.h"
#include "sim/device.h"

namespace devsim {

namespace {

using Clock = std::chrono::steady_clock;

// The inode of the machine's first user namespace, which the kernel fixes (PROC_USER_INIT_INO).
constexpr ino_t InitialUserNamespaceInode = 0xEFFFFFFD;

// A count of repeated log lines is written at most this long after the first of them.
constexpr std::chrono::seconds RepeatsWrittenWithin{1};

// Delayed replies that may wait at one time; under a flood the queue would otherwise grow without
// end.
constexpr size_t MaxDelayedReplies = 4096;

volatile sig_atomic_t stopRequested = 0;
int stopSocket = -1;

// Shutting the socket for reading also makes a poll that waits, or is about to, return at once:
// no stop request slips in between the check and the wait.
void OnStopSignal(int) {
  stopRequested = 1;
  shutdown(stopSocket, SHUT_RD);
}

// Errors show even with --quiet, and at once.
void LogError(const std::string& text) {
  std::fprintf(stderr, "torvane-devsim: %s\n", text.c_str());
  std::fflush(stderr);
}

std::string BindFailure(int error) {
  std::string text = std::string("cannot bind UDP port 36: ") + std::strerror(error);
  if (error == EACCES || error == EPERM) {
    text +=
        ". Port 36 is privileged: run as root, or in a private network namespace (as root: "
        "unshare --net; as a user: unshare --user --map-root-user --net)";
  } else if (error == EADDRINUSE) {
    text +=
        ". Another program (another simulator?) holds port 36 here: stop it, or run the "
        "simulator in a private network namespace (unshare --net)";
  }
  return text;
}

// Returns the bound socket, or -1 with `why` set.
int OpenDeviceSocket(std::string& why) {
  const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) {
    why = std::string("cannot create a UDP socket: ") + std::strerror(errno);
    return -1;
  }
  const int on = 1;
  // Broadcast discovery requests must reach it; IP_PKTINFO tells which local address each
  // datagram reached, to announce it and to answer from it. No SO_REUSEADDR: on UDP it would let
  // a second simulator share the port silently instead of being refused.
  setsockopt(fd, SOL_SOCKET, SO_BROADCAST, &on, sizeof on);
  setsockopt(fd, IPPROTO_IP, IP_PKTINFO, &on, sizeof on);
  const sockaddr_in address{.sin_family = AF_INET,
                            .sin_port = htons(DevicePort),
                            .sin_addr = {.s_addr = htonl(INADDR_ANY)},
                            .sin_zero = {}};
  if (bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    why = BindFailure(errno);
    close(fd);
    return -1;
  }
  return fd;
}

// One datagram's message: `length` bytes at `bytes` to or from `address`, with room for the one
// control message, IP_PKTINFO, that names the local address it reached or leaves from.
struct Message {
  Message(sockaddr_in& address, const void* bytes, size_t length)
      : data{const_cast<void*>(bytes), length},
        header{.msg_name = &address,
               .msg_namelen = sizeof address,
               .msg_iov = &data,
               .msg_iovlen = 1,
               .msg_control = control,
               .msg_controllen = sizeof control,
               .msg_flags = 0} {}
  Message(const Message&) = delete;
  Message& operator=(const Message&) = delete;

  iovec data;
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(in_pktinfo))] = {};
  msghdr header;
};

// Sends from port 36 and from `source`, so the reply comes from the address the request was sent
// to (a `source` of 0, never seen, would leave the choice to the system, as the socket is bound to
// any address). The result is not examined: a lost reply is the utility's to notice.
void SendReply(int fd, std::span<const uint8_t> bytes, sockaddr_in destination, in_addr source) {
  Message message(destination, bytes.data(), bytes.size());
  cmsghdr* header = CMSG_FIRSTHDR(&message.header);
  header->cmsg_level = IPPROTO_IP;
  header->cmsg_type = IP_PKTINFO;
  header->cmsg_len = CMSG_LEN(sizeof(in_pktinfo));
  const in_pktinfo info{.ipi_ifindex = 0, .ipi_spec_dst = source, .ipi_addr = {}};
  std::memcpy(CMSG_DATA(header), &info, sizeof info);
  sendmsg(fd, &message.header, MSG_NOSIGNAL);
}

// Takes the next datagram into `buffer`: its length, or -1 when none waits. Its sender goes to
// `from` and the local address it reached to `local`.
ssize_t ReceiveDatagram(int fd, std::vector<uint8_t>& buffer, sockaddr_in& from, in_addr& local) {
  Message message(from, buffer.data(), buffer.size());
  const ssize_t count = recvmsg(fd, &message.header, 0);
  for (cmsghdr* header = count < 0 ? nullptr : CMSG_FIRSTHDR(&message.header); header != nullptr;
       header = CMSG_NXTHDR(&message.header, header)) {
    if (header->cmsg_level == IPPROTO_IP && header->cmsg_type == IP_PKTINFO) {
      in_pktinfo info;
      std::memcpy(&info, CMSG_DATA(header), sizeof info);
      local = info.ipi_spec_dst;
    }
  }
  return count;
}

// The files that the simulator writes to, opened before it gives up root's privileges: -1 for
// none. Owned by `ServeDevice`, read by the `Server`.
struct StoreFiles {
  StoreFiles() = default;
  StoreFiles(const StoreFiles&) = delete;
  StoreFiles& operator=(const StoreFiles&) = delete;
  ~StoreFiles() {
    for (const int file : {image, setting}) {
      if (file >= 0) {
        close(file);
      }
    }
  }
  int image = -1;
  int setting = -1;
};

// Opens `path` for writing into `file`, created when missing and not emptied yet; nothing for an
// empty path. False with `why` set when it cannot be opened.
bool OpenStoreFile(const std::string& path, const char* what, int& file, std::string& why) {
  if (!path.empty()) {
    file = open(path.c_str(), O_WRONLY | O_CREAT | O_NOCTTY | O_CLOEXEC, 0666);
    if (file < 0) {
      why = "cannot open " + path + " for " + what + ": " + std::strerror(errno);
      return false;
    }
  }
  return true;
}

// Makes `bytes` the content of the open file `file` (a file on a disk from its start, emptied of
// what it held beyond them; anything else written to).
bool WriteWholeFile(int file, std::span<const uint8_t> bytes) {
  struct stat status {};
  const bool regular = fstat(file, &status) == 0 && S_ISREG(status.st_mode);
  const auto size = static_cast<off_t>(bytes.size());
  if (regular && lseek(file, 0, SEEK_SET) != 0) {
    return false;
  }
  return WriteAll(file, bytes.data(), bytes.size()) && (!regular || ftruncate(file, size) == 0);
}

// True in a user namespace other than the machine's first, whose root is nobody outside it.
bool InUserNamespaceOfItsOwn() {
  struct stat own {};
  return stat("/proc/self/ns/user", &own) == 0 && own.st_ino != InitialUserNamespaceInode;
}

// Once port 36 is bound and the files are open, root's privileges serve nothing more: run as
// `user`, with its group and no other. In a user namespace of its own, whose root is no root
// outside it, `user` may have no id there (the kernel says EINVAL, or EPERM for the groups), and
// the simulator stays as it is. False with `why` set when they cannot be given up.
bool GiveUpRoot(const std::string& user, std::string& why) {
  if (geteuid() != 0) {
    return true;
  }
  const passwd* entry = getpwnam(user.c_str());
  if (entry == nullptr) {
    why = "cannot give up root's privileges: no user " + user + " here (see --user)";
    return false;
  }
  const uid_t uid = entry->pw_uid;
  const gid_t gid = entry->pw_gid;
  if (setgroups(0, nullptr) == 0 && setgid(gid) == 0 && setuid(uid) == 0) {
    return true;
  }
  const int error = errno;
  if (InUserNamespaceOfItsOwn() && (error == EINVAL || error == EPERM)) {
    return true;
  }
  why = "cannot give up root's privileges for those of " + user + ": " + std::strerror(error);
  return false;
}

// A reply waiting for its time.
struct Delayed {
  std::vector<uint8_t> bytes;
  sockaddr_in destination;
  in_addr source;
};

class Server {
 public:
  Server(const SimOptions& options, int fd, const StoreFiles& files)
      : options_(options), fd_(fd), files_(files), device_(options.device) {}

  int Run();

 private:
  void Log(const std::string& line);
  void LogRepeats();
  void Error(const std::string& text) {
    LogRepeats();
    LogError(text);
  }
  // When the idle time-out ends; never without one.
  Clock::time_point IdleDeadline() const {
    return options_.timeoutSeconds > 0
               ? lastDatagram_ + std::chrono::seconds(options_.timeoutSeconds)
               : Clock::time_point::max();
  }
  void Start();
  void WaitForNext(Clock::time_point now) const;
  std::optional<int> Answer(std::span<const uint8_t> bytes, const sockaddr_in& from, in_addr local);
  bool StoreImage();
  int Finish(int status);

  const SimOptions& options_;
  int fd_;
  const StoreFiles& files_;
  Device device_;
  // By the time they are due; replies due at the same time leave in the order they came.
  std::multimap<Clock::time_point, Delayed> queue_;
  bool queueFullLogged_ = false;
  Clock::time_point lastDatagram_ = Clock::now();
  // The last line logged, how often it came again since, and when that count is written at the
  // latest.
  std::string lastLine_;
  size_t repeats_ = 0;
  Clock::time_point repeatsDue_ = Clock::time_point::max();
};

// A flood of one datagram would repeat one line without end: a line that comes again is counted,
// and the count written when another line comes, at exit, and a second after the first repeat at
// the latest, so the log grows by a line a second at most.
void Server::Log(const std::string& line) {
  if (options_.quiet) {
    return;
  }
  if (line == lastLine_) {
    if (repeats_++ == 0) {
      repeatsDue_ = Clock::now() + RepeatsWrittenWithin;
    }
    return;
  }
  LogRepeats();
  std::fprintf(stderr, "%s\n", line.c_str());
  lastLine_ = line;
}

void Server::LogRepeats() {
  if (repeats_ > 0) {
    std::fprintf(stderr, "note - - repeated %zu more time%s\n", repeats_, repeats_ == 1 ? "" : "s");
  }
  repeats_ = 0;
  repeatsDue_ = Clock::time_point::max();
}

int Server::Run() {
  Start();
  std::vector<uint8_t> buffer(65536);
  for (;;) {
    if (stopRequested) {
      Log("note - - stopped by a signal");
      return Finish(options_.once ? ExitUpdateFailed : ExitUpdateComplete);
    }
    const Clock::time_point now = Clock::now();
    if (now >= repeatsDue_) {
      LogRepeats();
    }
    for (; !queue_.empty() && queue_.begin()->first <= now; queue_.erase(queue_.begin())) {
      const Delayed& reply = queue_.begin()->second;
      SendReply(fd_, reply.bytes, reply.destination, reply.source);
    }
    sockaddr_in from{};
    in_addr local{};
    const ssize_t count = ReceiveDatagram(fd_, buffer, from, local);
    // Once a stop signal has shut the socket for reading, what comes is no datagram.
    if (count >= 0 && !stopRequested) {
      lastDatagram_ = Clock::now();
      if (const auto status = Answer({buffer.data(), static_cast<size_t>(count)}, from, local)) {
        return Finish(*status);
      }
    } else if (now >= IdleDeadline()) {
      Error("nothing received for " + std::to_string(options_.timeoutSeconds) +
            (options_.timeoutSeconds == 1 ? " second" : " seconds") + ", giving up");
      return Finish(ExitIdle);
    } else {
      WaitForNext(now);
    }
  }
}

// The signals that stop it, the first log line, and "ready" for whoever waits for it.
void Server::Start() {
  stopSocket = fd_;
  struct sigaction action {};
  action.sa_handler = OnStopSignal;
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
  Log("note - - listening on UDP port 36");
  if (options_.readyFd >= 0) {
    const ssize_t ignored = write(options_.readyFd, "ready\n", 6);
    (void)ignored;
    if (options_.readyFd > STDERR_FILENO) {
      close(options_.readyFd);
    }
  }
}

// Waits until a datagram comes, the next delayed reply is due or the idle time-out ends; without
// either of the last two, for as long as it takes.
void Server::WaitForNext(Clock::time_point now) const {
  const Clock::time_point due =
      std::min({queue_.empty() ? Clock::time_point::max() : queue_.begin()->first, IdleDeadline(),
                repeatsDue_});
  const int64_t wait =
      due == Clock::time_point::max()
          ? -1
          : std::max<int64_t>(0, std::chrono::ceil<std::chrono::milliseconds>(due - now).count());
  // Nothing waits to be read, so the poll may block: the log goes out first.
  std::fflush(stderr);
  pollfd readable{fd_, POLLIN, 0};
  poll(&readable, 1, static_cast<int>(wait));
}

// Answers one datagram; the exit status once the run is over.
std::optional<int> Server::Answer(std::span<const uint8_t> bytes, const sockaddr_in& from,
                                  in_addr local) {
  const Outcome outcome =
      device_.Handle({bytes,
                      {std::bit_cast<AddressBytes>(from.sin_addr), ntohs(from.sin_port)},
                      std::bit_cast<AddressBytes>(local)});
  for (const Reply& reply : outcome.replies) {
    if (reply.delayMilliseconds <= 0) {
      SendReply(fd_, reply.bytes, from, local);
    } else if (queue_.size() < MaxDelayedReplies) {
      queue_.emplace(lastDatagram_ + std::chrono::milliseconds(reply.delayMilliseconds),
                     Delayed{reply.bytes, from, local});
    } else if (!queueFullLogged_) {
      Log("note - - queue-full 4096 delayed replies wait: further ones are dropped");
      queueFullLogged_ = true;
    }
  }
  Log(outcome.log);
  if (outcome.setting && files_.setting >= 0) {
    const std::string& text = *outcome.setting;
    if (!WriteWholeFile(files_.setting,
                        {reinterpret_cast<const uint8_t*>(text.data()), text.size()})) {
      Error("cannot write the setting string to " + options_.settingFile);
      return ExitSystem;
    }
  }
  if (outcome.updateEnded && !StoreImage()) {
    return ExitSystem;
  }
  if (outcome.updateEnded && options_.once) {
    return outcome.updateSucceeded ? ExitUpdateComplete : ExitUpdateFailed;
  }
  return std::nullopt;
}

bool Server::StoreImage() {
  if (files_.image >= 0 && !WriteWholeFile(files_.image, device_.StoredImage())) {
    Error("cannot write the received image to " + options_.storeFile);
    return false;
  }
  return true;
}

int Server::Finish(int status) {
  if (!StoreImage() && status != ExitIdle) {
    status = ExitSystem;
  }
  LogRepeats();
  std::fflush(stderr);
  return status;
}

}  // namespace

NamespaceVerdict ClassifyNetworkNamespace(const char* own,
                                          std::initializer_list<const char*> initial) {
  const int file = open(own, O_RDONLY | O_CLOEXEC);
  struct stat ownFile {};
  if (file < 0 || fstat(file, &ownFile) != 0) {
    const std::string why = std::string("cannot read ") + own + ": " + std::strerror(errno);
    if (file >= 0) {
      close(file);
    }
    return {NetworkNamespace::Unknown, why};
  }
  // The machine's first network namespace belongs to its first user namespace, whose inode the
  // kernel fixes; a namespace that belongs to another (unshare --user --net) is another one.
  const int owner = ioctl(file, NS_GET_USERNS);
  struct stat ownerFile {};
  const bool otherOwner =
      owner >= 0 && fstat(owner, &ownerFile) == 0 && ownerFile.st_ino != InitialUserNamespaceInode;
  if (owner >= 0) {
    close(owner);
  }
  close(file);
  if (otherOwner) {
    return {NetworkNamespace::Private, ""};
  }
  std::string why;
  for (const char* path : initial) {
    struct stat initialFile {};
    if (stat(path, &initialFile) == 0) {
      const bool same =
          ownFile.st_dev == initialFile.st_dev && ownFile.st_ino == initialFile.st_ino;
      return {same ? NetworkNamespace::Initial : NetworkNamespace::Private, ""};
    }
    why += std::string(why.empty() ? "cannot read " : " nor ") + path + " (" +
           std::strerror(errno) + ")";
  }
  return {NetworkNamespace::Unknown, why};
}

int ServeDevice(const SimOptions& options) {
  // The log is written in blocks and flushed whenever the simulator waits, and at exit.
  std::setvbuf(stderr, nullptr, _IOFBF, 1 << 16);
  // PID 1's namespace is often unreadable, even for root; PID 2, the kernel's thread maker, is
  // always in the initial namespace. Checked before any socket exists; where it cannot be told,
  // refused too: the machine's own network is the one place it must never answer.
  const NamespaceVerdict verdict =
      options.hostNetwork
          ? NamespaceVerdict{NetworkNamespace::Private, ""}
          : ClassifyNetworkNamespace("/proc/self/ns/net", {"/proc/1/ns/net", "/proc/2/ns/net"});
  if (verdict.kind != NetworkNamespace::Private) {
    LogError(
        (verdict.kind == NetworkNamespace::Initial
             ? std::string("refusing to run in this machine's own network namespace")
             : "refusing to run where it cannot tell this machine's own network namespace from "
               "another: " +
                   verdict.why) +
        ". There it would answer real discovery broadcasts on port 36 and pass for a device. Run "
        "it in a namespace of its own (as root: unshare --net; as a user: unshare --user "
        "--map-root-user --net), or give --host-network to answer on this host's interfaces "
        "anyway");
    return ExitHostNetwork;
  }
  std::string why;
  StoreFiles files;
  if (!OpenStoreFile(options.storeFile, "the received image", files.image, why) ||
      !OpenStoreFile(options.settingFile, "the setting string", files.setting, why)) {
    LogError(why);
    return ExitSystem;
  }
  const int fd = OpenDeviceSocket(why);
  if (fd < 0) {
    LogError(why);
    return ExitSystem;
  }
  int status = ExitSystem;
  if (GiveUpRoot(options.user, why)) {
    status = Server(options, fd, files).Run();
  } else {
    LogError(why);
  }
  close(fd);
  return status;
}

}  // namespace devsim
