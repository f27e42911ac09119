#pragma once

/// Blocks the calling thread for about `milliseconds` ms (the platform's sleep).
void PauseMilliseconds(int milliseconds);
