#include "standins/tracking_writer.h"

#include <filesystem>
#include <nlohmann/json.hpp>
#include <opencv2/imgproc.hpp>

#include "core/errors.h"
#include "core/format.h"
#include "core/fsutil.h"
#include "core/mask.h"

namespace vexo::standins {

std::string tracking_frame_json(const std::string& image_path,
                                const std::vector<TrackedMask>& masks, const std::string& label) {
  nlohmann::ordered_json doc;
  doc["image_path"] = image_path;
  doc["detections"] = nlohmann::ordered_json::array();
  for (const TrackedMask& tm : masks) {
    if (tm.mask.type() != CV_8UC1) throw ValueError("tracking writer: masks must be 8-bit");
    const double w = tm.mask.cols, h = tm.mask.rows;
    std::vector<std::vector<cv::Point>> contours;
    cv::Mat work = tm.mask != 0;
    cv::findContours(work, contours, cv::RETR_EXTERNAL, cv::CHAIN_APPROX_SIMPLE);
    nlohmann::ordered_json polys = nlohmann::ordered_json::array();
    for (const auto& c : contours) {
      std::string s = label;
      for (const cv::Point& p : c) {
        s += ' ';
        s += fmt_float((p.x + 0.5) / w);
        s += ' ';
        s += fmt_float((p.y + 0.5) / h);
      }
      polys.push_back(s);
    }
    Box b = mask_box(tm.mask);
    nlohmann::ordered_json det;
    det["object_id"] = tm.object_id;
    det["class_name"] = label;
    det["formatted_polygon"] = polys;
    det["xyxy"] = nlohmann::ordered_json::array();
    if (!b.empty()) det["xyxy"].push_back({b.x1, b.y1, b.x2, b.y2});
    doc["detections"].push_back(det);
  }
  return doc.dump(4);
}

std::string write_tracking_frame(const std::string& out_dir, std::int64_t frame_number,
                                 const std::string& image_path,
                                 const std::vector<TrackedMask>& masks) {
  std::error_code ec;
  std::filesystem::create_directories(out_dir, ec);
  if (ec) throw IoError("cannot create folder '" + out_dir + "': " + ec.message());
  std::string path = path_join(out_dir, "output_pp_" + std::to_string(frame_number) + ".json");
  write_file_atomic(path, tracking_frame_json(image_path, masks));
  return path;
}

}  // namespace vexo::standins
