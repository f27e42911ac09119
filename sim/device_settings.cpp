// Reads the step names of the transfer faults ("P3", "E.1", "T10").
#include "sim/device_settings.h"

#include <charconv>

namespace devsim {

std::optional<DialogueStep> ParseDialogueStep(std::string_view text) {
  if (text.empty()) {
    return std::nullopt;
  }
  DialogueStep step;
  step.kind = text[0];
  if (std::string_view("STEPVR").find(step.kind) == std::string_view::npos) {
    return std::nullopt;
  }
  text.remove_prefix(1);
  if (text.ends_with(".1")) {
    step.completion = true;
    text.remove_suffix(2);
  }
  if (text.empty()) {
    return step;
  }
  if (step.kind == 'S' || step.kind == 'R') {
    return std::nullopt;
  }
  int number = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), number);
  if (error != std::errc() || end != text.data() + text.size()) {
    return std::nullopt;
  }
  const bool blockStep = step.kind == 'P' || step.kind == 'V';
  const int lowest = blockStep ? 0 : 1;
  const int highest = blockStep ? 511 : step.kind == 'T' ? 10 : 1000;
  if (number < lowest || number > highest) {
    return std::nullopt;
  }
  step.index = number;
  return step;
}

}  // namespace devsim
