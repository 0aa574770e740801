// Ground-truth files of the generated clips and the masks they give.
#include <nlohmann/json.hpp>

#include "core/errors.h"
#include "core/fsutil.h"
#include "standins/synth.h"
#include "standins/synth_geometry.h"

namespace vexo::standins {

using namespace detail;

namespace {
using Json = nlohmann::ordered_json;
}  // namespace

std::string GroundTruthClip::to_json() const {
  Json doc;
  doc["video_name"] = video_name;
  doc["fps"] = fps;
  doc["frame_size"] = {width, height};
  doc["first_frame_time_ms"] = first_frame_time_ms;
  doc["pose_fields"] = {"cx", "cy", "angle", "lying"};
  Json animals = Json::array();
  for (const AnimalShape& s : this->animals) {
    Json a;
    a["id"] = s.id;
    a["pen"] = s.pen == kLeftPen ? "left" : "right";
    a["body"] = {s.body_a, s.body_b};
    a["head"] = {s.head_offset, s.head_a, s.head_b};
    animals.push_back(a);
  }
  doc["animals"] = animals;
  Json frames = Json::array();
  for (const auto& fr : poses) {
    Json row = Json::array();
    for (const AnimalPose& p : fr) row.push_back({p.cx, p.cy, p.angle, p.lying});
    frames.push_back(row);
  }
  doc["poses"] = frames;
  return doc.dump();
}

GroundTruthClip GroundTruthClip::parse(const std::string& json_text) {
  GroundTruthClip g;
  try {
    Json doc = Json::parse(json_text);
    g.video_name = doc.at("video_name").get<std::string>();
    g.fps = doc.at("fps").get<double>();
    g.width = doc.at("frame_size").at(0).get<int>();
    g.height = doc.at("frame_size").at(1).get<int>();
    g.first_frame_time_ms = doc.value("first_frame_time_ms", std::int64_t{0});
    for (const Json& a : doc.at("animals")) {
      AnimalShape s;
      s.id = a.at("id").get<int>();
      std::string pen = a.at("pen").get<std::string>();
      if (pen != "left" && pen != "right") throw ValueError("unknown pen '" + pen + "'");
      s.pen = pen == "left" ? kLeftPen : kRightPen;
      s.body_a = a.at("body").at(0).get<double>();
      s.body_b = a.at("body").at(1).get<double>();
      s.head_offset = a.at("head").at(0).get<double>();
      s.head_a = a.at("head").at(1).get<double>();
      s.head_b = a.at("head").at(2).get<double>();
      if (!(s.body_a > 0 && s.body_b > 0 && s.head_a > 0 && s.head_b > 0)) {
        throw ValueError("animal " + std::to_string(s.id) + " has a non-positive size");
      }
      g.animals.push_back(s);
    }
    for (const Json& row : doc.at("poses")) {
      if (row.size() != g.animals.size()) {
        throw ValueError("a frame lists " + std::to_string(row.size()) + " poses for " +
                         std::to_string(g.animals.size()) + " animals");
      }
      std::vector<AnimalPose> fr;
      for (const Json& p : row) {
        AnimalPose q{p.at(0).get<double>(), p.at(1).get<double>(), p.at(2).get<double>(),
                     p.at(3).get<double>()};
        if (!std::isfinite(q.cx) || !std::isfinite(q.cy) || !std::isfinite(q.angle) ||
            !std::isfinite(q.lying)) {
          throw ValueError("a pose holds a value that is not finite");
        }
        fr.push_back(q);
      }
      g.poses.push_back(std::move(fr));
    }
  } catch (const nlohmann::json::exception& e) {
    throw ValueError(std::string("ground truth: malformed file: ") + e.what());
  }
  if (g.width <= 0 || g.height <= 0) throw ValueError("ground truth: bad frame size");
  return g;
}

GroundTruthClip GroundTruthClip::load(const std::string& path) {
  try {
    return parse(read_file(path));
  } catch (const ValueError& e) {
    throw ValueError(path + ": " + e.what());
  }
}

std::vector<cv::Mat> GroundTruthClip::masks(std::size_t frame, const std::array<int, 4>& crop,
                                            cv::Size out_size, std::optional<PenSide> pen,
                                            bool visible, std::vector<int>* ids) const {
  if (frame >= poses.size()) {
    throw IndexError("ground truth of " + video_name + " has " + std::to_string(poses.size()) +
                     " frames, no frame " + std::to_string(frame));
  }
  const CropMap m = crop_map(crop, out_size);
  const std::vector<AnimalPose>& fr = poses[frame];
  // Full silhouettes in the output pixels, with the output box of each.
  std::vector<cv::Mat> full(animals.size());
  std::vector<cv::Rect> roi(animals.size());
  const cv::Rect frame_rect(0, 0, m.out_w, m.out_h);
  for (std::size_t i = 0; i < animals.size(); ++i) {
    const std::array<double, 4> b = animal_bounds(animals[i], fr[i], 1);
    const std::array<double, 4> ob{
        (b[0] + 0.5 - m.x1) / m.sx - 0.5, (b[1] + 0.5 - m.y1) / m.sy - 0.5,
        (b[2] + 0.5 - m.x1) / m.sx - 0.5, (b[3] + 0.5 - m.y1) / m.sy - 0.5};
    roi[i] = bounds_rect({ob[0] - 1, ob[1] - 1, ob[2] + 1, ob[3] + 1}, frame_rect);
    full[i] = cv::Mat::zeros(m.out_h, m.out_w, CV_8UC1);
    const BodyFrame bf(fr[i]);
    for (int y = roi[i].y; y < roi[i].y + roi[i].height; ++y) {
      std::uint8_t* row = full[i].ptr<std::uint8_t>(y);
      const double Y = m.y1 + (y + 0.5) * m.sy - 0.5;
      for (int x = roi[i].x; x < roi[i].x + roi[i].width; ++x) {
        const double X = m.x1 + (x + 0.5) * m.sx - 0.5;
        double u, v;
        bf.map(X, Y, u, v);
        row[x] = inside_uv(animals[i], u, v) ? 1 : 0;
      }
    }
  }
  std::vector<cv::Mat> shown(animals.size());
  if (visible) {
    std::vector<std::size_t> order = draw_order(animals, fr);
    cv::Mat covered = cv::Mat::zeros(m.out_h, m.out_w, CV_8UC1);
    for (auto it = order.rbegin(); it != order.rend(); ++it) {
      const std::size_t i = *it;
      shown[i] = full[i].clone();
      if (roi[i].area() > 0) {
        cv::Mat s = shown[i](roi[i]), c = covered(roi[i]);
        s.setTo(0, c);
        cv::bitwise_or(c, full[i](roi[i]), c);
      }
    }
  } else {
    shown = full;
  }
  std::vector<std::size_t> pick;
  for (std::size_t i = 0; i < animals.size(); ++i) {
    if (!pen || animals[i].pen == *pen) pick.push_back(i);
  }
  std::sort(pick.begin(), pick.end(),
            [&](std::size_t a, std::size_t b) { return animals[a].id < animals[b].id; });
  std::vector<cv::Mat> out;
  if (ids) ids->clear();
  for (std::size_t i : pick) {
    out.push_back(shown[i]);
    if (ids) ids->push_back(animals[i].id);
  }
  return out;
}

}  // namespace vexo::standins
