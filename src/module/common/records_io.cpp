#include "common/records_io.h"

#include "core/errors.h"

namespace vexo::py_bind {

MaskDictIn mask_dict_from_py(py::handle obj, const std::string& what, bool squeeze_leading) {
  if (!py::isinstance<py::dict>(obj)) {
    throw vexo::TypeError(what + ": expected a dict of box key to mask, got " +
                          py::str(py::type::of(obj).attr("__name__")).cast<std::string>());
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

}  // namespace vexo::py_bind
