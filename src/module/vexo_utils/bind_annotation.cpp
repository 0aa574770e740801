// Annotation files: reading, drawing and repairing them.
#include <optional>

#include "common/convert.h"
#include "core/errors.h"
#include "pen/annotation.h"
#include "vexo_utils/bindings.h"

namespace vexo::py_bind {

using namespace vexo::pen;

namespace {

py::object json_to_py(const nlohmann::ordered_json& v) {
  using vt = nlohmann::ordered_json::value_t;
  switch (v.type()) {
    case vt::null:
      return py::none();
    case vt::boolean:
      return py::bool_(v.get<bool>());
    case vt::number_integer:
      return py::int_(v.get<std::int64_t>());
    case vt::number_unsigned:
      return py::int_(v.get<std::uint64_t>());
    case vt::number_float:
      return py::float_(v.get<double>());
    case vt::string:
      return py::str(v.get_ref<const std::string&>());
    case vt::array: {
      py::list l;
      for (const auto& e : v) l.append(json_to_py(e));
      return l;
    }
    case vt::object: {
      py::dict d;
      for (auto it = v.begin(); it != v.end(); ++it) d[py::str(it.key())] = json_to_py(it.value());
      return d;
    }
    default:
      return py::none();
  }
}

py::object retrieve_annotation(py::object json_path, py::object save_path, py::object box_drawing,
                               py::object object_ids) {
  std::string path = to_str(json_path, "json_path");
  std::optional<std::string> save = optional_str(save_path, "save_path");
  const bool boxes = py::bool_(box_drawing);
  const bool all = py::isinstance<py::str>(object_ids) && object_ids.cast<std::string>() == "all";
  AnnotationFile file;
  {
    py::gil_scoped_release nogil;
    file = read_annotation(path);
  }
  // Colours come from the host's process-wide generator, one per drawn
  // detection, so seeding it reproduces the image.
  py::object randint = import_host("random").attr("randint");
  std::vector<std::optional<Rgb>> colours(file.object_ids.size());
  for (std::size_t i = 0; i < file.object_ids.size(); ++i) {
    if (!all) {
      py::object id = json_to_py(file.object_ids[i]);
      int found = PySequence_Contains(object_ids.ptr(), id.ptr());
      if (found < 0) throw py::error_already_set();
      if (!found) continue;
    }
    Rgb c{};
    for (auto& ch : c) ch = static_cast<std::uint8_t>(to_int(randint(0, 254), "random colour"));
    colours[i] = c;
  }
  cv::Mat img;
  {
    py::gil_scoped_release nogil;
    img = render_annotation(file, colours, boxes, save.value_or(""));
  }
  return mat_to_pil(img, "RGBA");
}

void fix_polygon_scaling(py::object json_path, py::object save_path) {
  std::string path = to_str(json_path, "json_path");
  std::optional<std::string> save = optional_str(save_path, "save_path");
  py::gil_scoped_release nogil;
  vexo::pen::fix_polygon_scaling(path, save);
}

}  // namespace

void bind_annotation(py::module_& m) {
  m.def("retrieve_annotation", &retrieve_annotation, py::arg("json_path"),
        py::arg("save_path") = py::none(), py::arg("box_drawing") = false,
        py::arg("object_ids") = "all",
        "Renders a per-frame tracking JSON file onto its frame: each selected detection's "
        "polygons filled in a random colour (Python's random module, 0..254) at alpha 100 and, "
        "with box_drawing, its last xyxy box and a 'Box <object_id - 1>' label. object_ids is "
        "'all' or a collection of object_id values. Returns an RGBA PIL image, also saved to "
        "save_path when given and not empty.");
  m.def("fix_polygon_scaling", &fix_polygon_scaling, py::arg("json_path"),
        py::arg("save_path") = py::none(),
        "Repairs polygons normalised with swapped image dimensions: every formatted_polygon "
        "pair (x, y) becomes (x * H/W, y * W/H), written with 6 decimals. The file is written to "
        "save_path (or over json_path) through a temporary file renamed into place, keys in the "
        "order read, indented by 4 spaces. Prints 'Error loading image: ...' and writes nothing "
        "when the frame image cannot be opened.");
}

}  // namespace vexo::py_bind
