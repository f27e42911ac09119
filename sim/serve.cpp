// The simulator's edge on POSIX systems: the socket on UDP port 36, one poll that waits for a
// datagram or the next delayed reply, the bounded queue of those replies, the log on standard
// error, the store files, and the check that keeps it off the machine's own network.
#include "sim/serve.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "sim/device.h"

namespace devsim {

namespace {

using Clock = std::chrono::steady_clock;

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

// A reply waiting for its time.
struct Delayed {
  std::vector<uint8_t> bytes;
  sockaddr_in destination;
  in_addr source;
};

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
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(DevicePort);
  address.sin_addr.s_addr = htonl(INADDR_ANY);
  if (bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    why = BindFailure(errno);
    close(fd);
    return -1;
  }
  return fd;
}

// Sends from port 36 and from `source` (when known), so the reply comes from the address the
// request was sent to. The result is not examined: a lost reply is the utility's to notice.
void SendReply(int fd, std::span<const uint8_t> bytes, const sockaddr_in& destination,
               in_addr source) {
  iovec data{const_cast<uint8_t*>(bytes.data()), bytes.size()};
  msghdr message{};
  message.msg_name = const_cast<sockaddr_in*>(&destination);
  message.msg_namelen = sizeof destination;
  message.msg_iov = &data;
  message.msg_iovlen = 1;
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(in_pktinfo))] = {};
  if (source.s_addr != 0) {
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    cmsghdr* header = CMSG_FIRSTHDR(&message);
    header->cmsg_level = IPPROTO_IP;
    header->cmsg_type = IP_PKTINFO;
    header->cmsg_len = CMSG_LEN(sizeof(in_pktinfo));
    in_pktinfo info{};
    info.ipi_spec_dst = source;
    std::memcpy(CMSG_DATA(header), &info, sizeof info);
  }
  sendmsg(fd, &message, MSG_NOSIGNAL);
}

bool WriteWholeFile(const std::string& path, std::span<const uint8_t> bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
  out.close();
  return static_cast<bool>(out);
}

std::array<uint8_t, 4> AddressBytes(in_addr address) {
  std::array<uint8_t, 4> bytes;
  std::memcpy(bytes.data(), &address.s_addr, 4);
  return bytes;
}

class Server {
 public:
  Server(const SimOptions& options, int fd)
      : options_(options), fd_(fd), device_(std::make_unique<Device>(options.device)) {}

  int Run();

 private:
  // What `ReceiveOne` returns besides an exit status.
  static constexpr int Handled = -1;
  static constexpr int NothingWaiting = -2;

  void Log(const std::string& line) const;
  void SendDueReplies(Clock::time_point now);
  int PollMilliseconds(Clock::time_point now) const;
  int ReceiveOne();
  int Handle(std::span<const uint8_t> bytes, const sockaddr_in& from, in_addr local);
  void Schedule(const Reply& reply, const sockaddr_in& to, in_addr local);
  bool StoreImage();
  int Finish(int status);

  const SimOptions& options_;
  int fd_;
  std::unique_ptr<Device> device_;
  // By the time they are due; replies due at the same time leave in the order they came.
  std::multimap<Clock::time_point, Delayed> queue_;
  bool queueFullLogged_ = false;
  Clock::time_point lastDatagram_ = Clock::now();
  std::vector<uint8_t> buffer_ = std::vector<uint8_t>(65536);
};

void Server::Log(const std::string& line) const {
  if (!options_.quiet) {
    std::fputs(line.c_str(), stderr);
    std::fputc('\n', stderr);
  }
}

int Server::Run() {
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
  for (;;) {
    if (stopRequested) {
      Log("note - - stopped by a signal");
      return Finish(options_.once ? ExitUpdateFailed : ExitUpdateComplete);
    }
    const Clock::time_point now = Clock::now();
    SendDueReplies(now);
    const int status = ReceiveOne();
    if (status >= 0) {
      return Finish(status);
    }
    if (status == Handled) {
      continue;
    }
    if (options_.timeoutSeconds > 0 &&
        now >= lastDatagram_ + std::chrono::seconds(options_.timeoutSeconds)) {
      LogError("nothing received for " + std::to_string(options_.timeoutSeconds) +
               (options_.timeoutSeconds == 1 ? " second" : " seconds") + ", giving up");
      return Finish(ExitIdle);
    }
    // Nothing waits to be read, so the poll may block: the log goes out first.
    std::fflush(stderr);
    pollfd readable{fd_, POLLIN, 0};
    poll(&readable, 1, PollMilliseconds(now));
  }
}

void Server::SendDueReplies(Clock::time_point now) {
  while (!queue_.empty() && queue_.begin()->first <= now) {
    const Delayed& reply = queue_.begin()->second;
    SendReply(fd_, reply.bytes, reply.destination, reply.source);
    queue_.erase(queue_.begin());
  }
}

// Until the next delayed reply is due or the idle time-out ends, whichever comes first; -1 (no
// limit) when there is neither.
int Server::PollMilliseconds(Clock::time_point now) const {
  Clock::time_point deadline = Clock::time_point::max();
  if (!queue_.empty()) {
    deadline = queue_.begin()->first;
  }
  if (options_.timeoutSeconds > 0) {
    deadline = std::min(deadline, lastDatagram_ + std::chrono::seconds(options_.timeoutSeconds));
  }
  if (deadline == Clock::time_point::max()) {
    return -1;
  }
  return static_cast<int>(std::max<Clock::rep>(
      0, std::chrono::ceil<std::chrono::milliseconds>(deadline - now).count()));
}

// Reads and handles one datagram if one waits; returns an exit status once the run is over,
// `Handled`, or `NothingWaiting` (nor any error worth more than waiting).
int Server::ReceiveOne() {
  sockaddr_in from{};
  iovec data{buffer_.data(), buffer_.size()};
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(in_pktinfo))];
  msghdr message{};
  message.msg_name = &from;
  message.msg_namelen = sizeof from;
  message.msg_iov = &data;
  message.msg_iovlen = 1;
  message.msg_control = control;
  message.msg_controllen = sizeof control;
  const ssize_t count = recvmsg(fd_, &message, 0);
  // Once a stop signal has shut the socket for reading, what comes is no datagram.
  if (count < 0 || stopRequested) {
    return NothingWaiting;
  }
  in_addr local{};
  for (cmsghdr* header = CMSG_FIRSTHDR(&message); header != nullptr;
       header = CMSG_NXTHDR(&message, header)) {
    if (header->cmsg_level == IPPROTO_IP && header->cmsg_type == IP_PKTINFO) {
      in_pktinfo info;
      std::memcpy(&info, CMSG_DATA(header), sizeof info);
      local = info.ipi_spec_dst;
    }
  }
  lastDatagram_ = Clock::now();
  return Handle({buffer_.data(), static_cast<size_t>(count)}, from, local);
}

int Server::Handle(std::span<const uint8_t> bytes, const sockaddr_in& from, in_addr local) {
  Incoming incoming;
  incoming.bytes = bytes;
  incoming.sender.address = AddressBytes(from.sin_addr);
  incoming.sender.port = ntohs(from.sin_port);
  incoming.localAddress = AddressBytes(local);
  const Outcome outcome = device_->Handle(incoming);
  for (const Reply& reply : outcome.replies) {
    if (reply.delayMilliseconds <= 0) {
      SendReply(fd_, reply.bytes, from, local);
    } else {
      Schedule(reply, from, local);
    }
  }
  Log(outcome.log);
  if (outcome.settingReceived && !options_.settingFile.empty()) {
    const std::string& text = *device_->Setting();
    if (!WriteWholeFile(options_.settingFile,
                        {reinterpret_cast<const uint8_t*>(text.data()), text.size()})) {
      LogError("cannot write the setting string to " + options_.settingFile);
      return ExitSystem;
    }
  }
  if (outcome.updateEnded) {
    if (!StoreImage()) {
      return ExitSystem;
    }
    if (options_.once) {
      return outcome.updateSucceeded ? ExitUpdateComplete : ExitUpdateFailed;
    }
  }
  return Handled;
}

void Server::Schedule(const Reply& reply, const sockaddr_in& to, in_addr local) {
  if (queue_.size() >= MaxDelayedReplies) {
    if (!queueFullLogged_) {
      Log("note - - queue-full 4096 delayed replies wait: further ones are dropped");
      queueFullLogged_ = true;
    }
    return;
  }
  queue_.emplace(lastDatagram_ + std::chrono::milliseconds(reply.delayMilliseconds),
                 Delayed{reply.bytes, to, local});
}

bool Server::StoreImage() {
  if (!options_.storeFile.empty() && !WriteWholeFile(options_.storeFile, device_->StoredImage())) {
    LogError("cannot write the received image to " + options_.storeFile);
    return false;
  }
  return true;
}

int Server::Finish(int status) {
  if (!StoreImage() && status != ExitIdle) {
    status = ExitSystem;
  }
  std::fflush(stderr);
  return status;
}

}  // namespace

NetworkNamespace ClassifyNetworkNamespace(const char* own,
                                          std::initializer_list<const char*> initial) {
  struct stat ownFile {};
  if (stat(own, &ownFile) != 0) {
    return NetworkNamespace::Unknown;
  }
  for (const char* path : initial) {
    struct stat initialFile {};
    if (stat(path, &initialFile) == 0) {
      const bool same =
          ownFile.st_dev == initialFile.st_dev && ownFile.st_ino == initialFile.st_ino;
      return same ? NetworkNamespace::Initial : NetworkNamespace::Private;
    }
  }
  return NetworkNamespace::Unknown;
}

int ServeDevice(const SimOptions& options) {
  // The log is written in blocks and flushed whenever the simulator waits, and at exit.
  std::setvbuf(stderr, nullptr, _IOFBF, 1 << 16);
  // PID 1's namespace is often unreadable, even for root; PID 2, the kernel's thread maker, is
  // always in the initial namespace. Checked before any socket exists.
  if (!options.hostNetwork &&
      ClassifyNetworkNamespace("/proc/self/ns/net", {"/proc/1/ns/net", "/proc/2/ns/net"}) ==
          NetworkNamespace::Initial) {
    LogError(
        "refusing to run in this machine's own network namespace, where it would answer real "
        "discovery broadcasts on port 36 and pass for a device. Run it in a namespace of its own "
        "(unshare --net), or give --host-network to answer on this host's interfaces anyway");
    return ExitHostNetwork;
  }
  std::string why;
  const int fd = OpenDeviceSocket(why);
  if (fd < 0) {
    LogError(why);
    return ExitSystem;
  }
  const int status = Server(options, fd).Run();
  close(fd);
  return status;
}

}  // namespace devsim
