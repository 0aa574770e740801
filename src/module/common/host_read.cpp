#include "common/host_read.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <thread>
#include <type_traits>

#include "common/host_write.h"
#include "core/errors.h"
#include "core/mask_scan.h"
#include "core/parallel.h"

namespace vexo::py_bind {

namespace {

std::string dtype_name(const py::array& a) { return py::str(a.dtype()).cast<std::string>(); }

py::array contiguous(py::handle a) {
  return py::module_::import("numpy").attr("ascontiguousarray")(a);
}

// The nonzero rule over `n` contiguous values: dst[i] = src[i] != 0. Returns
// false when a float value is not finite. Single precision goes through the
// core's vectorised kernel; the rest are plain loops over bit patterns the
// compiler vectorises.
template <class T>
bool nonzero_bytes(const T* src, std::uint8_t* dst, std::size_t n) {
  if constexpr (std::is_same_v<T, float>) {
    return float_mask_to_bytes(src, n, dst);
  } else if constexpr (std::is_same_v<T, double>) {
    constexpr std::uint64_t kExp = 0x7ff0000000000000ull, kMag = ~std::uint64_t{0} >> 1;
    const auto* bits = reinterpret_cast<const std::uint64_t*>(src);
    std::uint64_t bad = 0;
    for (std::size_t i = 0; i < n; ++i) {
      const std::uint64_t b = bits[i];
      dst[i] = (b & kMag) != 0;
      bad |= static_cast<std::uint64_t>((b & kExp) == kExp);
    }
    return bad == 0;
  } else {
    for (std::size_t i = 0; i < n; ++i) dst[i] = src[i] != 0;
    return true;
  }
}

// The nonzero rule over a contiguous numeric buffer of `total` values of
// kind `kind` and size `item`, in parallel chunks (the pass is bound by
// memory reads). Call without the GIL.
bool nonzero_buffer(const void* src, char kind, py::ssize_t item, std::size_t total,
                    std::uint8_t* dst) {
  constexpr std::size_t kChunk = std::size_t{1} << 18;
  const std::size_t workers = vexo::worker_threads();
  const std::size_t chunks = std::clamp<std::size_t>(total / kChunk, 1, workers);
  const std::size_t step = ((total + chunks - 1) / chunks + 15) & ~std::size_t{15};
  std::vector<std::uint8_t> ok(chunks, 1);
  parallel_for(chunks, [&](std::size_t k) {
    const std::size_t from = std::min(total, k * step), to = std::min(total, from + step);
    const std::size_t n = to - from;
    const char* s = static_cast<const char*>(src) + from * static_cast<std::size_t>(item);
    std::uint8_t* d = dst + from;
    bool finite = true;
    if (kind == 'f' && item == 4) {
      finite = nonzero_bytes(reinterpret_cast<const float*>(s), d, n);
    } else if (kind == 'f' && item == 8) {
      finite = nonzero_bytes(reinterpret_cast<const double*>(s), d, n);
    } else if (item == 1) {
      nonzero_bytes(reinterpret_cast<const std::uint8_t*>(s), d, n);
    } else if (item == 2) {
      nonzero_bytes(reinterpret_cast<const std::uint16_t*>(s), d, n);
    } else if (item == 4) {
      nonzero_bytes(reinterpret_cast<const std::uint32_t*>(s), d, n);
    } else if (item == 8) {
      nonzero_bytes(reinterpret_cast<const std::uint64_t*>(s), d, n);
    } else {
      throw vexo::TypeError("unsupported mask element size");
    }
    ok[k] = finite;
  });
  return std::all_of(ok.begin(), ok.end(), [](std::uint8_t v) { return v != 0; });
}

// Host object holder whose release takes the GIL (it may be dropped from code
// running without it).
struct PyHolder {
  py::object obj;
  ~PyHolder() {
    if (!obj) return;
    py::gil_scoped_acquire gil;
    obj = py::object();
  }
};

// The positive rule: any real dtype, set where the value is above 0.
MaskIn positive_mask(py::array a, const std::string& what) {
  const char kind = a.dtype().kind();
  if (kind != 'u' && kind != 'i' && kind != 'f') {
    throw vexo::TypeError(what + ": mask dtype " + dtype_name(a) +
                          " is not supported (use bool, integer or float masks)");
  }
  if (a.ndim() != 2) {
    throw vexo::ValueError(what + ": expected a 2-D mask (H x W), got an array of " +
                           std::to_string(a.ndim()) + " dimensions");
  }
  auto d = py::array_t<double, py::array::c_style | py::array::forcecast>::ensure(a);
  if (!d) throw vexo::TypeError(what + ": cannot read the mask as numbers");
  const py::ssize_t rows = d.shape(0), cols = d.shape(1);
  if (rows > INT32_MAX || cols > INT32_MAX) throw vexo::ValueError(what + ": mask too large");
  MaskIn out;
  out.mat = cv::Mat(static_cast<int>(rows), static_cast<int>(cols), CV_8UC1);
  const double* p = d.data();
  for (py::ssize_t y = 0; y < rows; ++y) {
    std::uint8_t* row = out.mat.ptr<std::uint8_t>(static_cast<int>(y));
    for (py::ssize_t x = 0; x < cols; ++x) {
      const double v = p[y * cols + x];
      if (std::isnan(v)) throw vexo::ValueError(what + ": mask holds NaN");
      row[x] = v > 0;
    }
  }
  return out;
}

}  // namespace

// ------------------------------------------------------ scalars and text

std::string type_name(py::handle obj) {
  return py::str(py::type::of(obj).attr("__name__")).cast<std::string>();
}

double to_double(py::handle obj, const std::string& what) {
  if (obj.is_none() || py::isinstance<py::str>(obj) || py::isinstance<py::bytes>(obj)) {
    throw vexo::TypeError(what + ": expected a number, got " + type_name(obj));
  }
  try {
    return py::float_(py::reinterpret_borrow<py::object>(obj)).cast<double>();
  } catch (py::error_already_set&) {
    throw vexo::TypeError(what + ": expected a number, got " + type_name(obj));
  }
}

std::int64_t to_int(py::handle obj, const std::string& what) {
  if (obj.is_none() || py::isinstance<py::str>(obj) || py::isinstance<py::float_>(obj)) {
    throw vexo::TypeError(what + ": expected an integer, got " + type_name(obj));
  }
  try {
    return py::int_(py::reinterpret_borrow<py::object>(obj).attr("__index__")())
        .cast<std::int64_t>();
  } catch (py::error_already_set&) {
    throw vexo::TypeError(what + ": expected an integer, got " + type_name(obj));
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
    throw vexo::TypeError(what + ": expected a string, got " + type_name(obj));
  }
  // Paths with a NUL would be cut short by the operating system.
  if (out.find('\0') != std::string::npos) {
    throw vexo::ValueError(what + ": the text holds a NUL character");
  }
  return out;
}

bool truthy(py::handle obj) { return py::bool_(py::reinterpret_borrow<py::object>(obj)); }

std::optional<std::string> optional_str(py::handle obj, const std::string& what) {
  if (obj.is_none()) return std::nullopt;
  return to_str(obj, what);
}

std::vector<std::string> path_list_from_py(py::handle obj, const std::string& what,
                                           const char* expected, PathList kind) {
  if (obj.is_none() || py::isinstance<py::str>(obj) || py::isinstance<py::bytes>(obj) ||
      py::isinstance<py::dict>(obj) || !py::hasattr(obj, "__iter__") ||
      (kind == PathList::Sequence && !py::isinstance<py::sequence>(obj))) {
    throw vexo::TypeError(what + ": expected " + expected + ", got " + type_name(obj));
  }
  std::vector<std::string> out;
  for (py::handle item : py::reinterpret_borrow<py::iterable>(obj)) {
    out.push_back(to_str(item, what + "[" + std::to_string(out.size()) + "]"));
  }
  return out;
}

py::dict require_dict(py::handle obj, const std::string& what) {
  if (!py::isinstance<py::dict>(obj)) {
    throw vexo::TypeError(what + ": expected a dict, got " + type_name(obj));
  }
  return py::reinterpret_borrow<py::dict>(obj);
}

py::object record_field(const py::dict& rec, const char* field, const std::string& rec_name) {
  if (!rec.contains(field)) {
    throw vexo::KeyError(rec_name + " has no '" + field + "' field");
  }
  return rec[field];
}

bool is_host_integer(py::handle v) {
  if (py::isinstance<py::float_>(v)) return false;
  if (PyLong_Check(v.ptr())) return true;
  py::object np = py::module_::import("numpy");
  return py::isinstance(v, np.attr("integer")) || py::isinstance(v, np.attr("bool_"));
}

// ---------------------------------------------------------------- arrays

py::array_t<double> real_array_from_py(py::handle obj, const std::string& what) {
  if (obj.is_none()) throw vexo::TypeError(what + ": expected numbers, got None");
  py::object src = py::reinterpret_borrow<py::object>(obj);
  if (py::hasattr(src, "detach") && py::hasattr(src, "cpu")) src = host_array(src, what);
  py::object np = py::module_::import("numpy");
  try {
    py::object arr = np.attr("asarray")(src, py::arg("dtype") = np.attr("float64"));
    return py::array_t<double, py::array::c_style | py::array::forcecast>::ensure(arr);
  } catch (py::error_already_set& e) {
    // An interrupt (or exit) raised while the values are read stays what it is.
    if (!e.matches(PyExc_Exception)) throw;
    throw vexo::TypeError(what + ": expected numbers (" + std::string(e.what()) + ")");
  }
}

py::array host_array(py::handle value, const std::string& what) {
  if (value.is_none()) throw vexo::TypeError(what + ": expected an array or tensor, got None");
  if (py::isinstance<py::array>(value)) return py::reinterpret_borrow<py::array>(value);
  py::module_ np = py::module_::import("numpy");
  if (py::hasattr(value, "detach") && py::hasattr(value, "cpu")) {
    py::object t = value.attr("detach")().attr("cpu")();
    if (py::str(t.attr("dtype")).cast<std::string>() == "torch.bfloat16") t = t.attr("float")();
    return np.attr("asarray")(t.attr("numpy")());
  }
  try {
    return np.attr("asarray")(value);
  } catch (py::error_already_set& e) {
    if (e.matches(PyExc_ValueError)) {
      throw vexo::ValueError(what + ": cannot read it as an array (" + std::string(e.what()) + ")");
    }
    throw vexo::TypeError(what + ": cannot read a " + type_name(value) + " as an array");
  }
}

bool is_array_like(py::handle value) {
  return py::isinstance<py::array>(value) || py::isinstance<py::list>(value) ||
         py::hasattr(value, "__array__") || py::hasattr(value, "detach");
}

bool is_private_bool_array(const py::array& arr, Py_ssize_t ours) {
  // Never released: arrays may be checked while the interpreter shuts down.
  static PyObject* ndarray =
      py::object(py::module_::import("numpy").attr("ndarray")).release().ptr();
  PyObject* o = arr.ptr();
  if (Py_TYPE(o) != reinterpret_cast<PyTypeObject*>(ndarray)) return false;
  if (Py_REFCNT(o) != 1 + ours) return false;
  using api = py::detail::npy_api;
  const int need = api::NPY_ARRAY_C_CONTIGUOUS_ | api::NPY_ARRAY_OWNDATA_ |
                   api::NPY_ARRAY_WRITEABLE_ | api::NPY_ARRAY_ALIGNED_;
  if ((arr.flags() & need) != need) return false;
  if (arr.dtype().kind() != 'b' || arr.itemsize() != 1) return false;
  const Py_ssize_t weak = Py_TYPE(o)->tp_weaklistoffset;
  if (weak > 0 && *reinterpret_cast<PyObject**>(reinterpret_cast<char*>(o) + weak) != nullptr) {
    return false;
  }
  return py::detail::array_proxy(o)->base == nullptr;
}

std::string shape_text(const py::array& a) {
  std::string s = "(";
  for (py::ssize_t i = 0; i < a.ndim(); ++i) {
    if (i) s += ", ";
    s += std::to_string(a.shape(i));
  }
  if (a.ndim() == 1) s += ",";
  return s + ")";
}

detection::KeepAlive keep_object(py::object obj) {
  auto h = std::make_shared<PyHolder>();
  h->obj = std::move(obj);
  return h;
}

py::object native_object(const detection::KeepAlive& keep) {
  if (!keep) return py::none();
  auto* h = static_cast<PyHolder*>(keep.get());
  return h->obj ? h->obj : py::none();
}

// ----------------------------------------------------------------- masks

MaskIn mask_from_py(py::handle obj, const std::string& what, bool squeeze_leading, MaskRule rule) {
  if (obj.is_none()) throw vexo::TypeError(what + ": expected a mask array, got None");
  if (!py::isinstance<py::array>(obj)) {
    const bool sequence = py::isinstance<py::list>(obj) ||
                          (rule == MaskRule::Positive && py::isinstance<py::tuple>(obj));
    if (!sequence && !is_array_like(obj)) {
      throw vexo::TypeError(what + ": expected a numpy mask array, got " + type_name(obj));
    }
    return mask_from_py(host_array(obj, what), what, squeeze_leading, rule);
  }
  py::array a = py::reinterpret_borrow<py::array>(obj);
  if (squeeze_leading && a.ndim() == 3 && a.shape(0) == 1) {
    a = a.attr("reshape")(a.shape(1), a.shape(2));
  }
  const char kind = a.dtype().kind();
  const int itemsize = static_cast<int>(a.itemsize());
  if (rule == MaskRule::Positive) {
    if (a.ndim() == 3 && a.shape(0) == 1) a = a.attr("reshape")(a.shape(1), a.shape(2));
    // Unsigned bytes and bools: above 0 is nonzero.
    if (!(kind == 'b' || (kind == 'u' && itemsize == 1))) return positive_mask(a, what);
  }
  if (a.ndim() != 2) {
    throw vexo::ValueError(what + ": expected a 2-D mask (H x W), got an array of " +
                           std::to_string(a.ndim()) + " dimensions");
  }
  const py::ssize_t rows = a.shape(0), cols = a.shape(1);
  if (rows > INT32_MAX || cols > INT32_MAX) throw vexo::ValueError(what + ": mask too large");
  MaskIn out;
  const bool one_byte = (kind == 'b' || kind == 'u' || kind == 'i') && itemsize == 1;
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
    return mask_from_py(contiguous(a), what, false, rule);
  }
  if (kind == 'f' && (itemsize == 4 || itemsize == 8)) {
    out.mat = cv::Mat(static_cast<int>(rows), static_cast<int>(cols), CV_8UC1);
    if (rows == 0 || cols == 0) return out;
    py::array c = contiguous(a);
    bool finite;
    {
      py::gil_scoped_release nogil;
      finite = nonzero_buffer(c.data(), kind, itemsize, static_cast<std::size_t>(rows * cols),
                              out.mat.ptr<std::uint8_t>());
    }
    if (!finite) throw vexo::ValueError(what + ": mask holds a value that is not finite");
    return out;
  }
  throw vexo::TypeError(what + ": mask dtype " + dtype_name(a) +
                        " is not supported (use bool, uint8 or float 0/1 masks)");
}

MaskDictIn mask_dict_from_py(py::handle obj, const std::string& what, bool squeeze_leading) {
  if (!py::isinstance<py::dict>(obj)) {
    throw vexo::TypeError(what + ": expected a dict of box key to mask, got " + type_name(obj));
  }
  MaskDictIn out;
  for (auto item : obj.cast<py::dict>()) {
    std::string key = py::str(item.first).cast<std::string>();
    MaskIn mi = mask_from_py(item.second, what + "[" + key + "]", squeeze_leading);
    out.keys.push_back(key);
    out.key_objects.push_back(py::reinterpret_borrow<py::object>(item.first));
    out.mats.push_back(mi.mat);
    out.keep.push_back(mi.keep);
  }
  return out;
}

detection::MaskStack mask_stack_from_py(py::handle masks, const std::string& what) {
  py::array arr = host_array(masks, what);
  const py::array host = arr;
  const int nd = static_cast<int>(arr.ndim());
  if (nd < 2 || nd > 4) {
    throw vexo::ValueError(what + ": expected a mask stack of 2 to 4 dimensions, got shape " +
                           shape_text(arr));
  }
  const char kind = arr.dtype().kind();
  if (kind != 'b' && kind != 'u' && kind != 'i' && kind != 'f') {
    throw vexo::TypeError(what + ": mask dtype " + dtype_name(arr) +
                          " is not supported (use bool, integer or float 0/1 masks)");
  }
  if (kind == 'f' && arr.itemsize() == 2) arr = arr.attr("astype")("float32");
  detection::MaskStack st;
  for (int i = 0; i < nd; ++i) st.shape.push_back(arr.shape(i));
  const std::int64_t h = arr.shape(nd - 2), w = arr.shape(nd - 1);
  if (h > INT32_MAX || w > INT32_MAX) throw vexo::ValueError(what + ": masks too large");
  std::int64_t planes = 1;
  for (int i = 0; i < nd - 2; ++i) planes *= arr.shape(i);
  const std::size_t plane_px = static_cast<std::size_t>(h) * static_cast<std::size_t>(w);
  const int rows = static_cast<int>(h), cols = static_cast<int>(w);
  if (plane_px > 0 && planes * h > INT32_MAX) throw vexo::ValueError(what + ": masks too large");
  arr = contiguous(arr);
  st.keep = keep_object(py::make_tuple(host, arr));
  if (plane_px == 0) {
    for (std::int64_t p = 0; p < planes; ++p) st.planes.emplace_back(rows, cols, CV_8UC1);
    return st;
  }
  if (arr.itemsize() == 1) {
    auto* base = static_cast<std::uint8_t*>(const_cast<void*>(arr.data()));
    for (std::int64_t p = 0; p < planes; ++p) {
      st.planes.emplace_back(rows, cols, CV_8UC1, base + p * plane_px);
    }
    return st;
  }
  cv::Mat buf(static_cast<int>(planes * h), cols, CV_8UC1);
  bool finite;
  {
    py::gil_scoped_release nogil;
    finite = nonzero_buffer(arr.data(), kind, arr.itemsize(),
                            static_cast<std::size_t>(planes) * plane_px, buf.ptr<std::uint8_t>());
  }
  if (!finite) throw vexo::ValueError(what + ": mask holds a value that is not finite");
  for (std::int64_t p = 0; p < planes; ++p) {
    st.planes.push_back(buf.rowRange(static_cast<int>(p * h), static_cast<int>((p + 1) * h)));
  }
  return st;
}

py::object host_stack_array(const detection::MaskStack& st) {
  return native_object(st.keep)[py::int_(0)];
}

MaskListIn mask_list_from_py(py::handle masks, const std::string& what) {
  if (masks.is_none())
    throw vexo::TypeError(what + ": expected a list or stack of masks, got None");
  MaskListIn out;
  auto add = [&](py::handle m, const std::string& name) {
    MaskIn mi = mask_from_py(m, name, true);
    out.mats.push_back(mi.mat);
    out.keep.push_back(mi.keep);
  };
  if (py::isinstance<py::list>(masks) || py::isinstance<py::tuple>(masks)) {
    py::sequence seq = py::reinterpret_borrow<py::sequence>(masks);
    for (std::size_t i = 0; i < seq.size(); ++i) add(seq[i], what + "[" + std::to_string(i) + "]");
    return out;
  }
  py::array arr = host_array(masks, what);
  if (arr.ndim() == 4 && arr.shape(1) == 1) {
    arr = arr.attr("reshape")(arr.shape(0), arr.shape(2), arr.shape(3));
  }
  if (arr.ndim() != 3) {
    throw vexo::ValueError(what + ": expected N x H x W masks, got shape " + shape_text(arr));
  }
  for (py::ssize_t i = 0; i < arr.shape(0); ++i) {
    add(arr[py::int_(i)], what + "[" + std::to_string(i) + "]");
  }
  return out;
}

// ---------------------------------------------------------------- images

ImageIn image_from_py(py::handle obj, const std::string& what) {
  if (obj.is_none()) throw vexo::TypeError(what + ": expected an image, got None");
  ImageIn out;
  py::object arr_obj = py::reinterpret_borrow<py::object>(obj);
  if (!py::isinstance<py::array>(obj)) {
    py::object pil_image = import_host("PIL.Image");
    if (!py::isinstance(obj, pil_image.attr("Image"))) {
      throw vexo::TypeError(what + ": expected a PIL image or a uint8 numpy array, got " +
                            type_name(obj));
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

// ---------------------------------------------------------------- tables

py::object column_from_py(py::handle df, py::handle name, const std::string& table) {
  if (!py::hasattr(df, "columns")) return df[name];
  const std::string label = py::repr(name).cast<std::string>();
  if (!df.attr("columns").attr("__contains__")(name).cast<bool>()) {
    throw vexo::KeyError(table + " has no column " + label);
  }
  py::object col = df[name];
  if (py::hasattr(col, "columns")) {
    throw vexo::ValueError(table + " has several columns named " + label);
  }
  return col;
}

}  // namespace vexo::py_bind
