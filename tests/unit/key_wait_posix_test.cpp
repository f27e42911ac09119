// How the key wait reads a key from the terminal: a cursor or function key (an escape sequence)
// or a multi-byte character is one key, taken whole, and the next key stays for the shell. The
// end-to-end suite covers the rest through a pseudo-terminal: a letter, Ctrl+C, a key typed ahead,
// no terminal, the key not echoed and the terminal's settings restored.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>

#include "app/result_banner.h"

namespace {

// In a new session whose controlling terminal is `slaveName`: waits for a key, then writes to
// `report` the input that the wait left unread.
[[noreturn]] void RunChild(const char* slaveName, int report) {
  alarm(5);
  setsid();
  const int terminal = open(slaveName, O_RDWR);
  if (terminal < 0 || ioctl(terminal, TIOCSCTTY, 0) != 0) {
    _exit(3);
  }
  WaitForKey();
  termios peek{};
  tcgetattr(terminal, &peek);
  peek.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO | ISIG);
  peek.c_cc[VMIN] = 0;
  peek.c_cc[VTIME] = 0;
  tcsetattr(terminal, TCSANOW, &peek);
  char left[64];
  const ssize_t count = read(terminal, left, sizeof left);
  _exit(count <= 0 || write(report, left, static_cast<size_t>(count)) == count ? 0 : 4);
}

TEST(KeyWaitPosix, TakesOneWholeKeyAndLeavesTheNext) {
  const struct {
    const char* name;
    std::string typed;
    std::string leftOver;
  } cases[] = {
      {"letter", "a", ""},
      {"lone Esc", "\x1b", ""},
      {"cursor up", "\x1b[Az", "z"},
      {"F5", "\x1b[15~z", "z"},
      {"Ctrl+cursor right", "\x1b[1;5Cz", "z"},
      {"F1 as SS3", "\x1bOPz", "z"},
      {"F1 on the Linux console", "\x1b[[Az", "z"},
      {"two-byte character", "\xc3\xa9z", "z"},
      {"second key", "ab", "b"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const int master = posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_TRUE(master >= 0 && grantpt(master) == 0 && unlockpt(master) == 0);
    const std::string slaveName = ptsname(master);
    int report[2];
    ASSERT_EQ(pipe(report), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      close(master);
      close(report[0]);
      RunChild(slaveName.c_str(), report[1]);
    }
    close(report[1]);
    // Type only once the wait has switched line input and echo off.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(3);
    termios seen{};
    while (tcgetattr(master, &seen) == 0 && (seen.c_lflag & (ICANON | ECHO)) != 0 &&
           std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    ASSERT_EQ(write(master, c.typed.data(), c.typed.size()), static_cast<ssize_t>(c.typed.size()));
    // The child's report ends with its exit; a wait that does not end is killed after 3 s.
    pollfd ready{report[0], POLLIN, 0};
    int status = -1;
    if (poll(&ready, 1, 3000) != 1) {
      kill(child, SIGKILL);
    }
    char left[64];
    const ssize_t count = read(report[0], left, sizeof left);
    waitpid(child, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
    EXPECT_EQ(std::string(left, count > 0 ? static_cast<size_t>(count) : 0), c.leftOver);
    close(report[0]);
    close(master);
  }
}

}  // namespace
