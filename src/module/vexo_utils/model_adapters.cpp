#include "vexo_utils/model_adapters.h"

#include <cmath>
#include <cstring>
#include <opencv2/imgproc.hpp>

#include "core/errors.h"
#include "core/parallel.h"
#include "vexo_utils/host_detections.h"

namespace vexo::py_bind {

namespace det = vexo::detection;

namespace {

// torch, or None when it cannot be imported (sys.modules is consulted first,
// so this is cheap once torch is loaded).
py::object try_import_torch() {
  PyObject* mod = PyImport_ImportModule("torch");
  if (!mod) {
    if (PyErr_ExceptionMatches(PyExc_ImportError)) {
      PyErr_Clear();
      return py::none();
    }
    throw py::error_already_set();
  }
  return py::reinterpret_steal<py::object>(mod);
}

// torch.no_grad() for the lifetime of the object, when torch is importable.
class NoGrad {
 public:
  NoGrad() {
    py::object torch = try_import_torch();
    if (!torch.is_none()) {
      ctx_ = torch.attr("no_grad")();
      ctx_.attr("__enter__")();
    }
  }
  ~NoGrad() {
    if (!ctx_) return;
    try {
      ctx_.attr("__exit__")(py::none(), py::none(), py::none());
    } catch (...) {
      PyErr_Clear();
    }
  }
  NoGrad(const NoGrad&) = delete;
  NoGrad& operator=(const NoGrad&) = delete;

 private:
  py::object ctx_;
};

// Base of the adapters: drops the held host objects with the GIL taken.
class HoldsObjects {
 protected:
  void release_all(std::initializer_list<py::object*> objs) {
    py::gil_scoped_acquire gil;
    for (py::object* o : objs) *o = py::object();
  }
};

py::array contiguous(py::handle a) {
  return py::module_::import("numpy").attr("ascontiguousarray")(a);
}

// ---------------------------------------------------------------- detector

class PyGroundingDetector final : public det::GroundingDetector, HoldsObjects {
 public:
  PyGroundingDetector(py::object processor, py::object model, py::object device)
      : processor_(std::move(processor)), model_(std::move(model)), device_(std::move(device)) {}
  ~PyGroundingDetector() override { release_all({&processor_, &model_, &device_}); }

  det::Detections detect(const det::FrameImage& frame, const std::string& prompt,
                         double text_threshold) override {
    py::gil_scoped_acquire gil;
    py::object image = native_object(frame.native);
    if (image.is_none()) image = mat_to_pil(frame.rgb.clone(), "RGB");
    py::object inputs = processor_(py::arg("images") = image, py::arg("text") = prompt,
                                   py::arg("return_tensors") = "pt");
    inputs = inputs.attr("to")(device_);
    py::object input_ids;
    if (py::hasattr(inputs, "input_ids")) {
      input_ids = inputs.attr("input_ids");
    } else {
      input_ids = inputs[py::str("input_ids")];
    }
    py::dict kwargs = py::dict(inputs);
    py::object outputs;
    {
      NoGrad no_grad;
      outputs = model_(**kwargs);
    }
    py::list sizes;
    sizes.append(py::make_tuple(frame.rgb.rows, frame.rgb.cols));
    py::object results = processor_.attr("post_process_grounded_object_detection")(
        outputs, input_ids, py::arg("text_threshold") = text_threshold,
        py::arg("target_sizes") = sizes);
    return read_detections(results, true).core;
  }

 private:
  py::object processor_, model_, device_;
};

// --------------------------------------------------------------- segmenter

class PyImageSegmenter final : public det::ImageSegmenter, HoldsObjects {
 public:
  explicit PyImageSegmenter(py::object predictor) : predictor_(std::move(predictor)) {}
  ~PyImageSegmenter() override { release_all({&predictor_}); }

  void set_image(const cv::Mat& rgb) override {
    if (rgb.empty() || rgb.type() != CV_8UC3) {
      throw vexo::ValueError("set_image: expected an H x W x 3 8-bit RGB frame");
    }
    cv::Mat copy = rgb.clone();
    py::gil_scoped_acquire gil;
    predictor_.attr("set_image")(mat_to_numpy(copy));
  }

  det::MaskStack predict(const std::vector<det::BoxXYXY>& boxes) override {
    py::gil_scoped_acquire gil;
    py::array_t<double> box({static_cast<py::ssize_t>(boxes.size()), py::ssize_t{4}});
    if (!boxes.empty())
      std::memcpy(box.mutable_data(), boxes.data(), boxes.size() * 4 * sizeof(double));
    py::object result = predictor_.attr("predict")(
        py::arg("point_coords") = py::none(), py::arg("point_labels") = py::none(),
        py::arg("box") = box, py::arg("multimask_output") = false);
    py::object masks;
    if (py::isinstance<py::tuple>(result) || py::isinstance<py::list>(result)) {
      py::sequence seq = result.cast<py::sequence>();
      if (seq.size() == 0)
        throw vexo::ValueError("image_predictor.predict returned an empty result");
      masks = seq[0];
    } else {
      throw vexo::TypeError("image_predictor.predict: expected (masks, scores, logits), got " +
                            type_name(result));
    }
    return mask_stack_from_py(masks, "image_predictor.predict masks");
  }

 private:
  py::object predictor_;
};

// ----------------------------------------------------------------- encoder

class PyImageEncoder final : public det::ImageEncoder, HoldsObjects {
 public:
  explicit PyImageEncoder(py::object predictor) : predictor_(std::move(predictor)) {}
  ~PyImageEncoder() override { release_all({&predictor_}); }

  det::Embedding encode(const cv::Mat& image, int size) override {
    if (image.empty() || image.type() != CV_32FC3) {
      throw vexo::ValueError("image encoder input: expected an h x w x 3 float32 RGB image");
    }
    if (size <= 0) throw vexo::ValueError("image encoder input size must be positive");
    py::gil_scoped_acquire gil;
    py::object torch = try_import_torch();
    const bool has_torch = !torch.is_none();
    cv::Mat src = image;
    if (!has_torch && (image.rows != size || image.cols != size)) {
      cv::resize(image, src, cv::Size(size, size), 0, 0, cv::INTER_LINEAR);
    }
    py::array_t<float> chw({py::ssize_t{1}, py::ssize_t{3}, static_cast<py::ssize_t>(src.rows),
                            static_cast<py::ssize_t>(src.cols)});
    {
      float* dst = chw.mutable_data();
      const std::size_t plane = static_cast<std::size_t>(src.rows) * src.cols;
      for (int y = 0; y < src.rows; ++y) {
        const float* row = src.ptr<float>(y);
        for (int x = 0; x < src.cols; ++x) {
          std::size_t o = static_cast<std::size_t>(y) * src.cols + x;
          dst[o] = row[3 * x];
          dst[plane + o] = row[3 * x + 1];
          dst[2 * plane + o] = row[3 * x + 2];
        }
      }
    }
    py::object encoder = predictor_.attr("model").attr("image_encoder");
    det::Embedding emb;
    NoGrad no_grad;
    if (has_torch) {
      py::object device;
      if (py::hasattr(predictor_, "device")) {
        device = predictor_.attr("device");
      } else {
        bool cuda = torch.attr("cuda").attr("is_available")().cast<bool>();
        device = py::str(cuda ? "cuda" : "cpu");
      }
      py::object t = torch.attr("from_numpy")(chw).attr("to")(device);
      if (src.rows != size || src.cols != size) {
        t = torch.attr("nn")
                .attr("functional")
                .attr("interpolate")(t, py::arg("size") = py::make_tuple(size, size),
                                     py::arg("mode") = "bilinear",
                                     py::arg("align_corners") = false);
      }
      py::object feats = vision_features(encoder(t));
      if (!py::hasattr(feats, "shape")) {
        throw vexo::TypeError("image_encoder: 'vision_features' is not a tensor, got " +
                              type_name(feats));
      }
      py::tuple shape = py::tuple(feats.attr("shape"));
      check_feature_shape(shape);
      // An encoder may answer a numpy array even when torch is around.
      py::object mean =
          py::isinstance<py::array>(feats)
              ? feats.attr("mean")(py::arg("axis") = py::make_tuple(2, 3))[py::int_(0)]
              : feats.attr("mean")(py::arg("dim") = py::make_tuple(2, 3))[py::int_(0)];
      py::array host = contiguous(host_array(mean, "vision_features"));
      auto f = py::array_t<float, py::array::c_style | py::array::forcecast>::ensure(host);
      emb.values.assign(f.data(), f.data() + f.size());
      emb.native = keep_object(mean);
    } else {
      py::array feats = contiguous(host_array(vision_features(encoder(chw)), "vision_features"));
      check_feature_shape(py::tuple(feats.attr("shape")));
      auto f = py::array_t<float, py::array::c_style | py::array::forcecast>::ensure(feats);
      const py::ssize_t c = f.shape(1), hw = f.shape(2) * f.shape(3);
      emb.values.resize(static_cast<std::size_t>(c));
      for (py::ssize_t k = 0; k < c; ++k) {
        const float* p = f.data() + k * hw;
        double s = 0;
        for (py::ssize_t i = 0; i < hw; ++i) s += p[i];
        emb.values[static_cast<std::size_t>(k)] = static_cast<float>(s / static_cast<double>(hw));
      }
      py::array_t<float> vec(static_cast<py::ssize_t>(c));
      if (c > 0) std::memcpy(vec.mutable_data(), emb.values.data(), c * sizeof(float));
      emb.native = keep_object(vec);
    }
    return emb;
  }

 private:
  static py::object vision_features(py::object out) {
    try {
      return out[py::str("vision_features")];
    } catch (py::error_already_set& e) {
      if (e.matches(PyExc_KeyError) || e.matches(PyExc_TypeError) || e.matches(PyExc_IndexError)) {
        throw vexo::KeyError("image_encoder result has no 'vision_features' entry");
      }
      throw;
    }
  }
  static void check_feature_shape(const py::tuple& shape) {
    if (shape.size() != 4 || shape[0].cast<py::ssize_t>() != 1 ||
        shape[2].cast<py::ssize_t>() * shape[3].cast<py::ssize_t>() == 0) {
      throw vexo::ValueError(
          "image_encoder: expected 'vision_features' of shape 1 x C x h x w, got " +
          py::str(py::object(shape)).cast<std::string>());
    }
  }

  py::object predictor_;
};

// ------------------------------------------------------------ frame opener

class PilFrameSource final : public det::FrameSource {
 public:
  det::FrameImage open(const std::string& path) override {
    py::gil_scoped_acquire gil;
    py::object image_mod = import_host("PIL.Image");
    py::object img = image_mod.attr("open")(path);
    img.attr("load")();
    py::object rgb =
        img.attr("mode").cast<std::string>() == "RGB" ? img : img.attr("convert")("RGB");
    py::array arr = contiguous(py::module_::import("numpy").attr("asarray")(rgb));
    if (arr.ndim() != 3 || arr.shape(2) != 3 || arr.dtype().kind() != 'u' || arr.itemsize() != 1) {
      throw vexo::ValueError("frame " + path + ": cannot read it as an RGB image");
    }
    det::FrameImage f;
    f.path = path;
    f.rgb = cv::Mat(static_cast<int>(arr.shape(0)), static_cast<int>(arr.shape(1)), CV_8UC3,
                    const_cast<void*>(arr.data()));
    f.pixels = keep_object(arr);
    f.native = keep_object(img);
    return f;
  }
};

}  // namespace

std::unique_ptr<det::GroundingDetector> make_grounding_detector(py::object processor,
                                                                py::object grounding_model,
                                                                py::object device) {
  if (processor.is_none())
    throw vexo::TypeError("processor: expected the detector's processor, got None");
  if (grounding_model.is_none()) {
    throw vexo::TypeError("grounding_model: expected the detector model, got None");
  }
  return std::make_unique<PyGroundingDetector>(std::move(processor), std::move(grounding_model),
                                               std::move(device));
}

std::unique_ptr<det::ImageSegmenter> make_image_segmenter(py::object image_predictor) {
  if (image_predictor.is_none()) {
    throw vexo::TypeError("image_predictor: expected the image predictor, got None");
  }
  return std::make_unique<PyImageSegmenter>(std::move(image_predictor));
}

std::unique_ptr<det::ImageEncoder> make_image_encoder(py::object image_predictor) {
  if (image_predictor.is_none()) {
    throw vexo::TypeError("image_predictor: expected the image predictor, got None");
  }
  return std::make_unique<PyImageEncoder>(std::move(image_predictor));
}

std::unique_ptr<det::FrameSource> make_frame_source() { return std::make_unique<PilFrameSource>(); }

}  // namespace vexo::py_bind
