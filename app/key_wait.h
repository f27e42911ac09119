// SPDX-License-Identifier: Apache-2.0
// The final wait for one key press, on the user's console or terminal.
#pragma once

/// Waits until one key is pressed on the user's console or terminal and returns; the key is not
/// echoed and not used. Ctrl+C counts as a key. Ends at once when there is no console. On POSIX a
/// signal that ends the program meanwhile puts the terminal back first, and SIGTSTP puts it back
/// before the program stops and changes it again once the program is continued.
void WaitForKey();
