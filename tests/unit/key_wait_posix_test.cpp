#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>

#include "app/result_banner.h"

namespace {

constexpr auto Limit = std::chrono::seconds(3);

// What the child reports through its exit status.
enum ChildStatus { Ok = 0, SettingsNotRestored = 2, NoTerminal = 3 };

// Waits for `child` for at most `Limit`; kills it by its pid when it is still there.
int WaitForChild(pid_t child) {
  const auto deadline = std::chrono::steady_clock::now() + Limit;
  int status = 0;
  while (waitpid(child, &status, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() > deadline) {
      kill(child, SIGKILL);
      waitpid(child, &status, 0);
      return -1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return status;
}

std::string ReadAvailable(int handle) {
  std::string bytes;
  char buffer[64];
  pollfd ready{handle, POLLIN, 0};
  while (poll(&ready, 1, 0) == 1 && (ready.revents & POLLIN) != 0) {
    const ssize_t count = read(handle, buffer, sizeof buffer);
    if (count <= 0) {
      break;
    }
    bytes.append(buffer, static_cast<size_t>(count));
  }
  return bytes;
}

// In a new session whose controlling terminal is `slaveName`: waits for a key, checks that the
// terminal's settings came back, and writes to `report` what input the wait left unread.
[[noreturn]] void RunChild(const char* slaveName, int report) {
  alarm(5);
  setsid();
  const int terminal = open(slaveName, O_RDWR);
  if (terminal < 0 || ioctl(terminal, TIOCSCTTY, 0) != 0) {
    _exit(NoTerminal);
  }
  termios before{};
  tcgetattr(terminal, &before);
  WaitForKey();
  termios after{};
  tcgetattr(terminal, &after);
  if (after.c_lflag != before.c_lflag || after.c_iflag != before.c_iflag ||
      after.c_cc[VMIN] != before.c_cc[VMIN] || after.c_cc[VTIME] != before.c_cc[VTIME]) {
    _exit(SettingsNotRestored);
  }
  termios peek = after;
  peek.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO | ISIG);
  peek.c_cc[VMIN] = 0;
  peek.c_cc[VTIME] = 0;
  tcsetattr(terminal, TCSANOW, &peek);
  char left[64];
  const ssize_t count = read(terminal, left, sizeof left);
  if (count > 0) {
    write(report, left, static_cast<size_t>(count));
  }
  tcsetattr(terminal, TCSANOW, &after);
  _exit(Ok);
}

struct KeyCase {
  const char* name;
  std::string typed;
  std::string leftOver;
};

TEST(KeyWaitTest, OneKeyEndsTheWaitUnechoedAndTheTerminalIsRestored) {
  const KeyCase cases[] = {
      {"letter", "a", ""},
      {"Ctrl+C is a key, not a signal", "\x03", ""},
      {"Enter", "\r", ""},
      {"lone Esc", "\x1b", ""},
      {"cursor up", "\x1b[Az", "z"},
      {"F5", "\x1b[15~z", "z"},
      {"Ctrl+cursor right", "\x1b[1;5Cz", "z"},
      {"F1 as SS3", "\x1bOPz", "z"},
      {"F1 on the Linux console", "\x1b[[Az", "z"},
      {"two-byte character", "\xc3\xa9z", "z"},
      {"second key stays", "ab", "b"},
  };
  for (const KeyCase& c : cases) {
    SCOPED_TRACE(c.name);
    const int master = posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_GE(master, 0);
    ASSERT_EQ(grantpt(master), 0);
    ASSERT_EQ(unlockpt(master), 0);
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

    // Type only once the wait has switched line input off, or Ctrl+C would be a signal.
    termios seen{};
    const auto deadline = std::chrono::steady_clock::now() + Limit;
    while (tcgetattr(master, &seen) == 0 && (seen.c_lflag & ICANON) != 0 &&
           std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    EXPECT_EQ(seen.c_lflag & (ICANON | ECHO | ISIG), 0u);
    ASSERT_EQ(write(master, c.typed.data(), c.typed.size()), static_cast<ssize_t>(c.typed.size()));

    const int status = WaitForChild(child);
    EXPECT_TRUE(WIFEXITED(status)) << "status " << status;
    EXPECT_EQ(WEXITSTATUS(status), Ok);
    EXPECT_EQ(ReadAvailable(report[0]), c.leftOver);
    EXPECT_EQ(ReadAvailable(master), "") << "the key was echoed";
    close(report[0]);
    close(master);
  }
}

TEST(KeyWaitTest, WithoutATerminalTheWaitEndsAtOnce) {
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    alarm(5);
    setsid();  // a new session has no controlling terminal
    WaitForKey();
    _exit(Ok);
  }
  const auto start = std::chrono::steady_clock::now();
  const int status = WaitForChild(child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == Ok) << "status " << status;
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
}

}  // namespace
