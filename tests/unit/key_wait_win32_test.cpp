// SPDX-License-Identifier: Apache-2.0
// The key wait on a real Windows console: records that are no key press of a character or an
// extended key are passed over, the key after the one that ended the wait stays, and the console's
// mode comes back. Skipped without a console.
#include <windows.h>

#include <gtest/gtest.h>

#include <vector>

#include "app/key_wait.h"

namespace {

INPUT_RECORD Key(WORD virtualKey, char character = 0, bool down = true) {
  INPUT_RECORD record{KEY_EVENT, {}};
  record.Event.KeyEvent = {down ? TRUE : FALSE, 1, virtualKey, 0, {}, 0};
  record.Event.KeyEvent.uChar.AsciiChar = character;
  return record;
}

TEST(WaitForKeyOnTheConsole, EndsAtTheFirstKeyAndLeavesTheNext) {
  const HANDLE input =
      CreateFileA("CONIN$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                  nullptr, OPEN_EXISTING, 0, nullptr);
  if (input == INVALID_HANDLE_VALUE) {
    GTEST_SKIP() << "needs a console";
  }
  DWORD original = 0;
  ASSERT_NE(GetConsoleMode(input, &original), 0);
  // Without processed input, so that a Ctrl+C written stays a record and raises no event.
  const DWORD lineMode = ENABLE_LINE_INPUT | ENABLE_ECHO_INPUT;
  // Shift, Num Lock (past F24) and Select (past the cursor keys) alone, a letter released, and
  // mouse, focus, menu and window-size records: none ends the wait.
  const std::vector<INPUT_RECORD> passedOver = {
      Key(VK_SHIFT),     Key(VK_NUMLOCK),   Key(VK_SELECT),   Key('X', 'x', false),
      {MOUSE_EVENT, {}}, {FOCUS_EVENT, {}}, {MENU_EVENT, {}}, {WINDOW_BUFFER_SIZE_EVENT, {}}};
  // A letter, Ctrl+C, Page Up, Delete and F24 each end it.
  const INPUT_RECORD cases[] = {Key('A', 'a'), Key('C', 3), Key(VK_PRIOR), Key(VK_DELETE),
                                Key(VK_F24)};
  for (const INPUT_RECORD& key : cases) {
    SCOPED_TRACE(key.Event.KeyEvent.wVirtualKeyCode);
    ASSERT_NE(SetConsoleMode(input, lineMode), 0);
    FlushConsoleInputBuffer(input);
    std::vector<INPUT_RECORD> records = passedOver;
    records.push_back(key);
    // Taken by the wait when the key before it did not end it, so that it cannot hang.
    records.push_back(Key('B', 'b'));
    DWORD written = 0;
    ASSERT_NE(WriteConsoleInputA(input, records.data(), records.size(), &written), 0);
    WaitForKey();
    INPUT_RECORD next{};
    DWORD count = 0;
    EXPECT_TRUE(PeekConsoleInputA(input, &next, 1, &count) && count == 1 &&
                next.Event.KeyEvent.uChar.AsciiChar == 'b');
    DWORD mode = 0;
    EXPECT_TRUE(GetConsoleMode(input, &mode) && mode == lineMode);
  }
  SetConsoleMode(input, original);
  CloseHandle(input);
}

}  // namespace
