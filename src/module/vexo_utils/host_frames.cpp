#include "vexo_utils/host_frames.h"

#include <cmath>

#include "core/errors.h"

namespace vexo::py_bind {

// A count or threshold from the host, with the text the host prints for it.
HostNumber shown_number(py::handle obj, const std::string& what) {
  if (py::isinstance<py::bool_>(obj) || obj.is_none() || py::isinstance<py::str>(obj)) {
    throw vexo::TypeError(what + ": expected a number, got " + type_name(obj));
  }
  double v = to_double(obj, what);
  if (std::isnan(v)) throw vexo::ValueError(what + ": expected a number, got nan");
  HostNumber n = HostNumber::real(v);
  n.shown = py::str(obj).cast<std::string>();
  return n;
}

RemoveList remove_list_from_py(py::handle obj, const std::string& what) {
  RemoveList out;
  if (obj.is_none()) return out;
  if (py::isinstance<py::str>(obj) || !py::hasattr(obj, "__iter__")) {
    throw vexo::TypeError(what + ": expected a list of box keys, got " + type_name(obj));
  }
  for (py::handle e : py::reinterpret_borrow<py::iterable>(obj)) {
    py::object entry = py::reinterpret_borrow<py::object>(e);
    if (entry.is_none()) {
      out.names.emplace_back(std::nullopt);
    } else {
      out.names.emplace_back(py::str(entry).cast<std::string>());
    }
    const int truth = PyObject_IsTrue(entry.ptr());
    if (truth < 0) throw py::error_already_set();
    if (truth) out.any_truthy = true;
    out.entries.push_back(std::move(entry));
  }
  return out;
}

HostFrames::HostFrames(py::object frames, const RemoveList& remove) : frames_(std::move(frames)) {
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

detection::RecordMasks HostFrames::masks_at(std::size_t pos) {
  py::gil_scoped_acquire gil;
  auto it = held_.find(pos);
  if (it == held_.end()) {
    py::object md = record(pos)[py::str("masks_dict")];
    it = held_
             .emplace(pos, mask_dict_from_py(
                               md, "laste_frame[" + std::to_string(keys_[pos]) + "]['masks_dict']"))
             .first;
  }
  return detection::RecordMasks{it->second.keys, it->second.mats};
}

}  // namespace vexo::py_bind
