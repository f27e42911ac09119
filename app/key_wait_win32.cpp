// SPDX-License-Identifier: Apache-2.0
// The final key wait on Windows: one key press read from the console's input records.
#include <windows.h>

#include "app/key_wait.h"

namespace {

// Keys that bring no character but an extended code: the navigation block (Page Up, Page Down,
// End, Home and the cursor keys), Insert, Delete and the function keys.
bool HasExtendedCode(WORD virtualKey) {
  return (virtualKey >= VK_PRIOR && virtualKey <= VK_DOWN) || virtualKey == VK_INSERT ||
         virtualKey == VK_DELETE || (virtualKey >= VK_F1 && virtualKey <= VK_F24);
}

// True when `record` ends the key wait: a key press that carries a character, or a key press of
// a key with an extended code, with or without Shift, Ctrl or Alt. False for key releases, for
// Shift, Ctrl, Alt, Caps Lock and the like pressed alone, and for every mouse, focus, menu or
// window-size record.
bool KeyRecordEndsWait(const INPUT_RECORD& record) {
  if (record.EventType != KEY_EVENT || !record.Event.KeyEvent.bKeyDown) {
    return false;
  }
  const KEY_EVENT_RECORD& key = record.Event.KeyEvent;
  return key.uChar.AsciiChar != 0 || HasExtendedCode(key.wVirtualKeyCode);
}

}  // namespace

void WaitForKey() {
  // The console itself, even when standard input is redirected; opened at the first use.
  static const HANDLE input =
      CreateFileA("CONIN$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                  nullptr, OPEN_EXISTING, 0, nullptr);
  DWORD savedMode = 0;
  if (input == INVALID_HANDLE_VALUE || !GetConsoleMode(input, &savedMode)) {
    return;  // no console: nobody to wait for
  }
  // No line input, no echo, no processed input: Ctrl+C arrives as a key, not as an interrupt.
  SetConsoleMode(input, 0);
  for (;;) {
    INPUT_RECORD record;
    DWORD count = 0;
    if (!ReadConsoleInputA(input, &record, 1, &count) || count == 0 || KeyRecordEndsWait(record)) {
      break;
    }
  }
  SetConsoleMode(input, savedMode);
}
