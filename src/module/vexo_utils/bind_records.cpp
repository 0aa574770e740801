#include "common/convert.h"
#include "vexo_utils/bindings.h"
#include "vexo_utils/records.h"

namespace vexo::py_bind {

namespace {

template <class Rec, class Cls>
void add_record_protocol(Cls& cls, const char* name) {
  for (std::size_t i = 0; i < Rec::kFields.size(); ++i) {
    cls.def_property(
        Rec::kFields[i], [i](const Rec& r) { return r.f[i]; },
        [i](Rec& r, py::object v) { r.f[i] = std::move(v); });
  }
  std::string cls_name = name;
  cls.def("__repr__", [cls_name](const Rec& r) {
    std::string out = cls_name + "(";
    for (std::size_t i = 0; i < Rec::kFields.size(); ++i) {
      if (i) out += ", ";
      out += Rec::kFields[i];
      out += "=";
      out += py::repr(r.f[i]).template cast<std::string>();
    }
    return out + ")";
  });
  cls.def(
      "__eq__",
      [](const Rec& a, py::object other) -> py::object {
        if (!py::isinstance<Rec>(other))
          return py::reinterpret_borrow<py::object>(Py_NotImplemented);
        const Rec& b = other.cast<const Rec&>();
        for (std::size_t i = 0; i < Rec::kFields.size(); ++i) {
          if (!a.f[i].equal(b.f[i])) return py::bool_(false);
        }
        return py::bool_(true);
      },
      py::is_operator());
  cls.attr("__hash__") = py::none();
  py::tuple names(Rec::kFields.size());
  for (std::size_t i = 0; i < Rec::kFields.size(); ++i) names[i] = py::str(Rec::kFields[i]);
  cls.attr("__match_args__") = names;
  cls.attr("_fields") = names;
}

}  // namespace

void bind_records(py::module_& m) {
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

  py::class_<VideoProcessorRecord> proc(m, "VideoProcessor", R"doc(
Frame extraction settings and the per-camera crop-region cache.

Fields, in order: resize_dim=None (when given, frames are scaled to the height
resize_dim[1]), frame_skip=1, time_step=0.1 (window length in minutes),
output_dir_base, camera_crop_coords (camera number -> (x1, y1, x2, y2); a new
empty dict for each record), crop=True, left_crop=False.
)doc");
  proc.def(py::init([](py::object resize_dim, py::object frame_skip, py::object time_step,
                       py::object output_dir_base, py::object camera_crop_coords, py::object crop,
                       py::object left_crop) {
             VideoProcessorRecord r;
             if (camera_crop_coords.is_none()) camera_crop_coords = py::dict();
             r.f = {resize_dim,         frame_skip, time_step, output_dir_base,
                    camera_crop_coords, crop,       left_crop};
             return r;
           }),
           py::arg("resize_dim") = py::none(), py::arg("frame_skip") = 1,
           py::arg("time_step") = 0.1, py::arg("output_dir_base") = "D:\\ToBeLabeled_20pigs/",
           py::arg("camera_crop_coords") = py::none(), py::arg("crop") = true,
           py::arg("left_crop") = false);
  add_record_protocol<VideoProcessorRecord>(proc, "VideoProcessor");
}

}  // namespace vexo::py_bind
