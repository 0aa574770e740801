#include "core/image_io.h"

#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <opencv2/imgcodecs.hpp>
#include <optional>

#include "core/errors.h"
#include "core/fsutil.h"

namespace vexo {

namespace {

int imread_flags(ImageLayout layout) {
  switch (layout) {
    case ImageLayout::kAsStored:
      return cv::IMREAD_UNCHANGED;
    case ImageLayout::kBgr:
      return cv::IMREAD_COLOR;
    case ImageLayout::kBgrAsStored:
      return cv::IMREAD_COLOR | cv::IMREAD_IGNORE_ORIENTATION;
    case ImageLayout::kGrey:
      return cv::IMREAD_GRAYSCALE;
  }
  return cv::IMREAD_COLOR;
}

// The decoder turns pictures with a camera orientation tag on their side for
// these layouts, so their size is only known once the tag has been read.
bool applies_orientation(ImageLayout layout) {
  return layout == ImageLayout::kBgr || layout == ImageLayout::kGrey;
}

std::string missing_text(const std::string& path, const ImageFileText& text) {
  return text.missing.empty() ? "No such file or directory: '" + path + "'" : text.missing;
}

std::string undecodable_text(const std::string& path, const ImageFileText& text) {
  return text.undecodable.empty() ? "cannot identify image file '" + path + "'" : text.undecodable;
}

// Path checks shared by the reader and the probe: only a regular file is
// handed to the decoder (a pipe or device could block it or feed it forever).
void require_image_file(const std::string& path, const ImageFileText& text) {
  require_plain_path(path);
  std::error_code ec;
  const std::filesystem::file_status st = std::filesystem::status(path, ec);
  if (!std::filesystem::exists(st)) throw FileNotFound(missing_text(path, text));
  if (!std::filesystem::is_regular_file(st)) throw IoError(undecodable_text(path, text));
}

cv::Mat decode(const std::string& path, ImageLayout layout, const ImageFileText& text) {
  cv::Mat img;
  try {
    img = cv::imread(path, imread_flags(layout));
  } catch (const cv::Exception&) {
    img.release();  // the decoder refused the picture's size
  }
  if (img.empty()) throw IoError(undecodable_text(path, text));
  return img;
}

// ---- header probe ----

// Sizes the decoders accept without question: within the JPEG decoder's side
// limit (the smallest of the decoders') and the image-size guard's pixel
// count. Anything larger is decoded, so the decoder's own verdict stands.
constexpr std::uint32_t kMaxTrustedSide = 65500;
constexpr std::uint64_t kMaxTrustedPixels = std::uint64_t{1} << 30;

struct FileCloser {
  void operator()(std::FILE* f) const { std::fclose(f); }
};
using FilePtr = std::unique_ptr<std::FILE, FileCloser>;

bool read_exact(std::FILE* f, unsigned char* p, std::size_t n) {
  return std::fread(p, 1, n, f) == n;
}

std::uint32_t be16(const unsigned char* p) { return (std::uint32_t{p[0]} << 8) | p[1]; }
std::uint32_t be32(const unsigned char* p) { return (be16(p) << 16) | be16(p + 2); }

std::optional<cv::Size> trusted_size(std::uint32_t width, std::uint32_t height) {
  if (width == 0 || height == 0 || width > kMaxTrustedSide || height > kMaxTrustedSide) {
    return std::nullopt;
  }
  if (std::uint64_t{width} * height > kMaxTrustedPixels) return std::nullopt;
  return cv::Size(static_cast<int>(width), static_cast<int>(height));
}

// Frame header of a baseline, extended or progressive 8-bit JPEG; the file is
// positioned after the start-of-image marker.
std::optional<cv::Size> jpeg_size(std::FILE* f, bool oriented) {
  for (int segment = 0; segment < 1024; ++segment) {
    int c = std::fgetc(f);
    if (c != 0xFF) return std::nullopt;
    while (c == 0xFF) c = std::fgetc(f);  // fill bytes
    if (c == EOF) return std::nullopt;
    const int marker = c;
    // Scan data, end of image or a stand-alone marker before the frame header.
    if (marker == 0xDA || marker == 0xD9 || marker == 0x01 || (marker >= 0xD0 && marker <= 0xD8)) {
      return std::nullopt;
    }
    unsigned char len_bytes[2];
    if (!read_exact(f, len_bytes, 2)) return std::nullopt;
    const std::uint32_t len = be16(len_bytes);
    if (len < 2) return std::nullopt;
    if (marker == 0xC0 || marker == 0xC1 || marker == 0xC2) {
      std::array<unsigned char, 6> h{};
      if (len < 8 || !read_exact(f, h.data(), h.size())) return std::nullopt;
      const unsigned components = h[5];
      if (h[0] != 8 || (components != 1 && components != 3 && components != 4) ||
          len != 8 + 3 * components) {
        return std::nullopt;
      }
      return trusted_size(be16(h.data() + 3), be16(h.data() + 1));
    }
    // Lossless, hierarchical and arithmetic-coded frames: left to the decoder.
    if ((marker >= 0xC3 && marker <= 0xCF) && marker != 0xC4 && marker != 0xC8 && marker != 0xCC) {
      return std::nullopt;
    }
    std::uint32_t skip = len - 2;
    if (oriented && marker == 0xE1 && skip >= 6) {
      unsigned char id[6];
      if (!read_exact(f, id, 6)) return std::nullopt;
      if (std::memcmp(id, "Exif\0\0", 6) == 0) return std::nullopt;  // may turn the picture
      skip -= 6;
    }
    if (std::fseek(f, static_cast<long>(skip), SEEK_CUR) != 0) return std::nullopt;
  }
  return std::nullopt;
}

std::uint32_t crc32(const unsigned char* p, std::size_t n) {
  std::uint32_t c = 0xFFFFFFFFu;
  for (std::size_t i = 0; i < n; ++i) {
    c ^= p[i];
    for (int k = 0; k < 8; ++k) c = (c >> 1) ^ (0xEDB88320u & (0u - (c & 1u)));
  }
  return c ^ 0xFFFFFFFFu;
}

bool png_depth_allowed(unsigned colour, unsigned depth) {
  switch (colour) {
    case 0:
      return depth == 1 || depth == 2 || depth == 4 || depth == 8 || depth == 16;
    case 3:
      return depth == 1 || depth == 2 || depth == 4 || depth == 8;
    case 2:
    case 4:
    case 6:
      return depth == 8 || depth == 16;
    default:
      return false;
  }
}

// IHDR of a PNG file positioned after its signature. With `oriented`, the
// chunks up to the first image data are walked too: an eXIf chunk may carry
// an orientation tag.
std::optional<cv::Size> png_size(std::FILE* f, bool oriented) {
  unsigned char chunk[8 + 13 + 4];
  if (!read_exact(f, chunk, sizeof chunk)) return std::nullopt;
  if (be32(chunk) != 13 || std::memcmp(chunk + 4, "IHDR", 4) != 0) return std::nullopt;
  const unsigned char* d = chunk + 8;
  if (crc32(chunk + 4, 4 + 13) != be32(d + 13)) return std::nullopt;
  const std::uint32_t width = be32(d), height = be32(d + 4);
  if (!png_depth_allowed(d[9], d[8]) || d[10] != 0 || d[11] != 0 || d[12] > 1) {
    return std::nullopt;
  }
  if (oriented) {
    for (int n = 0;; ++n) {
      unsigned char head[8];
      if (n > 100000 || !read_exact(f, head, 8)) return std::nullopt;
      if (std::memcmp(head + 4, "IDAT", 4) == 0) break;
      if (std::memcmp(head + 4, "eXIf", 4) == 0) return std::nullopt;
      const std::uint32_t len = be32(head);
      if (len > 0x7FFFFFFFu || std::fseek(f, static_cast<long>(len) + 4, SEEK_CUR) != 0) {
        return std::nullopt;
      }
    }
  }
  return trusted_size(width, height);
}

// The decoders' size guard can be moved by the environment; then only the
// decoder knows what it accepts.
bool decoder_limits_changed() {
  return std::getenv("OPENCV_IO_MAX_IMAGE_WIDTH") || std::getenv("OPENCV_IO_MAX_IMAGE_HEIGHT") ||
         std::getenv("OPENCV_IO_MAX_IMAGE_PIXELS");
}

std::optional<cv::Size> header_size(const std::string& path, ImageLayout layout) {
  if (decoder_limits_changed()) return std::nullopt;
  FilePtr f(std::fopen(path.c_str(), "rb"));
  if (!f) return std::nullopt;
  unsigned char sig[8];
  if (!read_exact(f.get(), sig, 3)) return std::nullopt;
  const bool oriented = applies_orientation(layout);
  if (sig[0] == 0xFF && sig[1] == 0xD8 && sig[2] == 0xFF) {
    if (std::fseek(f.get(), 2, SEEK_SET) != 0) return std::nullopt;
    return jpeg_size(f.get(), oriented);
  }
  static const unsigned char kPng[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
  if (!read_exact(f.get(), sig + 3, 5) || std::memcmp(sig, kPng, 8) != 0) return std::nullopt;
  return png_size(f.get(), oriented);
}

}  // namespace

cv::Mat read_image_file(const std::string& path, ImageLayout layout, const ImageFileText& text) {
  require_image_file(path, text);
  return decode(path, layout, text);
}

cv::Size probe_image_size(const std::string& path, ImageLayout layout, const ImageFileText& text) {
  require_image_file(path, text);
  if (std::optional<cv::Size> size = header_size(path, layout)) return *size;
  return decode(path, layout, text).size();
}

}  // namespace vexo
