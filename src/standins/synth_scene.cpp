// Layout of the camera view: marker, pens, crop regions and pen files.
#include <nlohmann/json.hpp>

#include "standins/synth.h"
#include "standins/synth_geometry.h"

namespace vexo::standins {

using namespace detail;

namespace {

using Json = nlohmann::ordered_json;

SceneLayout make_layout() {
  SceneLayout l;
  // The marker is aligned to 16-pixel blocks so video compression keeps
  // its edges where they are drawn.
  l.marker = cv::Rect(1200, 0, 48, 1440);
  l.pen[kLeftPen] = {{176, 88}, {1128, 72}, {1136, 1372}, {164, 1356}};
  l.pen[kRightPen] = {{1296, 72}, {2248, 88}, {2260, 1356}, {1288, 1372}};
  return l;
}

}  // namespace

const SceneLayout& scene_layout() {
  static const SceneLayout layout = make_layout();
  return layout;
}

std::array<int, 4> crop_region_for(PenSide side) {
  // The extractor's rule: the pen region beside the marker, with wider
  // bounds when the marker sits far right.
  const cv::Rect& m = scene_layout().marker;
  const int mx1 = m.x, mx2 = m.x + m.width;
  if (side == kLeftPen) return {mx2 >= 2300 ? 380 : 120, 0, mx1 - 45, 1440};
  return {mx1 - 50, 0, mx2 >= 2300 ? 2560 : 2300, 1440};
}

std::vector<cv::Point2d> pen_polygon_in(PenSide side, const std::array<int, 4>& crop,
                                        cv::Size out_size) {
  CropMap m = crop_map(crop, out_size);
  std::vector<cv::Point2d> out;
  for (const cv::Point2d& p : scene_layout().pen[side]) {
    // Continuous pixel mapping (pixel centres at integers on both sides).
    out.emplace_back(round_to((p.x + 0.5 - m.x1) / m.sx - 0.5, 0.01),
                     round_to((p.y + 0.5 - m.y1) / m.sy - 0.5, 0.01));
  }
  return out;
}

std::string pen_file_json(const std::vector<cv::Point2d>& polygon, cv::Size image_size) {
  Json pts = Json::array();
  for (const cv::Point2d& p : polygon) pts.push_back({p.x, p.y});
  Json shape;
  shape["label"] = "pen";
  shape["points"] = pts;
  shape["shape_type"] = "polygon";
  Json doc;
  doc["shapes"] = Json::array({shape});
  doc["imageWidth"] = image_size.width;
  doc["imageHeight"] = image_size.height;
  return doc.dump(4);
}

}  // namespace vexo::standins
