#include "visual/text.h"

#include <ft2build.h>
#include FT_FREETYPE_H

#include <algorithm>
#include <climits>
#include <cstdint>
#include <filesystem>
#include <vector>

#include "visual/builtin_font_data.h"

namespace vexo::visual {

namespace {

// Folders searched for a font given by file name only.
const char* const kSystemFontDirs[] = {"/usr/share/fonts", "/usr/local/share/fonts"};
// Metric-compatible stand-ins for common font files missing on this system.
struct FontAlias {
  const char* name;
  const char* substitute;
};
const FontAlias kFontAliases[] = {
    {"arial.ttf", "LiberationSans-Regular.ttf"},
    {"Arial.ttf", "LiberationSans-Regular.ttf"},
};

// Decodes UTF-8; malformed bytes come out as U+FFFD.
std::vector<char32_t> decode_utf8(std::string_view s) {
  std::vector<char32_t> out;
  for (std::size_t i = 0; i < s.size();) {
    unsigned char c = static_cast<unsigned char>(s[i]);
    int len = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 0;
    if (len == 0 || i + len > s.size()) {
      out.push_back(0xFFFD);
      ++i;
      continue;
    }
    char32_t cp = len == 1 ? c : c & (0x7F >> len);
    bool ok = true;
    for (int k = 1; k < len; ++k) {
      unsigned char cc = static_cast<unsigned char>(s[i + k]);
      if ((cc >> 6) != 2) ok = false;
      cp = (cp << 6) | (cc & 0x3F);
    }
    if (!ok) {
      out.push_back(0xFFFD);
      ++i;
      continue;
    }
    out.push_back(cp);
    i += len;
  }
  return out;
}

// Blends `colour` into pixel (x, y) by coverage 0..255.
void blend_pixel(cv::Mat& canvas, int x, int y, unsigned cov, Rgba colour) {
  if (x < 0 || y < 0 || x >= canvas.cols || y >= canvas.rows || cov == 0) return;
  cov = cov * colour.a / 255;
  std::uint8_t* p = canvas.ptr<std::uint8_t>(y) + canvas.channels() * x;
  const std::uint8_t ink[4] = {colour.r, colour.g, colour.b, 255};
  for (int k = 0; k < canvas.channels(); ++k) {
    p[k] = static_cast<std::uint8_t>((ink[k] * cov + p[k] * (255 - cov) + 127) / 255);
  }
}

struct Extent {
  int left = INT_MAX, top = INT_MAX, right = INT_MIN, bottom = INT_MIN;
  void add(int l, int t, int r, int b) {
    left = std::min(left, l);
    top = std::min(top, t);
    right = std::max(right, r);
    bottom = std::max(bottom, b);
  }
  TextBox box(int x, int y, int advance_end) const {
    if (left > right) return {x, y, std::max(x, advance_end), y};
    return {left, top, std::max(right, advance_end), bottom};
  }
};

class FreeTypeFont final : public Font {
 public:
  FreeTypeFont(FT_Library lib, FT_Face face) : lib_(lib), face_(face) {}
  ~FreeTypeFont() override {
    FT_Done_Face(face_);
    FT_Done_FreeType(lib_);
  }
  bool is_builtin() const override { return false; }

  TextBox bbox(int x, int y, std::string_view text) const override {
    Extent e;
    int end = layout(x, y, text, [&](const FT_Bitmap& bm, int gx, int gy) {
      if (bm.width > 0 && bm.rows > 0) {
        e.add(gx, gy, gx + static_cast<int>(bm.width), gy + static_cast<int>(bm.rows));
      }
    });
    return e.box(x, y, end);
  }

  void draw(cv::Mat& canvas, int x, int y, std::string_view text, Rgba colour) const override {
    layout(x, y, text, [&](const FT_Bitmap& bm, int gx, int gy) {
      for (unsigned r = 0; r < bm.rows; ++r) {
        const unsigned char* src = bm.buffer + static_cast<std::ptrdiff_t>(r) * bm.pitch;
        for (unsigned c = 0; c < bm.width; ++c) {
          unsigned cov;
          if (bm.pixel_mode == FT_PIXEL_MODE_MONO) {
            cov = (src[c >> 3] >> (7 - (c & 7))) & 1 ? 255 : 0;
          } else {
            cov = src[c];
          }
          blend_pixel(canvas, gx + static_cast<int>(c), gy + static_cast<int>(r), cov, colour);
        }
      }
    });
  }

 private:
  // Lays the glyphs out from the ascender line at y; calls fn(bitmap, left,
  // top) for each rendered glyph and returns the pen position after the text.
  template <class Fn>
  int layout(int x, int y, std::string_view text, Fn&& fn) const {
    const int ascender = static_cast<int>((face_->size->metrics.ascender + 32) >> 6);
    const bool kerning = FT_HAS_KERNING(face_);
    long pen = 0;  // 26.6 fixed point
    FT_UInt prev = 0;
    for (char32_t cp : decode_utf8(text)) {
      FT_UInt gi = FT_Get_Char_Index(face_, cp);
      if (kerning && prev && gi) {
        FT_Vector k;
        if (FT_Get_Kerning(face_, prev, gi, FT_KERNING_DEFAULT, &k) == 0) pen += k.x;
      }
      if (FT_Load_Glyph(face_, gi, FT_LOAD_DEFAULT | FT_LOAD_RENDER) != 0) {
        prev = gi;
        continue;
      }
      FT_GlyphSlot g = face_->glyph;
      int gx = x + static_cast<int>((pen + 32) >> 6) + g->bitmap_left;
      int gy = y + ascender - g->bitmap_top;
      fn(g->bitmap, gx, gy);
      pen += g->advance.x;
      prev = gi;
    }
    return x + static_cast<int>((pen + 32) >> 6);
  }

  FT_Library lib_;
  FT_Face face_;
};

class BuiltinFont final : public Font {
 public:
  bool is_builtin() const override { return true; }

  TextBox bbox(int x, int y, std::string_view text) const override {
    Extent e;
    int end = layout(x, y, text, [&](int gx, int gy, int c, int r, unsigned) {
      e.add(gx + c, gy + r, gx + c + 1, gy + r + 1);
    });
    return e.box(x, y, end);
  }

  void draw(cv::Mat& canvas, int x, int y, std::string_view text, Rgba colour) const override {
    layout(x, y, text, [&](int gx, int gy, int c, int r, unsigned cov) {
      blend_pixel(canvas, gx + c, gy + r, cov, colour);
    });
  }

 private:
  // Calls fn(cell left, cell top, column, row, coverage) for every inked
  // pixel; characters outside printable ASCII are drawn as '?'.
  template <class Fn>
  int layout(int x, int y, std::string_view text, Fn&& fn) const {
    using namespace builtin_font;
    int pen = x;
    for (char32_t cp : decode_utf8(text)) {
      int idx = (cp >= kFirst && cp <= kLast) ? static_cast<int>(cp) : '?';
      const char* g = kGlyphs[idx - kFirst];
      for (int r = 0; r < kCellHeight; ++r) {
        for (int c = 0; c < kCellWidth; ++c) {
          char h = g[r * kCellWidth + c];
          unsigned v = h <= '9' ? h - '0' : h - 'a' + 10;
          if (v) fn(pen, y, c, r, v * 17);
        }
      }
      pen += kCellWidth;
    }
    return pen;
  }
};

std::unique_ptr<Font> open_face(const std::string& path, int size) {
  std::error_code ec;
  if (!std::filesystem::is_regular_file(path, ec)) return nullptr;
  FT_Library lib = nullptr;
  if (FT_Init_FreeType(&lib) != 0) return nullptr;
  FT_Face face = nullptr;
  if (FT_New_Face(lib, path.c_str(), 0, &face) != 0) {
    FT_Done_FreeType(lib);
    return nullptr;
  }
  if (FT_Set_Pixel_Sizes(face, 0, static_cast<FT_UInt>(size)) != 0) {
    FT_Done_Face(face);
    FT_Done_FreeType(lib);
    return nullptr;
  }
  return std::make_unique<FreeTypeFont>(lib, face);
}

// First file named `name` under the system font folders, in sorted order.
std::string find_system_font(const std::string& name) {
  namespace fs = std::filesystem;
  for (const char* dir : kSystemFontDirs) {
    std::error_code ec;
    std::vector<fs::path> hits;
    fs::recursive_directory_iterator it(dir, fs::directory_options::skip_permission_denied, ec);
    if (ec) continue;
    for (auto end = fs::recursive_directory_iterator(); it != end; it.increment(ec)) {
      if (ec) break;
      if (it->path().filename() == name && it->is_regular_file(ec)) hits.push_back(it->path());
    }
    if (!hits.empty()) return std::min_element(hits.begin(), hits.end())->string();
  }
  return {};
}

}  // namespace

std::unique_ptr<Font> Font::load(const std::string& name, int size) {
  if (name.empty() || size < 1 || size > 4096) return nullptr;
  if (auto f = open_face(name, size)) return f;
  if (name.find('/') != std::string::npos) return nullptr;
  std::string found = find_system_font(name);
  if (!found.empty()) {
    if (auto f = open_face(found, size)) return f;
  }
  for (const auto& alias : kFontAliases) {
    if (name != alias.name) continue;
    std::string sub = find_system_font(alias.substitute);
    if (!sub.empty()) {
      if (auto f = open_face(sub, size)) return f;
    }
  }
  return nullptr;
}

std::unique_ptr<Font> Font::builtin() { return std::make_unique<BuiltinFont>(); }

std::unique_ptr<Font> Font::load_or_builtin(const std::string& name, int size) {
  if (auto f = load(name, size)) return f;
  return builtin();
}

std::unique_ptr<Font> label_font() { return Font::load_or_builtin("arial.ttf", 11); }

}  // namespace vexo::visual
