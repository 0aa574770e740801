#include "visual/drawing.h"

#include <random>

#include "core/errors.h"
#include "core/mask.h"
#include "visual/canvas.h"
#include "visual/text.h"

namespace vexo::visual {

namespace {

constexpr std::uint32_t kColourSeed = 42;
constexpr std::uint8_t kTintAlpha = 128;
constexpr int kBoxWidth = 3;
constexpr int kLabelPadding = 4;

}  // namespace

std::array<std::uint8_t, 3> generate_random_color(std::uint32_t index) {
  std::mt19937 gen(index);
  std::array<std::uint8_t, 3> c{};
  for (auto& v : c) v = static_cast<std::uint8_t>(gen() & 0xFFu);
  return c;
}

namespace {

void check_masks(const cv::Mat& image, const std::vector<cv::Mat>& masks) {
  for (std::size_t i = 0; i < masks.size(); ++i) {
    const cv::Mat& m = masks[i];
    if (m.type() != CV_8UC1 || m.size() != image.size()) {
      throw ValueError("mask " + std::to_string(i) +
                       " must be an 8-bit mask of the image's size (" + std::to_string(image.rows) +
                       " x " + std::to_string(image.cols) + "), got " + std::to_string(m.rows) +
                       " x " + std::to_string(m.cols));
    }
  }
}

// The tints of draw_masks_on_image with the masks' boxes known. Each pixel
// takes the tint of the last mask covering it, composited once.
cv::Mat tint(const cv::Mat& image, const std::vector<cv::Mat>& masks,
             const std::vector<Box>& boxes) {
  cv::Mat out = to_rgba(image);
  if (masks.empty()) return out;
  cv::Mat taken = cv::Mat::zeros(out.size(), CV_8UC1);
  for (std::size_t k = masks.size(); k-- > 0;) {
    auto c = generate_random_color(kColourSeed + static_cast<std::uint32_t>(k));
    composite_mask(out, masks[k], boxes[k], {c[0], c[1], c[2], kTintAlpha}, taken);
  }
  return out;
}

std::vector<Box> mask_boxes(const std::vector<cv::Mat>& masks) {
  std::vector<Box> boxes;
  boxes.reserve(masks.size());
  for (const auto& m : masks) boxes.push_back(mask_box(m));
  return boxes;
}

}  // namespace

cv::Mat draw_masks_on_image(const cv::Mat& image, const std::vector<cv::Mat>& masks) {
  check_masks(image, masks);
  return tint(image, masks, mask_boxes(masks));
}

cv::Mat img_bbx_drawing(const cv::Mat& image, const std::vector<std::string>& keys,
                        const std::vector<cv::Mat>& masks) {
  if (keys.size() != masks.size()) throw ValueError("img_bbx_drawing: one key per mask is needed");
  check_masks(image, masks);
  const std::vector<Box> boxes = mask_boxes(masks);
  cv::Mat out = tint(image, masks, boxes);
  if (masks.empty()) return out;
  std::unique_ptr<Font> font = label_font();
  for (std::size_t i = 0; i < masks.size(); ++i) {
    const Box& b = boxes[i];
    int x1 = 0, y1 = 0, x2 = 0, y2 = 0;
    if (!b.empty()) {
      x1 = b.x1;
      y1 = b.y1;
      x2 = b.x2;
      y2 = b.y2;
    }
    auto c = generate_random_color(kColourSeed + static_cast<std::uint32_t>(i));
    Rgba colour{c[0], c[1], c[2], 255};
    draw_rectangle(out, x1, y1, x2, y2, colour, kBoxWidth);
    TextBox tb = font->bbox(x1, y1, keys[i]);
    int tw = tb.right - tb.left, th = tb.bottom - tb.top;
    fill_rectangle(out, x1, y1 - th - kLabelPadding, x1 + tw + kLabelPadding, y1, colour);
    font->draw(out, x1 + 2, y1 - th - kLabelPadding, keys[i], kWhite);
  }
  return out;
}

}  // namespace vexo::visual
