#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

/// A fresh directory under the system's temporary directory, removed with its contents when the
/// object goes.
class TempDir {
 public:
  TempDir() {
    // mkdtemp is not on every platform; the clock and a counter make the name unique enough, and
    // create_directory refuses a name that exists.
    static std::atomic<unsigned> counter{0};
    do {
      const auto stamp = std::chrono::steady_clock::now().time_since_epoch().count() % 1000000;
      path_ = std::filesystem::temp_directory_path() /
              ("torvane-test-" + std::to_string(stamp) + "-" + std::to_string(counter++));
    } while (!std::filesystem::create_directory(path_));
  }
  ~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  std::string File(const std::string& name) const { return (path_ / name).string(); }

 private:
  std::filesystem::path path_;
};

inline void WriteBytes(const std::string& path, const std::vector<uint8_t>& bytes) {
  std::ofstream(path, std::ios::binary)
      .write(reinterpret_cast<const char*>(bytes.data()),
             static_cast<std::streamsize>(bytes.size()));
}

inline std::vector<uint8_t> ReadBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

/// `length` bytes that differ from their neighbours and from the key's period.
inline std::vector<uint8_t> PatternBytes(size_t length, uint32_t seed = 1) {
  std::vector<uint8_t> bytes(length);
  for (uint8_t& byte : bytes) {
    seed = seed * 1103515245u + 12345u;
    byte = static_cast<uint8_t>(seed >> 16);
  }
  return bytes;
}
