// SPDX-License-Identifier: Apache-2.0
// The transfer dialogue against a scripted device: console bytes, datagrams, reads, and the
// replies dropped before each send, for one table of device behaviours.
#include "transfer/transfer_sequence.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "app/console.h"
#include "scripted_device.h"
#include "transfer/console_transfer_report.h"

namespace {

// The one call of the sequence: an image of `size` bytes sent to the text "127.0.0.1  ".
int Transfer(ScriptedLink& device, int size, std::string& console) {
  auto image = std::make_unique<ImageBuffer>();
  image->size = size;
  ConsoleCapture capture;
  ConsoleTransferReport report;
  const int result = RunTransferSequence(device, *image, "127.0.0.1  ", report);
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
    std::string sent;
    for (const auto& [command, count] : device.sent) {
      sent += (sent.empty() ? "" : " ") + (command + std::to_string(count));
    }
    EXPECT_EQ(sent, c.sent);
    EXPECT_EQ(device.reads, c.reads);
    EXPECT_EQ(device.quietWaits, c.quietWaits);
    EXPECT_EQ(device.dropped, c.dropped);
    // Five closing "R"s, each followed by its pause, then the close.
    EXPECT_EQ(device.events,
              c.size == 0 ? "" : "500 open connect 127.0.0.1  :36 10 10 10 10 10 close");
  }
}

}  // namespace
