#include "detection/features.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <string>

#include "core/console.h"
#include "core/errors.h"
#include "core/mask.h"
#include "core/mask_scan.h"
#include "detection/dark_text.h"

namespace vexo::detection {

std::optional<cv::Mat> encoder_input_for_mask(const cv::Mat& rgb, const cv::Mat& mask) {
  if (rgb.type() != CV_8UC3) throw TypeError("image features: expected an 8-bit RGB frame");
  if (mask.type() != CV_8UC1) throw TypeError("image features: expected 8-bit masks");
  if (mask.rows != rgb.rows || mask.cols != rgb.cols) {
    throw ValueError("image features: mask of " + std::to_string(mask.rows) + " x " +
                     std::to_string(mask.cols) + " does not match the frame of " +
                     std::to_string(rgb.rows) + " x " + std::to_string(rgb.cols));
  }
  const MaskStat st = scan_mask(mask);
  if (st.area < kMinFeatureMaskPixels) return std::nullopt;
  // The crop ends before the mask's last row and column.
  const cv::Rect crop(st.box.x1, st.box.y1, st.box.x2 - st.box.x1, st.box.y2 - st.box.y1);
  if (crop.width <= 0 || crop.height <= 0) return std::nullopt;

  const cv::Mat enhanced = enhance_dark_text(rgb(crop), kFeatureGamma);
  const cv::Mat mask_crop = mask(crop);
  cv::Mat out(crop.height, crop.width, CV_32FC3);
  for (int y = 0; y < crop.height; ++y) {
    const std::uint8_t* e = enhanced.ptr<std::uint8_t>(y);
    const std::uint8_t* m = mask_crop.ptr<std::uint8_t>(y);
    float* p = out.ptr<float>(y);
    for (int x = 0; x < crop.width; ++x) {
      const float v = m[x] ? static_cast<float>(e[x]) / 255.0f : 0.0f;
      p[3 * x] = p[3 * x + 1] = p[3 * x + 2] = v;
    }
  }
  return out;
}

std::vector<Feature> generate_image_features(const cv::Mat& rgb, const std::vector<cv::Mat>& masks,
                                             ImageSegmenter& segmenter, ImageEncoder& encoder) {
  if (rgb.type() != CV_8UC3) throw TypeError("image features: expected an 8-bit RGB frame");
  for (std::size_t i = 0; i < masks.size(); ++i) {
    if (masks[i].rows != rgb.rows || masks[i].cols != rgb.cols) {
      throw ValueError("image features: mask " + std::to_string(i) + " of " +
                       std::to_string(masks[i].rows) + " x " + std::to_string(masks[i].cols) +
                       " does not match the frame of " + std::to_string(rgb.rows) + " x " +
                       std::to_string(rgb.cols));
    }
  }
  segmenter.set_image(rgb);
  std::vector<Feature> out;
  out.reserve(masks.size());
  for (const cv::Mat& mask : masks) {
    check_interrupt();
    std::optional<cv::Mat> input = encoder_input_for_mask(rgb, mask);
    if (!input) {
      out.emplace_back(std::nullopt);
      continue;
    }
    out.emplace_back(encoder.encode(*input, kEncoderInputSide));
  }
  return out;
}

std::vector<double> cosine_score_table(const std::vector<Feature>& features_new,
                                       const std::vector<Feature>& features_old) {
  const std::size_t rows = features_new.size(), cols = features_old.size();
  std::vector<double> table(rows * cols, -std::numeric_limits<double>::infinity());
  std::optional<std::size_t> length;
  auto norms = [&](const std::vector<Feature>& list, const char* side) {
    std::vector<double> out(list.size(), 0.0);
    for (std::size_t i = 0; i < list.size(); ++i) {
      if (!list[i]) continue;
      const std::vector<float>& v = list[i]->values;
      if (length && *length != v.size()) {
        throw ValueError(std::string("cosine_scores_cal: ") + side + "[" + std::to_string(i) +
                         "] has " + std::to_string(v.size()) + " values where other vectors have " +
                         std::to_string(*length));
      }
      length = v.size();
      double s = 0;
      for (float f : v) {
        if (!std::isfinite(f)) {
          throw ValueError(std::string("cosine_scores_cal: ") + side + "[" + std::to_string(i) +
                           "] holds a value that is not finite");
        }
        s += static_cast<double>(f) * f;
      }
      out[i] = std::sqrt(s);
    }
    return out;
  };
  const std::vector<double> nn = norms(features_new, "image_features_new");
  const std::vector<double> no = norms(features_old, "image_features_old");
  for (std::size_t r = 0; r < rows; ++r) {
    if (!features_new[r]) continue;
    const std::vector<float>& a = features_new[r]->values;
    for (std::size_t c = 0; c < cols; ++c) {
      if (!features_old[c]) continue;
      const std::vector<float>& b = features_old[c]->values;
      double v = 0;
      if (nn[r] > 0 && no[c] > 0) {
        double dot = 0;
        for (std::size_t k = 0; k < a.size(); ++k) dot += static_cast<double>(a[k]) * b[k];
        v = std::clamp(dot / (nn[r] * no[c]), -1.0, 1.0);
      }
      table[r * cols + c] = v;
    }
  }
  return table;
}

}  // namespace vexo::detection
