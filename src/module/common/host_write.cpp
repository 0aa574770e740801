#include "common/host_write.h"

#include <climits>
#include <cstdint>
#include <cstring>
#include <new>

#include "core/errors.h"
#include "core/zeroed_memory.h"

namespace vexo::py_bind {

py::array mat_to_numpy(const cv::Mat& m) {
  std::vector<py::ssize_t> shape{m.rows, m.cols};
  if (m.channels() > 1) shape.push_back(m.channels());
  if (m.isContinuous()) return mat_to_numpy_shaped(m, shape);
  return mat_to_numpy_shaped(m.clone(), shape);
}

namespace {
py::dtype dtype_of_depth(int depth) {
  switch (depth) {
    case CV_8U:
      return py::dtype::of<std::uint8_t>();
    case CV_8S:
      return py::dtype::of<std::int8_t>();
    case CV_16U:
      return py::dtype::of<std::uint16_t>();
    case CV_16S:
      return py::dtype::of<std::int16_t>();
    case CV_32S:
      return py::dtype::of<std::int32_t>();
    case CV_32F:
      return py::dtype::of<float>();
    case CV_64F:
      return py::dtype::of<double>();
    default:
      throw vexo::ValueError("unsupported matrix depth");
  }
}
}  // namespace

py::array mat_to_numpy_shaped(const cv::Mat& m, const std::vector<py::ssize_t>& shape,
                              std::shared_ptr<void> owner) {
  auto* holder = new std::shared_ptr<void>(std::move(owner));
  py::capsule cap(holder, [](void* p) { delete static_cast<std::shared_ptr<void>*>(p); });
  return py::array(dtype_of_depth(m.depth()), shape, {}, m.data, cap);
}

py::array mat_to_numpy_shaped(const cv::Mat& m, const std::vector<py::ssize_t>& shape) {
  return mat_as_array(m, shape, dtype_of_depth(m.depth()));
}

py::array mat_as_array(const cv::Mat& m, const std::vector<py::ssize_t>& shape,
                       const py::dtype& dtype) {
  auto* holder = new cv::Mat(m);
  py::capsule owner(holder, [](void* p) { delete static_cast<cv::Mat*>(p); });
  return py::array(dtype, shape, {}, holder->data, owner);
}

py::array zeroed_array(const std::vector<py::ssize_t>& shape, const py::dtype& dtype) {
  std::size_t bytes = static_cast<std::size_t>(dtype.itemsize());
  for (py::ssize_t d : shape) {
    if (d < 0) throw vexo::ValueError("negative array dimension");
    if (d > 0 && bytes > SIZE_MAX / static_cast<std::size_t>(d)) throw std::bad_alloc();
    bytes *= static_cast<std::size_t>(d);
  }
  if (bytes == 0 || bytes > static_cast<std::size_t>(INT_MAX)) {
    return import_host("numpy").attr("zeros")(py::tuple(py::cast(shape)), dtype);
  }
  return mat_as_array(vexo::zeroed_mat(1, static_cast<int>(bytes), CV_8U), shape, dtype);
}

py::array_t<double> table_to_numpy(const std::vector<double>& cells, std::size_t rows,
                                   std::size_t cols) {
  py::array_t<double> out({static_cast<py::ssize_t>(rows), static_cast<py::ssize_t>(cols)});
  if (!cells.empty()) std::memcpy(out.mutable_data(), cells.data(), cells.size() * sizeof(double));
  return out;
}

py::object mat_to_pil(const cv::Mat& m, const std::string& mode) {
  py::object image = import_host("PIL.Image");
  return image.attr("fromarray")(mat_to_numpy(m), mode);
}

py::object make_float_frame(const std::vector<double>& cells, const std::vector<std::string>& rows,
                            const std::vector<std::string>& cols) {
  py::array_t<double> data(
      {static_cast<py::ssize_t>(rows.size()), static_cast<py::ssize_t>(cols.size())});
  if (!cells.empty()) std::memcpy(data.mutable_data(), cells.data(), cells.size() * sizeof(double));
  return make_float_frame(data, make_index(rows), make_index(cols));
}

py::object make_float_frame(const py::array_t<double>& data, const py::object& index,
                            const py::object& columns) {
  py::object pd = import_host("pandas");
  return pd.attr("DataFrame")(data, py::arg("index") = index, py::arg("columns") = columns,
                              py::arg("copy") = false);
}

py::object make_index(const std::vector<std::string>& labels) {
  py::object pd = import_host("pandas");
  return pd.attr("Index")(py::cast(labels), py::arg("dtype") = "object");
}

py::module_ import_host(const char* name) {
  try {
    return py::module_::import(name);
  } catch (py::error_already_set& e) {
    if (e.matches(PyExc_ImportError)) {
      throw py::import_error(std::string("vexo_utils needs the Python package '") + name +
                             "', which is not installed");
    }
    throw;
  }
}
py::str fs_text(const std::string& s) {
  PyObject* o = PyUnicode_DecodeFSDefaultAndSize(s.data(), static_cast<Py_ssize_t>(s.size()));
  if (!o) throw py::error_already_set();
  return py::reinterpret_steal<py::str>(o);
}

}  // namespace vexo::py_bind
