#include "transfer/transfer_sequence.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <deque>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "app/console.h"
#include "transfer/block_record.h"

namespace {

using Bytes = std::vector<uint8_t>;
// One reply the device has queued; nothing means a read that times out.
using Reply = std::optional<Bytes>;
using Replies = std::vector<Reply>;

const Reply Quiet = std::nullopt;
Reply Byte(uint8_t c) {
  return Bytes{c};
}

// How the scripted device answers. The defaults make a device that lets the first cycle succeed.
struct Behaviour {
  Replies opening = {Byte('S'), Byte('1')};
  int probesAnswered = 10;  // later probes get no answer at all
  // Reads the erase takes in a cycle (1-based): 0 = not even the echo, more than 35 = never done.
  std::function<int(int cycle)> eraseReads = [](int) { return 1; };
  // Answer to a record; `attempt` counts the sends of this block in this phase from 1.
  std::function<Replies(uint8_t command, uint32_t offset, int attempt, int cycle)> record =
      [](uint8_t command, uint32_t, int, int) {
        return Replies{Byte(command), Byte('1')};
      };
  Replies finish = {Byte('R'), Byte('1')};
};

// Plays the device behind the transfer's link: answers every datagram from its `Behaviour`,
// counts time-outs instead of waiting for them, and records everything the sequence did.
class ScriptedDevice final : public TransferLink {
 public:
  explicit ScriptedDevice(Behaviour behaviour) : behaviour_(std::move(behaviour)) {}

  int Open() override {
    ++opens;
    return openResult;
  }
  int Connect(const char* address, uint16_t port) override {
    connectedTo = std::string(address) + ":" + std::to_string(port);
    return 1;
  }
  int Send(const uint8_t* data, int length) override {
    sent.emplace_back(data, data + length);
    Answer(sent.back());
    return length;
  }
  int Receive(uint8_t* buffer, int capacity) override {
    ++reads;
    if (queue_.empty() || !queue_.front()) {
      ++timeouts;
      if (!queue_.empty()) {
        queue_.pop_front();
      }
      return 0;
    }
    const Bytes reply = *queue_.front();
    queue_.pop_front();
    const int count = std::min(static_cast<int>(reply.size()), capacity);
    std::copy_n(reply.begin(), count, buffer);
    return count;
  }
  int Close() override {
    ++closes;
    return 0;
  }
  void Pause(int milliseconds) override { pauses.push_back(milliseconds); }

  // How many datagrams began with `command`, of the given length.
  int Sent(char command, size_t length) const {
    return static_cast<int>(std::count_if(sent.begin(), sent.end(), [&](const Bytes& d) {
      return d.size() == length && d[0] == static_cast<uint8_t>(command);
    }));
  }
  std::vector<Bytes> Records(char command) const {
    std::vector<Bytes> records;
    std::copy_if(sent.begin(), sent.end(), std::back_inserter(records), [&](const Bytes& d) {
      return d.size() == BlockRecordSize && d[0] == static_cast<uint8_t>(command);
    });
    return records;
  }

  int openResult = 1;
  int opens = 0;
  int closes = 0;
  int reads = 0;
  int timeouts = 0;
  std::string connectedTo;
  std::vector<Bytes> sent;
  std::vector<int> pauses;

 private:
  void Queue(const Replies& replies) {
    queue_.insert(queue_.end(), replies.begin(), replies.end());
  }

  void Answer(const Bytes& datagram) {
    if (datagram.size() == 1 && datagram[0] == 'S') {
      Queue(behaviour_.opening);
    } else if (datagram.size() == ProbeLength && datagram[0] == 'T') {
      if (++probes_ <= behaviour_.probesAnswered) {
        Queue({Byte('T'), Byte('1')});
      }
    } else if (datagram.size() == 1 && datagram[0] == 'E') {
      const int reads = behaviour_.eraseReads(++cycle_);
      if (reads > 0) {
        Queue({Byte('E')});
        for (int i = 1; i < reads; ++i) {
          Queue({Quiet});
        }
        Queue({Byte('1')});
      }
    } else if (datagram.size() == BlockRecordSize) {
      const UnmaskedBlock block = UnmaskBlockRecord(
          std::span<const uint8_t, BlockRecordSize>(datagram.data(), BlockRecordSize));
      const int attempt = ++attempts_[{cycle_, block.command, block.offset}];
      Queue(behaviour_.record(block.command, block.offset, attempt, cycle_));
    } else if (datagram.size() == 1 && datagram[0] == 'R' && !finished_) {
      finished_ = true;
      Queue(behaviour_.finish);
    }
  }

  Behaviour behaviour_;
  std::deque<Reply> queue_;
  int probes_ = 0;
  int cycle_ = 0;
  bool finished_ = false;
  std::map<std::tuple<int, uint8_t, uint32_t>, int> attempts_;
};

ImageBuffer PatternImage(int size) {
  ImageBuffer image;
  for (size_t i = 0; i < image.bytes.size(); ++i) {
    image.bytes[i] = static_cast<uint8_t>(i * 31 + (i >> 8));
  }
  image.size = size;
  return image;
}

std::string Repeat(const std::string& text, int times) {
  std::string all;
  for (int i = 0; i < times; ++i) {
    all += text;
  }
  return all;
}

const std::string Updating = "Updating 127.0.0.1\n";
const std::string EraseLabel = "Erase               ";
const std::string ProgramLabel = "Program             ";
const std::string VerifyLabel = "Verify              ";
const std::string ErrorEnd = "\b\b\b\b\b\b Error\n";

std::string EraseWait(int marks) {
  return EraseLabel + Repeat("+", marks) + Repeat("\b \b", marks);
}
std::string EraseOk(int reads = 1) {
  return EraseWait(reads) + "\b\b\b Ok\n";
}

// Exactly what one successful cycle prints for a one-block and a three-block image.
const std::string OneBlockCycle = EraseOk() + ProgramLabel + "\b\b\b\b\b  0 %\b\b\b\b\b100 %\n" +
                                  VerifyLabel + "\b\b\b\b\b  0 %\b\b\b\b\b100 %\n";
const std::string ThreeBlockPhase =
    "\b\b\b\b\b  0 %\b\b\b\b\b 33 %\b\b\b\b\b 66 %\b\b\b\b\b100 %\n";
const std::string ThreeBlockCycle =
    EraseOk() + ProgramLabel + ThreeBlockPhase + VerifyLabel + ThreeBlockPhase;

struct Case {
  const char* name;
  int imageSize;
  std::function<void(Behaviour&)> script;
  int result;
  std::string console;  // after the "Updating" line
  int eSent;
  int pSent;
  int vSent;
  int rSent;
  int reads;
};

void PrintTo(const Case& c, std::ostream* out) {
  *out << c.name;
}

class TransferSequenceTest : public ::testing::TestWithParam<Case> {};

TEST_P(TransferSequenceTest, SendsReadsAndPrintsExactlyWhatTheDialogueRequires) {
  const Case& c = GetParam();
  Behaviour behaviour;
  if (c.script) {
    c.script(behaviour);
  }
  ScriptedDevice device(behaviour);
  const ImageBuffer image = PatternImage(c.imageSize);
  ConsoleCapture console;

  EXPECT_EQ(RunTransferSequence(device, image, "127.0.0.1"), c.result);

  EXPECT_EQ(console.Text(), Updating + c.console);
  EXPECT_EQ(device.connectedTo, "127.0.0.1:36");
  EXPECT_EQ(device.Sent('S', 1), 1);
  EXPECT_EQ(device.Sent('E', 1), c.eSent);
  EXPECT_EQ(device.Records('P').size(), static_cast<size_t>(c.pSent));
  EXPECT_EQ(device.Records('V').size(), static_cast<size_t>(c.vSent));
  EXPECT_EQ(device.Sent('R', 1), c.rSent);
  EXPECT_EQ(device.reads, c.reads);
  // Only the closing "R" ends the run, and each is followed by its pause.
  ASSERT_GE(device.sent.size(), 5u);
  for (size_t i = device.sent.size() - 5; i < device.sent.size(); ++i) {
    EXPECT_EQ(device.sent[i], Bytes{'R'});
  }
  const std::vector<int> pauses = {500, 10, 10, 10, 10, 10};
  EXPECT_EQ(device.pauses, pauses);
  EXPECT_EQ(device.opens, 1);
  EXPECT_EQ(device.closes, 1);
  // Every datagram is one the dialogue knows.
  for (const Bytes& d : device.sent) {
    const bool known = (d.size() == 1 && (d[0] == 'S' || d[0] == 'E' || d[0] == 'R')) ||
                       (d.size() == ProbeLength && d[0] == 'T' &&
                        std::all_of(d.begin() + 1, d.end(), [](uint8_t b) { return b == 0; })) ||
                       (d.size() == BlockRecordSize && (d[0] == 'P' || d[0] == 'V') && d[1] == 0);
    EXPECT_TRUE(known) << "datagram of " << d.size() << " bytes starting " << int{d[0]};
  }
}

// Reads of a successful run: 2 for the opening, 20 for the probes, the echo and the erase wait,
// 2 per record, 2 for the finish.
constexpr int ReadsBeforeCycles = 2 + 20;
int SuccessReads(int blocks, int eraseReads = 1) {
  return ReadsBeforeCycles + 1 + eraseReads + 4 * blocks + 2;
}

const std::string ThirtyEraseErrors = Repeat(EraseLabel + ErrorEnd, 30);
const std::string ThirtyEraseWaitErrors = Repeat(EraseWait(35) + ErrorEnd, 30);

INSTANTIATE_TEST_SUITE_P(
    Dialogue, TransferSequenceTest,
    ::testing::Values(
        Case{"one_block", 256, nullptr, 1, OneBlockCycle, 1, 1, 1, 6, SuccessReads(1)},
        Case{"three_blocks", 768, nullptr, 1, ThreeBlockCycle, 1, 3, 3, 6, SuccessReads(3)},
        Case{"whole_capacity", ImageCapacity, nullptr, 1,
             [] {
               std::string phase;
               for (int offset = 0; offset <= ImageCapacity; offset += 256) {
                 char figure[16];
                 std::snprintf(figure, sizeof figure, "\b\b\b\b\b%3d %%", offset * 100 / 131072);
                 phase += figure;
               }
               phase += "\n";
               return EraseOk() + ProgramLabel + phase + VerifyLabel + phase;
             }(),
             1, 512, 512, 6, SuccessReads(512)},
        Case{"echoes_S_but_never_1", 256, [](Behaviour& b) { b.opening = {Byte('S')}; }, 0, "",
             0, 0, 0, 5, 2},
        Case{"silent_after_S", 256, [](Behaviour& b) { b.opening = {}; }, 0, "", 0, 0, 0, 5, 1},
        Case{"echo_and_1_in_one_datagram", 256,
             [](Behaviour& b) { b.opening = {Bytes{'S', '1'}, Byte('1')}; }, 0, "", 0, 0, 0, 5,
             1},
        Case{"nine_probes_acknowledged", 256, [](Behaviour& b) { b.probesAnswered = 9; }, 0, "",
             0, 0, 0, 5, 2 + 18 + 1},
        Case{"erase_done_on_read_35", 256,
             [](Behaviour& b) { b.eraseReads = [](int) { return 35; }; }, 1,
             EraseOk(35) + ProgramLabel + "\b\b\b\b\b  0 %\b\b\b\b\b100 %\n" + VerifyLabel +
                 "\b\b\b\b\b  0 %\b\b\b\b\b100 %\n",
             1, 1, 1, 6, SuccessReads(1, 35)},
        Case{"erase_never_done", 256, [](Behaviour& b) { b.eraseReads = [](int) { return 36; }; },
             0, ThirtyEraseWaitErrors, 30, 0, 0, 5, ReadsBeforeCycles + 30 * (1 + 35 + 3)},
        Case{"erase_never_echoed", 256, [](Behaviour& b) { b.eraseReads = [](int) { return 0; }; },
             0, ThirtyEraseErrors, 30, 0, 0, 5, ReadsBeforeCycles + 30 * (1 + 3)},
        Case{"erase_done_in_the_last_cycle", 256,
             [](Behaviour& b) { b.eraseReads = [](int cycle) { return cycle < 30 ? 0 : 1; }; },
             1, Repeat(EraseLabel + ErrorEnd, 29) + OneBlockCycle, 30, 1, 1, 6,
             ReadsBeforeCycles + 29 * 4 + SuccessReads(1) - ReadsBeforeCycles},
        Case{"block_passes_on_fifth_try", 256,
             [](Behaviour& b) {
               b.record = [](uint8_t command, uint32_t, int attempt, int) {
                 return command == 'P' && attempt < 5 ? Replies{Byte('0'), Byte('0')}
                                    : Replies{Byte(command), Byte('1')};
               };
             },
             1, OneBlockCycle, 1, 5, 1, 6, SuccessReads(1) + 4 * 2},
        Case{"refused_after_the_echo", 256,
             [](Behaviour& b) {
               b.record = [](uint8_t command, uint32_t, int attempt, int) {
                 return attempt < 2 ? Replies{Byte(command), Byte('0'), Byte('0')}
                                    : Replies{Byte(command), Byte('1')};
               };
             },
             1, OneBlockCycle, 1, 2, 2, 6, SuccessReads(1) + 2 * 3},
        Case{"two_byte_reply_is_a_mismatch", 256,
             [](Behaviour& b) {
               b.record = [](uint8_t command, uint32_t, int attempt, int) {
                 return command == 'P' && attempt < 2 ? Replies{Bytes{command, '1'}}
                                    : Replies{Byte(command), Byte('1')};
               };
             },
             1, OneBlockCycle, 1, 2, 1, 6, SuccessReads(1) + 2},
        Case{"block_fails_five_tries_then_next_cycle_restarts", 768,
             [](Behaviour& b) {
               b.record = [](uint8_t command, uint32_t offset, int, int cycle) {
                 return cycle == 1 && command == 'P' && offset == 256
                            ? Replies{Byte('0'), Quiet}
                            : Replies{Byte(command), Byte('1')};
               };
             },
             1, EraseOk() + ProgramLabel + "\b\b\b\b\b  0 %" + ErrorEnd + ThreeBlockCycle, 2,
             1 + 5 + 3, 3, 6, ReadsBeforeCycles + (2 + 2 + 5 * 2 + 3) + SuccessReads(3) - 22},
        Case{"verify_fails_every_cycle", 256,
             [](Behaviour& b) {
               b.record = [](uint8_t command, uint32_t, int, int) {
                 return command == 'V' ? Replies{} : Replies{Byte(command), Byte('1')};
               };
             },
             0,
             Repeat(EraseOk() + ProgramLabel + "\b\b\b\b\b  0 %\b\b\b\b\b100 %\n" + VerifyLabel +
                        ErrorEnd,
                    30),
             30, 30, 150, 5, ReadsBeforeCycles + 30 * (2 + 2 + 5 * 2 + 3)},
        Case{"finish_unanswered", 256, [](Behaviour& b) { b.finish = {}; }, 1, OneBlockCycle, 1,
             1, 1, 6, SuccessReads(1)}),
    [](const ::testing::TestParamInfo<Case>& info) { return std::string(info.param.name); });

TEST(TransferSequenceRecordsTest, EveryTryResendsTheSameBytesAndEveryPhaseScramblesAfresh) {
  Behaviour behaviour;
  behaviour.record = [](uint8_t command, uint32_t, int attempt, int cycle) {
    return cycle == 1 || attempt < 3 ? Replies{Byte('0')} : Replies{Byte(command), Byte('1')};
  };
  ScriptedDevice device(behaviour);
  const ImageBuffer image = PatternImage(512);
  ConsoleCapture console;
  std::srand(99);
  ASSERT_EQ(RunTransferSequence(device, image, "127.0.0.1"), 1);

  // Cycle 1 gives up on block 0 after five tries; cycle 2 takes three tries per block.
  const std::vector<Bytes> program = device.Records('P');
  ASSERT_EQ(program.size(), 5u + 3u + 3u);
  for (size_t i = 1; i < 5; ++i) {
    EXPECT_EQ(program[i], program[0]) << "try " << i + 1 << " of cycle 1";
  }
  EXPECT_NE(program[5], program[0]) << "a new cycle builds its records again";
  EXPECT_EQ(program[6], program[5]);
  EXPECT_EQ(program[7], program[5]);
  EXPECT_EQ(program[9], program[8]);
  const std::vector<Bytes> verify = device.Records('V');
  ASSERT_EQ(verify.size(), 6u);
  EXPECT_NE(verify[0], program[5]) << "the verify record carries its own pad";

  // Every record unmasks to its block of the image.
  for (const Bytes& record : program) {
    const UnmaskedBlock block =
        UnmaskBlockRecord(std::span<const uint8_t, BlockRecordSize>(record.data(), record.size()));
    ASSERT_LT(block.offset, 512u);
    EXPECT_TRUE(
        std::equal(block.data.begin(), block.data.end(), image.bytes.begin() + block.offset));
  }
  const UnmaskedBlock last =
      UnmaskBlockRecord(std::span<const uint8_t, BlockRecordSize>(verify[5].data(), 326));
  EXPECT_EQ(last.command, 'V');
  EXPECT_EQ(last.offset, 256u);
}

TEST(TransferSequenceStartTest, NothingIsPrintedOrSentWhenTheEndpointCannotOpen) {
  ScriptedDevice device{Behaviour{}};
  device.openResult = 0;
  const ImageBuffer image = PatternImage(256);
  ConsoleCapture console;
  EXPECT_EQ(RunTransferSequence(device, image, "127.0.0.1"), 0);
  EXPECT_EQ(console.Text(), "");
  EXPECT_TRUE(device.sent.empty());
  EXPECT_EQ(device.connectedTo, "");
  EXPECT_EQ(device.closes, 0);
  EXPECT_EQ(device.pauses, std::vector<int>{500});
}

TEST(TransferSequenceStartTest, AnImageThatIsNotWholeBlocksNeverReachesTheDevice) {
  // An empty image would erase the device and put nothing back, then report success.
  for (int size : {0, -256, 100, ImageCapacity + 256}) {
    ScriptedDevice device{Behaviour{}};
    const ImageBuffer image = PatternImage(size);
    ConsoleCapture console;
    EXPECT_EQ(RunTransferSequence(device, image, "127.0.0.1"), 0) << size;
    EXPECT_EQ(console.Text(), "") << size;
    EXPECT_EQ(device.opens, 0) << size;
    EXPECT_TRUE(device.sent.empty()) << size;
    EXPECT_TRUE(device.pauses.empty()) << size;
  }
}

TEST(TransferSequenceStartTest, TheTargetTextIsPrintedAndConnectedUnchanged) {
  ScriptedDevice device{Behaviour{}};
  const ImageBuffer image = PatternImage(256);
  ConsoleCapture console;
  EXPECT_EQ(RunTransferSequence(device, image, "010.0.0.1  "), 1);
  EXPECT_EQ(console.Text().rfind("Updating 010.0.0.1  \n", 0), 0u);
  EXPECT_EQ(device.connectedTo, "010.0.0.1  :36");
}

TEST(ExpectByteTest, OnlyAOneByteDatagramWithTheByteMatches) {
  struct Case {
    Replies queued;
    int result;
  };
  const Case cases[] = {
      {{Byte('1')}, 1}, {{Byte('0')}, 0}, {{Bytes{'1', '1'}}, 0},
      {{Bytes{}}, 0},   {{Quiet}, 0},     {{}, 0},
  };
  for (const Case& c : cases) {
    Behaviour behaviour;
    behaviour.opening = c.queued;
    ScriptedDevice device(behaviour);
    const uint8_t open = 'S';
    device.Send(&open, 1);
    EXPECT_EQ(ExpectByte(device, '1'), c.result);
    EXPECT_EQ(device.reads, 1);
  }
}

}  // namespace
