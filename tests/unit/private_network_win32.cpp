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
