#include "transfer/transfer_sequence.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "app/console.h"
#include "test_data.h"
#include "transfer/block_record.h"

namespace {

using Bytes = std::vector<uint8_t>;
// Datagrams the device queues in answer to one; "" is a read that gets nothing (returns 0), and a
// leading '~' marks a reply still on its way when the next datagram goes out.
using Replies = std::vector<std::string>;

// One datagram the device received: its command, which one of its kind it is (the probe, the
// cycle for "E", the "R" from 1, the record of its phase) and the cycle, counted by "E"s.
struct Received {
  char command;
  int number;
  int cycle;
};
// How the device answers; nothing means as a sound device does: echo and '1', and nothing to the
// closing "R"s after the first.
using Script = std::function<std::optional<Replies>(const Received&)>;

// Plays the device behind the transfer's link from its `Script`, counts time-outs instead of
// waiting for them, and records everything the sequence did.
class ScriptedDevice final : public TransferLink {
 public:
  explicit ScriptedDevice(Script script = nullptr) : script_(std::move(script)) {}

  int Open() override { return Event("open", openResult); }
  int Connect(const char* address, uint16_t port) override {
    return Event("connect " + std::string(address) + ":" + std::to_string(port), 1);
  }
  int Send(const uint8_t* data, int length) override {
    sent.emplace_back(data, data + length);
    cycle_ += data[0] == 'E';
    const bool record = data[0] == 'P' || data[0] == 'V';
    const Received received{static_cast<char>(data[0]), ++counts_[{data[0], record ? cycle_ : 0}],
                            cycle_};
    std::optional<Replies> replies = script_ ? script_(received) : std::nullopt;
    if (!replies) {
      replies = received.command == 'R' && received.number > 1
                    ? Replies{}
                    : Replies{std::string(1, received.command), "1"};
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
    if (!reply.empty() && reply[0] == '~') {
      reply.erase(0, 1);
    }
    const int count = std::min(static_cast<int>(reply.size()), capacity);
    std::copy_n(reply.begin(), count, buffer);
    return count;
  }
  // Replies queued before a "" (a second without a datagram) or a reply on its way have arrived
  // and are dropped; waiting for quiet drops those on their way too.
  void DiscardQueuedReplies(int quietMilliseconds) override {
    while (!queue_.empty() && !queue_.front().empty() &&
           (queue_.front()[0] != '~' || quietMilliseconds > 0)) {
      queue_.pop_front();
      ++discarded;
    }
    quietWaits += quietMilliseconds > 0;
  }
  int Close() override { return Event("close", 0); }
  void Pause(int milliseconds) override { Event(std::to_string(milliseconds), 0); }
  // Logs the pauses (their milliseconds) and what became of the socket, in order.
  int Event(const std::string& event, int result) {
    events += (events.empty() ? "" : " ") + event;
    return result;
  }

  // The datagrams sent, counted by command: "S1 T10 E1 P1 V1 R6".
  std::string Counts() const {
    std::string counts;
    for (char command : std::string("STEPVR")) {
      const auto n = std::count_if(sent.begin(), sent.end(),
                                   [command](const Bytes& d) { return d[0] == command; });
      counts += n == 0 ? "" : (counts.empty() ? "" : " ") + (command + std::to_string(n));
    }
    return counts;
  }

  int openResult = 1;
  int reads = 0;
  int discarded = 0;
  int quietWaits = 0;
  std::vector<Bytes> sent;
  std::string events;

 private:
  Script script_;
  std::deque<std::string> queue_;
  int cycle_ = 0;
  std::map<std::pair<uint8_t, int>, int> counts_;
};

std::string Repeat(const std::string& text, int times) {
  std::string all;
  while (times-- > 0) {
    all += text;
  }
  return all;
}

// What the run prints, from the documented formats: the erase line with `marks` marks put up and
// taken down, a program or verify line over `blocks` blocks of which `passed` pass (all by
// default), the end of a failed cycle, one cycle that succeeds.
const std::string Error = "\b\b\b\b\b\b Error\n";
std::string Erase(int marks, bool done = true) {
  return "Erase               " + Repeat("+", marks) + Repeat("\b \b", marks) +
         (done ? "\b\b\b Ok\n" : Error);
}
std::string Phase(const std::string& label, int blocks, int passed = -1) {
  std::string line = label + std::string(20 - label.size(), ' ');
  char figure[32];
  for (int block = 0; block <= (passed < 0 ? blocks : passed - 1); ++block) {
    std::snprintf(figure, sizeof figure, "\b\b\b\b\b%3d %%", block * 100 / blocks);
    line += figure;
  }
  return passed < 0 ? line + "\n" : line + Error;
}
std::string Cycle(int blocks, int eraseReads = 1) {
  return Erase(eraseReads) + Phase("Program", blocks) + Phase("Verify", blocks);
}

// Reads of a run: 2 for the opening and 20 for the probes; in a cycle that succeeds, the echo and
// the erase wait, 2 per record and 2 for the finish; 3 more after a failed cycle.
constexpr int Opening = 22;
int Success(int blocks, int eraseReads = 1) {
  return 1 + eraseReads + 4 * blocks + 2;
}

// Answers `replies` instead of the sound device's to the datagrams of `command` numbered `from`
// to `to`, in cycle `cycle` only when that is not 0.
Script Answer(char command, Replies replies, int from = 1, int to = 1000, int cycle = 0) {
  return [=](const Received& r) {
    const bool picked = r.command == command && r.number >= from && r.number <= to &&
                        (cycle == 0 || r.cycle == cycle);
    return picked ? std::optional(replies) : std::nullopt;
  };
}

// The echo, 34 reads that get nothing, and the '1' on the 35th read of the erase wait.
const Replies EraseOn35 = [] {
  Replies replies(35, "");
  replies.front() = "E";
  replies.push_back("1");
  return replies;
}();
const std::string S1 = "S1 T10 E1 P1 V1 R6";  // the datagrams of a one-block update

TEST(TransferSequence, SendsReadsPausesAndPrintsExactlyWhatTheDialogueRequires) {
  const struct {
    const char* name;
    int imageSize;
    Script script;
    int result;
    std::string console;  // after the "Updating" line
    std::string sends;
    int reads;
  } cases[] = {
      {"one_block", 256, nullptr, 1, Cycle(1), S1, Opening + Success(1)},
      {"three_blocks", 768, nullptr, 1, Cycle(3), "S1 T10 E1 P3 V3 R6", Opening + Success(3)},
      {"whole_capacity", ImageCapacity, nullptr, 1, Cycle(512), "S1 T10 E1 P512 V512 R6",
       Opening + Success(512)},
      {"echoes_S_but_never_1", 256, Answer('S', {"S"}), 0, "", "S1 R5", 2},
      {"silent_after_S", 256, Answer('S', {}), 0, "", "S1 R5", 1},
      {"echo_and_1_in_one_datagram", 256, Answer('S', {"S1", "1"}), 0, "", "S1 R5", 1},
      {"nine_probes_acknowledged", 256, Answer('T', {}, 10), 0, "", "S1 T10 R5", 2 + 18 + 1},
      {"erase_done_on_read_35", 256, Answer('E', EraseOn35), 1, Cycle(1, 35), S1,
       Opening + Success(1, 35)},
      {"erase_never_done", 256, Answer('E', {"E"}), 0, Repeat(Erase(35, false), 30),
       "S1 T10 E30 R5", Opening + 30 * (1 + 35 + 3)},
      {"erase_never_echoed", 256, Answer('E', {}), 0, Repeat(Erase(0, false), 30), "S1 T10 E30 R5",
       Opening + 30 * (1 + 3)},
      {"erase_done_in_the_last_cycle", 256, Answer('E', {}, 1, 29), 1,
       Repeat(Erase(0, false), 29) + Cycle(1), "S1 T10 E30 P1 V1 R6",
       Opening + 29 * (1 + 3) + Success(1)},
      {"block_passes_on_fifth_try", 256, Answer('P', {"0", "0"}, 1, 4), 1, Cycle(1),
       "S1 T10 E1 P5 V1 R6", Opening + Success(1) + 4 * 2},
      {"refused_after_the_echo", 256, Answer('P', {"P", "0", "0"}, 1, 1), 1, Cycle(1),
       "S1 T10 E1 P2 V1 R6", Opening + Success(1) + 3},
      {"two_byte_reply_is_a_mismatch", 256, Answer('P', {"P1"}, 1, 1), 1, Cycle(1),
       "S1 T10 E1 P2 V1 R6", Opening + Success(1) + 2},
      // Block 1 of three fails its five tries in cycle 1; cycle 2 starts again from the erase.
      {"block_fails_five_tries_then_next_cycle_restarts", 768, Answer('P', {"0", ""}, 2, 6, 1), 1,
       Erase(1) + Phase("Program", 3, 1) + Cycle(3), "S1 T10 E2 P9 V3 R6",
       Opening + (2 + 2 + 5 * 2 + 3) + Success(3)},
      {"verify_fails_every_cycle", 256, Answer('V', {}), 0,
       Repeat(Erase(1) + Phase("Program", 1) + Phase("Verify", 1, 0), 30), "S1 T10 E30 P30 V150 R5",
       Opening + 30 * (2 + 2 + 5 * 2 + 3)},
      {"finish_unanswered", 256, Answer('R', {}, 1, 1), 1, Cycle(1), S1, Opening + Success(1)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ScriptedDevice device(c.script);
    const auto image = LoadedImage(PatternBytes(c.imageSize));
    ConsoleCapture console;
    // The target text goes out unchanged, trailing spaces and all.
    EXPECT_EQ(RunTransferSequence(device, *image, "127.0.0.1  "), c.result);
    EXPECT_EQ(console.Text(), "Updating 127.0.0.1  \n" + c.console);
    EXPECT_EQ(device.Counts(), c.sends);
    EXPECT_EQ(device.reads, c.reads);
    // The run ends with five closing "R", each followed by its pause, then the close.
    ASSERT_GE(device.sent.size(), 5u);
    EXPECT_EQ(std::vector<Bytes>(device.sent.end() - 5, device.sent.end()),
              std::vector<Bytes>(5, Bytes{'R'}));
    EXPECT_EQ(device.events, "500 open connect 127.0.0.1  :36 10 10 10 10 10 close");
    // Every datagram is one the dialogue knows.
    for (const Bytes& d : device.sent) {
      const bool known = (d.size() == 1 && (d[0] == 'S' || d[0] == 'E' || d[0] == 'R')) ||
                         (d.size() == ProbeLength && d[0] == 'T' &&
                          std::all_of(d.begin() + 1, d.end(), [](uint8_t b) { return b == 0; })) ||
                         (d.size() == BlockRecordSize && (d[0] == 'P' || d[0] == 'V') && d[1] == 0);
      EXPECT_TRUE(known) << "datagram of " << d.size() << " bytes starting " << int{d[0]};
    }
  }
}

TEST(TransferSequence, ARefusedBlockIsNeverTakenForDoneOnAStaleReply) {
  // Block 0's '1' comes twice, then the first tries of blocks 1 and 2 are refused. Read one step
  // behind, the spare '1' and the next try's echo would let block 2 pass on its refused try.
  ScriptedDevice device([](const Received& r) -> std::optional<Replies> {
    if (r.command == 'P' && r.number == 1) {
      return Replies{"P", "1", "1"};
    }
    if (r.command == 'P' && (r.number == 2 || r.number == 4)) {
      return Replies{"P", "0", "0"};
    }
    return std::nullopt;
  });
  const auto image = LoadedImage(PatternBytes(768));
  ConsoleCapture console;
  ASSERT_EQ(RunTransferSequence(device, *image, "127.0.0.1"), 1);
  EXPECT_EQ(device.Counts(), "S1 T10 E1 P5 V3 R6");
  EXPECT_EQ(device.discarded, 1);
}

TEST(TransferSequence, RepliesStillOnTheirWayAreWaitedForAfterARefusedTry) {
  // Every reply comes late. Block 0's '1' comes twice; the first tries of blocks 1 and 2 are
  // refused. Without the wait for quiet the replies of one try are read for the next, until a
  // refused try is taken for done on the pair of the try before it.
  ScriptedDevice device([](const Received& r) -> std::optional<Replies> {
    if (r.command == 'P' && r.number == 1) {
      return Replies{"~P", "~1", "~1"};
    }
    if (r.command == 'P' && (r.number == 2 || r.number == 4)) {
      return Replies{"~P", "~0", "~0"};
    }
    return Replies{"~" + std::string(1, r.command), "~1"};
  });
  const auto image = LoadedImage(PatternBytes(768));
  ConsoleCapture console;
  ASSERT_EQ(RunTransferSequence(device, *image, "127.0.0.1"), 1);
  EXPECT_EQ(device.Counts(), "S1 T10 E1 P5 V3 R6");
  EXPECT_EQ(device.quietWaits, 2);
  EXPECT_EQ(device.discarded, 2);
}

TEST(TransferSequence, EveryTryResendsTheSameBytesAndEveryPhaseScramblesAfresh) {
  // Cycle 1 gives up on block 0 after five tries; in cycle 2 each block passes on its third try.
  ScriptedDevice device([](const Received& r) {
    const bool refused = (r.command == 'P' || r.command == 'V') && (r.cycle == 1 || r.number % 3);
    return refused ? std::optional(Replies{"0"}) : std::nullopt;
  });
  const auto image = LoadedImage(PatternBytes(512));
  ConsoleCapture console;
  std::srand(99);
  ASSERT_EQ(RunTransferSequence(device, *image, "127.0.0.1"), 1);
  ASSERT_EQ(device.Counts(), "S1 T10 E2 P11 V6 R6");
  std::vector<Bytes> program;
  std::copy_if(device.sent.begin(), device.sent.end(), std::back_inserter(program),
               [](const Bytes& d) { return d[0] == 'P'; });
  EXPECT_EQ(std::vector<Bytes>(program.begin(), program.begin() + 5),
            std::vector<Bytes>(5, program[0]));
  EXPECT_NE(program[5], program[0]) << "a new cycle builds its records again";
  EXPECT_EQ(std::vector<Bytes>(program.begin() + 5, program.begin() + 8),
            std::vector<Bytes>(3, program[5]));
  EXPECT_EQ(program[10], program[8]);
}

TEST(TransferSequence, NothingIsPrintedOrSentWhenTheImageOrTheEndpointCannotBeUsed) {
  // An empty image would erase the device and put nothing back, then report success.
  for (int size : {0, -256, 100, ImageCapacity + 256, 256}) {
    ScriptedDevice device;
    device.openResult = size == 256 ? 0 : 1;
    auto image = LoadedImage(PatternBytes(256));
    image->size = size;
    ConsoleCapture console;
    EXPECT_EQ(RunTransferSequence(device, *image, "127.0.0.1"), 0) << size;
    EXPECT_EQ(console.Text(), "") << size;
    EXPECT_TRUE(device.sent.empty()) << size;
    EXPECT_EQ(device.events, size == 256 ? "500 open" : "") << size;
  }
}

}  // namespace
