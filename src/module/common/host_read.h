// Readers of host values. Every binding reads its arguments through these,
// so a value means the same to every operation: one rule for arrays (numpy
// arrays as given; tensors moved to host memory, bfloat16 widened to
// float32; anything else through numpy.asarray), one for paths, one for
// masks (an explicit rule for which pixels are set).
#pragma once

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <cstdint>
#include <opencv2/core.hpp>
#include <optional>
#include <string>
#include <vector>

#include "detection/models.h"

namespace vexo::py_bind {

namespace py = pybind11;

// ------------------------------------------------------ scalars and text

// The host's name for the type of `obj` ("list", "ndarray", "NoneType").
std::string type_name(py::handle obj);

// The host's truth value of `obj` (bool(obj)).
bool truthy(py::handle obj);

// Reads a real number from a host value, raising TypeError naming `what`.
double to_double(py::handle obj, const std::string& what);
std::int64_t to_int(py::handle obj, const std::string& what);
// Text of a str or path-like value, encoded as the file system expects.
// TypeError for other values; ValueError for text holding a NUL character.
// Every path argument is read this way.
std::string to_str(py::handle obj, const std::string& what);
// None, or the text of to_str().
std::optional<std::string> optional_str(py::handle obj, const std::string& what);
// Which containers a path list may come in: any iterable but text, bytes
// and dicts, or only sequences (lists, tuples) where the caller's list is
// one of frames in order.
enum class PathList { Iterable, Sequence };
// A list of paths, each read by to_str() and named `what[i]`. TypeError
// "<what>: expected <expected>, got <type>" for other values.
std::vector<std::string> path_list_from_py(py::handle obj, const std::string& what,
                                           const char* expected = "a list of paths",
                                           PathList kind = PathList::Iterable);

// A dict, or TypeError "<what>: expected a dict, got <type>".
py::dict require_dict(py::handle obj, const std::string& what);
// record[field], with a KeyError naming the record when it is missing.
py::object record_field(const py::dict& rec, const char* field, const std::string& rec_name);
// Whether a host number is an integer (int, numpy integers and bools; not float).
bool is_host_integer(py::handle v);

// ---------------------------------------------------------------- arrays

// A C-contiguous float64 array of an array-like (lists, tuples, arrays,
// tensors), raising TypeError naming `what` when it is not numeric (a
// KeyboardInterrupt raised while reading passes through).
py::array_t<double> real_array_from_py(py::handle obj, const std::string& what);

// Host memory of an array-like: numpy arrays as given; tensors (objects with
// detach() and cpu()) through .detach().cpu(), bfloat16 as float32, then
// .numpy(); anything else through numpy.asarray. TypeError for None and for
// values numpy cannot read; ValueError for ragged nested lists.
py::array host_array(py::handle value, const std::string& what);
// Whether host_array() reads `value` as an array-like: numpy arrays,
// tensors, lists and objects with __array__ (not None, numbers or text).
bool is_array_like(py::handle value);
// Whether `arr` is a plain, writable, aligned, C-contiguous boolean numpy
// array that owns its memory, has no weak references, and is referenced only
// by the container it was read from and by `ours` references of the caller:
// nobody else can see it, so rewriting it in place for a result is the same
// as replacing it with a new array (and reuses memory already in use).
bool is_private_bool_array(const py::array& arr, Py_ssize_t ours);
// "(2, 3)", "(4,)": an array's shape as the host prints it.
std::string shape_text(const py::array& a);

// Keeps a host object alive from core code; the release takes the GIL.
detection::KeepAlive keep_object(py::object obj);
// The host object of a KeepAlive made by keep_object (None when empty).
py::object native_object(const detection::KeepAlive& keep);

// ----------------------------------------------------------------- masks

// Which pixels of a mask are set. Nonzero: every value that is not 0 (float
// values must be finite). Positive: values above 0 (drawing masks; NaN
// rejected).
enum class MaskRule { Nonzero, Positive };

// A mask read from the host: an 8-bit 0/1 (or nonzero) view, zero-copy for
// C-contiguous 1-byte arrays, a converted copy otherwise, and the object
// that keeps the memory alive.
struct MaskIn {
  cv::Mat mat;
  py::object keep;
};
// Accepts a 2-D bool / uint8 / int8 / float32 / float64 array, tensor or list
// (Positive also takes tuples and wider integers). With `squeeze_leading`, a
// 1 x H x W array is read as H x W. Raises TypeError/ValueError naming `what`.
MaskIn mask_from_py(py::handle obj, const std::string& what, bool squeeze_leading = false,
                    MaskRule rule = MaskRule::Nonzero);

// A dict of box key to mask: keys in dict order, their 8-bit views and the
// key objects as given (to look them up in companion dicts).
struct MaskDictIn {
  std::vector<std::string> keys;
  std::vector<py::object> key_objects;
  std::vector<cv::Mat> mats;
  std::vector<py::object> keep;
};
MaskDictIn mask_dict_from_py(py::handle obj, const std::string& what, bool squeeze_leading = false);

// A mask stack (2 to 4 dimensions; bool, integer or float values; tensor or
// array) as 8-bit planes, nonzero rule. The stack's keep holds the tuple
// (masks as a host array exactly as returned, the array the planes view);
// host_stack_array() gives the first back.
detection::MaskStack mask_stack_from_py(py::handle masks, const std::string& what);
py::object host_stack_array(const detection::MaskStack& st);

// A list of frame masks: a list / tuple of H x W (or 1 x H x W) masks, or an
// N x H x W (or N x 1 x H x W) array or tensor. Views where possible; `keep`
// holds what they point into.
struct MaskListIn {
  std::vector<cv::Mat> mats;
  std::vector<py::object> keep;
};
MaskListIn mask_list_from_py(py::handle masks, const std::string& what);

// ---------------------------------------------------------------- images

// An 8-bit image (H x W or H x W x C) from a numpy uint8 array or a PIL image.
// The returned Mat is a view (kept alive by `keep`) or a copy.
struct ImageIn {
  cv::Mat mat;
  py::object keep;
  std::string mode;  // "L", "RGB", "RGBA" or "" for plain arrays
};
ImageIn image_from_py(py::handle obj, const std::string& what);

// ---------------------------------------------------------------- tables

// df[name] of a table `table` names in messages: KeyError "<table> has no
// column <repr(name)>" when it lacks it, ValueError when several columns
// carry the name. Objects without `columns` (plain mappings) are indexed as
// they are.
py::object column_from_py(py::handle df, py::handle name, const std::string& table);

}  // namespace vexo::py_bind
