// The caller's frame records as the last-frame choice and the matcher read
// them: counts shown as the host prints them, lists of box keys to leave out
// and the {frame index: record} map with masks read on demand.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <vector>

#include "common/convert.h"
#include "core/errors.h"
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
  HostFrames(py::object frames, const RemoveList& remove) : frames_(std::move(frames)) {
    if (!py::hasattr(frames_, "keys") || !py::hasattr(frames_, "__getitem__")) {
      throw vexo::TypeError("laste_frame: expected a dict of frame records, got " +
                            type_name(frames_));
    }
    key_objects_ = py::module_::import("builtins").attr("sorted")(frames_.attr("keys")());
    for (py::handle key : key_objects_) keys_.push_back(to_int(key, "laste_frame key"));
    // The records are the caller's own: the boxes leave them for good.
    if (remove.any_truthy) {
      for (py::handle key : key_objects_) {
        py::object masks = frames_[key][py::str("masks_dict")];
        for (const py::object& e : remove.entries) {
          if (masks.contains(e)) masks.attr("__delitem__")(e);
        }
      }
    }
  }
  const std::vector<std::int64_t>& keys() const { return keys_; }
  py::object record(std::size_t pos) const { return frames_[key_objects_[pos]]; }

  // Called from core code running without the GIL.
  detection::RecordMasks masks_at(std::size_t pos) {
    py::gil_scoped_acquire gil;
    auto it = held_.find(pos);
    if (it == held_.end()) {
      py::object md = record(pos)[py::str("masks_dict")];
      it = held_
               .emplace(pos, mask_dict_from_py(md, "laste_frame[" + std::to_string(keys_[pos]) +
                                                       "]['masks_dict']"))
               .first;
    }
    return detection::RecordMasks{it->second.keys, it->second.mats};
  }
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
