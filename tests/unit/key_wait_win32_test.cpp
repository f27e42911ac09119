#include "app/key_wait_win32.h"

#include <gtest/gtest.h>

#include <vector>

#include "app/key_wait.h"

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

TEST(KeyRecordEndsWait, CharactersAndExtendedKeysEndItModifiersAndOtherEventsDoNot) {
  const struct {
    const char* name;
    INPUT_RECORD record;
    bool ends;
  } cases[] = {
      {"letter", Key(true, 'A', 'a'), true},
      {"Ctrl+C", Key(true, 'C', 3), true},
      {"Page Up", Key(true, VK_PRIOR), true},
      {"cursor down", Key(true, VK_DOWN), true},
      {"Insert", Key(true, VK_INSERT), true},
      {"Delete", Key(true, VK_DELETE), true},
      {"F1", Key(true, VK_F1), true},
      {"F24", Key(true, VK_F24), true},
      {"Select, past the cursor keys", Key(true, VK_SELECT), false},
      {"Shift alone", Key(true, VK_SHIFT), false},
      {"Caps Lock", Key(true, VK_CAPITAL), false},
      {"Num Lock, past F24", Key(true, VK_NUMLOCK), false},
      {"letter released", Key(false, 'A', 'a'), false},
      {"mouse", Event(MOUSE_EVENT), false},
      {"window size", Event(WINDOW_BUFFER_SIZE_EVENT), false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(KeyRecordEndsWait(c.record), c.ends) << c.name;
  }
}

// Writes key events into the real console and lets WaitForKey read them. Runs in the test
// unit.console, which gives the process a console; skipped elsewhere.
TEST(WaitForKeyOnTheConsole, SkipsToTheFirstKeyThatEndsItAndRestoresTheMode) {
  const HANDLE input =
      CreateFileA("CONIN$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                  nullptr, OPEN_EXISTING, 0, nullptr);
  if (input == INVALID_HANDLE_VALUE) {
    GTEST_SKIP() << "needs a console";
  }
  DWORD original = 0;
  ASSERT_NE(GetConsoleMode(input, &original), 0);
  const DWORD lineMode = ENABLE_LINE_INPUT | ENABLE_ECHO_INPUT | ENABLE_PROCESSED_INPUT;
  ASSERT_NE(SetConsoleMode(input, lineMode), 0);
  FlushConsoleInputBuffer(input);
  const std::vector<INPUT_RECORD> records = {
      Key(true, VK_SHIFT), Key(false, 'X', 'x'), Event(MOUSE_EVENT), Event(FOCUS_EVENT),
      Event(MENU_EVENT),   Key(true, VK_F5),     Key(true, 'B', 'b')};
  DWORD written = 0;
  ASSERT_NE(WriteConsoleInputA(input, records.data(), static_cast<DWORD>(records.size()), &written),
            0);
  ASSERT_EQ(written, records.size());
  WaitForKey();
  // The key after the one that ended the wait is still there.
  INPUT_RECORD next{};
  DWORD count = 0;
  EXPECT_TRUE(PeekConsoleInputA(input, &next, 1, &count) && count == 1 &&
              next.Event.KeyEvent.uChar.AsciiChar == 'b');
  DWORD mode = 0;
  ASSERT_NE(GetConsoleMode(input, &mode), 0);
  EXPECT_EQ(mode, lineMode);
  SetConsoleMode(input, original);
  CloseHandle(input);
}

}  // namespace
