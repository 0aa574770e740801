// Choice of a clip's last usable frame.
#include "common/convert.h"
#include "detection/last_frame.h"
#include "vexo_utils/bindings.h"
#include "vexo_utils/host_frames.h"

namespace vexo::py_bind {

using namespace vexo::detection;

namespace {

py::tuple find_best_last_frame_py(py::object laste_frame, py::object min_area,
                                  py::object max_attempts, py::object remove_stack_obs) {
  LastFrameParams params;
  params.min_area = shown_number(min_area, "min_area");
  params.max_attempts = shown_number(max_attempts, "max_attempts");
  RemoveList remove = remove_list_from_py(remove_stack_obs, "remove_stack_obs");
  params.expected = expected_tracks(remove.names);
  HostFrames frames(laste_frame, remove);
  std::optional<std::size_t> chosen;
  {
    py::gil_scoped_release nogil;
    chosen = find_best_last_frame(frames.keys(), frames.provider(), params);
  }
  if (!chosen) return py::make_tuple(py::none(), true);
  return py::make_tuple(frames.record(*chosen), false);
}

}  // namespace

void bind_last_frame(py::module_& m) {
  m.def("find_best_laste_frame", &find_best_last_frame_py, py::arg("laste_frame"),
        py::arg("min_area") = 10, py::arg("max_attempts") = 10,
        py::arg("remove_stack_obs") = py::list(),
        "Walks back from the last frame record of a clip, at most max_attempts frames, and "
        "returns (record, False) for the first frame whose masks all exceed min_area pixels, "
        "number at least 10 minus the named boxes of remove_stack_obs and overlap each other "
        "below 50 %; (None, True) when there is none. Boxes named in remove_stack_obs are first "
        "deleted from every record's masks_dict, in place.");
}

}  // namespace vexo::py_bind
