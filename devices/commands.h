// SPDX-License-Identifier: Apache-2.0
// The commands of torvane-devices, list, info and update, and the exit statuses they end with.
#pragma once

#include "devices/command_line.h"
#include "devices/reporter.h"

/// Exit statuses: everything asked for was done; some device failed or none was found; the
/// command line or the image was refused before anything was sent.
inline constexpr int ExitDone = 0;
inline constexpr int ExitFailed = 1;
inline constexpr int ExitUsage = 2;

/// Runs the command of `options` (not None), showing it through `reporter`. Returns the exit
/// status: for list, `ExitDone` when at least one device answered; for info, when the device
/// answered (of any type); for update, when every device was updated or left out for a reason
/// that is no failure. `ExitUsage` when the image or the journal cannot be used. An update stopped
/// from outside returns the stop's status (`StopExitStatus`: 130 or 143) whatever its devices did.
int RunDevicesCommand(const DevicesOptions& options, Reporter& reporter);
