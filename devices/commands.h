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
/// status: for list, `ExitDone` when at least one device answered discovery; for info, when every
/// device named answered (of any type); for update (a dry run alike), when no device failed, timed
/// out or was left out for want of it (an id not found or shared, the canary, the failure limit)
/// and at least one was updated, would be, or was already. `ExitUsage` when the image cannot be
/// used: nothing was sent.
int RunDevicesCommand(const DevicesOptions& options, Reporter& reporter);
