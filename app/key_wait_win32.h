// Which console input records end the key wait on Windows (apart for its tests).
#pragma once

#include <windows.h>

/// True when `record` ends the key wait: a key press that carries a character, or a key press of
/// a key with an extended code (cursor and navigation keys, Insert, Delete, function keys), with
/// or without Shift, Ctrl or Alt. False for key releases, for Shift, Ctrl, Alt, Caps Lock and the
/// like pressed alone, and for every mouse, focus, menu or window-size record.
bool KeyRecordEndsWait(const INPUT_RECORD& record);
