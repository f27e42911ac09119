// How the key wait reads a key from the terminal: a cursor or function key (an escape sequence)
// or a multi-byte character is one key, taken whole, and the next key stays for the shell. The
// end-to-end suite covers the rest through a pseudo-terminal: a letter, Ctrl+C, a key typed ahead,
// no terminal, the key not echoed and the terminal's settings restored.
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>

#include "app/key_wait.h"

namespace {

TEST(KeyWaitPosix, TakesOneWholeKeyAndLeavesTheNext) {
  const struct {
    const char* name;
    std::string typed;
    int leftOver;  // bytes
  } cases[] = {
      {"letter", "a", 0},
      {"lone Esc", "\x1b", 0},
      {"cursor up", "\x1b[Az", 1},
      {"F5", "\x1b[15~z", 1},
      {"Ctrl+cursor right", "\x1b[1;5Cz", 1},
      {"F1 as SS3", "\x1bOPz", 1},
      {"F1 on the Linux console", "\x1b[[Az", 1},
      {"two-byte character", "\xc3\xa9z", 1},
      {"a second key", "ab", 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const int master = posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_TRUE(master >= 0 && grantpt(master) == 0 && unlockpt(master) == 0);
    const std::string slaveName = ptsname(master);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      // In a session whose controlling terminal is the pseudo-terminal: wait for the key, then
      // exit with the count of bytes left unread (line input off, so that all of them count).
      alarm(5);
      setsid();
      const int terminal = open(slaveName.c_str(), O_RDWR);
      if (terminal < 0 || ioctl(terminal, TIOCSCTTY, 0) != 0) {
        _exit(100);
      }
      WaitForKey();
      termios raw{};
      tcgetattr(terminal, &raw);
      raw.c_lflag &= ~static_cast<tcflag_t>(ICANON);
      tcsetattr(terminal, TCSANOW, &raw);
      int unread = 0;
      ioctl(terminal, FIONREAD, &unread);
      _exit(unread);
    }
    // Type only once the wait has switched line input and echo off.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(3);
    termios seen{};
    while (tcgetattr(master, &seen) == 0 && (seen.c_lflag & (ICANON | ECHO)) != 0 &&
           std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    ASSERT_EQ(write(master, c.typed.data(), c.typed.size()), static_cast<ssize_t>(c.typed.size()));
    int status = 0;
    waitpid(child, &status, 0);  // the child's alarm bounds the wait
    EXPECT_TRUE(WIFEXITED(status)) << "the wait did not end: status " << status;
    EXPECT_EQ(WEXITSTATUS(status), c.leftOver);
    close(master);
  }
}

}  // namespace
