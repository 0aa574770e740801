#include <cstring>

#include "common/convert.h"
#include "core/errors.h"
#include "vexo_utils/bindings.h"
#include "visual/diagnostics.h"

namespace vexo::py_bind {

using namespace vexo::visual;

namespace {

using namespace pybind11::literals;

// The table's values as a C-contiguous float64 array (DataFrames, nested
// lists, arrays and tensors alike).
py::array_t<double> table_values(py::handle table) {
  if (table.is_none()) throw vexo::TypeError("intersections_df: expected a table, got None");
  py::object values = py::reinterpret_borrow<py::object>(table);
  if (py::hasattr(table, "to_numpy")) values = table.attr("to_numpy")();
  py::array_t<double> a;
  try {
    a = real_array_from_py(values, "intersections_df");
  } catch (const vexo::TypeError&) {
    throw vexo::TypeError("intersections_df: expected a square table of numbers, got " +
                          type_name(table));
  }
  if (a.ndim() != 2) {
    throw vexo::ValueError("intersections_df: expected a 2-D table, got " +
                           std::to_string(a.ndim()) + " dimensions");
  }
  return a;
}

void draw_intersection_heatmap(py::object intersections_df) {
  py::array_t<double> arr = table_values(intersections_df);
  const int rows = static_cast<int>(arr.shape(0)), cols = static_cast<int>(arr.shape(1));
  std::vector<double> cells(arr.data(), arr.data() + arr.size());
  HeatmapContent hc = heatmap_content(cells, rows, cols);

  py::module_ np = import_host("numpy");
  py::module_ plt = import_host("matplotlib.pyplot");
  py::object fig = plt.attr("figure")("figsize"_a = py::make_tuple(7, 5));
  py::object ax = fig.attr("add_subplot")();
  // NaN cells stay blank and unannotated.
  py::object data = np.attr("ma").attr("masked_invalid")(arr);
  py::object mesh = ax.attr("pcolormesh")(data, "cmap"_a = "Reds", "vmin"_a = 0, "vmax"_a = 100,
                                          "edgecolors"_a = "gray", "linewidths"_a = 0.5);
  fig.attr("colorbar")(mesh, "ax"_a = ax);
  if (hc.n > 0) {
    ax.attr("set_xlim")(0, hc.n);
    ax.attr("set_ylim")(0, hc.n);
  }
  ax.attr("invert_yaxis")();  // row 0 at the top
  ax.attr("set_aspect")("equal");
  py::list ticks;
  for (int i = 0; i < hc.n; ++i) ticks.append(i + 0.5);
  ax.attr("set_xticks")(ticks);
  ax.attr("set_xticklabels")(hc.labels, "rotation"_a = hc.vertical_column_labels ? 90 : 0);
  ax.attr("set_yticks")(ticks);
  ax.attr("set_yticklabels")(hc.labels, "rotation"_a = 0);
  for (const char* side : {"top", "right", "bottom", "left"}) {
    py::object spines = ax.attr("spines");
    spines[py::str(side)].attr("set_visible")(false);
  }
  if (hc.n > 0) {
    // Cell colours decide whether the annotation is dark or light.
    py::array_t<double> rgba =
        mesh.attr("to_rgba")(data)
            .cast<py::array_t<double, py::array::c_style | py::array::forcecast>>();
    auto c = rgba.unchecked<3>();
    for (int i = 0; i < hc.n; ++i) {
      for (int j = 0; j < hc.n; ++j) {
        const std::string& text = hc.annotations[static_cast<std::size_t>(i) * hc.n + j];
        if (text.empty()) continue;
        bool light = annotation_on_dark(c(i, j, 0), c(i, j, 1), c(i, j, 2));
        ax.attr("text")(j + 0.5, i + 0.5, text, "ha"_a = "center", "va"_a = "center",
                        "fontsize"_a = 8, "color"_a = light ? "w" : "0.15");
      }
    }
  }
  ax.attr("set_title")("Intersection Heatmap %");
  ax.attr("set_xlabel")("Mask 2");
  ax.attr("set_ylabel")("Mask 1");
  plt.attr("show")();
}

py::dict cluster_masks_and_print(py::object masks_dict, py::object eps, py::object min_samples) {
  MaskDictIn md = mask_dict_from_py(masks_dict, "masks_dict");
  double e = to_double(eps, "eps");
  std::int64_t ms = to_int(min_samples, "min_samples");
  if (ms < 1 || ms > INT32_MAX) {
    throw vexo::ValueError("min_samples: must be at least 1, got " + std::to_string(ms));
  }
  std::vector<CentroidGroup> groups;
  {
    py::gil_scoped_release nogil;
    groups = cluster_mask_centroids(md.mats, e, static_cast<int>(ms));
  }
  py::dict out;
  for (const CentroidGroup& g : groups) {
    py::list keys;
    for (std::size_t i : g.members) keys.append(md.key_objects[i]);
    out[py::str(g.name)] = keys;
  }
  return out;
}

py::dict compute_motion_score_in_polygon(py::object video_frames, py::object masks_dict) {
  std::vector<std::string> frames = path_list_from_py(
      video_frames, "video_frames", "a list of frame image paths", PathList::Sequence);
  MaskDictIn md = mask_dict_from_py(masks_dict, "masks_dict");
  std::vector<std::optional<double>> scores;
  {
    py::gil_scoped_release nogil;
    scores = motion_scores(frames, md.mats);
  }
  py::dict out;
  for (std::size_t i = 0; i < scores.size(); ++i) {
    if (scores[i]) {
      out[md.key_objects[i]] = py::float_(*scores[i]);
    } else {
      out[md.key_objects[i]] = py::int_(0);
    }
  }
  return out;
}

void box_from_py(py::handle obj, const char* what, double out[4]) {
  if (obj.is_none() || py::isinstance<py::str>(obj) || !py::hasattr(obj, "__len__") ||
      !py::hasattr(obj, "__getitem__")) {
    throw vexo::TypeError(std::string(what) + ": expected four numbers x1, y1, x2, y2, got " +
                          type_name(obj));
  }
  if (py::len(obj) != 4) {
    throw vexo::ValueError(std::string(what) + ": expected four numbers x1, y1, x2, y2, got " +
                           std::to_string(py::len(obj)));
  }
  for (int i = 0; i < 4; ++i) {
    out[i] = to_double(obj[py::int_(i)], std::string(what) + "[" + std::to_string(i) + "]");
  }
}

py::object calculate_iou(py::object box1, py::object box2) {
  double a[4], b[4];
  box_from_py(box1, "box1", a);
  box_from_py(box2, "box2", b);
  std::optional<double> v = box_iou(a, b);
  if (!v) return py::int_(0);
  return py::float_(*v);
}

}  // namespace

void bind_diagnostics(py::module_& m) {
  m.def("calculate_iou", &calculate_iou, py::arg("box1"), py::arg("box2"),
        "Intersection over union of two boxes (x1, y1, x2, y2) taken as continuous rectangles: "
        "a float in 0..1, or the integer 0 when the union area is not positive.");
  m.def("cluster_masks_and_print", &cluster_masks_and_print, py::arg("masks_dict"),
        py::arg("eps") = 100, py::arg("min_samples") = 1,
        "Group the masks of one frame by DBSCAN over the centroids of their largest blobs "
        "(neighbours within eps pixels, inclusive; a point counts toward its own min_samples). "
        "Returns {'Noise': [...], 'Cluster 0': [...], ...}, clusters numbered by their first "
        "mask in dict order; empty masks are left out. Prints nothing. Raises ValueError when "
        "no mask has a centroid.");
  m.def("compute_motion_score_in_polygon", &compute_motion_score_in_polygon,
        py::arg("video_frames"), py::arg("masks_dict"),
        "Mean Farneback optical-flow magnitude inside each mask, from the first to the sixth "
        "frame image of video_frames (read as grey). Returns {key: score} in dict order; an "
        "empty mask scores the integer 0.");
  m.def("draw_intersection_heatmap", &draw_intersection_heatmap, py::arg("intersections_df"),
        "Show a square overlap table as an annotated heatmap with matplotlib: a 7 x 5 inch "
        "figure, 'Reds' colour scale fixed to 0..100 with a colour bar, '.2f' cell labels, "
        "'Mask i' ticks, title 'Intersection Heatmap %'. Returns after pyplot.show(); under a "
        "non-interactive backend the figure stays the current pyplot figure.");
}

}  // namespace vexo::py_bind
