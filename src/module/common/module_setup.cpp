#include "common/module_setup.h"

#include <memory>
#include <nlohmann/json.hpp>
#include <opencv2/core.hpp>
#include <regex>
#include <string>

#include "core/console.h"
#include "core/errors.h"

namespace vexo::py_bind {

namespace py = pybind11;

namespace {

void write_to_host_stdout(std::string_view text) {
  py::gil_scoped_acquire gil;
  py::object out = py::module_::import("sys").attr("stdout");
  if (out.is_none()) return;
  // A line quoting a file name that is not UTF-8 still prints.
  PyObject* s = PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace");
  if (!s) throw py::error_already_set();
  out.attr("write")(py::reinterpret_steal<py::str>(s));
}

bool host_interrupt_pending() {
  py::gil_scoped_acquire gil;
  if (PyErr_CheckSignals() != 0) {
    PyErr_Clear();
    return true;
  }
  return false;
}

// Raises `type` with `what` as text the host can show: bytes that are not
// UTF-8 (a file name or a quoted file excerpt) are replaced, and the JSON
// library's internal error ids are left out.
void set_error(PyObject* type, const std::string& what) {
  static const std::regex json_id(R"(\[json\.exception\.[a-z_]+\.[0-9]+\] ?)");
  const std::string msg = std::regex_replace(what, json_id, "");
  PyObject* text = PyUnicode_DecodeUTF8(msg.data(), static_cast<Py_ssize_t>(msg.size()), "replace");
  if (!text) {
    PyErr_Clear();
    PyErr_SetString(type, "(unreadable message)");
    return;
  }
  PyErr_SetObject(type, text);
  Py_DECREF(text);
}

// Raises the OSError subclass of the error's errno (PermissionError,
// FileNotFoundError, NotADirectoryError, ...) with errno, strerror and
// filename set as the host's own file functions set them.
void set_os_error(const vexo::IoError& e) {
  if (e.code == 0) return set_error(PyExc_OSError, e.what());
  PyObject* args = nullptr;
  PyObject* reason =
      PyUnicode_DecodeUTF8(e.reason.data(), static_cast<Py_ssize_t>(e.reason.size()), "replace");
  if (reason && e.path.empty()) {
    args = Py_BuildValue("(iN)", e.code, reason);
  } else if (reason) {
    PyObject* file =
        PyUnicode_DecodeFSDefaultAndSize(e.path.data(), static_cast<Py_ssize_t>(e.path.size()));
    args = file ? Py_BuildValue("(iNN)", e.code, reason, file) : nullptr;
    if (!file) Py_DECREF(reason);
  }
  PyObject* exc = args ? PyObject_Call(PyExc_OSError, args, nullptr) : nullptr;
  Py_XDECREF(args);
  if (!exc) {
    PyErr_Clear();
    return set_error(PyExc_OSError, e.what());
  }
  PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exc)), exc);
  Py_DECREF(exc);
}

// The text of a failed pybind11 conversion without C++ type names: "a str
// value could not be read as text", for example.
std::string cast_failure_text(const std::string& what) {
  static const std::regex host_type(R"(of type <class '([^']+)'>)");
  std::smatch m;
  std::string from = std::regex_search(what, m, host_type) ? m[1].str() + " " : "";
  std::string to = "the expected type";
  if (what.find("basic_string") != std::string::npos) {
    to = "text (valid UTF-8)";
  } else if (what.find("'double'") != std::string::npos ||
             what.find("'float'") != std::string::npos) {
    to = "a number";
  } else if (what.find("'long") != std::string::npos || what.find("'int'") != std::string::npos ||
             what.find("'unsigned") != std::string::npos) {
    to = "an integer";
  } else if (what.find("'bool'") != std::string::npos) {
    to = "a boolean";
  }
  return "a " + from + "value could not be read as " + to;
}

// A reference to a host object that may be dropped on any thread: it is
// given back with the GIL held, or left alone once the interpreter is gone.
std::shared_ptr<PyObject> hold(py::object obj) {
  return std::shared_ptr<PyObject>(obj.release().ptr(), [](PyObject* p) {
    if (!Py_IsInitialized()) return;
    py::gil_scoped_acquire gil;
    Py_DECREF(p);
  });
}

}  // namespace

void init_module_conventions(py::module_&) {
  vexo::set_console_sink(write_to_host_stdout);
  vexo::set_interrupt_hook(host_interrupt_pending);
  py::register_exception_translator([](std::exception_ptr p) {
    try {
      if (p) std::rethrow_exception(p);
    } catch (const vexo::Interrupted&) {
      PyErr_SetNone(PyExc_KeyboardInterrupt);
    } catch (const vexo::ValueError& e) {
      set_error(PyExc_ValueError, e.what());
    } catch (const vexo::TypeError& e) {
      set_error(PyExc_TypeError, e.what());
    } catch (const vexo::KeyError& e) {
      set_error(PyExc_KeyError, e.what());
    } catch (const vexo::IndexError& e) {
      set_error(PyExc_IndexError, e.what());
    } catch (const vexo::IoError& e) {
      set_os_error(e);
    } catch (const vexo::Error& e) {
      set_error(PyExc_RuntimeError, e.what());
    } catch (const nlohmann::json::type_error& e) {
      set_error(PyExc_TypeError, std::string("unexpected JSON value: ") + e.what());
    } catch (const nlohmann::json::out_of_range& e) {
      set_error(e.id == 403   ? PyExc_KeyError
                : e.id == 401 ? PyExc_IndexError
                              : PyExc_ValueError,
                std::string("JSON content: ") + e.what());
    } catch (const nlohmann::json::exception& e) {
      set_error(PyExc_ValueError, std::string("invalid JSON: ") + e.what());
    } catch (const py::cast_error& e) {
      set_error(PyExc_TypeError, cast_failure_text(e.what()));
    } catch (const std::bad_alloc&) {
      PyErr_SetString(PyExc_MemoryError,
                      "not enough memory for this call (are the sizes of its inputs sensible?)");
    } catch (const cv::Exception& e) {
      if (e.code == cv::Error::StsNoMem) {
        PyErr_SetString(PyExc_MemoryError,
                        "not enough memory for this call (are the sizes of its inputs sensible?)");
        return;
      }
      set_error(PyExc_ValueError, std::string("image operation failed: ") + e.what());
    }
  });
}

void route_console(py::object write) {
  if (write.is_none()) {
    vexo::set_console_sink(write_to_host_stdout);
    return;
  }
  std::shared_ptr<PyObject> target = hold(std::move(write));
  vexo::set_console_sink([target](std::string_view text) {
    py::gil_scoped_acquire gil;
    PyObject* s =
        PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace");
    if (!s) throw py::error_already_set();
    py::handle(target.get())(py::reinterpret_steal<py::str>(s));
  });
}

void route_progress(py::object hook) {
  if (hook.is_none()) {
    vexo::set_progress_hook(nullptr);
    return;
  }
  std::shared_ptr<PyObject> target = hold(std::move(hook));
  vexo::set_progress_hook([target](std::string_view task, std::size_t done, std::size_t total) {
    py::gil_scoped_acquire gil;
    try {
      py::handle(target.get())(py::str(task.data(), task.size()), done, total);
    } catch (py::error_already_set& e) {
      // Ctrl-C arriving while the display runs surfaces here.
      if (e.matches(PyExc_KeyboardInterrupt)) throw vexo::Interrupted();
      throw;
    }
  });
}

}  // namespace vexo::py_bind
