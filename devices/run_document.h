// SPDX-License-Identifier: Apache-2.0
// A run as JSON of format 1: the document that --json prints and that --events ends with, and the
// entries of its devices, which the events carry as well.
#pragma once

#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "devices/run_record.h"

/// Objects keep their members in the order they were added, as the manual page shows them.
using Json = nlohmann::ordered_json;

/// The format of every document and event: format 1 only ever gains members.
inline constexpr int DocumentFormat = 1;

/// `time` as RFC 3339 text in UTC to the millisecond ("2026-12-07T20:11:19.123Z"), or null.
Json TimeJson(const std::optional<WallClock::time_point>& time);

/// An address, or null when it is empty; an id as "00:1b:2c:3d:4e:5f", or null.
Json AddressJson(const std::string& address);
Json IdJson(const std::optional<DeviceId>& id);

/// A device of list or info: address, answered, type, supported, id, reason.
Json ListedEntry(const ListedDevice& device);

/// A device of an update: address, id, type, result, reason, the failed step (name, number and
/// text), attempts, failed cycles, whether a setting was written, its times.
Json UpdateEntry(const DeviceRecord& device);

/// The document of list or info (`command`), with the notes that standard error showed.
Json ListDocument(const std::string& command, const ListRun& run,
                  const std::vector<std::string>& notes);

/// The document of update.
Json UpdateDocument(const UpdateRun& run, const std::vector<std::string>& notes);

/// `value` on one line; text that is not UTF-8 has its bytes replaced rather than fail.
std::string JsonText(const Json& value, int indent = -1);
