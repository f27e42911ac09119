// SPDX-License-Identifier: Apache-2.0
// The transfer dialogue against a device whose every reply comes from the fuzzer's bytes: silent
// reads, late replies and datagrams of any length. Every run must stay within the dialogue's
// bounds on reads and sends, pause and close as the protocol says, and report success only after
// a complete verify phase.
#include <cstdlib>
#include <memory>
#include <string>

#include "app/console.h"
#include "tests/unit/scripted_device.h"
#include "transfer/console_transfer_report.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  size_t position = 1;
  auto next = [&] { return position < size ? data[position++] : 0; };
  // To each datagram: the sound device's answer, or up to 3 replies of up to 7 bytes each (none:
  // a silent read), some still on their way; once the bytes are spent, silence.
  ScriptedLink device([&](char, int) -> std::optional<Replies> {
    const int count = next();
    if (position >= size || count % 5 == 4) {
      return position >= size ? std::optional(Replies{}) : std::nullopt;
    }
    Replies replies(count % 4);
    for (std::string& reply : replies) {
      const int shape = next();
      reply = shape & 8 ? "~" : "";
      for (int i = 0; i < shape % 8; ++i) {
        reply += static_cast<char>(next());
      }
    }
    return replies;
  });
  static const auto image = std::make_unique<ImageBuffer>();
  const long blocks = 1 + (size > 0 ? data[0] % 4 : 0);
  image->size = static_cast<int32_t>(blocks * 256);
  ConsoleCapture console;
  ConsoleTransferReport report;
  const int result = RunTransferSequence(device, *image, "127.0.0.1", report);

  // 2 reads for the opening and 2 per probe; in each of at most 30 cycles the echo, 35 erase reads,
  // up to 5 tries of 3 reads per record in two phases, and 3 after a failure. Sends: "S", ten
  // probes, per cycle the "E", the records' tries and the finish, then five closing "R"s.
  long sends = 0;
  for (const auto& [command, count] : device.sent) {
    sends += count;
  }
  const std::string& text = console.Text();
  if (result < 0 || result > 1 || device.reads > 2 + 20 + 30 * (1 + 35 + 30 * blocks + 3) ||
      sends > 1 + 10 + 30 * (2 + 10 * blocks) + 5 ||
      device.events != "500 open connect 127.0.0.1:36 10 10 10 10 10 close" ||
      (result == 1 && (text.find("Verify") == std::string::npos || !text.ends_with("100 %\n")))) {
    std::abort();
  }
  return 0;
}
