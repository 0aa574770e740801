#include <string>
#include <vector>

#include "common/convert.h"
#include "core/console.h"
#include "core/errors.h"
#include "core/format.h"
#include "tracking/overlap_frames.h"
#include "vexo_utils/bindings.h"
#include "vexo_utils/model_adapters.h"

namespace vexo::py_bind {

namespace {

using namespace vexo::tracking;

py::list column_values(py::object df, const char* name) {
  return column_from_py(df, py::str(name), "overlap_frames_dataframe").attr("tolist")();
}

// The masks of the test boxes in one record, and its image path.
FrameSide frame_side(const py::dict& records, std::int64_t frame,
                     const std::vector<std::string>& boxes, std::vector<py::object>& keep) {
  const std::string name = "vexo_annotation_data[" + fmt_int(frame) + "]";
  py::int_ key(frame);
  if (!records.contains(key))
    throw vexo::KeyError("vexo_annotation_data has no record " + fmt_int(frame));
  py::object rec_obj = records[key];
  if (!py::isinstance<py::dict>(rec_obj))
    throw vexo::TypeError(name + ": expected a frame record dict");
  py::dict rec = py::reinterpret_borrow<py::dict>(rec_obj);
  if (!rec.contains("masks_dict")) throw vexo::KeyError(name + " has no 'masks_dict' field");
  if (!rec.contains("image_path")) throw vexo::KeyError(name + " has no 'image_path' field");
  py::object md_obj = rec["masks_dict"];
  if (!py::isinstance<py::dict>(md_obj))
    throw vexo::TypeError(name + "['masks_dict']: expected a dict");
  py::dict md = py::reinterpret_borrow<py::dict>(md_obj);
  FrameSide side;
  for (const std::string& b : boxes) {
    if (!md.contains(py::str(b))) {
      throw vexo::KeyError(name + "['masks_dict'] has no mask for " + fmt_str_repr(b));
    }
    MaskIn mi = mask_from_py(md[py::str(b)], name + "['masks_dict'][" + b + "]", true);
    side.masks.push_back(mi.mat);
    keep.push_back(mi.keep);
  }
  side.image_path = to_str(rec["image_path"], name + "['image_path']");
  return side;
}

py::tuple process_overlap_frames(py::object df, py::object data, py::object image_predictor,
                                 py::object n_consecutive) {
  py::object pd = import_host("pandas");
  if (!py::isinstance(df, pd.attr("DataFrame"))) {
    throw vexo::TypeError("overlap_frames_dataframe: expected a pandas DataFrame, got " +
                          type_name(df));
  }
  if (!py::isinstance<py::dict>(data)) {
    throw vexo::TypeError("vexo_annotation_data: expected a dict of annotation index to record");
  }
  py::dict records = py::reinterpret_borrow<py::dict>(data);
  const std::int64_t n = to_int(n_consecutive, "n_consecutive");
  py::list fvals = column_values(df, "Frame ID");
  py::list pvals = column_values(df, "Box Pair");
  py::list pnull = pd.attr("isna")(df["Box Pair"]).attr("tolist")();
  std::vector<std::int64_t> frames;
  std::vector<std::optional<std::string>> pairs;
  for (std::size_t i = 0; i < fvals.size(); ++i) {
    frames.push_back(to_int(fvals[i], "overlap_frames_dataframe['Frame ID']"));
    if (pnull[i].cast<bool>()) {
      pairs.emplace_back();
    } else if (py::isinstance<py::str>(pvals[i])) {
      pairs.emplace_back(pvals[i].cast<std::string>());
    } else {
      throw vexo::TypeError(
          "overlap_frames_dataframe['Box Pair']: expected text such as "
          "'Box1-Box3', got " +
          type_name(pvals[i]));
    }
  }
  OverlapPlan plan;
  {
    py::gil_scoped_release nogil;
    plan = plan_overlap_frames(frames, pairs, n, static_cast<std::int64_t>(records.size()));
  }
  std::vector<std::pair<FrameSide, FrameSide>> sides;
  std::vector<py::object> keep;
  for (std::int64_t m : plan.window) {
    FrameSide old_side = frame_side(records, m, plan.test_boxes, keep);
    FrameSide new_side = frame_side(records, plan.compare_frame, plan.test_boxes, keep);
    sides.emplace_back(std::move(old_side), std::move(new_side));
  }
  auto segmenter = make_image_segmenter(image_predictor);
  auto encoder = make_image_encoder(image_predictor);
  auto frame_source = make_frame_source();
  std::vector<std::string> votes;
  {
    py::gil_scoped_release nogil;
    votes = vote_worst_boxes(plan, sides, *frame_source, *segmenter, *encoder);
  }
  const std::string& most = votes[most_frequent_position(votes)];
  print_line("Most frequent box with errors: " + most);
  py::dict episodes;
  for (const FrameRunGroup& g : plan.episodes) {
    py::list runs;
    for (const auto& r : g.runs) runs.append(py::cast(r));
    episodes[py::str(std::get<std::string>(g.group))] = runs;
  }
  return py::make_tuple(plan.test_frame, most, episodes, py::cast(votes));
}

}  // namespace

void bind_overlap_frames(py::module_& m) {
  m.def("process_overlap_frames", &process_overlap_frames, py::arg("overlap_frames_dataframe"),
        py::arg("vexo_annotation_data"), py::arg("image_predictor"), py::arg("n_consecutive") = 2,
        "Name the pig most likely tracked in error during overlap episodes.\n\n"
        "Episodes are runs of consecutive 'Frame ID' values per 'Box Pair' of the overlap "
        "table (the first result of generate_tracking_report), at least n_consecutive long "
        "(n_consecutive + 2 when several pairs are listed). The test frame is where the "
        "earliest episode begins, or ends when it starts at frame 0 (reverse tracking). Each "
        "pig of the episodes is compared between up to five window frames and the frame next "
        "to the test frame by appearance (generate_sam2_image_features), mask IoU and box IoU; "
        "each window frame votes for the pig with the largest mismatch.\n\n"
        "Returns (test_frame, most_frequent_box, {box pair: runs}, votes). Raises ValueError "
        "when there is no episode or no window frame, KeyError for a missing record or mask.");
}

}  // namespace vexo::py_bind
