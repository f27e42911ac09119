#pragma once

/// Prints the large result banner that closes an update: a line end, the seven rows of the OK
/// banner when `transferResult` is not 0 (the NG banner when it is 0), one print per row, and a
/// line end.
void PrintResultBanner(int transferResult);

/// Waits until one key is pressed on the user's console or terminal and returns; the key is not
/// echoed and not used. Ctrl+C counts as a key. Ends at once when there is no console.
void WaitForKey();
