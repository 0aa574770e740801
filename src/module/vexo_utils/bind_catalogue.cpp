// The catalogue of recordings: list_all_files and the VideoMetadata record
// with its method.
#include <optional>
#include <string>
#include <vector>

#include "common/convert.h"
#include "vexo_utils/bindings.h"
#include "vexo_utils/records.h"
#include "video/catalogue.h"

namespace vexo::py_bind {

namespace {

py::object filtered_video_dataframe(VideoMetadataRecord& r) {
  video::CatalogueSettings s;
  s.base_dir = to_str(r.base_dir(), "base_dir");
  s.sub_dirs = path_list_from_py(r.sub_dirs(), "sub_dirs", "a list of folder names");
  s.filter_start = to_str(r.filter_start(), "filter_start");
  s.filter_end = to_str(r.filter_end(), "filter_end");
  s.sample_step = to_int(r.sample_step(), "sample_step");
  s.top_n = to_int(r.top_n(), "top_n");
  s.match_pattern = to_str(r.match_pattern(), "match_pattern");
  if (!r.camera_number().is_none()) s.camera_number = to_str(r.camera_number(), "camera_number");

  std::vector<video::CatalogueRow> rows;
  {
    py::gil_scoped_release release;
    rows = video::filtered_catalogue(s);
  }

  static const char* kColumns[] = {"Camera Number", "Date", "Time", "File Path", "Video Name"};
  py::list cols[5];
  py::list labels;
  for (const auto& row : rows) {
    cols[0].append(fs_text(row.camera_number));
    cols[1].append(fs_text(row.date));
    cols[2].append(fs_text(row.time));
    cols[3].append(fs_text(row.file_path));
    cols[4].append(fs_text(row.video_name));
    labels.append(row.label);
  }
  py::dict data;
  py::list names;
  for (int c = 0; c < 5; ++c) {
    data[py::str(kColumns[c])] = cols[c];
    names.append(py::str(kColumns[c]));
  }
  py::object pd = import_host("pandas");
  py::object index = pd.attr("Index")(labels, py::arg("dtype") = "int64");
  return pd.attr("DataFrame")(data, py::arg("index") = index, py::arg("columns") = names,
                              py::arg("dtype") = py::module_::import("builtins").attr("object"));
}

}  // namespace

void bind_catalogue(py::module_& m) {
  m.def(
      "list_all_files",
      [](py::object directory, py::object ext) {
        std::string dir = to_str(directory, "directory");
        std::optional<std::string> suffix;
        if (!ext.is_none()) suffix = to_str(ext, "ext");
        std::vector<std::string> files;
        {
          py::gil_scoped_release release;
          files = video::list_all_files(dir, suffix);
        }
        py::list out;
        for (const auto& f : files) out.append(fs_text(f));
        return out;
      },
      py::arg("directory"), py::arg("ext") = py::none(),
      R"doc(
Lists the files below `directory`, walking top-down: the files of a folder in
sorted order, then its sub-folders in sorted order, depth-first. With `ext`,
only names ending with it (case-sensitive, include the dot: ".jpg"). Links to
folders are not entered. A folder that does not exist gives an empty list.
)doc");

  py::class_<VideoMetadataRecord> meta(m, "VideoMetadata", R"doc(
Catalogue settings for a recordings root.

Fields, in order: base_dir (root folder), sub_dirs (sub-folders to scan, in
order), filter_start="06:00:00" and filter_end="17:00:00" (exclusive time-of-day
bounds, compared as text), sample_step=3 (keep every n-th clip; 0 keeps all),
top_n=-1 (at most this many clips; below 1 keeps all), match_pattern (file name
pattern, matched at the start of the name), camera_number=None (keep only this
camera when given).
)doc");
  meta.def(py::init([](py::object base_dir, py::object sub_dirs, py::object filter_start,
                       py::object filter_end, py::object sample_step, py::object top_n,
                       py::object match_pattern, py::object camera_number) {
             VideoMetadataRecord r;
             r.f = {base_dir,    sub_dirs, filter_start,  filter_end,
                    sample_step, top_n,    match_pattern, camera_number};
             return r;
           }),
           py::arg("base_dir"), py::arg("sub_dirs"), py::arg("filter_start") = "06:00:00",
           py::arg("filter_end") = "17:00:00", py::arg("sample_step") = 3, py::arg("top_n") = -1,
           py::arg("match_pattern") = "Camera(\\d+)_(\\d+)_([\\d]{8})([\\d]{6})\\.mp4",
           py::arg("camera_number") = py::none());
  add_record_protocol<VideoMetadataRecord>(meta, "VideoMetadata");

  meta.def("get_filtered_video_dataframe", &filtered_video_dataframe, R"doc(
Catalogue of the clips under base_dir/<sub_dir> for each of sub_dirs, in order.

Returns a pandas DataFrame with the text columns "Camera Number", "Date",
"Time" (hh:mm:ss), "File Path" and "Video Name"; row labels are the positions
in the table of all matching clips. Keeps clips strictly between filter_start
and filter_end, then every sample_step-th of them, then those of camera_number
(when set), then the first top_n (when at least 1). Prints the kept paths.
)doc");
}

}  // namespace vexo::py_bind
