// SPDX-License-Identifier: Apache-2.0
// The transfer dialogue against a scripted device: console bytes, datagrams, reads, and the
// replies dropped before each send, for one table of device behaviours.
#include "transfer/transfer_sequence.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <memory>
#include <string>

#include "app/console.h"
#include "scripted_device.h"
#include "transfer/console_transfer_report.h"

namespace {

// The one call of the sequence: an image of `size` bytes sent to the text "127.0.0.1  ".
int Transfer(ScriptedLink& device, int size, std::string& console,
             PadSource& pads = ProcessPadSource()) {
  auto image = std::make_unique<ImageBuffer>();
  image->size = size;
  ConsoleCapture capture;
  ConsoleTransferReport report;
  const int result = RunTransferSequence(device, *image, "127.0.0.1  ", report, pads);
  console = capture.Text();
  return result;
}

// Answers `replies` to the datagrams of `command` numbered `from` to `to`.
Script Answer(char command, Replies replies, int from = 1, int to = 1000) {
  return [=](char c, int number) {
    return c == command && number >= from && number <= to ? std::optional(replies) : std::nullopt;
  };
}

// What a cycle that succeeds prints, each phase showing `figures`; one whose erase failed.
std::string Cycle(const std::string& figures) {
  return "Erase               +\b \b\b\b\b Ok\nProgram             " + figures +
         "Verify              " + figures;
}
const std::string Failed = "Erase               \b\b\b\b\b\b Error\n";
const std::string Updating = "Updating 127.0.0.1  \n";
const std::string One = Cycle("\b\b\b\b\b  0 %\b\b\b\b\b100 %\n");
const std::string Three = Cycle("\b\b\b\b\b  0 %\b\b\b\b\b 33 %\b\b\b\b\b 66 %\b\b\b\b\b100 %\n");
// The datagrams sent, by command in alphabetical order: "E1 P1 R6 S1 T10 V1".
std::string SentByCommand(const ScriptedLink& device) {
  std::string sent;
  for (const auto& [command, count] : device.sent) {
    sent += (sent.empty() ? "" : " ") + (command + std::to_string(count));
  }
  return sent;
}

const Script EveryOneDoubled = [](char c, int) { return std::optional(Replies{{c}, "1", "1"}); };

// Blocks 1 and 2 of three are refused at their first try; before that, block 0's '1' comes twice
// (read one step behind, the spare '1' and the next echo would let block 2 pass on its refused
// try). `late` marks every reply as still on its way when the next datagram goes out.
Script RefusedAfterADuplicate(bool late) {
  return [late](char command, int number) {
    Replies replies = {{command}, "1"};
    if (command == 'P' && number == 1) {
      replies = {"P", "1", "1"};
    } else if (command == 'P' && (number == 2 || number == 4)) {
      replies = {"P", "0", "0"};
    }
    for (std::string& reply : replies) {
      reply.insert(0, late ? "~" : "");
    }
    return std::optional(replies);
  };
}

TEST(TransferSequence, PrintsSendsReadsAndDropsWhatEachDeviceCallsFor) {
  // Reads: 2 for the opening and 2 per probe; in a cycle, the echo, the erase wait, 2 per record
  // and 2 for the finish; 3 more after a failed cycle. Replies are dropped before every datagram
  // that expects an answer, after waiting for quiet when the step before it failed.
  const struct {
    const char* name;
    int size;
    Script script;
    int result;
    std::string console;
    std::string sent;  // by command, in alphabetical order
    int reads, quietWaits, dropped;
  } cases[] = {
      {"sound device", 256, nullptr, 1, Updating + One, "E1 P1 R6 S1 T10 V1", 30, 0, 0},
      {"echo and '1' in one datagram", 256, Answer('S', {"S1", "1"}), 0, Updating, "R5 S1", 1, 0,
       0},
      {"erase unanswered in the first cycle", 256, Answer('E', {}, 1, 1), 1,
       Updating + Failed + One, "E2 P1 R6 S1 T10 V1", 30 + 4, 1, 0},
      {"block done at its fifth try", 256, Answer('P', {"0", "0"}, 1, 4), 1, Updating + One,
       "E1 P5 R6 S1 T10 V1", 30 + 4 * 2, 4, 0},
      {"every '1' doubled", 256, EveryOneDoubled, 1, Updating + One, "E1 P1 R6 S1 T10 V1", 30, 0,
       1 + 10 + 1 + 1 + 1},
      {"refused after a duplicate", 768, RefusedAfterADuplicate(false), 1, Updating + Three,
       "E1 P5 R6 S1 T10 V3", 22 + 2 + (2 + 3 + 2 + 3 + 2) + 6 + 2, 2, 1},
      {"refused after a late duplicate", 768, RefusedAfterADuplicate(true), 1, Updating + Three,
       "E1 P5 R6 S1 T10 V3", 22 + 2 + (2 + 2 + 2 + 3 + 2) + 6 + 2, 2, 2},
      {"empty image", 0, nullptr, 0, "", "", 0, 0, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ScriptedLink device(c.script);
    std::string console;
    EXPECT_EQ(Transfer(device, c.size, console), c.result);
    EXPECT_EQ(console, c.console);
    EXPECT_EQ(SentByCommand(device), c.sent);
    EXPECT_EQ(device.reads, c.reads);
    EXPECT_EQ(device.quietWaits, c.quietWaits);
    EXPECT_EQ(device.dropped, c.dropped);
    // Five closing "R"s, each followed by its pause, then the close.
    EXPECT_EQ(device.events,
              c.size == 0 ? "" : "500 open connect 127.0.0.1  :36 10 10 10 10 10 close");
  }
}

// The pads each record carries: from the utility's generator, the 64 values after the previous
// record's, none between them and a resend drawing none (checked against the generator drawn
// afresh); or from a source a caller brings.
TEST(TransferSequence, PadsEachRecordFromItsSource) {
  // Counts up from 1 at every draw.
  struct CountingPads final : PadSource {
    void Draw(std::span<uint8_t, 64> pad) override { std::fill(pad.begin(), pad.end(), ++draws); }
    uint8_t draws = 0;
  };
  const bool processGenerator[] = {true, false};
  for (const bool process : processGenerator) {
    ScriptedLink device(Answer('P', {"P", "0", "0"}, 2, 2));  // block 1 refused once
    CountingPads counting;
    std::string console;
    std::srand(7);
    ASSERT_EQ(Transfer(device, 768, console, process ? ProcessPadSource() : counting), 1);
    const int following = std::rand();
    ASSERT_EQ(device.records.size(), 3 + 1 + 3u);
    EXPECT_EQ(device.records[1], device.records[2]);
    device.records.erase(device.records.begin() + 2);
    std::srand(7);
    for (size_t record = 0; record < device.records.size(); ++record) {
      for (int i = 0; i < 64; ++i) {
        const size_t expected = process ? static_cast<uint8_t>(std::rand()) : record + 1;
        EXPECT_EQ(device.records[record][262 + i], expected) << record << " " << i;
      }
    }
    // Nothing else drew from the generator; an injected source draws nothing from it.
    EXPECT_EQ(std::rand(), following);
  }
}

// The link asked before each datagram that expects an answer but the finish: a stop abandons the
// dialogue there, without a failed cycle of its own, and the closing follows.
TEST(TransferSequence, AbandonsWhereItsLinkAsksToStop) {
  struct Failures final : TransferReport {
    void CycleFailed(const TransferFailure&) override { ++cycles; }
    void DialogueFailed(const TransferFailure& failure) override { last = failure; }
    int cycles = 0;
    TransferFailure last;
  };
  const struct {
    const char* name;
    int stopAtCheck;
    Script script;
    std::string sent;
    TransferStep step;
    int number, cycles;
  } cases[] = {
      {"before the opening", 1, nullptr, "R5", TransferStep::Opening, 0, 0},
      {"before probe 10", 11, nullptr, "R5 S1 T9", TransferStep::Probe, 10, 0},
      {"before the erase", 12, nullptr, "R5 S1 T10", TransferStep::Erase, 0, 0},
      {"before a block's second try", 15, Answer('P', {"P", "0", "0"}, 2, 2), "E1 P2 R5 S1 T10",
       TransferStep::Program, 1, 0},
      {"before the second cycle's erase", 13, Answer('E', {}, 1, 1), "E1 R5 S1 T10",
       TransferStep::Erase, 0, 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ScriptedLink device(c.script);
    device.stopAtCheck = c.stopAtCheck;
    auto image = std::make_unique<ImageBuffer>();
    image->size = 768;
    Failures report;
    EXPECT_EQ(RunTransferSequence(device, *image, "127.0.0.1", report), 0);
    EXPECT_EQ(SentByCommand(device), c.sent);
    EXPECT_EQ(report.last.step, c.step);
    EXPECT_EQ(report.last.number, c.number);
    EXPECT_TRUE(report.last.abandoned);
    EXPECT_EQ(report.cycles, c.cycles);
  }
}

// Two generators seeded by the system differ (a deterministic random_device would give both the
// same pads, which MinGW's once did), and one never repeats its pad.
TEST(SeededPadSource, DrawsPadsThatDifferBetweenGeneratorsAndDraws) {
  SeededPadSource first, second;
  std::array<uint8_t, 64> a{}, b{}, c{};
  first.Draw(a);
  second.Draw(b);
  first.Draw(c);
  EXPECT_NE(a, b);
  EXPECT_NE(a, c);
}

}  // namespace
