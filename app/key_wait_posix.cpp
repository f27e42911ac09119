// SPDX-License-Identifier: Apache-2.0
// The final key wait on POSIX: one whole key read from the terminal itself, with echo, line input
// and signal keys off, and the terminal put back even when a signal ends or stops the program
// meanwhile.
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <utility>
#include <vector>

#include "app/key_wait.h"

namespace {

// The rest of a key's bytes follow its first at once; a lone Esc has none within this time.
constexpr int FollowingByteMilliseconds = 50;
// No key sends more; the bound keeps a stream of bytes from holding the wait.
constexpr int MaximumKeyBytes = 16;

enum class ReadResult { Byte, Nothing, Failed };

ReadResult ReadByte(int terminal, unsigned char& byte, int timeoutMilliseconds) {
  for (;;) {
    if (timeoutMilliseconds >= 0) {
      pollfd ready{terminal, POLLIN, 0};
      const int polled = poll(&ready, 1, timeoutMilliseconds);
      if (polled < 0 && errno == EINTR) {
        continue;
      }
      if (polled <= 0) {
        return polled == 0 ? ReadResult::Nothing : ReadResult::Failed;
      }
    }
    const ssize_t count = read(terminal, &byte, 1);
    if (count == 1) {
      return ReadResult::Byte;
    }
    if (count < 0 && errno == EINTR) {
      continue;
    }
    return ReadResult::Failed;
  }
}

// Reads the bytes that belong to the key whose first byte was `first`, so that a cursor or
// function key (an escape sequence) or a multi-byte character ends the wait as one key and leaves
// nothing behind for the shell.
void ConsumeRestOfKey(int terminal, unsigned char first) {
  unsigned char byte = 0;
  int taken = 1;
  auto next = [&]() {
    return taken++ < MaximumKeyBytes &&
           ReadByte(terminal, byte, FollowingByteMilliseconds) == ReadResult::Byte;
  };
  if (first >= 0xC0) {
    const int continuation = first >= 0xF0 ? 3 : first >= 0xE0 ? 2 : 1;
    for (int i = 0; i < continuation && next(); ++i) {
    }
    return;
  }
  if (first != 0x1B || !next()) {
    return;
  }
  if (byte == 'O') {
    next();  // SS3: one final byte (F1 to F4, keypad keys)
    return;
  }
  if (byte != '[') {
    return;  // Alt with a key
  }
  // CSI: parameter and intermediate bytes up to a final byte. The Linux console sends its F1 to
  // F5 as "ESC [ [" and a letter.
  if (!next()) {
    return;
  }
  if (byte == '[') {
    next();
    return;
  }
  while (byte >= 0x20 && byte <= 0x3F && next()) {
  }
}

// Signals whose default action does not end the program: they are ignored, stop it or continue
// it (SIGKILL and SIGSTOP cannot be caught at all). Every other one ends it, with a core or
// without, and may come from outside while the terminal is changed (its own signal keys are off
// then): a kill, a closed terminal window, a supervisor, a timer or a CPU limit.
bool EndsTheProgram(int signalNumber) {
  switch (signalNumber) {
    case SIGKILL:
    case SIGSTOP:
    case SIGTSTP:
    case SIGTTIN:
    case SIGTTOU:
    case SIGCONT:
    case SIGCHLD:
    case SIGURG:
    case SIGWINCH:
      return false;
    default:
      return true;
  }
}

// Each signal whose handler was changed, with its action before.
using SignalActions = std::vector<std::pair<int, struct sigaction>>;

// What the handlers need to put the terminal back and to change it again; written before the
// handlers are installed.
int changedTerminal = -1;
termios savedSettings{};
termios rawSettings{};

// Whether this program's process group has the terminal: only then is it this program's to set (a
// background job's change would be the shell's loss).
bool HoldsTerminal() {
  return tcgetpgrp(changedTerminal) == getpgrp();
}

// Async-signal-safe only: puts the terminal's settings back, then acts on the signal as its
// default action does, unblocked: the program ends with the signal's status, or stops.
void PutBackAndActByDefault(int signalNumber, struct sigaction* own) {
  if (HoldsTerminal()) {
    tcsetattr(changedTerminal, TCSANOW, &savedSettings);
  }
  struct sigaction byDefault {};
  byDefault.sa_handler = SIG_DFL;
  sigemptyset(&byDefault.sa_mask);
  sigaction(signalNumber, &byDefault, own);
  // Blocked while its handler runs: raised now, it acts once it is unblocked.
  raise(signalNumber);
  sigset_t just;
  sigemptyset(&just);
  sigaddset(&just, signalNumber);
  sigprocmask(SIG_UNBLOCK, &just, nullptr);
}

extern "C" void RestoreTerminalAndEnd(int signalNumber) {
  PutBackAndActByDefault(signalNumber, nullptr);
}

// SIGTSTP (a kill -TSTP; Ctrl+Z is a key here): the terminal put back, the program stopped; once
// continued, the wait goes on as before, the terminal changed again if the program has it.
extern "C" void RestoreTerminalAndStop(int signalNumber) {
  const int savedErrno = errno;
  struct sigaction own {};
  PutBackAndActByDefault(signalNumber, &own);
  sigaction(signalNumber, &own, nullptr);
  if (HoldsTerminal()) {
    tcsetattr(changedTerminal, TCSANOW, &rawSettings);
  }
  errno = savedErrno;
}

// Until `RestoreSignalActions`, each signal that ends the program restores `saved` on `terminal`
// before it ends the program, and SIGTSTP before it stops it; a signal that was ignored stays
// ignored.
void RestoreTerminalOnSignals(int terminal, const termios& saved, const termios& raw,
                              SignalActions& previous) {
  changedTerminal = terminal;
  savedSettings = saved;
  rawSettings = raw;
  std::atomic_signal_fence(std::memory_order_seq_cst);
  struct sigaction restoring {};
  // One restoration at a time: the others wait, and the first signal decides the status.
  sigfillset(&restoring.sa_mask);
  for (int signalNumber = 1; signalNumber <= SIGRTMAX; ++signalNumber) {
    const bool ending = EndsTheProgram(signalNumber);
    struct sigaction before {};
    // The C library keeps a few real-time signals for itself and refuses them here.
    if ((!ending && signalNumber != SIGTSTP) || sigaction(signalNumber, nullptr, &before) != 0 ||
        before.sa_handler == SIG_IGN) {
      continue;
    }
    restoring.sa_handler = ending ? RestoreTerminalAndEnd : RestoreTerminalAndStop;
    previous.emplace_back(signalNumber, before);
    sigaction(signalNumber, &restoring, nullptr);
  }
}

void RestoreSignalActions(const SignalActions& previous) {
  for (const auto& [signalNumber, before] : previous) {
    sigaction(signalNumber, &before, nullptr);
  }
}

}  // namespace

void WaitForKey() {
  // The terminal itself, not standard input, which may be redirected.
  const int terminal = open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (terminal < 0) {
    return;
  }
  termios saved{};
  if (tcgetattr(terminal, &saved) != 0) {
    close(terminal);
    return;
  }
  termios raw = saved;
  // No echo, no line input, and no signals, flow control or literal-next keys, so that Ctrl+C,
  // Ctrl+S and Ctrl+V arrive as keys like any other.
  raw.c_lflag &= ~static_cast<tcflag_t>(ECHO | ICANON | ISIG | IEXTEN);
  raw.c_iflag &= ~static_cast<tcflag_t>(IXON);
  raw.c_cc[VMIN] = 1;
  raw.c_cc[VTIME] = 0;
  // A program ended while the terminal is changed would leave the user's shell without echo and
  // without Ctrl+C.
  SignalActions previous;
  RestoreTerminalOnSignals(terminal, saved, raw, previous);
  // TCSANOW keeps keys typed during the transfer: one of them ends the wait at once.
  if (tcsetattr(terminal, TCSANOW, &raw) == 0) {
    unsigned char first = 0;
    if (ReadByte(terminal, first, -1) == ReadResult::Byte) {
      ConsumeRestOfKey(terminal, first);
    }
  }
  tcsetattr(terminal, TCSANOW, &saved);
  RestoreSignalActions(previous);
  close(terminal);
}
