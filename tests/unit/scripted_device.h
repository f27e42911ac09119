// SPDX-License-Identifier: Apache-2.0
// The device played from a script behind the transfer link and behind the management socket, for
// the unit tests and the fuzzers: what it is sent is recorded, time-outs are counted, not waited.
#pragma once

#include <deque>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "management/management_socket.h"
#include "transfer/transfer_sequence.h"

// Datagrams the device queues in answer to one. "" is a read that gets nothing; a leading '~'
// marks a reply still on its way when the next datagram goes out.
using Replies = std::vector<std::string>;
// The device's answer to the `number`th datagram of `command` in the run (from 1); nothing means
// as a sound device: echo and '1', and nothing to the closing "R"s after the first.
using Script = std::function<std::optional<Replies>(char command, int number)>;

struct ScriptedLink final : TransferLink {
  explicit ScriptedLink(Script script) : script_(std::move(script)) {}

  int Open() override { return Event("open", 1); }
  int Connect(const char* address, uint16_t port) override {
    return Event("connect " + std::string(address) + ":" + std::to_string(port), 1);
  }
  int Send(const uint8_t* data, int length) override {
    const char command = static_cast<char>(data[0]);
    const int number = ++sent[command];
    auto replies = script_ ? script_(command, number) : std::nullopt;
    if (!replies) {
      replies = command == 'R' && number > 1 ? Replies{} : Replies{{command}, "1"};
    }
    queue_.insert(queue_.end(), replies->begin(), replies->end());
    return length;
  }
  int Receive(uint8_t* buffer, int capacity) override {
    ++reads;
    if (queue_.empty()) {
      return 0;
    }
    std::string reply = queue_.front();
    queue_.pop_front();
    reply.erase(0, reply.starts_with('~') ? 1 : 0);
    const int count = std::min(static_cast<int>(reply.size()), capacity);
    std::copy_n(reply.begin(), count, buffer);
    return count;
  }
  // What has arrived goes: the replies queued up to a "" (a silent read); waiting for quiet takes
  // those still on their way too.
  void DiscardQueuedReplies(int quietMilliseconds) override {
    while (!queue_.empty() && !queue_.front().empty() &&
           (!queue_.front().starts_with('~') || quietMilliseconds > 0)) {
      queue_.pop_front();
      ++dropped;
    }
    quietWaits += quietMilliseconds > 0;
  }
  int Close() override { return Event("close", 0); }
  void Pause(int milliseconds) override { Event(std::to_string(milliseconds), 0); }
  int Event(const std::string& event, int result) {
    events += (events.empty() ? "" : " ") + event;
    return result;
  }

  std::map<char, int> sent;  // datagrams by command
  int reads = 0, dropped = 0, quietWaits = 0;
  std::string events;  // pauses (their milliseconds), open, connect and close, in order
  Script script_;
  std::deque<std::string> queue_;
};

// Hands out the queued datagrams, one per one-second wait (an empty one fails its receive), each
// from its sender (by default 10.0.0.7, port 36), and records each datagram sent as "destination
// hex". A wait with nothing queued is the silent second, not slept through.
struct ScriptedSocket final : ManagementSocket {
  bool opens = true, open = false;
  std::deque<std::vector<uint8_t>> incoming;
  std::deque<UdpAddress>
      senders;  // of the datagrams in `incoming`, from the first; then the default
  std::vector<std::string> sent;
  int bufferBytes = 0, dropped = -1;

  bool Open() override { return open = opens; }
  bool EnableBroadcast() override { return true; }
  int SendDatagram(std::span<const uint8_t> datagram, uint16_t port, const char* host) override {
    std::string line = (host == nullptr ? "broadcast" : host) + (":" + std::to_string(port)) + " ";
    for (const uint8_t byte : datagram) {
      line += {"0123456789abcdef"[byte >> 4], "0123456789abcdef"[byte & 15]};
    }
    sent.push_back(line);
    return static_cast<int>(datagram.size());
  }
  bool WaitReadable(int seconds) override { return seconds == 1 && !incoming.empty(); }
  int ReceiveDatagram(std::span<uint8_t> buffer) override {
    const std::vector<uint8_t> next = incoming.front();
    incoming.pop_front();
    const size_t count = std::min(buffer.size(), next.size());
    std::copy_n(next.begin(), count, buffer.begin());
    return next.empty() ? -1 : static_cast<int>(count);
  }
  int ReceiveDatagramFrom(std::span<uint8_t> buffer, UdpAddress& sender) override {
    sender = senders.empty() ? UdpAddress{0x0700000A, 36} : senders.front();
    if (!senders.empty()) {
      senders.pop_front();
    }
    return ReceiveDatagram(buffer);
  }
  bool SetBufferSizes(int bytes) override {
    bufferBytes = bytes;
    return true;
  }
  int DroppedDatagrams() override { return dropped; }
  void Close() override { open = false; }
};
