#pragma once

#include <algorithm>
#include <cstdint>
#include <deque>
#include <span>
#include <string>
#include <vector>

#include "management/management_datagram.h"
#include "management/management_socket.h"

/// Plays the device behind `ManagementSocket`: hands out the queued incoming datagrams, one per
/// successful wait, and records every call and every datagram sent. A wait with nothing queued is
/// a silent second, counted instead of slept through.
class FakeManagementSocket final : public ManagementSocket {
 public:
  struct Sent {
    std::vector<uint8_t> bytes;
    uint16_t port;
    std::string host;  // "" for the broadcast address
  };
  /// One incoming datagram; `failReceive` makes its receive fail after the wait reported it.
  struct Incoming {
    std::vector<uint8_t> bytes;
    bool failReceive = false;
  };

  bool openSucceeds = true;
  std::deque<Incoming> incoming;
  std::vector<Sent> sent;
  std::vector<std::string> calls;
  int silentSeconds = 0;
  bool open = false;

  bool Open() override {
    calls.push_back("open");
    open = openSucceeds;
    return openSucceeds;
  }
  bool EnableBroadcast() override {
    calls.push_back("broadcast");
    return true;
  }
  int SendDatagram(std::span<const uint8_t> datagram, uint16_t port, const char* host) override {
    calls.push_back("send");
    sent.push_back({{datagram.begin(), datagram.end()}, port, host == nullptr ? "" : host});
    return static_cast<int>(datagram.size());
  }
  bool WaitReadable(int seconds) override {
    calls.push_back("wait " + std::to_string(seconds));
    if (incoming.empty()) {
      ++silentSeconds;
      return false;
    }
    return true;
  }
  int ReceiveDatagram(std::span<uint8_t> buffer) override {
    calls.push_back("receive");
    if (incoming.empty()) {
      return -1;
    }
    const Incoming next = incoming.front();
    incoming.pop_front();
    // Garbage beyond what arrived must never be read: fill the whole buffer first.
    std::fill(buffer.begin(), buffer.end(), uint8_t{0xEE});
    if (next.failReceive) {
      return -1;
    }
    const size_t count = std::min(buffer.size(), next.bytes.size());
    std::copy_n(next.bytes.begin(), count, buffer.begin());
    return static_cast<int>(count);
  }
  void Close() override {
    calls.push_back("close");
    open = false;
  }
};

/// A 20-byte reply (or `length` bytes of it) with `code` at bytes 2..3, `address` at 4..7, the id
/// bytes 0xA1..0xA6 at 12..17 and `type` at 18..19.
inline std::vector<uint8_t> Reply(uint16_t code, std::vector<uint8_t> address = {0, 0, 0, 0},
                                  uint16_t type = 1, size_t length = 20) {
  std::vector<uint8_t> bytes(std::max<size_t>(length, 20), 0);
  bytes[2] = static_cast<uint8_t>(code >> 8);
  bytes[3] = static_cast<uint8_t>(code);
  std::copy_n(address.begin(), 4, bytes.begin() + 4);
  for (int i = 0; i < 6; ++i) {
    bytes[12 + i] = static_cast<uint8_t>(0xA1 + i);
  }
  bytes[18] = static_cast<uint8_t>(type >> 8);
  bytes[19] = static_cast<uint8_t>(type);
  for (size_t i = 20; i < bytes.size(); ++i) {
    bytes[i] = 0x77;
  }
  bytes.resize(length);
  return bytes;
}
