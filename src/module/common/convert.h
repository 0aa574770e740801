// Conversions between host values and core types, shared by both extension
// modules: masks in and out of numpy, pandas tables, PIL images, and the
// module-wide console, interrupt and error set-up.
#pragma once

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <cstdint>
#include <memory>
#include <opencv2/core.hpp>
#include <string>
#include <vector>

namespace vexo::py_bind {

namespace py = pybind11;

// Installs the console sink (host sys.stdout), the interrupt hook (Ctrl-C)
// and the exception translators. Call once from each module's init.
void init_module_conventions(py::module_& m);

// A mask read from the host: an 8-bit view (zero-copy for C-contiguous bool
// or uint8 arrays; a converted copy otherwise) and the object that keeps the
// memory alive. Nonzero pixels are set.
struct MaskIn {
  cv::Mat mat;
  py::object keep;
};
// Accepts a 2-D bool / uint8 / int8 / float32 / float64 array (floats must be
// finite). With `squeeze_leading`, a 1 x H x W array is read as H x W.
// Raises TypeError/ValueError naming `what` otherwise.
MaskIn mask_from_py(py::handle obj, const std::string& what, bool squeeze_leading = false);

// An 8-bit image (H x W or H x W x C) from a numpy uint8 array or a PIL image.
// The returned Mat is a view (kept alive by `keep`) or a copy.
struct ImageIn {
  cv::Mat mat;
  py::object keep;
  std::string mode;  // "L", "RGB", "RGBA" or "" for plain arrays
};
ImageIn image_from_py(py::handle obj, const std::string& what);

// A numpy array sharing the Mat's buffer (no copy); the array keeps it alive.
// Single-channel Mats give H x W, multi-channel ones H x W x C.
py::array mat_to_numpy(const cv::Mat& m);
// numpy array of shape `shape` over a contiguous Mat buffer (no copy).
py::array mat_to_numpy_shaped(const cv::Mat& m, const std::vector<py::ssize_t>& shape);
// The same for a Mat over memory that `owner` keeps alive.
py::array mat_to_numpy_shaped(const cv::Mat& m, const std::vector<py::ssize_t>& shape,
                              std::shared_ptr<void> owner);

// PIL image of the given mode ("L", "RGB", "RGBA") from an 8-bit Mat whose
// channel count matches the mode.
py::object mat_to_pil(const cv::Mat& m, const std::string& mode);

// pandas.DataFrame from a row-major float64 table with row and column labels.
py::object make_float_frame(const std::vector<double>& cells, const std::vector<std::string>& rows,
                            const std::vector<std::string>& cols);
// The same over an existing float64 array and ready pandas Index objects
// (tables of many frames with the same keys can share one Index).
py::object make_float_frame(const py::array_t<double>& data, const py::object& index,
                            const py::object& columns);
py::object make_index(const std::vector<std::string>& labels);

// Imports a host module, raising ImportError with a clear message.
py::module_ import_host(const char* name);

// Reads a real number from a host value, raising TypeError naming `what`.
double to_double(py::handle obj, const std::string& what);
std::int64_t to_int(py::handle obj, const std::string& what);
// Text of a str or path-like value, encoded as the file system expects.
// TypeError for other values; ValueError for text holding a NUL character.
std::string to_str(py::handle obj, const std::string& what);

}  // namespace vexo::py_bind
