// SPDX-License-Identifier: Apache-2.0
// The text of the simulator's log: one line per datagram, "KIND STEP BLOCK OUTCOME DETAIL" (see
// torvane-devsim(1)), and the pieces its details are made of.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "common/dotted_quad.h"
#include "sim/fault_script.h"

namespace devsim {

/// "from A.B.C.D:PORT".
std::string From(const AddressBytes& address, uint16_t port);

/// The bytes as the log shows them: printable ASCII as is, everything else (and the quote and the
/// backslash) as "\xNN", so that the exact bytes can be read back.
std::string Escape(std::span<const uint8_t> bytes);

/// "1 block", "3 blocks".
std::string Plural(size_t count, const char* noun);

/// A log line: its four fields, "-" for a step or block that does not apply (0 or less, below 0),
/// and the detail after a space when there is one.
std::string LogLine(const char* kind, int step, int64_t block, const char* outcome,
                    const std::string& detail = "");

/// The replies as the log lists them after the line: " ->" and one token per datagram (its bytes
/// escaped, "(+Nms)" when late, in parentheses with " dropped" when dropped), a run of three or
/// more alike counted ("0*34"); " -> (silent)" for none.
std::string ListReplies(const std::vector<PlayedReply>& replies);

/// The token of `count` replies of `text`, each `delayMilliseconds` late, as `ListReplies` shows
/// them: for the management replies, which only the log describes.
std::string ListReplies(const std::string& text, int delayMilliseconds, int count);

}  // namespace devsim
