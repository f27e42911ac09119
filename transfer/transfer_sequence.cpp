// SPDX-License-Identifier: Apache-2.0
// The transfer dialogue: opening, probes, cycles of erase, program and verify, finish and closing,
// told step by step to a TransferReport.
#include "transfer/transfer_sequence.h"

#include <array>

#include "net/device_port.h"
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

// The percentage shown after a block is the share of the image before that block.
int Percent(int offset, int size) {
  return static_cast<int>(static_cast<int64_t>(offset) * 100 / size);
}

bool SizeIsSendable(int32_t size) {
  return size > 0 && size <= ImageCapacity && size % ImageBlockSize == 0;
}

// One transfer's dialogue after the endpoint is open: what it talks over, what it sends, whom it
// tells, and where it last went wrong.
class Dialogue {
 public:
  Dialogue(TransferLink& link, const ImageBuffer& image, TransferReport& report, PadSource& pads)
      : link_(link), image_(image), report_(report), pads_(pads) {}

  // Opening exchange and the ten probes; the probes are sent once per run, never per cycle.
  bool OpenAndProbe() {
    if (Abandoned()) {
      return Fail(TransferStep::Opening);
    }
    SendCommand(link_, OpenCommand);
    if (!Acknowledged(link_, OpenCommand)) {
      return Fail(TransferStep::Opening);
    }
    std::array<uint8_t, ProbeLength> probe{};
    probe[0] = ProbeCommand;
    for (int i = 0; i < ProbeCount; ++i) {
      if (Abandoned()) {
        return Fail(TransferStep::Probe, i + 1);
      }
      SendExpectingReply(link_, probe.data(), ProbeLength);
      if (!Acknowledged(link_, ProbeCommand)) {
        return Fail(TransferStep::Probe, i + 1);
      }
    }
    return true;
  }

  // Returns 1 after the first cycle that succeeds, 0 after the last failed one.
  int RunUpdateCycles() {
    for (cycle_ = 1; cycle_ <= TransferCycles; ++cycle_) {
      if (RunUpdateCycle()) {
        Finish();
        return 1;
      }
      if (failure_.abandoned) {
        return 0;
      }
      report_.CycleFailed(failure_);
      // Replies still on their way from the failed step are read and dropped.
      for (int i = 0; i < CycleFailureReads; ++i) {
        ExpectByte(link_, StepRefused);
      }
    }
    return 0;
  }

  const TransferFailure& Failure() const { return failure_; }

 private:
  bool Fail(TransferStep step, int number = 0) {
    failure_ = {step, number, cycle_, abandoned_};
    return false;
  }

  // Asked before each datagram that expects an answer, but the finish, which comes once every
  // block is verified: once the link asks to stop, the dialogue fails at that step.
  bool Abandoned() {
    abandoned_ = abandoned_ || link_.StopRequested();
    return abandoned_;
  }

  bool RunUpdateCycle() {
    return Erase() && SendAllBlocks(TransferPhase::Program, ProgramCommand) &&
           SendAllBlocks(TransferPhase::Verify, VerifyCommand);
  }

  bool Erase() {
    if (Abandoned()) {
      return Fail(TransferStep::Erase);
    }
    report_.PhaseStarted(TransferPhase::Erase);
    SendCommand(link_, EraseCommand, cycle_ > 1);
    if (ExpectByte(link_, EraseCommand) == 0) {
      return Fail(TransferStep::Erase);
    }
    // Each read is announced before it waits, so even an instant answer shows one.
    int reads = 0;
    bool erased = false;
    while (!erased && reads < EraseWaitReads) {
      report_.EraseWaitRead();
      ++reads;
      erased = ExpectByte(link_, StepDone) == 1;
    }
    report_.EraseWaitEnded(reads, erased);
    if (!erased) {
      return Fail(TransferStep::EraseWait);
    }
    report_.PhaseDone(TransferPhase::Erase, 100);
    return true;
  }

  // Program or verify phase: every block in order, each record built and scrambled afresh.
  bool SendAllBlocks(TransferPhase phase, uint8_t command) {
    report_.PhaseStarted(phase);
    BlockRecord record{};
    int offset = 0;
    for (; offset < image_.size; offset += ImageBlockSize) {
      FillBlockRecord(record, command, static_cast<uint32_t>(offset), image_);
      ScrambleBlockRecord(record, pads_);
      if (!SendBlock(record)) {
        return Fail(phase == TransferPhase::Program ? TransferStep::Program : TransferStep::Verify,
                    offset / ImageBlockSize);
      }
      report_.BlockDone(phase, Percent(offset, image_.size));
    }
    report_.PhaseDone(phase, Percent(offset, image_.size));
    return true;
  }

  // Every try of a block resends the same bytes: the record is scrambled once per block.
  bool SendBlock(const BlockRecord& record) {
    const uint8_t command = record[BlockRecordField::command];
    for (int attempt = 0; attempt < BlockTries; ++attempt) {
      if (Abandoned()) {
        return false;
      }
      SendExpectingReply(link_, record.data(), BlockRecordSize, attempt > 0);
      if (Acknowledged(link_, command)) {
        return true;
      }
      // A refusing device may say '0'; the read takes it off the queue, its outcome does not
      // count.
      ExpectByte(link_, StepRefused);
    }
    return false;
  }

  // The device may confirm the finish; the reads take its answers off the queue, and neither is
  // required.
  void Finish() {
    SendCommand(link_, FinishCommand);
    ExpectByte(link_, FinishCommand);
    ExpectByte(link_, StepDone);
  }

  TransferLink& link_;
  const ImageBuffer& image_;
  TransferReport& report_;
  PadSource& pads_;
  int cycle_ = 0;
  bool abandoned_ = false;
  TransferFailure failure_;
};

}  // namespace

int RunTransferSequence(TransferLink& link, const ImageBuffer& image, const char* target,
                        TransferReport& report, PadSource& pads) {
  if (!SizeIsSendable(image.size) || target == nullptr) {
    return 0;
  }
  link.Pause(StartPauseMilliseconds);
  if (link.Open() == 0) {
    report.DialogueFailed({TransferStep::Socket, 0, 0});
    return 0;
  }
  // A failed connect shows itself as a missing answer to the opening command.
  link.Connect(target, DevicePort);
  report.Started(target);
  Dialogue dialogue(link, image, report, pads);
  const int result = dialogue.OpenAndProbe() ? dialogue.RunUpdateCycles() : 0;
  if (result == 0) {
    report.DialogueFailed(dialogue.Failure());
  }
  // Nothing reads answers to the closing commands, so they need no clean queue.
  for (int i = 0; i < ClosingCommands; ++i) {
    link.Send(&FinishCommand, 1);
    link.Pause(ClosingPauseMilliseconds);
  }
  link.Close();
  return result;
}
