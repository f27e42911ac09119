#pragma once

// Files, images and datagrams that several unit tests build.
#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "image/image_buffer.h"

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

/// The image that loading `file` leaves: its bytes XOR the key, zeros XOR the key past them, and
/// its size in whole blocks (at most the capacity).
inline std::unique_ptr<ImageBuffer> LoadedImage(const std::vector<uint8_t>& file) {
  auto image = std::make_unique<ImageBuffer>();
  std::copy_n(file.begin(), std::min<size_t>(file.size(), ImageCapacity), image->bytes.begin());
  image->size =
      static_cast<int32_t>(std::min<size_t>((file.size() + 255) / 256 * 256, ImageCapacity));
  ApplyImageKey(*image);
  return image;
}

/// A 20-byte management request as the device reads it: 43 21 30 `code`, then zeros.
inline std::vector<uint8_t> ManagementRequest(uint8_t code) {
  std::vector<uint8_t> request(20, 0);
  request[0] = 0x43;
  request[1] = 0x21;
  request[2] = 0x30;
  request[3] = code;
  return request;
}

/// The 104-byte setting record as the device reads it, for the device `id`.
inline std::vector<uint8_t> SettingRecordBytes(const std::array<uint8_t, 6>& id,
                                               const std::string& text) {
  std::vector<uint8_t> record(104, 0);
  const uint8_t header[] = {0x43, 0x21, 0x30, 0x3F, 3, 6};
  std::copy(std::begin(header), std::end(header), record.begin());
  std::copy(id.begin(), id.end(), record.begin() + 6);
  record[12] = 5;
  record[13] = static_cast<uint8_t>(text.size());
  std::copy(text.begin(), text.end(), record.begin() + 14);
  return record;
}
