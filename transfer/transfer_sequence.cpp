// The transfer dialogue: opening, probes, cycles of erase, program and verify, finish and closing,
// with its progress lines.
#include "transfer/transfer_sequence.h"

#include <array>

#include "app/console.h"
#include "net/device_port.h"
#include "net/pause.h"
#include "net/transfer_endpoint.h"
#include "transfer/block_record.h"
#include "transfer/transfer_protocol.h"

namespace {

// Reads one datagram and returns 1 when it is exactly one byte long and that byte is `expected`,
// otherwise 0: a time-out, a failure and a datagram of any other length are all a mismatch, and a
// mismatching datagram is consumed all the same. Waits at most one receive time-out.
int ExpectByte(TransferLink& link, uint8_t expected) {
  std::array<uint8_t, ReplyCapacity> reply;
  return link.Receive(reply.data(), ReplyCapacity) == 1 && reply[0] == expected ? 1 : 0;
}

// Every datagram that expects an answer goes out on a clean queue. Replies carry no reference to
// what they answer, so a late or doubled reply left queued would otherwise be taken for the answer
// to the next datagram, and could let a refused block pass for programmed and verified.
int SendExpectingReply(TransferLink& link, const uint8_t* data, int length,
                       bool afterFailure = false) {
  link.DiscardQueuedReplies(afterFailure ? QuietAfterFailureMilliseconds : 0);
  return link.Send(data, length);
}

int SendCommand(TransferLink& link, uint8_t command, bool afterFailure = false) {
  return SendExpectingReply(link, &command, 1, afterFailure);
}

// A command answered by its echo and then '1', each as its own datagram.
bool Acknowledged(TransferLink& link, uint8_t echo) {
  return ExpectByte(link, echo) == 1 && ExpectByte(link, StepDone) == 1;
}

// Opening exchange and the ten probes; the probes are sent once per run, never per cycle.
bool OpenAndProbe(TransferLink& link) {
  SendCommand(link, OpenCommand);
  if (!Acknowledged(link, OpenCommand)) {
    return false;
  }
  std::array<uint8_t, ProbeLength> probe{};
  probe[0] = ProbeCommand;
  for (int i = 0; i < ProbeCount; ++i) {
    SendExpectingReply(link, probe.data(), ProbeLength);
    if (!Acknowledged(link, ProbeCommand)) {
      return false;
    }
  }
  return true;
}

bool Erase(TransferLink& link, bool afterFailedCycle) {
  ConsolePrint("%-20s", "Erase");
  SendCommand(link, EraseCommand, afterFailedCycle);
  if (ExpectByte(link, EraseCommand) == 0) {
    return false;
  }
  // Each mark goes up before its read, so even an instant answer shows, then removes, one mark.
  int marks = 0;
  bool erased = false;
  while (!erased && marks < EraseWaitReads) {
    ConsolePrint("+");
    ++marks;
    erased = ExpectByte(link, StepDone) == 1;
  }
  for (int i = 0; i < marks; ++i) {
    ConsolePrint("\b \b");
  }
  if (!erased) {
    return false;
  }
  ConsolePrint("\b\b\b Ok\n");
  return true;
}

// Every try of a block resends the same bytes: the record is scrambled once per block.
bool SendBlock(TransferLink& link, const BlockRecord& record) {
  const uint8_t command = record[BlockRecordField::command];
  for (int attempt = 0; attempt < BlockTries; ++attempt) {
    SendExpectingReply(link, record.data(), BlockRecordSize, attempt > 0);
    if (Acknowledged(link, command)) {
      return true;
    }
    // A refusing device may say '0'; the read takes it off the queue, its outcome does not count.
    ExpectByte(link, StepRefused);
  }
  return false;
}

// The percentage shown after a block is the share of the image before that block.
int Percent(int offset, int size) {
  return static_cast<int>(static_cast<int64_t>(offset) * 100 / size);
}

// Program or verify phase: every block in order, each record built and scrambled afresh.
bool SendAllBlocks(TransferLink& link, const ImageBuffer& image, const char* label,
                   uint8_t command) {
  ConsolePrint("%-20s", label);
  BlockRecord record{};
  int offset = 0;
  for (; offset < image.size; offset += ImageBlockSize) {
    FillBlockRecord(record, command, static_cast<uint32_t>(offset), image);
    ScrambleBlockRecord(record);
    if (!SendBlock(link, record)) {
      return false;
    }
    ConsolePrint("\b\b\b\b\b%3d %s", Percent(offset, image.size), "%");
  }
  ConsolePrint("\b\b\b\b\b%3d %s\n", Percent(offset, image.size), "%");
  return true;
}

bool RunUpdateCycle(TransferLink& link, const ImageBuffer& image, bool afterFailedCycle) {
  return Erase(link, afterFailedCycle) && SendAllBlocks(link, image, "Program", ProgramCommand) &&
         SendAllBlocks(link, image, "Verify", VerifyCommand);
}

// The device may confirm the finish; the reads take its answers off the queue, and neither is
// required.
void Finish(TransferLink& link) {
  SendCommand(link, FinishCommand);
  ExpectByte(link, FinishCommand);
  ExpectByte(link, StepDone);
}

// Returns 1 after the first cycle that succeeds, 0 after the last failed one.
int RunUpdateCycles(TransferLink& link, const ImageBuffer& image) {
  for (int cycle = 0; cycle < TransferCycles; ++cycle) {
    if (RunUpdateCycle(link, image, cycle > 0)) {
      Finish(link);
      return 1;
    }
    ConsolePrint("\b\b\b\b\b\b Error\n");
    // Replies still on their way from the failed step are read and dropped.
    for (int i = 0; i < CycleFailureReads; ++i) {
      ExpectByte(link, StepRefused);
    }
  }
  return 0;
}

bool SizeIsSendable(int32_t size) {
  return size > 0 && size <= ImageCapacity && size % ImageBlockSize == 0;
}

// Adapts the program's one transfer endpoint and the platform's pause to the dialogue.
class EndpointLink final : public TransferLink {
 public:
  explicit EndpointLink(TransferEndpoint& endpoint) : endpoint_(endpoint) {}
  int Open() override { return endpoint_.Open(); }
  int Connect(const char* address, uint16_t port) override {
    return endpoint_.Connect(address, port);
  }
  int Send(const uint8_t* data, int length) override { return endpoint_.Send(data, length); }
  int Receive(uint8_t* buffer, int capacity) override {
    return endpoint_.Receive(buffer, capacity);
  }
  void DiscardQueuedReplies(int quietMilliseconds) override {
    endpoint_.DiscardQueued(quietMilliseconds);
  }
  int Close() override { return endpoint_.Close(); }
  void Pause(int milliseconds) override { PauseMilliseconds(milliseconds); }

 private:
  TransferEndpoint& endpoint_;
};

TransferEndpoint transferEndpoint;

}  // namespace

int RunTransferSequence(TransferLink& link, const ImageBuffer& image, const char* target) {
  if (!SizeIsSendable(image.size) || target == nullptr) {
    return 0;
  }
  link.Pause(StartPauseMilliseconds);
  if (link.Open() == 0) {
    return 0;
  }
  // A failed connect shows itself as a missing answer to the opening command.
  link.Connect(target, DevicePort);
  ConsolePrint("Updating %s\n", target);
  const int result = OpenAndProbe(link) ? RunUpdateCycles(link, image) : 0;
  // Nothing reads answers to the closing commands, so they need no clean queue.
  for (int i = 0; i < ClosingCommands; ++i) {
    link.Send(&FinishCommand, 1);
    link.Pause(ClosingPauseMilliseconds);
  }
  link.Close();
  return result;
}

int RunTransferSequence(const char* target) {
  EndpointLink link(transferEndpoint);
  return RunTransferSequence(link, imageBuffer, target);
}
