// Appearance vectors of masked pigs and their cosine similarities. Each pig
// is cut out of the frame, its dark marks are enhanced, everything outside
// its mask is blacked out, and the result goes through the segmenter's image
// encoder, whose spatially averaged feature map is the pig's appearance
// vector.
//
//   namespace det = vexo::detection;
//   auto seg = pb::make_image_segmenter(image_predictor);  // module code
//   auto enc = pb::make_image_encoder(image_predictor);
//   std::vector<det::Feature> f = det::generate_image_features(rgb, masks, *seg, *enc);
//   std::vector<double> s = det::cosine_score_table(f_new, f_old);  // rows new, cols old
#pragma once

#include <cstdint>
#include <opencv2/core.hpp>
#include <optional>
#include <vector>

#include "detection/models.h"

namespace vexo::detection {

// Side of the square encoder input.
inline constexpr int kEncoderInputSide = 256;
// Masks with fewer pixels than this get no appearance vector.
inline constexpr std::int64_t kMinFeatureMaskPixels = 10;
// Gamma of the dark-mark enhancement applied to every pig crop.
inline constexpr double kFeatureGamma = 10.0;

// An appearance vector, or absent for a mask too small to describe.
using Feature = std::optional<Embedding>;

// The encoder's input for one mask of an 8-bit RGB frame, before resizing:
// the crop from the mask's smallest row and column up to (not including) its
// largest ones, enhanced (gamma 10), black outside the mask, as an h x w
// CV_32FC3 image with values in 0..1 (the grey value in all three channels).
// Absent when the mask has fewer than 10 pixels or its pixels lie in a single
// row or column (the crop would be empty). ValueError when the mask and the
// frame differ in size.
std::optional<cv::Mat> encoder_input_for_mask(const cv::Mat& rgb, const cv::Mat& mask);

// One entry per mask, in mask order: set_image with the frame first, then one
// encoder pass (256 x 256) per describable mask.
std::vector<Feature> generate_image_features(const cv::Mat& rgb, const std::vector<cv::Mat>& masks,
                                             ImageSegmenter& segmenter, ImageEncoder& encoder);

// Cosine similarity table, rows = `features_new`, columns = `features_old`,
// row-major. Cells of absent entries hold minus infinity; a zero vector
// scores 0. ValueError when present vectors differ in length or hold values
// that are not finite.
std::vector<double> cosine_score_table(const std::vector<Feature>& features_new,
                                       const std::vector<Feature>& features_old);

}  // namespace vexo::detection
