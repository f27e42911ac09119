// SPDX-License-Identifier: Apache-2.0
// The simulator's log text: the fields of a line, escaped bytes and the list of replies sent.
#include "sim/log_text.h"

#include "common/text_format.h"

namespace devsim {

namespace {

// A reply in the log: `text`, and its delay when it has one.
std::string Token(const std::string& text, int delayMilliseconds) {
  return text + (delayMilliseconds > 0 ? FormatText("(+%dms)", delayMilliseconds) : "");
}

// " ->" and `tokens`, a run of three or more alike counted ("0*34").
std::string ListTokens(const std::vector<std::string>& tokens) {
  std::string text = tokens.empty() ? " -> (silent)" : " ->";
  for (size_t i = 0; i < tokens.size();) {
    size_t run = 1;
    while (i + run < tokens.size() && tokens[i + run] == tokens[i]) {
      ++run;
    }
    text += " " + tokens[i] + (run > 2 ? FormatText("*%zu", run) : run == 2 ? " " + tokens[i] : "");
    i += run;
  }
  return text;
}

}  // namespace

std::string From(const AddressBytes& address, uint16_t port) {
  return "from " + FormatAddress(address) + FormatText(":%u", port);
}

std::string Escape(std::span<const uint8_t> bytes) {
  std::string text;
  for (const uint8_t byte : bytes) {
    if (byte >= 0x20 && byte < 0x7F && byte != '"' && byte != '\\') {
      text += static_cast<char>(byte);
    } else {
      text += FormatText("\\x%02x", byte);
    }
  }
  return text;
}

std::string Plural(size_t count, const char* noun) {
  return FormatText("%zu %s%s", count, noun, count == 1 ? "" : "s");
}

std::string LogLine(const char* kind, int step, int64_t block, const char* outcome,
                    const std::string& detail) {
  const std::string stepField = step > 0 ? std::to_string(step) : "-";
  const std::string blockField = block >= 0 ? std::to_string(block) : "-";
  return FormatText("%s %s %s %s", kind, stepField.c_str(), blockField.c_str(), outcome) +
         (detail.empty() ? "" : " " + detail);
}

std::string ListReplies(const std::vector<PlayedReply>& replies) {
  std::vector<std::string> tokens;
  for (const PlayedReply& played : replies) {
    const std::string token = Token(Escape(played.reply.bytes), played.reply.delayMilliseconds);
    tokens.push_back(played.dropped ? "(" + token + " dropped)" : token);
  }
  return ListTokens(tokens);
}

std::string ListReplies(const std::string& text, int delayMilliseconds, int count) {
  return ListTokens(std::vector<std::string>(count, Token(text, delayMilliseconds)));
}

}  // namespace devsim
