// Frame extraction: the VideoProcessor record with its methods (clip
// duration, crop region, frame writer and catalogue extraction).
#include <optional>
#include <string>
#include <vector>

#include "common/convert.h"
#include "core/errors.h"
#include "vexo_utils/bindings.h"
#include "vexo_utils/records.h"
#include "video/clip_duration.h"
#include "video/crop_region.h"
#include "video/extraction.h"
#include "video/frame_writer.h"

namespace vexo::py_bind {

namespace {

// An integer stays an integer; anything else numeric is a real.
video::Number to_number(py::handle obj, const std::string& what) {
  if (!py::isinstance<py::float_>(obj) && !py::isinstance<py::str>(obj) && !obj.is_none() &&
      py::hasattr(obj, "__index__")) {
    return video::Number::integer(to_int(obj, what));
  }
  return video::Number::real(to_double(obj, what));
}

video::CropRegion region_from_py(py::handle value, const std::string& what) {
  if (!py::isinstance<py::sequence>(value) || py::isinstance<py::str>(value) ||
      py::len(value) != 4) {
    throw vexo::TypeError(what + ": expected four integers (x1, y1, x2, y2), got " +
                          py::repr(value).cast<std::string>());
  }
  py::sequence seq = py::reinterpret_borrow<py::sequence>(value);
  return video::CropRegion{to_int(seq[0], what), to_int(seq[1], what), to_int(seq[2], what),
                           to_int(seq[3], what)};
}

py::tuple region_to_py(const video::CropRegion& r) {
  return py::make_tuple(r.x1, r.y1, r.x2, r.y2);
}

// The record's camera_crop_coords mapping, read and filled in place.
class DictRegionCache : public video::RegionCache {
 public:
  DictRegionCache(py::object coords, std::vector<py::object> keys)
      : coords_(std::move(coords)), keys_(std::move(keys)) {}

  std::optional<video::CropRegion> lookup(std::size_t camera) override {
    py::gil_scoped_acquire gil;
    const py::object& key = keys_.at(camera);
    std::string what = "camera_crop_coords[" + py::repr(key).cast<std::string>() + "]";
    try {
      if (!coords_.contains(key)) return std::nullopt;
      return region_from_py(coords_[key], what);
    } catch (py::error_already_set& e) {
      throw vexo::TypeError(what + ": " + e.what());
    }
  }

  void store(std::size_t camera, const video::CropRegion& region) override {
    py::gil_scoped_acquire gil;
    const py::object& key = keys_.at(camera);
    try {
      coords_[key] = region_to_py(region);
    } catch (py::error_already_set& e) {
      throw vexo::TypeError("camera_crop_coords[" + py::repr(key).cast<std::string>() +
                            "]: " + e.what());
    }
  }

 private:
  py::object coords_;
  std::vector<py::object> keys_;
};

py::object crop_cache_of(VideoProcessorRecord& r) {
  py::object coords = r.camera_crop_coords();
  py::object mapping = py::module_::import("collections.abc").attr("MutableMapping");
  if (!py::isinstance(coords, mapping)) {
    throw vexo::TypeError("camera_crop_coords: expected a dict, got " + type_name(coords));
  }
  return coords;
}

video::ExtractSettings settings_of(VideoProcessorRecord& r) {
  video::ExtractSettings s;
  if (!r.resize_dim().is_none()) {
    s.resize_height = to_int(r.resize_dim()[py::int_(1)], "resize_dim[1]");
  }
  s.frame_skip = to_int(r.frame_skip(), "frame_skip");
  if (s.frame_skip == 0) {
    PyErr_SetString(PyExc_ZeroDivisionError,
                    "frame_skip must be at least 1: frames are selected by frame number modulo "
                    "frame_skip");
    throw py::error_already_set();
  }
  s.time_step = to_number(r.time_step(), "time_step");
  s.output_dir_base = to_str(r.output_dir_base(), "output_dir_base");
  s.crop = truthy(r.crop());
  s.left_crop = truthy(r.left_crop());
  return s;
}

py::object video_duration(VideoProcessorRecord&, py::object video_path) {
  std::string path = to_str(video_path, "video_path");
  std::optional<double> minutes;
  {
    py::gil_scoped_release release;
    minutes = video::video_duration_minutes(path);
  }
  if (!minutes) return py::int_(0);
  return py::float_(*minutes);
}

py::object orange_region(VideoProcessorRecord&, py::object frame) {
  if (!py::isinstance<py::array>(frame)) {
    throw vexo::TypeError("frame: expected an H x W x 3 uint8 BGR array, got " + type_name(frame));
  }
  ImageIn img = image_from_py(frame, "frame");
  if (img.mat.channels() != 3 || py::reinterpret_borrow<py::array>(frame).ndim() != 3) {
    throw vexo::ValueError("frame: expected an H x W x 3 BGR array");
  }
  std::optional<video::CropRegion> region;
  {
    py::gil_scoped_release release;
    region = video::find_orange_region(img.mat);
  }
  if (!region) return py::none();
  return region_to_py(*region);
}

void crop_to_frames(VideoProcessorRecord& r, py::object video_path, py::object output_dir,
                    py::object start_min, py::object end_min, py::object camera_number,
                    py::object crop) {
  video::ExtractSettings settings = settings_of(r);
  video::WindowJob job;
  job.video_path = to_str(video_path, "video_path");
  job.output_dir = to_str(output_dir, "output_dir");
  job.write_dir = job.output_dir;
  job.start_min = to_number(start_min, "start_min");
  job.end_min = to_number(end_min, "end_min");
  job.camera_label = py::str(camera_number).cast<std::string>();
  job.camera = 0;
  job.crop = truthy(crop);
  DictRegionCache cache(crop_cache_of(r), {camera_number});
  py::gil_scoped_release release;
  video::crop_video_to_frames(settings, cache, job);
}

void process_to_frames(VideoProcessorRecord& r, py::object df) {
  video::ExtractSettings settings = settings_of(r);
  py::object coords = crop_cache_of(r);
  py::object builtins_list = py::module_::import("builtins").attr("list");
  auto column = [&](const char* name) -> py::list {
    return builtins_list(column_from_py(df, py::str(name), "df"));
  };
  py::list names = column("Video Name"), paths = column("File Path"), dates = column("Date"),
           cameras = column("Camera Number");
  std::size_t n = py::len(names);
  if (py::len(paths) != n || py::len(dates) != n || py::len(cameras) != n) {
    throw vexo::ValueError("df: the catalogue columns differ in length");
  }
  std::vector<video::ClipRow> rows(n);
  std::vector<py::object> keys(n);
  for (std::size_t i = 0; i < n; ++i) {
    std::string at = "'] of row " + std::to_string(i);
    rows[i].video_name = to_str(names[i], "df['Video Name" + at);
    rows[i].file_path = to_str(paths[i], "df['File Path" + at);
    rows[i].date = to_str(dates[i], "df['Date" + at);
    keys[i] = cameras[i];
    rows[i].camera_label = py::str(keys[i]).cast<std::string>();
    rows[i].camera = i;
  }
  DictRegionCache cache(coords, std::move(keys));
  py::gil_scoped_release release;
  video::process_videos_to_frames(settings, cache, rows);
}

}  // namespace

void bind_video_processor(py::module_& m) {
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
  proc.def("get_video_duration", &video_duration, py::arg("video_path"), R"doc(
Length of the clip in minutes (prints its frame rate, frame count and length
in seconds); 0 when the clip cannot be opened.
)doc");
  proc.def("find_orange_region", &orange_region, py::arg("frame"), R"doc(
Bounding box (x1, y1, x2, y2) of the orange pen marker in an H x W x 3 BGR
frame: the rightmost of the two largest orange blobs. None when there is no
orange region.
)doc");
  proc.def("crop_video_to_frames", &crop_to_frames, py::arg("video_path"), py::arg("output_dir"),
           py::arg("start_min") = 10, py::arg("end_min") = 12,
           py::arg("camera_number") = py::none(), py::arg("crop") = true, R"doc(
Writes the frames of the clip from start_min to end_min minutes into
output_dir as 0000.jpg, 0001.jpg, ...: every frame whose number is a multiple
of frame_skip, and the one before the end frame. With crop, frames are cut to
the pen beside the orange marker; the region is found on the window's first
frame and cached per camera_number in camera_crop_coords. With resize_dim,
frames are scaled to the height resize_dim[1]. Start and end frames are
rounded to whole frames.
)doc");
  proc.def("process_videos_to_frames", &process_to_frames, py::arg("df"), R"doc(
Cuts every clip of a catalogue (see VideoMetadata.get_filtered_video_dataframe)
into windows of time_step minutes and writes each window's frames into
output_dir_base/<Date>/<Video Name>/<start>min_to_<end>min/left_cropped_frames
(right_cropped_frames when left_crop is false). Windows whose folder exists are
skipped. A window is written into a hidden staging folder beside its final
folder and renamed into place when complete, so an interrupted window is
redone on the next run.
)doc");
}

}  // namespace vexo::py_bind
