// SPDX-License-Identifier: Apache-2.0
// The image buffer, the build-time image key, and loading and encoding image files.
#pragma once

#include <array>
#include <cstdint>
#include <string>

/// Bytes an image may have; a longer file is cut here.
inline constexpr int ImageCapacity = 131072;

/// Images travel and are encoded in whole blocks of this many bytes.
inline constexpr int ImageBlockSize = 256;

/// The firmware image of the run. After a load, `bytes` holds the file XORed with the
/// `ImageKey` (and key bytes past the file's end), and `size` is the file's length rounded up to
/// a multiple of `ImageBlockSize`, at most `ImageCapacity`.
struct ImageBuffer {
  std::array<uint8_t, ImageCapacity> bytes{};
  int32_t size = 0;
};

/// The one image buffer of the run: cleared at start-up, filled once by `LoadImageFile` or
/// `EncodeImageFile`, then only read.
extern ImageBuffer imageBuffer;

/// The 32-byte key fixed at build time. Byte i of a stretch is XORed with ImageKey[i % 32].
inline constexpr std::array<uint8_t, 32> ImageKey = {
    0x6B, 0xD2, 0x19, 0xA7, 0x3C, 0xF0, 0x85, 0x4E, 0x91, 0x2D, 0xC8, 0x57, 0x0E, 0xB3, 0x7A, 0xE4,
    0x25, 0x9F, 0x68, 0xC1, 0x50, 0x0B, 0xDE, 0x36, 0xAF, 0x74, 0x13, 0xE9, 0x8A, 0x42, 0xFD, 0x97,
};

/// XORs all `ImageCapacity` bytes of `image` with the key, whatever its size.
void ApplyImageKey(ImageBuffer& image);

/// How reading an image file for an update went.
enum class ImageLoad { Loaded, NotFound, ReadError, Empty };

/// What a load tells beside its result: the bytes taken from the file (before the size is rounded
/// up), and the system's error number when it could not be opened or read (0 otherwise).
struct ImageLoadFacts {
  size_t fileBytes = 0;
  int error = 0;
};

/// Reads at most `ImageCapacity` bytes of the file at `path` into `image`, rounds the size up to
/// whole blocks and applies the key. `Loaded` only for a file with at least one byte; `NotFound`
/// when it cannot be opened (an empty path included), `ReadError` when the read failed (a partial
/// image is never used), `Empty` for a file without bytes. Prints nothing. `image` starts zeroed,
/// as the run's buffer does, so the last block is filled up with zeros. Fills `facts` when given.
ImageLoad LoadImage(ImageBuffer& image, const std::string& path, ImageLoadFacts* facts = nullptr);

/// Update mode: reads at most `ImageCapacity` bytes of `inputFile` into `image`, rounds the size
/// up to whole blocks and applies the key. Returns 1 when loaded; otherwise prints why and returns
/// 0: "Missing input file name\n", "File not found\n" (cannot open), "File read error\n" (the read
/// failed: a partial image is never used) or "Image file is empty\n".
int LoadImageFile(ImageBuffer& image, const std::string& inputFile);

/// Encode mode: reads `inputFile` as `LoadImageFile` does, then writes its first `size` bytes,
/// key applied, to `outputFile` with `WriteOutputFile` and prints "File %s generated: %d bytes\n".
/// Returns 1 when the file was written whole; otherwise prints why and returns 0, leaving an
/// existing output as it was: "Missing output file name\n", "File not found\n", "File read
/// error\n", "Unable to create file\n" or "Unable to write file\n". An empty input gives an
/// empty output file.
int EncodeImageFile(ImageBuffer& image, const std::string& inputFile,
                    const std::string& outputFile);
