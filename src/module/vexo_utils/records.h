// The two plain record classes of the module surface (registered with their
// methods in bind_catalogue.cpp and bind_video_processor.cpp). Fields hold host
// values as given (like a dataclass); methods read and convert them at call
// time, so a field changed after construction is honoured.
#pragma once

#include <pybind11/pybind11.h>

#include <array>
#include <string>
#include <utility>

namespace vexo::py_bind {

namespace py = pybind11;

struct VideoMetadataRecord {
  static constexpr std::array<const char*, 8> kFields = {
      "base_dir",    "sub_dirs", "filter_start",  "filter_end",
      "sample_step", "top_n",    "match_pattern", "camera_number"};
  std::array<py::object, 8> f;
  py::object& base_dir() { return f[0]; }
  py::object& sub_dirs() { return f[1]; }
  py::object& filter_start() { return f[2]; }
  py::object& filter_end() { return f[3]; }
  py::object& sample_step() { return f[4]; }
  py::object& top_n() { return f[5]; }
  py::object& match_pattern() { return f[6]; }
  py::object& camera_number() { return f[7]; }
};

struct VideoProcessorRecord {
  static constexpr std::array<const char*, 7> kFields = {
      "resize_dim",         "frame_skip", "time_step", "output_dir_base",
      "camera_crop_coords", "crop",       "left_crop"};
  std::array<py::object, 7> f;
  py::object& resize_dim() { return f[0]; }
  py::object& frame_skip() { return f[1]; }
  py::object& time_step() { return f[2]; }
  py::object& output_dir_base() { return f[3]; }
  py::object& camera_crop_coords() { return f[4]; }
  py::object& crop() { return f[5]; }
  py::object& left_crop() { return f[6]; }
};

// The dataclass-like protocol of a record class: one property per field,
// repr, equality (no hash), __match_args__ and _fields.
template <class Rec, class Cls>
void add_record_protocol(Cls& cls, const char* name) {
  for (std::size_t i = 0; i < Rec::kFields.size(); ++i) {
    cls.def_property(
        Rec::kFields[i], [i](const Rec& r) { return r.f[i]; },
        [i](Rec& r, py::object v) { r.f[i] = std::move(v); });
  }
  std::string cls_name = name;
  cls.def("__repr__", [cls_name](const Rec& r) {
    std::string out = cls_name + "(";
    for (std::size_t i = 0; i < Rec::kFields.size(); ++i) {
      if (i) out += ", ";
      out += Rec::kFields[i];
      out += "=";
      out += py::repr(r.f[i]).template cast<std::string>();
    }
    return out + ")";
  });
  cls.def(
      "__eq__",
      [](const Rec& a, py::object other) -> py::object {
        if (!py::isinstance<Rec>(other))
          return py::reinterpret_borrow<py::object>(Py_NotImplemented);
        const Rec& b = other.cast<const Rec&>();
        for (std::size_t i = 0; i < Rec::kFields.size(); ++i) {
          if (!a.f[i].equal(b.f[i])) return py::bool_(false);
        }
        return py::bool_(true);
      },
      py::is_operator());
  cls.attr("__hash__") = py::none();
  py::tuple names(Rec::kFields.size());
  for (std::size_t i = 0; i < Rec::kFields.size(); ++i) names[i] = py::str(Rec::kFields[i]);
  cls.attr("__match_args__") = names;
  cls.attr("_fields") = names;
}

}  // namespace vexo::py_bind
