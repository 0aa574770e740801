#include "standins/classical_encoder.h"

#include <cmath>
#include <random>

#include "core/errors.h"

namespace vexo::standins {

namespace {

constexpr int kCellPixels = 4;  // each cell averaged down to 4 x 4 per channel
constexpr int kInputs = 3 * kCellPixels * kCellPixels;

}  // namespace

std::vector<float> encode_features(const float* chw, int size, int channels) {
  if (size < kEncoderGrid * kCellPixels) {
    throw ValueError("image_encoder: input must be at least 64 x 64 pixels");
  }
  if (channels <= 0) throw ValueError("image_encoder: channel count must be positive");
  // Fixed projection, the same for every call.
  std::mt19937 gen(20240601u);
  std::normal_distribution<float> nd(0.0f, 1.0f / std::sqrt(static_cast<float>(kInputs)));
  std::vector<float> w(static_cast<std::size_t>(channels) * kInputs), b(channels);
  for (float& v : w) v = nd(gen) * 3.0f;
  for (float& v : b) v = nd(gen);

  const int g = kEncoderGrid;
  const std::size_t plane = static_cast<std::size_t>(size) * size;
  std::vector<float> out(static_cast<std::size_t>(channels) * g * g);
  std::vector<float> cell(kInputs);
  for (int gy = 0; gy < g; ++gy) {
    for (int gx = 0; gx < g; ++gx) {
      // Sub-cell bounds in input pixels (cells cover the input exactly).
      for (int c = 0; c < 3; ++c) {
        for (int sy = 0; sy < kCellPixels; ++sy) {
          int y0 = (gy * kCellPixels + sy) * size / (g * kCellPixels);
          int y1 = (gy * kCellPixels + sy + 1) * size / (g * kCellPixels);
          for (int sx = 0; sx < kCellPixels; ++sx) {
            int x0 = (gx * kCellPixels + sx) * size / (g * kCellPixels);
            int x1 = (gx * kCellPixels + sx + 1) * size / (g * kCellPixels);
            double s = 0;
            for (int y = y0; y < y1; ++y) {
              const float* row = chw + c * plane + static_cast<std::size_t>(y) * size;
              for (int x = x0; x < x1; ++x) s += row[x];
            }
            cell[(c * kCellPixels + sy) * kCellPixels + sx] =
                static_cast<float>(s / ((y1 - y0) * (x1 - x0)));
          }
        }
      }
      for (int k = 0; k < channels; ++k) {
        const float* wk = w.data() + static_cast<std::size_t>(k) * kInputs;
        float acc = b[k];
        for (int i = 0; i < kInputs; ++i) acc += wk[i] * (cell[i] - 0.5f);
        out[(static_cast<std::size_t>(k) * g + gy) * g + gx] = std::tanh(acc);
      }
    }
  }
  return out;
}

}  // namespace vexo::standins
