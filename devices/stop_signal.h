// SPDX-License-Identifier: Apache-2.0
// Stop requests from outside during an update: SIGINT and SIGTERM, or on Windows Ctrl+C,
// Ctrl+Break and the console being closed. They are counted, so that the run ends in order.
#pragma once

/// What asked the run to stop: a POSIX signal, or a Windows console event.
enum class StopCause { None, SigInt, SigTerm, ControlC, ControlBreak, ControlClose };

/// From now on, the platform's stop requests are counted instead of ending the process: SIGINT and
/// SIGTERM on POSIX; Ctrl+C, Ctrl+Break and the console's closing on Windows, where a closing
/// counts as two, since the system ends the process a few seconds later. The handlers only count.
void CatchStopRequests();

/// Called first on each thread that the run starts besides the main one: on POSIX the stop
/// signals are then taken by the main thread alone, so that none interrupts a worker's socket call
/// (a receive with a time-out would fail rather than resume). Nothing to do on Windows.
void LeaveStopRequestsToMainThread();

/// How many stop requests came so far: 0, 1, 2 or more. Safe from any thread.
int StopRequestCount();

/// What asked first; `None` while nothing did.
StopCause FirstStopCause();

/// The cause as the run records it: "SIGINT", "SIGTERM", "CTRL_C", "CTRL_BREAK", "CTRL_CLOSE";
/// empty for `None`.
const char* StopCauseName(StopCause cause);

/// The exit status after a stop: 130 for SIGINT and Ctrl+C, 143 for the others (128 + SIGTERM's
/// number, which Windows takes for Ctrl+Break and the closing too).
int StopExitStatus(StopCause cause);

/// Counts `weight` stop requests for `cause`; the first cause is kept. Only lock-free atomic
/// operations, so a signal handler may call it.
void RecordStopRequest(StopCause cause, int weight = 1);
