// Host-side frame records: MaskDict in and out, FrameData dicts.
#pragma once

#include <string>
#include <vector>

#include "common/convert.h"

namespace vexo::py_bind {

// A MaskDict read from the host: keys in dict order, their 8-bit views and
// the key objects as given (to look them up in companion dicts).
struct MaskDictIn {
  std::vector<std::string> keys;
  std::vector<py::object> key_objects;
  std::vector<cv::Mat> mats;
  std::vector<py::object> keep;
};
MaskDictIn mask_dict_from_py(py::handle obj, const std::string& what, bool squeeze_leading = false);

}  // namespace vexo::py_bind
