#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <queue>
#include <span>
#include <string>
#include <vector>

#include "sim/device.h"
#include "sim/serve.h"

namespace devsim {

namespace {

using Clock = std::chrono::steady_clock;

volatile sig_atomic_t stopRequested = 0;
int stopSocket = -1;

void OnStopSignal(int) {
  stopRequested = 1;
  shutdown(stopSocket, SHUT_RD);
}

// A reply waiting for its time.
struct Scheduled {
  Clock::time_point due;
  uint64_t order;
  std::vector<uint8_t> bytes;
  sockaddr_in destination;
  in_addr source;

  bool operator>(const Scheduled& other) const {
    return due != other.due ? due > other.due : order > other.order;
  }
};

// The dialogue log: lines gather here and go to standard error in one write when a few kilobytes
// have gathered or the dialogue pauses (`PauseMs`), so a fast dialogue costs few writes and a
// line never waits long.
class DialogueLog {
 public:
  explicit DialogueLog(bool quiet) : quiet_(quiet) {}

  static constexpr std::chrono::milliseconds PauseMs{20};

  bool Pending() const { return !text_.empty(); }
  bool Large() const { return text_.size() >= 4096; }

  void Line(const std::string& line) {
    if (!quiet_) {
      text_ += line;
      text_ += '\n';
    }
  }

  // Errors show even with --quiet.
  void Error(const std::string& line) {
    text_ += "torvane-devsim: " + line + "\n";
    Flush();
  }

  void Flush() {
    size_t written = 0;
    while (written < text_.size()) {
      const ssize_t count = write(STDERR_FILENO, text_.data() + written, text_.size() - written);
      if (count < 0 && errno == EINTR) {
        continue;
      }
      if (count <= 0) {
        break;
      }
      written += static_cast<size_t>(count);
    }
    text_.clear();
  }

 private:
  bool quiet_;
  std::string text_;
};

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
  const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
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
      : options_(options),
        fd_(fd),
        log_(options.quiet),
        device_(std::make_unique<Device>(options.device)) {}

  int Run();

 private:
  // Waits for one datagram and handles it; returns an exit status once the run is over, else -1.
  int ReceiveOne();
  void SetReceiveTimeout(std::chrono::milliseconds wait);
  int Stop();
  int Handle(std::span<const uint8_t> bytes, const sockaddr_in& from, in_addr local);
  bool StoreImage();
  int Finish(int status);

  const SimOptions& options_;
  int fd_;
  DialogueLog log_;
  std::unique_ptr<Device> device_;
  std::priority_queue<Scheduled, std::vector<Scheduled>, std::greater<>> queue_;
  uint64_t order_ = 0;
  Clock::time_point lastDatagram_ = Clock::now();
  std::chrono::milliseconds receiveTimeout_{0};
  bool receiveTimedOut_ = false;
  std::vector<uint8_t> buffer_ = std::vector<uint8_t>(65536);
};

int Server::Run() {
  // The handler also shuts the socket for reading, which ends a receive that is blocked, or one
  // about to begin, at once: no stop request slips in between the check and the wait.
  stopSocket = fd_;
  struct sigaction action {};
  action.sa_handler = OnStopSignal;
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);

  log_.Line("torvane-devsim: listening on UDP port 36");
  log_.Flush();
  if (options_.readyFd >= 0) {
    const ssize_t ignored = write(options_.readyFd, "ready\n", 6);
    (void)ignored;
    if (options_.readyFd > STDERR_FILENO) {
      close(options_.readyFd);
    }
  }

  for (;;) {
    const Clock::time_point now = Clock::now();
    while (!queue_.empty() && queue_.top().due <= now) {
      SendReply(fd_, queue_.top().bytes, queue_.top().destination, queue_.top().source);
      queue_.pop();
    }
    if (log_.Large() || receiveTimedOut_) {
      log_.Flush();
    }

    std::chrono::milliseconds wait(0);  // 0: no limit
    if (!queue_.empty()) {
      wait = std::max(std::chrono::milliseconds(1),
                      std::chrono::ceil<std::chrono::milliseconds>(queue_.top().due - now));
    }
    if (log_.Pending()) {
      wait = wait.count() == 0 ? DialogueLog::PauseMs : std::min(wait, DialogueLog::PauseMs);
    }
    if (options_.timeoutSeconds > 0) {
      const auto idleEnd = lastDatagram_ + std::chrono::seconds(options_.timeoutSeconds);
      if (now >= idleEnd) {
        log_.Error("nothing received for " + std::to_string(options_.timeoutSeconds) +
                   (options_.timeoutSeconds == 1 ? " second" : " seconds") + ", giving up");
        return Finish(ExitIdle);
      }
      const auto idle = std::chrono::ceil<std::chrono::milliseconds>(idleEnd - now);
      wait = wait.count() == 0 ? idle : std::min(wait, idle);
    }
    SetReceiveTimeout(wait);
    if (stopRequested) {
      return Stop();
    }
    const int status = ReceiveOne();
    if (stopRequested) {
      return Stop();
    }
    if (status >= 0) {
      return Finish(status);
    }
  }
}

// The receive waits in the kernel with this limit; it is set only when it changes, so a dialogue
// without delayed replies costs one receive and its sends per datagram, nothing more.
void Server::SetReceiveTimeout(std::chrono::milliseconds wait) {
  if (wait == receiveTimeout_) {
    return;
  }
  timeval limit{};
  limit.tv_sec = static_cast<time_t>(wait.count() / 1000);
  limit.tv_usec = static_cast<suseconds_t>(wait.count() % 1000) * 1000;
  setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
  receiveTimeout_ = wait;
}

int Server::Stop() {
  log_.Line("stop: signal received");
  return Finish(options_.once ? ExitUpdateFailed : ExitUpdateComplete);
}

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
  receiveTimedOut_ = count < 0 && (errno == EAGAIN || errno == EWOULDBLOCK);
  if (count < 0) {
    // The time-out (EAGAIN), a signal (EINTR), or an error that is not about any datagram.
    return -1;
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
    if (reply.delayMs <= 0) {
      SendReply(fd_, reply.bytes, from, local);
    } else {
      queue_.push({lastDatagram_ + std::chrono::milliseconds(reply.delayMs), order_++, reply.bytes,
                   from, local});
    }
  }
  for (const std::string& line : outcome.log) {
    log_.Line(line);
  }
  if (outcome.settingReceived && !options_.settingFile.empty()) {
    const std::string& text = *device_->Setting();
    if (!WriteWholeFile(options_.settingFile,
                        {reinterpret_cast<const uint8_t*>(text.data()), text.size()})) {
      log_.Error("cannot write the setting string to " + options_.settingFile);
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
  return -1;
}

bool Server::StoreImage() {
  if (options_.storeFile.empty()) {
    return true;
  }
  if (!WriteWholeFile(options_.storeFile, device_->StoredImage())) {
    log_.Error("cannot write the received image to " + options_.storeFile);
    return false;
  }
  return true;
}

int Server::Finish(int status) {
  if (!StoreImage() && status != ExitIdle) {
    status = ExitSystem;
  }
  log_.Flush();
  return status;
}

}  // namespace

int ServeDevice(const SimOptions& options) {
  std::string why;
  const int fd = OpenDeviceSocket(why);
  if (fd < 0) {
    std::fprintf(stderr, "torvane-devsim: %s\n", why.c_str());
    return ExitSystem;
  }
  const int status = Server(options, fd).Run();
  close(fd);
  return status;
}

}  // namespace devsim
