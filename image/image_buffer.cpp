// SPDX-License-Identifier: Apache-2.0
// Loading the image file into the image buffer (update mode) and writing its encoded copy
// (encode mode).
#include "image/image_buffer.h"

#include <cerrno>
#include <cstdio>
#include <memory>

#include "app/console.h"
#include "image/output_file.h"

ImageBuffer imageBuffer;

namespace {

struct ImageFileCloser {
  void operator()(std::FILE* file) const { std::fclose(file); }
};
using ImageFile = std::unique_ptr<std::FILE, ImageFileCloser>;

// Reads the first `ImageCapacity` bytes of `path` into `image` in one request and sets `size` to
// the count read, rounded up to whole blocks: `Loaded` (even when empty), `NotFound` or
// `ReadError`, with what `facts` hold. A read error is never taken for the end of the file: a
// truncated image must not travel or be written.
ImageLoad ReadImage(ImageBuffer& image, const std::string& path, ImageLoadFacts& facts) {
  ImageFile file(std::fopen(path.c_str(), "rb"));
  if (!file) {
    facts.error = errno;
    return ImageLoad::NotFound;
  }
  const size_t count = std::fread(image.bytes.data(), 1, image.bytes.size(), file.get());
  if (std::ferror(file.get())) {
    facts.error = errno;
    return ImageLoad::ReadError;
  }
  facts.fileBytes = count;
  image.size = static_cast<int32_t>((count + ImageBlockSize - 1) & ~size_t{ImageBlockSize - 1});
  return ImageLoad::Loaded;
}

// Prints why the image could not be used; returns 0.
int ReportLoadFailure(ImageLoad result) {
  ConsolePrint(result == ImageLoad::NotFound    ? "File not found\n"
               : result == ImageLoad::ReadError ? "File read error\n"
                                                : "Image file is empty\n");
  return 0;
}

}  // namespace

void ApplyImageKey(ImageBuffer& image) {
  for (size_t i = 0; i < image.bytes.size(); ++i) {
    image.bytes[i] ^= ImageKey[i % ImageKey.size()];
  }
}

ImageLoad LoadImage(ImageBuffer& image, const std::string& path, ImageLoadFacts* facts) {
  ImageLoadFacts told;
  const ImageLoad result = ReadImage(image, path, facts != nullptr ? *facts : told);
  if (result != ImageLoad::Loaded) {
    return result;
  }
  // An update with no blocks would erase the device and then report success.
  if (image.size == 0) {
    return ImageLoad::Empty;
  }
  ApplyImageKey(image);
  return ImageLoad::Loaded;
}

int LoadImageFile(ImageBuffer& image, const std::string& inputFile) {
  if (inputFile.empty()) {
    ConsolePrint("Missing input file name\n");
    return 0;
  }
  const ImageLoad result = LoadImage(image, inputFile);
  return result == ImageLoad::Loaded ? 1 : ReportLoadFailure(result);
}

int EncodeImageFile(ImageBuffer& image, const std::string& inputFile,
                    const std::string& outputFile) {
  if (outputFile.empty()) {
    ConsolePrint("Missing output file name\n");
    return 0;
  }
  // The input is read whole and closed before the output is written, so the same name for both
  // replaces the file with the encoded form of its first `ImageCapacity` bytes.
  ImageLoadFacts facts;
  const ImageLoad result = ReadImage(image, inputFile, facts);
  if (result != ImageLoad::Loaded) {
    return ReportLoadFailure(result);
  }
  ApplyImageKey(image);
  // A failed write leaves the old output as it was, never a partial file in its place.
  const OutputFileResult written =
      WriteOutputFile(outputFile, std::span(image.bytes.data(), static_cast<size_t>(image.size)));
  if (written != OutputFileResult::Written) {
    ConsolePrint(written == OutputFileResult::NotCreated ? "Unable to create file\n"
                                                         : "Unable to write file\n");
    return 0;
  }
  ConsolePrint("File %s generated: %d bytes\n", outputFile.c_str(), static_cast<int>(image.size));
  return 1;
}
