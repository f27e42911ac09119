// SPDX-License-Identifier: Apache-2.0
// The status line's text and its drawing below the progress lines.
#include "devices/status_line.h"

#include <algorithm>

#include "common/text_format.h"

namespace {

// One column less than the narrowest usual terminal, so the line never wraps.
constexpr size_t Columns = 79;
constexpr auto FigureInterval = std::chrono::milliseconds(100);

}  // namespace

void StatusLine::Running(const std::string& address, const std::string& phase, int percent) {
  auto device = std::find_if(running_.begin(), running_.end(),
                             [&address](const Device& each) { return each.address == address; });
  if (device == running_.end()) {
    device = running_.insert(running_.end(), {address, phase, percent});
  }
  const bool figureAlone = device->phase == phase && device->percent != percent;
  *device = {address, phase, percent};
  if (!figureAlone || std::chrono::steady_clock::now() - drawn_ >= FigureInterval) {
    Draw();
  }
}

void StatusLine::Finished(const std::string& address, bool updated) {
  std::erase_if(running_, [&address](const Device& each) { return each.address == address; });
  ++(updated ? done_ : failed_);
}

void StatusLine::WriteAbove(const std::string& line) {
  // The line covers the status line; spaces cover what is left of it.
  const std::string cover(shown_ > line.size() ? shown_ - line.size() : 0, ' ');
  std::fputs(("\r" + line + cover + "\n").c_str(), terminal_);
  shown_ = 0;
  Draw();
}

void StatusLine::Hide() {
  if (shown_ > 0) {
    std::fputs(("\r" + std::string(shown_, ' ') + "\r").c_str(), terminal_);
    std::fflush(terminal_);
    shown_ = 0;
  }
}

std::string StatusLine::Text() const {
  if (running_.empty()) {
    return "";
  }
  // std::to_string, not %zu, which Windows' C library does not know.
  std::string text = std::to_string(done_) + " done, " + std::to_string(failed_) + " failed, " +
                     std::to_string(running_.size()) + " running:";
  for (const Device& device : running_) {
    text += (&device == &running_.front() ? " " : ", ") + device.address + " " + device.phase +
            (device.percent >= 0 ? FormatText(" %d%%", device.percent) : "");
  }
  return text.size() <= Columns ? text : text.substr(0, Columns - 3) + "...";
}

void StatusLine::Draw() {
  const std::string text = Text();
  // Every draw and line starts from the carriage return, wherever the cursor was left.
  const std::string cover(shown_ > text.size() ? shown_ - text.size() : 0, ' ');
  std::fputs(("\r" + text + cover).c_str(), terminal_);
  std::fflush(terminal_);
  shown_ = text.size() + cover.size();
  drawn_ = std::chrono::steady_clock::now();
}
