#include "app/key_wait_win32.h"

#include <gtest/gtest.h>

#include <vector>

#include "app/result_banner.h"

namespace {

INPUT_RECORD Key(bool down, WORD virtualKey, char character = 0) {
  INPUT_RECORD record{};
  record.EventType = KEY_EVENT;
  record.Event.KeyEvent.bKeyDown = down ? TRUE : FALSE;
  record.Event.KeyEvent.wRepeatCount = 1;
  record.Event.KeyEvent.wVirtualKeyCode = virtualKey;
  record.Event.KeyEvent.uChar.AsciiChar = character;
  return record;
}

INPUT_RECORD Event(WORD type) {
  INPUT_RECORD record{};
  record.EventType = type;
  return record;
}

INPUT_RECORD WithModifiers(INPUT_RECORD record, DWORD modifiers) {
  record.Event.KeyEvent.dwControlKeyState = modifiers;
  return record;
}

TEST(KeyRecordEndsWait, CharactersAndExtendedKeysEndItModifiersAndOtherEventsDoNot) {
  struct Case {
    const char* name;
    INPUT_RECORD record;
    bool ends;
  };
  const Case cases[] = {
      {"letter", Key(true, 'A', 'a'), true},
      {"Enter", Key(true, VK_RETURN, '\r'), true},
      {"Esc", Key(true, VK_ESCAPE, 27), true},
      {"Ctrl+C", WithModifiers(Key(true, 'C', 3), LEFT_CTRL_PRESSED), true},
      {"F1", Key(true, VK_F1), true},
      {"F12", Key(true, VK_F12), true},
      {"cursor left", Key(true, VK_LEFT), true},
      {"cursor down", Key(true, VK_DOWN), true},
      {"Page Up", Key(true, VK_PRIOR), true},
      {"Home", Key(true, VK_HOME), true},
      {"Insert", Key(true, VK_INSERT), true},
      {"Delete", Key(true, VK_DELETE), true},
      {"Shift+F5", WithModifiers(Key(true, VK_F5), SHIFT_PRESSED), true},
      {"Ctrl+End", WithModifiers(Key(true, VK_END), RIGHT_CTRL_PRESSED), true},
      {"Alt+Up", WithModifiers(Key(true, VK_UP), LEFT_ALT_PRESSED), true},
      {"Shift alone", Key(true, VK_SHIFT), false},
      {"Ctrl alone", WithModifiers(Key(true, VK_CONTROL), LEFT_CTRL_PRESSED), false},
      {"Alt alone", WithModifiers(Key(true, VK_MENU), LEFT_ALT_PRESSED), false},
      {"Caps Lock", Key(true, VK_CAPITAL), false},
      {"Num Lock", Key(true, VK_NUMLOCK), false},
      {"letter released", Key(false, 'A', 'a'), false},
      {"F1 released", Key(false, VK_F1), false},
      {"mouse", Event(MOUSE_EVENT), false},
      {"focus", Event(FOCUS_EVENT), false},
      {"menu", Event(MENU_EVENT), false},
      {"window size", Event(WINDOW_BUFFER_SIZE_EVENT), false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(KeyRecordEndsWait(c.record), c.ends) << c.name;
  }
}

TEST(WaitForKeyWithoutConsole, EndsAtOnce) {
  const HANDLE input = CreateFileA("CONIN$", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                   nullptr, OPEN_EXISTING, 0, nullptr);
  if (input != INVALID_HANDLE_VALUE) {
    CloseHandle(input);
    GTEST_SKIP() << "this run has a console";
  }
  WaitForKey();  // a wait here would run into the test's time-out
}

// Writes key events into the real console and lets WaitForKey read them. Runs in the test
// unit.console, which gives the process a console; skipped elsewhere.
class WaitForKeyOnTheConsole : public ::testing::Test {
 protected:
  void SetUp() override {
    input_ = CreateFileA("CONIN$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                         nullptr, OPEN_EXISTING, 0, nullptr);
    if (input_ == INVALID_HANDLE_VALUE) {
      GTEST_SKIP() << "needs a console";
    }
    ASSERT_NE(GetConsoleMode(input_, &originalMode_), 0);
    FlushConsoleInputBuffer(input_);
  }
  void TearDown() override {
    if (input_ != INVALID_HANDLE_VALUE) {
      SetConsoleMode(input_, originalMode_);
      CloseHandle(input_);
    }
  }

  void Queue(const std::vector<INPUT_RECORD>& records) {
    DWORD written = 0;
    ASSERT_NE(
        WriteConsoleInputA(input_, records.data(), static_cast<DWORD>(records.size()), &written),
        0);
    ASSERT_EQ(written, records.size());
  }
  // The character of the first record still queued, or -1 when none is.
  int NextCharacter() const {
    INPUT_RECORD record{};
    DWORD count = 0;
    if (!PeekConsoleInputA(input_, &record, 1, &count) || count == 0) {
      return -1;
    }
    return record.Event.KeyEvent.uChar.AsciiChar;
  }

  HANDLE input_ = INVALID_HANDLE_VALUE;
  DWORD originalMode_ = 0;
};

TEST_F(WaitForKeyOnTheConsole, SkipsAllButAKeyPressAndStopsAtTheFirst) {
  Queue({Key(true, VK_SHIFT), Key(true, VK_CONTROL), Key(true, VK_MENU), Key(true, VK_CAPITAL),
         Key(false, 'X', 'x'), Event(MOUSE_EVENT), Event(FOCUS_EVENT), Event(MENU_EVENT),
         Event(WINDOW_BUFFER_SIZE_EVENT), Key(true, 'A', 'a'), Key(true, 'B', 'b')});
  WaitForKey();
  EXPECT_EQ(NextCharacter(), 'b');  // the key after the one that ended the wait
}

TEST_F(WaitForKeyOnTheConsole, KeyWithAnExtendedCodeEndsIt) {
  Queue({Key(true, VK_SHIFT), Key(true, VK_F5), Key(true, 'B', 'b')});
  WaitForKey();
  EXPECT_EQ(NextCharacter(), 'b');
}

TEST_F(WaitForKeyOnTheConsole, RestoresTheInputMode) {
  const DWORD lineMode = ENABLE_LINE_INPUT | ENABLE_ECHO_INPUT | ENABLE_PROCESSED_INPUT;
  ASSERT_NE(SetConsoleMode(input_, lineMode), 0);
  Queue({Key(true, 'A', 'a')});
  WaitForKey();
  DWORD mode = 0;
  ASSERT_NE(GetConsoleMode(input_, &mode), 0);
  EXPECT_EQ(mode, lineMode);
}

}  // namespace
