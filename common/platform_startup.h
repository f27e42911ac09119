// SPDX-License-Identifier: Apache-2.0
// What start-up asks of the platform: signals, the application framework and the socket library.
#pragma once

/// Keeps a failed write from ending the process, so that the write reports its failure instead.
/// On POSIX, SIGPIPE and SIGXFSZ are ignored: a log reader that went away must not stop an update
/// in the middle of the flash, and a file-size limit shows as "Unable to write file". Nothing to
/// do on Windows, whose writes raise no signal. Call it first.
void IgnoreWriteFailureSignals();

/// Initialises the application framework. On Windows this adds the flags 0x8001 to the process's
/// error mode (no critical-error and no open-file-error message boxes); on POSIX there is nothing
/// to initialise. Returns 1 on success, 0 on failure (nothing printed here).
int InitializeFramework();

/// Starts the platform's socket library for the whole run. On Windows this asks for Windows
/// Sockets 1.1 and succeeds only when exactly 1.1 is granted; on POSIX there is nothing to start.
/// Returns 1 on success, 0 on failure (nothing printed here).
int StartSocketLibrary();

/// Shuts the socket library down after a successful start; does nothing otherwise.
void StopSocketLibrary();
