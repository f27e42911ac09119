#include "temp_dir.h"

#include <atomic>
#include <chrono>

std::filesystem::path TempDir::MakeUnique(const std::string& pattern) {
  // mkdtemp is not on every platform; a counter and the clock make the name unique enough for
  // one test process, and create_directory refuses a name that exists.
  static std::atomic<unsigned> counter{0};
  const auto base = pattern.substr(0, pattern.size() - 6);
  for (;;) {
    const auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
    std::filesystem::path candidate =
        base + std::to_string(stamp % 1000000) + "-" + std::to_string(counter++);
    if (std::filesystem::create_directory(candidate)) {
      return candidate;
    }
  }
}
