// Classical stand-in for the segmenter's image encoder: the 1 x 3 x S x S
// input is cut into a 16 x 16 grid of cells; each cell, averaged down to
// 4 x 4 pixels per channel, goes through a fixed random projection and a
// tanh, giving a 1 x C x 16 x 16 feature map that follows colour and texture.
#pragma once

#include <vector>

namespace vexo::standins {

constexpr int kEncoderGrid = 16;

// `chw`: 3 x size x size floats (values 0..1), planar RGB. Returns
// channels x 16 x 16 floats, planar.
std::vector<float> encode_features(const float* chw, int size, int channels = 64);

}  // namespace vexo::standins
