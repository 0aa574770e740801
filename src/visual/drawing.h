// Mask tints, boxes and labels drawn onto frames for checking segmentation
// and tracking by eye. Images are RGB / RGBA cv::Mat (R, G, B(, A) order).
#pragma once

#include <array>
#include <cstdint>
#include <opencv2/core.hpp>
#include <string>
#include <vector>

namespace vexo::visual {

// The colour of index `index`: the low 8 bits of the first three outputs of
// std::mt19937 seeded with `index` (red, green, blue).
std::array<std::uint8_t, 3> generate_random_color(std::uint32_t index = 42);

// `image` (grey, RGB or RGBA) as a new RGBA image with mask i (CV_8UC1,
// nonzero = set, the image's size) tinted in colour 42 + i at alpha 128;
// where masks overlap the later one wins. ValueError for a mask of another
// size.
cv::Mat draw_masks_on_image(const cv::Mat& image, const std::vector<cv::Mat>& masks);

// draw_masks_on_image plus, for entry i, the tight box of its mask outlined
// 3 pixels wide in colour 42 + i and a label with keys[i] in white on that
// colour just above the box's top-left corner. Returns RGBA.
cv::Mat img_bbx_drawing(const cv::Mat& image, const std::vector<std::string>& keys,
                        const std::vector<cv::Mat>& masks);

}  // namespace vexo::visual
