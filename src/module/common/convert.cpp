#include "common/convert.h"

#include <cmath>
#include <cstring>
#include <new>
#include <nlohmann/json.hpp>
#include <regex>

#include "core/console.h"
#include "core/errors.h"

namespace vexo::py_bind {

namespace {

void write_to_host_stdout(std::string_view text) {
  py::gil_scoped_acquire gil;
  py::object out = py::module_::import("sys").attr("stdout");
  if (out.is_none()) return;
  // A line quoting a file name that is not UTF-8 still prints.
  PyObject* s = PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace");
  if (!s) throw py::error_already_set();
  out.attr("write")(py::reinterpret_steal<py::str>(s));
}

bool host_interrupt_pending() {
  py::gil_scoped_acquire gil;
  if (PyErr_CheckSignals() != 0) {
    PyErr_Clear();
    return true;
  }
  return false;
}

std::string dtype_name(const py::array& a) { return py::str(a.dtype()).cast<std::string>(); }

// Raises `type` with `what` as text the host can show: bytes that are not
// UTF-8 (a file name or a quoted file excerpt) are replaced, and the JSON
// library's internal error ids are left out.
void set_error(PyObject* type, const std::string& what) {
  static const std::regex json_id(R"(\[json\.exception\.[a-z_]+\.[0-9]+\] ?)");
  const std::string msg = std::regex_replace(what, json_id, "");
  PyObject* text = PyUnicode_DecodeUTF8(msg.data(), static_cast<Py_ssize_t>(msg.size()), "replace");
  if (!text) {
    PyErr_Clear();
    PyErr_SetString(type, "(unreadable message)");
    return;
  }
  PyErr_SetObject(type, text);
  Py_DECREF(text);
}

// The text of a failed pybind11 conversion without C++ type names: "a str
// value could not be read as text", for example.
std::string cast_failure_text(const std::string& what) {
  static const std::regex host_type(R"(of type <class '([^']+)'>)");
  std::smatch m;
  std::string from = std::regex_search(what, m, host_type) ? m[1].str() + " " : "";
  std::string to = "the expected type";
  if (what.find("basic_string") != std::string::npos) {
    to = "text (valid UTF-8)";
  } else if (what.find("'double'") != std::string::npos ||
             what.find("'float'") != std::string::npos) {
    to = "a number";
  } else if (what.find("'long") != std::string::npos || what.find("'int'") != std::string::npos ||
             what.find("'unsigned") != std::string::npos) {
    to = "an integer";
  } else if (what.find("'bool'") != std::string::npos) {
    to = "a boolean";
  }
  return "a " + from + "value could not be read as " + to;
}

}  // namespace

void init_module_conventions(py::module_&) {
  vexo::set_console_sink(write_to_host_stdout);
  vexo::set_interrupt_hook(host_interrupt_pending);
  py::register_exception_translator([](std::exception_ptr p) {
    try {
      if (p) std::rethrow_exception(p);
    } catch (const vexo::Interrupted&) {
      PyErr_SetNone(PyExc_KeyboardInterrupt);
    } catch (const vexo::ValueError& e) {
      set_error(PyExc_ValueError, e.what());
    } catch (const vexo::TypeError& e) {
      set_error(PyExc_TypeError, e.what());
    } catch (const vexo::KeyError& e) {
      set_error(PyExc_KeyError, e.what());
    } catch (const vexo::IndexError& e) {
      set_error(PyExc_IndexError, e.what());
    } catch (const vexo::FileNotFound& e) {
      set_error(PyExc_FileNotFoundError, e.what());
    } catch (const vexo::IoError& e) {
      set_error(PyExc_OSError, e.what());
    } catch (const vexo::Error& e) {
      set_error(PyExc_RuntimeError, e.what());
    } catch (const nlohmann::json::type_error& e) {
      set_error(PyExc_TypeError, std::string("unexpected JSON value: ") + e.what());
    } catch (const nlohmann::json::out_of_range& e) {
      set_error(e.id == 403   ? PyExc_KeyError
                : e.id == 401 ? PyExc_IndexError
                              : PyExc_ValueError,
                std::string("JSON content: ") + e.what());
    } catch (const nlohmann::json::exception& e) {
      set_error(PyExc_ValueError, std::string("invalid JSON: ") + e.what());
    } catch (const py::cast_error& e) {
      set_error(PyExc_TypeError, cast_failure_text(e.what()));
    } catch (const std::bad_alloc&) {
      PyErr_SetString(PyExc_MemoryError,
                      "not enough memory for this call (are the sizes of its inputs sensible?)");
    } catch (const cv::Exception& e) {
      if (e.code == cv::Error::StsNoMem) {
        PyErr_SetString(PyExc_MemoryError,
                        "not enough memory for this call (are the sizes of its inputs sensible?)");
        return;
      }
      set_error(PyExc_ValueError, std::string("image operation failed: ") + e.what());
    }
  });
}

MaskIn mask_from_py(py::handle obj, const std::string& what, bool squeeze_leading) {
  if (obj.is_none()) throw vexo::TypeError(what + ": expected a mask array, got None");
  if (!py::isinstance<py::array>(obj)) {
    // Torch tensors and other array-likes convert through numpy.
    if (py::hasattr(obj, "__array__") || py::isinstance<py::list>(obj)) {
      py::object np = py::module_::import("numpy");
      py::object arr;
      try {
        if (py::hasattr(obj, "detach")) {
          arr = np.attr("asarray")(obj.attr("detach")().attr("cpu")().attr("numpy")());
        } else {
          arr = np.attr("asarray")(obj);
        }
      } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_ValueError) && !e.matches(PyExc_TypeError)) throw;
        throw vexo::ValueError(what + ": cannot read it as an array (" + std::string(e.what()) +
                               ")");
      }
      return mask_from_py(arr, what, squeeze_leading);
    }
    throw vexo::TypeError(what + ": expected a numpy mask array, got " +
                          py::str(py::type::of(obj).attr("__name__")).cast<std::string>());
  }
  py::array a = py::reinterpret_borrow<py::array>(obj);
  if (squeeze_leading && a.ndim() == 3 && a.shape(0) == 1) {
    a = a.attr("reshape")(a.shape(1), a.shape(2));
  }
  if (a.ndim() != 2) {
    throw vexo::ValueError(what + ": expected a 2-D mask (H x W), got an array of " +
                           std::to_string(a.ndim()) + " dimensions");
  }
  const py::ssize_t rows = a.shape(0), cols = a.shape(1);
  if (rows > INT32_MAX || cols > INT32_MAX) throw vexo::ValueError(what + ": mask too large");
  char kind = a.dtype().kind();
  int itemsize = static_cast<int>(a.itemsize());
  MaskIn out;
  bool one_byte = (kind == 'b' || kind == 'u' || kind == 'i') && itemsize == 1;
  if (one_byte) {
    if (rows == 0 || cols == 0) {
      out.mat = cv::Mat(static_cast<int>(rows), static_cast<int>(cols), CV_8UC1);
      return out;
    }
    if (a.strides(1) == 1 && a.strides(0) >= cols) {
      out.keep = a;
      out.mat = cv::Mat(static_cast<int>(rows), static_cast<int>(cols), CV_8UC1,
                        const_cast<void*>(a.data()), static_cast<size_t>(a.strides(0)));
      return out;
    }
    py::array c = py::module_::import("numpy").attr("ascontiguousarray")(a);
    return mask_from_py(c, what, false);
  }
  if (kind == 'f' && (itemsize == 4 || itemsize == 8)) {
    out.mat = cv::Mat(static_cast<int>(rows), static_cast<int>(cols), CV_8UC1);
    auto conv = [&](auto tag) {
      using T = decltype(tag);
      auto r = a.unchecked<T, 2>();
      for (py::ssize_t y = 0; y < rows; ++y) {
        std::uint8_t* dst = out.mat.ptr<std::uint8_t>(static_cast<int>(y));
        for (py::ssize_t x = 0; x < cols; ++x) {
          T v = r(y, x);
          if (!std::isfinite(v)) {
            throw vexo::ValueError(what + ": mask holds a value that is not finite");
          }
          dst[x] = v != 0;
        }
      }
    };
    if (itemsize == 4) {
      conv(float{});
    } else {
      conv(double{});
    }
    return out;
  }
  throw vexo::TypeError(what + ": mask dtype " + dtype_name(a) +
                        " is not supported (use bool, uint8 or float 0/1 masks)");
}

ImageIn image_from_py(py::handle obj, const std::string& what) {
  if (obj.is_none()) throw vexo::TypeError(what + ": expected an image, got None");
  ImageIn out;
  py::object arr_obj = py::reinterpret_borrow<py::object>(obj);
  if (!py::isinstance<py::array>(obj)) {
    py::object pil_image = import_host("PIL.Image");
    if (!py::isinstance(obj, pil_image.attr("Image"))) {
      throw vexo::TypeError(what + ": expected a PIL image or a uint8 numpy array, got " +
                            py::str(py::type::of(obj).attr("__name__")).cast<std::string>());
    }
    out.mode = obj.attr("mode").cast<std::string>();
    py::object img = py::reinterpret_borrow<py::object>(obj);
    if (out.mode != "L" && out.mode != "RGB" && out.mode != "RGBA") {
      img = img.attr("convert")("RGB");
      out.mode = "RGB";
    }
    arr_obj = py::module_::import("numpy").attr("asarray")(img);
  }
  py::array a = py::module_::import("numpy").attr("ascontiguousarray")(arr_obj);
  if (a.dtype().kind() != 'u' || a.itemsize() != 1) {
    throw vexo::TypeError(what + ": image dtype " + dtype_name(a) +
                          " is not supported (use uint8)");
  }
  if (a.ndim() != 2 && a.ndim() != 3) {
    throw vexo::ValueError(what + ": expected an H x W x C image, got an array of " +
                           std::to_string(a.ndim()) + " dimensions");
  }
  int rows = static_cast<int>(a.shape(0)), cols = static_cast<int>(a.shape(1));
  int ch = a.ndim() == 3 ? static_cast<int>(a.shape(2)) : 1;
  if (ch < 1 || ch > 4) throw vexo::ValueError(what + ": images have 1, 3 or 4 channels");
  if (rows == 0 || cols == 0) throw vexo::ValueError(what + ": the image is empty");
  out.keep = a;
  out.mat = cv::Mat(rows, cols, CV_8UC(ch), const_cast<void*>(a.data()));
  return out;
}

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
  py::dtype dt = dtype_of_depth(m.depth());
  auto* holder = new cv::Mat(m);
  py::capsule owner(holder, [](void* p) { delete static_cast<cv::Mat*>(p); });
  return py::array(dt, shape, {}, holder->data, owner);
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

double to_double(py::handle obj, const std::string& what) {
  if (obj.is_none() || py::isinstance<py::str>(obj) || py::isinstance<py::bytes>(obj)) {
    throw vexo::TypeError(what + ": expected a number, got " +
                          py::str(py::type::of(obj).attr("__name__")).cast<std::string>());
  }
  try {
    return py::float_(py::reinterpret_borrow<py::object>(obj)).cast<double>();
  } catch (py::error_already_set&) {
    throw vexo::TypeError(what + ": expected a number, got " +
                          py::str(py::type::of(obj).attr("__name__")).cast<std::string>());
  }
}

std::int64_t to_int(py::handle obj, const std::string& what) {
  if (obj.is_none() || py::isinstance<py::str>(obj) || py::isinstance<py::float_>(obj)) {
    throw vexo::TypeError(what + ": expected an integer, got " +
                          py::str(py::type::of(obj).attr("__name__")).cast<std::string>());
  }
  try {
    return py::int_(py::reinterpret_borrow<py::object>(obj).attr("__index__")())
        .cast<std::int64_t>();
  } catch (py::error_already_set&) {
    throw vexo::TypeError(what + ": expected an integer, got " +
                          py::str(py::type::of(obj).attr("__name__")).cast<std::string>());
  } catch (py::cast_error&) {
    throw vexo::ValueError(what + ": integer out of range");
  }
}

std::string to_str(py::handle obj, const std::string& what) {
  py::object text;
  if (py::isinstance<py::str>(obj)) {
    text = py::reinterpret_borrow<py::object>(obj);
  } else if (py::hasattr(obj, "__fspath__")) {
    text = obj.attr("__fspath__")();
  }
  std::string out;
  if (text && py::isinstance<py::str>(text)) {
    // Encoded as the file system expects (UTF-8, with undecodable bytes of
    // names read from disk given back as they were).
    PyObject* raw = PyUnicode_EncodeFSDefault(text.ptr());
    if (!raw) {
      std::string reason = py::error_already_set().what();
      throw vexo::ValueError(what + ": the text cannot be encoded (" + reason + ")");
    }
    out = py::reinterpret_steal<py::bytes>(raw).cast<std::string>();
  } else if (text && py::isinstance<py::bytes>(text)) {
    out = text.cast<std::string>();
  } else {
    throw vexo::TypeError(what + ": expected a string, got " +
                          py::str(py::type::of(obj).attr("__name__")).cast<std::string>());
  }
  // Paths with a NUL would be cut short by the operating system.
  if (out.find('\0') != std::string::npos) {
    throw vexo::ValueError(what + ": the text holds a NUL character");
  }
  return out;
}

}  // namespace vexo::py_bind
