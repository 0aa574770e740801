// TrueType text through FreeType, with a built-in bitmap font for when the
// requested font cannot be loaded.
#pragma once

#include <memory>
#include <opencv2/core.hpp>
#include <string>
#include <string_view>

#include "visual/canvas.h"

namespace vexo::visual {

// Ink box of a text drawn at a position: left, top inclusive; right, bottom
// exclusive (so width = right - left, height = bottom - top).
struct TextBox {
  int left = 0, top = 0, right = 0, bottom = 0;
};

class Font {
 public:
  // Loads `name` at `size` pixels per em: the name as given (a path or a file
  // in the working folder), then a file of that name in the system font
  // folders (/usr/share/fonts, /usr/local/share/fonts, searched recursively);
  // "arial.ttf" falls back to its metric-compatible Liberation Sans. Nothing
  // when none can be loaded.
  static std::unique_ptr<Font> load(const std::string& name, int size);
  // The built-in bitmap font (ASCII, about 11 pixels high).
  static std::unique_ptr<Font> builtin();
  // load(), falling back to builtin(): never fails.
  static std::unique_ptr<Font> load_or_builtin(const std::string& name, int size);

  virtual ~Font() = default;
  virtual bool is_builtin() const = 0;
  // The ink box of `text` (UTF-8) drawn with its top-left (ascender line) at
  // (x, y).
  virtual TextBox bbox(int x, int y, std::string_view text) const = 0;
  // Draws `text` with its top-left at (x, y), blending `colour` into the
  // canvas (RGB or RGBA) by glyph coverage.
  virtual void draw(cv::Mat& canvas, int x, int y, std::string_view text, Rgba colour) const = 0;
};

// The label font: "arial.ttf" at size 11, or the built-in font.
std::unique_ptr<Font> label_font();

}  // namespace vexo::visual
