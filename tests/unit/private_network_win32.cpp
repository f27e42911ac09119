// winsock2.h must come before windows.h, which would otherwise bring the older winsock.h.
#include <winsock2.h>

#include <iphlpapi.h>

#include "private_network.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <vector>

namespace {

// A Windows program cannot make a network namespace; the runner starts it in one
// (tests/wine/wine_run.py --loopback). What the program can check is what it sees: a loopback
// that is up and no other interface at all.
bool SeesOnlyAnUpLoopback() {
  ULONG size = 16 * 1024;
  std::vector<unsigned char> buffer(size);
  const ULONG flags = GAA_FLAG_SKIP_ANYCAST | GAA_FLAG_SKIP_MULTICAST | GAA_FLAG_SKIP_DNS_SERVER;
  auto* adapters = reinterpret_cast<IP_ADAPTER_ADDRESSES*>(buffer.data());
  if (GetAdaptersAddresses(AF_INET, flags, nullptr, adapters, &size) != ERROR_SUCCESS) {
    return false;
  }
  bool loopbackUp = false;
  for (const IP_ADAPTER_ADDRESSES* adapter = adapters; adapter != nullptr;
       adapter = adapter->Next) {
    if (adapter->IfType != IF_TYPE_SOFTWARE_LOOPBACK) {
      return false;
    }
    loopbackUp = loopbackUp ||
                 (adapter->OperStatus == IfOperStatusUp && adapter->FirstUnicastAddress != nullptr);
  }
  return loopbackUp;
}

}  // namespace

bool RunInPrivateNetwork(const std::function<void()>& body) {
  WSADATA data;
  if (WSAStartup(MAKEWORD(2, 2), &data) != 0) {
    return false;
  }
  const bool isolated = SeesOnlyAnUpLoopback();
  if (isolated) {
    body();
  } else if (std::getenv("TORVANE_PRIVATE_LOOPBACK") != nullptr) {
    ADD_FAILURE() << "the runner promised a network of its own with its loopback up, but this "
                     "process sees another interface or no loopback";
  }
  WSACleanup();
  return isolated;
}

Peer::Peer(const char* address, uint16_t port) : handle_(socket(AF_INET, SOCK_DGRAM, 0)) {
  sockaddr_in local{};
  local.sin_family = AF_INET;
  local.sin_port = htons(port);
  local.sin_addr.s_addr = inet_addr(address);
  EXPECT_EQ(bind(static_cast<SOCKET>(handle_), reinterpret_cast<sockaddr*>(&local), sizeof local),
            0)
      << address;
}

Peer::~Peer() {
  closesocket(static_cast<SOCKET>(handle_));
}

std::vector<uint8_t> Peer::Take(int milliseconds) {
  fd_set readable;
  FD_ZERO(&readable);
  FD_SET(static_cast<SOCKET>(handle_), &readable);
  timeval limit{milliseconds / 1000, (milliseconds % 1000) * 1000};
  std::vector<uint8_t> bytes(2048);
  int length = sizeof(sockaddr_in);
  const int count =
      select(0, &readable, nullptr, nullptr, &limit) != 1
          ? 0
          : recvfrom(static_cast<SOCKET>(handle_), reinterpret_cast<char*>(bytes.data()), 2048, 0,
                     reinterpret_cast<sockaddr*>(sender_.data()), &length);
  bytes.resize(count > 0 ? static_cast<size_t>(count) : 0);
  return bytes;
}

void Peer::Answer(const std::vector<uint8_t>& bytes, const Peer* to) const {
  const auto& address = (to != nullptr ? to : this)->sender_;
  sendto(static_cast<SOCKET>(handle_), reinterpret_cast<const char*>(bytes.data()),
         static_cast<int>(bytes.size()), 0, reinterpret_cast<const sockaddr*>(address.data()),
         sizeof(sockaddr_in));
}
