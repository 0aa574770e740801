// The two plain record classes of the module surface. Fields hold host
// values as given (like a dataclass); methods read and convert them at call
// time, so a field changed after construction is honoured.
#pragma once

#include <pybind11/pybind11.h>

#include <array>
#include <string>

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

}  // namespace vexo::py_bind
