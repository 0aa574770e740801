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

}  // namespace vexo::py_bind
