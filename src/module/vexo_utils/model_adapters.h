// Adapters that implement the model interfaces of detection/models.h by
// calling the caller's Python objects. Construct them with the GIL held; their
// methods and destructors take the GIL themselves, so core code may call them
// with the GIL released. Model results may be torch tensors (on any device)
// or numpy arrays; they are moved to host memory here.
#pragma once

#include <memory>

#include "common/convert.h"
#include "detection/models.h"

namespace vexo::py_bind {

// processor(images=..., text=..., return_tensors="pt").to(device),
// grounding_model(**inputs) under torch.no_grad() when torch is importable,
// processor.post_process_grounded_object_detection(outputs, input_ids,
// text_threshold=..., target_sizes=[(h, w)]), entry 0 read.
std::unique_ptr<detection::GroundingDetector> make_grounding_detector(py::object processor,
                                                                      py::object grounding_model,
                                                                      py::object device);

// image_predictor.set_image(H x W x 3 uint8 RGB array) and
// image_predictor.predict(point_coords=None, point_labels=None, box=N x 4,
// multimask_output=False); the masks (first element of the result) are read
// as 8-bit planes, zero-copy for bool / uint8 arrays.
std::unique_ptr<detection::ImageSegmenter> make_image_segmenter(py::object image_predictor);

// image_predictor.model.image_encoder(1 x 3 x S x S) under torch.no_grad(),
// entry "vision_features" averaged over its spatial axes. With torch, the
// input is a float32 tensor on image_predictor.device (else CUDA when
// available, else CPU) and the resize runs there; without torch it is a
// float32 numpy array resized on the host. Embedding::native holds the
// length-C vector as the host object (a tensor on the encoder's device, or a
// float32 numpy array); get it back with native_object().
std::unique_ptr<detection::ImageEncoder> make_image_encoder(py::object image_predictor);

// Opens frames with PIL.Image.open (mode unchanged, kept as FrameImage::native
// for the detector) and converts them to RGB for the other calls.
std::unique_ptr<detection::FrameSource> make_frame_source();

}  // namespace vexo::py_bind
