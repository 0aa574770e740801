// The caller's frame records as the last-frame choice and the matcher read
// them: counts shown as the host prints them, lists of box keys to leave out
// and the {frame index: record} map with masks read on demand.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <vector>

#include "common/convert.h"
#include "detection/last_frame.h"

namespace vexo::py_bind {

// A count or threshold from the host, with the text the host prints for it.
HostNumber shown_number(py::handle obj, const std::string& what);

// The entries of a list of box keys to leave out, as given and as text
// (None stays absent).
struct RemoveList {
  std::vector<py::object> entries;
  std::vector<std::optional<std::string>> names;
  bool any_truthy = false;
};

RemoveList remove_list_from_py(py::handle obj, const std::string& what);

// The caller's frame records: keys sorted ascending, masks read on demand
// (zero-copy views kept alive here).
class HostFrames {
 public:
  // Sorts the keys and takes the boxes named in `remove` out of every
  // record's masks_dict.
  HostFrames(py::object frames, const RemoveList& remove);
  const std::vector<std::int64_t>& keys() const { return keys_; }
  py::object record(std::size_t pos) const { return frames_[key_objects_[pos]]; }

  // Called from core code running without the GIL.
  detection::RecordMasks masks_at(std::size_t pos);
  detection::RecordMasksFn provider() {
    return [this](std::size_t pos) { return masks_at(pos); };
  }

 private:
  py::object frames_;
  py::list key_objects_;
  std::vector<std::int64_t> keys_;
  std::map<std::size_t, MaskDictIn> held_;
};

}  // namespace vexo::py_bind
