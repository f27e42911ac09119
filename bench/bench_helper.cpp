// SPDX-License-Identifier: Apache-2.0
// The helper of bench/transfer_bench.py. Its baseline is the datagrams of a whole-image update
// and nothing else, so the utility's time can be set against what the exchanges cost on the same
// loopback; and it measures a program as the script cannot (see Measure).
//
//   torvane-bench serve PORT READY_FD   answers every datagram with two one-byte datagrams (its
//                                       first byte, then '1'), which is all the utility needs
//                                       in a transfer, and an identify request as a device of
//                                       the right type; ends after 10 s of quiet
//   torvane-bench client A.B.C.D PORT   sends the update's 1037 requests, of its sizes and in its
//                                       order, each after both replies to the one before
//   torvane-bench measure PROGRAM [ARGUMENT]...
//                                       runs PROGRAM and prints to standard error its exit
//                                       status, wall and CPU microseconds and peak resident KiB
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

constexpr int ProbeCount = 10;
constexpr size_t ProbeLength = 513;
constexpr size_t RecordLength = 326;
constexpr int Blocks = 131072 / 256;
constexpr ssize_t ManagementLength = 20;

struct Request {
  uint8_t command;
  size_t length;
};

// Opening, probes, erase, program and verify records, finish: 1 + 10 + 1 + 512 + 512 + 1.
std::vector<Request> UpdateRequests() {
  std::vector<Request> requests{{'S', 1}};
  requests.insert(requests.end(), ProbeCount, Request{'T', ProbeLength});
  requests.push_back({'E', 1});
  requests.insert(requests.end(), Blocks, Request{'P', RecordLength});
  requests.insert(requests.end(), Blocks, Request{'V', RecordLength});
  requests.push_back({'R', 1});
  return requests;
}

bool SetReceiveTimeout(int socket, int seconds) {
  timeval timeout{};
  timeout.tv_sec = seconds;
  return setsockopt(socket, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout) == 0;
}

bool ParsePort(const char* text, uint16_t& port) {
  char* end = nullptr;
  const long value = std::strtol(text, &end, 10);
  port = static_cast<uint16_t>(value);
  return *text != '\0' && *end == '\0' && value > 0 && value < 65536;
}

int Serve(uint16_t port, int readyFd) {
  const int handle = socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in local{};
  local.sin_family = AF_INET;
  local.sin_port = htons(port);
  if (handle < 0 || !SetReceiveTimeout(handle, 10) ||
      bind(handle, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) {
    std::perror("torvane-bench: serve");
    return 3;
  }
  if (write(readyFd, "ready\n", 6) != 6) {
    return 3;
  }
  close(readyFd);
  std::array<uint8_t, 2048> datagram{};
  for (;;) {
    sockaddr_in peer{};
    socklen_t peerLength = sizeof peer;
    const ssize_t length = recvfrom(handle, datagram.data(), datagram.size(), 0,
                                    reinterpret_cast<sockaddr*>(&peer), &peerLength);
    if (length < 0) {
      return 0;  // quiet for 10 s
    }
    if (length == ManagementLength && datagram[0] == 0x43 && datagram[1] == 0x21) {
      // Identify gets the reply of a device of the right type; the start-update request none.
      if (datagram[2] == 0x30 && datagram[3] == 0x3E) {
        const uint8_t identity[ManagementLength] = {0x43, 0x21, 0x30, 0x3E, 127, 0, 0,
                                                    1,    0,    0,    0,    0,   0, 0x1B,
                                                    0x2C, 0x3D, 0x4E, 0x5F, 0,   1};
        sendto(handle, identity, sizeof identity, 0, reinterpret_cast<const sockaddr*>(&peer),
               peerLength);
      }
      continue;
    }
    const uint8_t replies[2] = {length > 0 ? datagram[0] : uint8_t{0}, '1'};
    for (const uint8_t& reply : replies) {
      sendto(handle, &reply, 1, 0, reinterpret_cast<const sockaddr*>(&peer), peerLength);
    }
  }
}

int Client(const char* address, uint16_t port) {
  sockaddr_in peer{};
  peer.sin_family = AF_INET;
  peer.sin_port = htons(port);
  const int handle = socket(AF_INET, SOCK_DGRAM, 0);
  if (handle < 0 || inet_pton(AF_INET, address, &peer.sin_addr) != 1 ||
      !SetReceiveTimeout(handle, 1) ||
      connect(handle, reinterpret_cast<const sockaddr*>(&peer), sizeof peer) != 0) {
    std::perror("torvane-bench: client");
    return 3;
  }
  std::array<uint8_t, ProbeLength> request{};
  int missing = 0;
  for (const Request& step : UpdateRequests()) {
    request[0] = step.command;
    send(handle, request.data(), step.length, 0);
    for (int reply = 0; reply < 2; ++reply) {
      uint8_t byte = 0;
      missing += recv(handle, &byte, 1, 0) != 1;
    }
  }
  close(handle);
  if (missing != 0) {
    std::fprintf(stderr, "torvane-bench: %d replies missing\n", missing);
    return 1;
  }
  return 0;
}

// The peak resident size that wait4 reports is the most the child ever held, and a child forked
// from a large process (the Python script) starts out holding what its parent had. Forked from
// this small program, the figure is the measured program's own.
int Measure(char** command) {
  const auto started = std::chrono::steady_clock::now();
  const pid_t child = fork();
  if (child < 0) {
    std::perror("torvane-bench: fork");
    return 3;
  }
  if (child == 0) {
    execv(command[0], command);
    std::perror("torvane-bench: exec");
    _exit(127);
  }
  int status = 0;
  rusage usage{};
  if (wait4(child, &status, 0, &usage) != child) {
    std::perror("torvane-bench: wait4");
    return 3;
  }
  const auto wall = std::chrono::duration_cast<std::chrono::microseconds>(
      std::chrono::steady_clock::now() - started);
  const auto microseconds = [](const timeval& time) {
    return static_cast<long long>(time.tv_sec) * 1000000 + time.tv_usec;
  };
  std::fprintf(stderr, "status %d wall_us %lld cpu_us %lld peak_kib %ld\n",
               WIFEXITED(status) ? WEXITSTATUS(status) : -1, static_cast<long long>(wall.count()),
               microseconds(usage.ru_utime) + microseconds(usage.ru_stime), usage.ru_maxrss);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  uint16_t port = 0;
  if (argc == 4 && std::strcmp(argv[1], "serve") == 0 && ParsePort(argv[2], port)) {
    return Serve(port, std::atoi(argv[3]));
  }
  if (argc == 4 && std::strcmp(argv[1], "client") == 0 && ParsePort(argv[3], port)) {
    return Client(argv[2], port);
  }
  if (argc >= 3 && std::strcmp(argv[1], "measure") == 0) {
    return Measure(argv + 2);
  }
  std::fprintf(stderr,
               "usage: torvane-bench serve PORT READY_FD | client A.B.C.D PORT | measure PROGRAM "
               "[ARGUMENT]...\n");
  return 2;
}
