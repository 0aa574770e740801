// Writers of host values: numpy arrays over core buffers without copies,
// PIL images and pandas tables.
#pragma once

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <memory>
#include <opencv2/core.hpp>
#include <string>
#include <vector>

namespace vexo::py_bind {

namespace py = pybind11;

// A numpy array sharing the Mat's buffer (no copy); the array keeps it alive.
// Single-channel Mats give H x W, multi-channel ones H x W x C.
py::array mat_to_numpy(const cv::Mat& m);
// numpy array of shape `shape` over a contiguous Mat buffer (no copy).
py::array mat_to_numpy_shaped(const cv::Mat& m, const std::vector<py::ssize_t>& shape);
// The same for a Mat over memory that `owner` keeps alive.
py::array mat_to_numpy_shaped(const cv::Mat& m, const std::vector<py::ssize_t>& shape,
                              std::shared_ptr<void> owner);

// numpy array of `dtype` and `shape` over a contiguous Mat buffer of as many
// bytes (no copy; a bool array over an 8-bit 0/1 mask, say).
py::array mat_as_array(const cv::Mat& m, const std::vector<py::ssize_t>& shape,
                       const py::dtype& dtype);
// A zero-filled array whose untouched pages are never faulted in (see
// core/zeroed_memory.h): large, mostly empty masks cost what they hold.
py::array zeroed_array(const std::vector<py::ssize_t>& shape, const py::dtype& dtype);

// A rows x cols float64 array holding a row-major table (a copy).
py::array_t<double> table_to_numpy(const std::vector<double>& cells, std::size_t rows,
                                   std::size_t cols);

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

// Text from the file system (undecodable bytes kept as the host keeps them).
py::str fs_text(const std::string& s);

// Imports a host module, raising ImportError with a clear message.
py::module_ import_host(const char* name);

}  // namespace vexo::py_bind
