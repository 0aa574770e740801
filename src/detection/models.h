// Interfaces of the models the caller hands in: the text-prompted box
// detector (processor + grounding model), the box-prompted image segmenter
// and its image encoder, plus the frame opener that gives every model call
// the same decoded frame.
//
// Getting an implementation from the caller's Python objects (module code
// only; the core never sees Python):
//
//   #include "vexo_utils/model_adapters.h"
//   namespace pb = vexo::py_bind;
//   auto det = pb::make_grounding_detector(processor, grounding_model, device);
//   auto seg = pb::make_image_segmenter(image_predictor);  // set_image / predict
//   auto enc = pb::make_image_encoder(image_predictor);    // model.image_encoder
//   auto frames = pb::make_frame_source();                  // PIL-opened frames
//
// Make adapters with the GIL held. Their methods may then be called from core
// code running under py::gil_scoped_release: each call takes the GIL itself,
// and so do their destructors. Each returns a std::unique_ptr to the
// interface below. Core tests implement the interfaces with small C++ fakes.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <opencv2/core.hpp>
#include <string>
#include <vector>

namespace vexo::detection {

// x_min, y_min, x_max, y_max in pixels of the full frame.
using BoxXYXY = std::array<double, 4>;

// Keeps host-owned memory (array buffers, host objects) alive. Null when the
// data is owned by the struct itself.
using KeepAlive = std::shared_ptr<void>;

// One frame as opened from its file.
struct FrameImage {
  std::string path;
  cv::Mat rgb;       // H x W x 3, 8-bit RGB, the frame converted to RGB
  KeepAlive pixels;  // owner of the memory `rgb` views; null when `rgb` owns it
  KeepAlive native;  // the host's own image object (mode unchanged), may be null
};

class FrameSource {
 public:
  virtual ~FrameSource() = default;
  // Opens the image file at `path`; failures (missing file, undecodable
  // data) are thrown.
  virtual FrameImage open(const std::string& path) = 0;
};

// Frame opener on OpenCV alone (EXIF orientation ignored, as image libraries
// that open files "as stored" do). Throws FileNotFound / ValueError.
class OpenCvFrameSource : public FrameSource {
 public:
  FrameImage open(const std::string& path) override;
};

// Entry 0 of the detector's post-processed output, moved to host memory.
struct Detections {
  std::vector<BoxXYXY> boxes;
  std::vector<double> scores;
  std::vector<std::string> labels;
  // True when the detector gave single-precision scores; confidences are
  // then written with the shortest text that reads back as that float.
  bool single_precision_scores = false;
  std::size_t size() const { return boxes.size(); }
};

class GroundingDetector {
 public:
  virtual ~GroundingDetector() = default;
  // Builds the model inputs from the frame (as opened) and `prompt`, moves
  // them to the caller's device, runs the model without gradient tracking and
  // post-processes with `text_threshold` and the target size (frame height,
  // frame width). Throws when the outputs are malformed (boxes not N x 4,
  // lengths that disagree, non-finite boxes).
  virtual Detections detect(const FrameImage& frame, const std::string& prompt,
                            double text_threshold) = 0;
};

// A mask stack exactly as the segmenter returned it, read as 8-bit planes.
// `shape` is the stack's full shape (its last two entries are H and W);
// `planes` holds the product of the leading entries as H x W masks in C
// order (one plane for a 2-D stack). Planes are nonzero at object pixels and
// may be views into host memory kept alive by `keep`. Callers apply their
// own normalisation rules to `shape`.
struct MaskStack {
  std::vector<std::int64_t> shape;
  std::vector<cv::Mat> planes;
  KeepAlive keep;
  int ndim() const { return static_cast<int>(shape.size()); }
};

class ImageSegmenter {
 public:
  virtual ~ImageSegmenter() = default;
  // Encodes the frame (H x W x 3 8-bit RGB) for the following predictions.
  virtual void set_image(const cv::Mat& rgb) = 0;
  // One prediction with box prompts only (no points, single mask output):
  // one mask per box in box order, as the segmenter shapes its answer.
  virtual MaskStack predict(const std::vector<BoxXYXY>& boxes) = 0;
};

// The encoder's appearance vector: the spatial mean of its feature map.
struct Embedding {
  std::vector<float> values;  // length C, on the host
  KeepAlive native;           // the host's own vector (e.g. on the encoder's device), may be null
};

class ImageEncoder {
 public:
  virtual ~ImageEncoder() = default;
  // `image` is an h x w CV_32FC3 RGB image with values in 0..1. It is resized
  // bilinearly to size x size on the encoder's device (skipped when it has
  // that size already), passed as a 1 x 3 x size x size tensor through the
  // encoder without gradient tracking, and the mean of its 1 x C x h' x w'
  // feature map over the two spatial axes is returned.
  virtual Embedding encode(const cv::Mat& image, int size = 256) = 0;
};

}  // namespace vexo::detection
