// SPDX-License-Identifier: Apache-2.0
// Which devices a command concerns: discovery by broadcast, the identification of each device,
// and the plan of an update, before anything is written to any device.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "devices/command_line.h"
#include "devices/reporter.h"

/// Broadcasts one discovery request as `options` say (`broadcast`, `waitSeconds`) and returns the
/// addresses that answered, each once, in numeric order. Nothing when no socket could be opened;
/// that, and an empty list, is said on standard error (`Complain`).
std::optional<std::vector<std::string>> FindDevices(const DevicesOptions& options);

/// Asks each of `addresses` who it is, one after another, each over a socket of its own.
std::vector<ListedDevice> IdentifyAll(const std::vector<std::string>& addresses);

/// The devices of an update, in their order, as records not yet started (`Skipped` without a
/// reason): the addresses given, or with `all` every device that discovery finds, where those that
/// are not of the supported type or did not answer to identify carry their reason already.
std::vector<DeviceRecord> PlanUpdate(const DevicesOptions& options);
