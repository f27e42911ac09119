// SPDX-License-Identifier: Apache-2.0
// The reporter for scripts that read one result: one JSON document on standard output, progress
// and notes on standard error.
#include "devices/progress_lines.h"
#include "devices/run_document.h"

namespace {

class JsonReporter final : public ProgressLines {
 public:
  explicit JsonReporter(std::string command)
      : ProgressLines(stderr), command_(std::move(command)) {}

  void Note(const std::string& text) override {
    ProgressLines::Note(text);
    notes_.push_back(text);
  }
  void Devices(const ListRun& run) override {
    WriteLine(stdout, JsonText(ListDocument(command_, run, notes_), 2));
  }
  void Updates(const UpdateRun& run) override {
    WriteLine(stdout, JsonText(UpdateDocument(run, notes_), 2));
  }

 private:
  std::string command_;
  std::vector<std::string> notes_;
};

}  // namespace

std::unique_ptr<Reporter> MakeJsonReporter(const std::string& command) {
  return std::make_unique<JsonReporter>(command);
}
