#include "pen/pen_file.h"

#include <cmath>
#include <nlohmann/json.hpp>

#include "core/errors.h"
#include "core/fsutil.h"
#include "visual/canvas.h"

#ifndef VEXO_PEN_DIR
#define VEXO_PEN_DIR "/srv/vexo/pens"
#endif

namespace vexo::pen {

namespace {

struct CameraPen {
  const char* camera;
  const char* file;
};
constexpr CameraPen kCameraTable[] = {
    {"Camera61", "Cam61.json"}, {"Camera62", "Cam62.json"}, {"Camera64", "Cam64.json"},
    {"Camera65", "Cam65.json"}, {"Camera66", "Cam66.json"}, {"Camera70", "Cam70.json"},
};

constexpr int kOutlineWidth = 3;

// JSON values the host treats as false in a truth test.
bool is_falsy(const nlohmann::json& v) {
  switch (v.type()) {
    case nlohmann::json::value_t::null:
      return true;
    case nlohmann::json::value_t::boolean:
      return !v.get<bool>();
    case nlohmann::json::value_t::array:
    case nlohmann::json::value_t::object:
      return v.empty();
    case nlohmann::json::value_t::string:
      return v.get_ref<const std::string&>().empty();
    case nlohmann::json::value_t::number_integer:
    case nlohmann::json::value_t::number_unsigned:
    case nlohmann::json::value_t::number_float:
      return v.get<double>() == 0.0;
    default:
      return false;
  }
}

}  // namespace

std::string pen_dir() { return VEXO_PEN_DIR; }

std::optional<std::string> get_pen_json_path(std::string_view video_dir,
                                             const std::optional<std::string>& custom) {
  std::optional<std::string> camera;
  std::size_t start = 0;
  while (start <= video_dir.size()) {
    std::size_t end = video_dir.find('\\', start);
    if (end == std::string_view::npos) end = video_dir.size();
    std::string_view part = video_dir.substr(start, end - start);
    if (part.find("Camera") != std::string_view::npos) {
      camera = std::string(part.substr(0, part.find('_')));
      break;
    }
    start = end + 1;
  }
  if (custom) return custom;
  if (!camera) return std::nullopt;
  for (const auto& e : kCameraTable) {
    if (*camera == e.camera) return path_join(pen_dir(), e.file);
  }
  return std::nullopt;
}

PenPolygon read_pen_polygon(const std::string& json_path) {
  nlohmann::json doc;
  try {
    doc = nlohmann::json::parse(read_file(json_path));
  } catch (const nlohmann::json::exception& e) {  // syntax errors and number overflow
    throw ValueError("pen file '" + json_path + "' is not valid JSON: " + e.what());
  }
  if (!doc.is_object()) throw TypeError("pen file '" + json_path + "' does not hold a JSON object");
  auto it = doc.find("shapes");
  if (it == doc.end()) throw KeyError("'shapes' (pen file '" + json_path + "')");
  if (is_falsy(*it)) throw ValueError("No shapes found in the JSON file.");
  if (!it->is_array()) throw TypeError("'shapes' in pen file '" + json_path + "' is not a list");
  const nlohmann::json& shape = (*it)[0];
  if (!shape.is_object()) {
    throw TypeError("the first shape in pen file '" + json_path + "' is not an object");
  }
  auto pts = shape.find("points");
  if (pts == shape.end()) throw KeyError("'points' (pen file '" + json_path + "')");
  if (!pts->is_array()) throw TypeError("'points' in pen file '" + json_path + "' is not a list");
  PenPolygon poly;
  for (const auto& p : *pts) {
    if (!p.is_array() || p.size() != 2 || !p[0].is_number() || !p[1].is_number()) {
      throw ValueError("pen file '" + json_path + "': every point must be [x, y] of two numbers");
    }
    poly.points.emplace_back(p[0].get<double>(), p[1].get<double>());
    poly.integral.push_back({!p[0].is_number_float(), !p[1].is_number_float()});
  }
  return poly;
}

void draw_pen_outline(cv::Mat& image, const std::vector<cv::Point2d>& polygon) {
  if (polygon.empty()) return;
  std::vector<cv::Point2d> closed = polygon;
  closed.push_back(polygon.front());
  visual::draw_polyline(image, closed, visual::kRed, kOutlineWidth, /*round_joints=*/true);
}

PenDrawing draw_pen(const std::string& image_path, const std::string& json_path, bool drawout) {
  PenDrawing out;
  out.polygon = read_pen_polygon(json_path);
  if (!drawout) return out;
  out.image = visual::load_image(image_path, 3);
  draw_pen_outline(out.image, out.polygon.points);
  return out;
}

}  // namespace vexo::pen
