// The one image-file reader: every operation that loads a picture from disk
// decodes it here, under one error rule, and learns a picture's pixel size
// from its header where the format allows.
//
// Error rule (the same for every caller):
//   - a path holding a NUL character: ValueError;
//   - nothing at the path: FileNotFound;
//   - anything else that does not decode (a folder, an unknown format, a
//     damaged file, a size the decoder refuses): IoError.
// Callers may give their own message text for the two file faults; the
// error types do not change.
#pragma once

#include <opencv2/core.hpp>
#include <string>

namespace vexo {

// How the decoded pixels are laid out.
enum class ImageLayout {
  kAsStored,     // channels and depth as stored (1, 3 or 4 channels, BGR order)
  kBgr,          // 8-bit BGR, camera orientation tag applied
  kBgrAsStored,  // 8-bit BGR, orientation tag ignored
  kGrey,         // 8-bit grey, camera orientation tag applied
};

// Message text for the two file faults; an empty text keeps the default
// ("No such file or directory: '<path>'", "cannot identify image file '<path>'").
struct ImageFileText {
  std::string missing;
  std::string undecodable;
};

cv::Mat read_image_file(const std::string& path, ImageLayout layout,
                        const ImageFileText& text = {});

// Pixel size of the picture read_image_file(path, layout) would return. PNG
// and baseline / progressive JPEG files are measured from their header;
// every other file (and any header this reader does not fully trust) is
// decoded. Same error rule as read_image_file.
cv::Size probe_image_size(const std::string& path, ImageLayout layout,
                          const ImageFileText& text = {});

}  // namespace vexo
