// SPDX-License-Identifier: Apache-2.0
// TransferReport: what the transfer dialogue tells its caller as it goes, so that each front end
// shows the progress its own way.
#pragma once

/// The three phases of one update cycle, in their order.
enum class TransferPhase { Erase, Program, Verify };

/// The phase's name as the progress shows it: "Erase", "Program" or "Verify".
inline const char* PhaseLabel(TransferPhase phase) {
  constexpr const char* Labels[] = {"Erase", "Program", "Verify"};
  return Labels[static_cast<int>(phase)];
}

/// The step of the dialogue at which it went wrong.
enum class TransferStep {
  Socket,     // the endpoint could not be opened: nothing was sent
  Opening,    // "S" was not answered by its echo and '1'
  Probe,      // a probe was not answered by its echo and '1'
  Erase,      // "E" was not echoed
  EraseWait,  // no '1' in the reads of the erase wait
  Program,    // a block was refused or unanswered at every try
  Verify,
};

/// Where the dialogue went wrong: the step, the probe (1 to 10) or the block (offset / 256, from
/// 0) it concerns, and the update cycle (from 1; 0 before the cycles). `abandoned` when the link
/// asked to stop there, before the step's datagram went out.
struct TransferFailure {
  TransferStep step = TransferStep::Socket;
  int number = 0;
  int cycle = 0;
  bool abandoned = false;
};

/// Receives the events of one transfer, in the order they happen. Every event does nothing
/// unless overridden. None of them can stop or change the dialogue.
class TransferReport {
 public:
  virtual ~TransferReport() = default;
  /// The endpoint is open and connected to `target`; the opening "S" follows.
  virtual void Started(const char* /*target*/) {}
  /// A phase of a cycle begins.
  virtual void PhaseStarted(TransferPhase /*phase*/) {}
  /// A read of the erase wait is about to wait for the device's '1'.
  virtual void EraseWaitRead() {}
  /// The erase wait is over after `reads` reads (1 to 35), with the '1' (`erased`) or without.
  virtual void EraseWaitEnded(int /*reads*/, bool /*erased*/) {}
  /// A block of the program or verify phase is done; `percent` is the share of the image before
  /// it (0 after the first block).
  virtual void BlockDone(TransferPhase /*phase*/, int /*percent*/) {}
  /// A phase ended well; `percent` is 100.
  virtual void PhaseDone(TransferPhase /*phase*/, int /*percent*/) {}
  /// A cycle failed at `failure`; the next one starts from the erase, unless it was the last.
  virtual void CycleFailed(const TransferFailure& /*failure*/) {}
  /// The transfer failed for good at `failure`: the socket, the opening, a probe, the last
  /// cycle's failure after every cycle failed, or the step where the link asked to stop. The
  /// closing follows, except after the socket.
  virtual void DialogueFailed(const TransferFailure& /*failure*/) {}
};
