#include "standins/synth.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <filesystem>
#include <future>
#include <nlohmann/json.hpp>
#include <opencv2/imgproc.hpp>
#include <opencv2/videoio.hpp>
#include <random>

#include "core/console.h"
#include "core/errors.h"
#include "core/fsutil.h"

namespace vexo::standins {

namespace {

using Json = nlohmann::ordered_json;
constexpr double kPi = 3.14159265358979323846;

// Posture: lying animals are wider and a little shorter.
constexpr double kLyingShorten = 0.05;
constexpr double kLyingWiden = 0.20;

double round_to(double v, double step) { return std::round(v / step) * step; }

double wrap_angle(double a) {
  a = std::fmod(a + kPi, 2 * kPi);
  if (a < 0) a += 2 * kPi;
  return a - kPi;
}

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

namespace {

struct CropMap {
  double x1, y1, sx, sy;
  int out_w, out_h;
};

CropMap crop_map(const std::array<int, 4>& crop, cv::Size out_size) {
  const int cw = crop[2] - crop[0], ch = crop[3] - crop[1];
  if (cw <= 0 || ch <= 0) throw ValueError("crop region is empty");
  CropMap m{double(crop[0]), double(crop[1]), 1.0, 1.0, cw, ch};
  if (out_size.width > 0 && out_size.height > 0) {
    m.out_w = out_size.width;
    m.out_h = out_size.height;
    m.sx = double(cw) / out_size.width;
    m.sy = double(ch) / out_size.height;
  } else if (out_size.width != 0 || out_size.height != 0) {
    throw ValueError("output size must be positive");
  }
  return m;
}

}  // namespace

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

// ---- animals -------------------------------------------------------------

namespace {

// Maps image points to normalised body coordinates: along the body axis (u)
// and across it (v), with the posture's widening undone.
struct BodyFrame {
  double cx, cy, c, s, inv_su, inv_sv;
  explicit BodyFrame(const AnimalPose& p)
      : cx(p.cx),
        cy(p.cy),
        c(std::cos(p.angle)),
        s(std::sin(p.angle)),
        inv_su(1 / (1 - kLyingShorten * p.lying)),
        inv_sv(1 / (1 + kLyingWiden * p.lying)) {}
  void map(double x, double y, double& u, double& v) const {
    const double dx = x - cx, dy = y - cy;
    u = (dx * c + dy * s) * inv_su;
    v = (-dx * s + dy * c) * inv_sv;
  }
};

inline double body_t(const AnimalShape& s, double u, double v) {
  const double a = u / s.body_a, b = v / s.body_b;
  return a * a + b * b;
}
inline double head_t(const AnimalShape& s, double u, double v) {
  const double a = (u - s.head_offset) / s.head_a, b = v / s.head_b;
  return a * a + b * b;
}
inline bool inside_uv(const AnimalShape& s, double u, double v) {
  return body_t(s, u, v) <= 1.0 || head_t(s, u, v) <= 1.0;
}

// Image-axis bounds (x1, y1, x2, y2) of the animal, grown by `pad` pixels.
std::array<double, 4> animal_bounds(const AnimalShape& s, const AnimalPose& p, double pad) {
  const double su = 1 - kLyingShorten * p.lying, sv = 1 + kLyingWiden * p.lying;
  const double u1 = -s.body_a * su, u2 = (s.head_offset + s.head_a) * su;
  const double vv = std::max(s.body_b, s.head_b) * sv;
  const double c = std::cos(p.angle), sn = std::sin(p.angle);
  double x1 = 1e300, y1 = 1e300, x2 = -1e300, y2 = -1e300;
  for (double u : {u1, u2}) {
    for (double v : {-vv, vv}) {
      const double x = p.cx + u * c - v * sn, y = p.cy + u * sn + v * c;
      x1 = std::min(x1, x);
      x2 = std::max(x2, x);
      y1 = std::min(y1, y);
      y2 = std::max(y2, y);
    }
  }
  return {x1 - pad, y1 - pad, x2 + pad, y2 + pad};
}

cv::Rect bounds_rect(const std::array<double, 4>& b, const cv::Rect& clip) {
  const int x1 = static_cast<int>(std::floor(b[0])), y1 = static_cast<int>(std::floor(b[1]));
  const int x2 = static_cast<int>(std::ceil(b[2])), y2 = static_cast<int>(std::ceil(b[3]));
  return cv::Rect(x1, y1, x2 - x1 + 1, y2 - y1 + 1) & clip;
}

}  // namespace

bool inside_animal(const AnimalShape& s, const AnimalPose& p, double x, double y) {
  double u, v;
  BodyFrame(p).map(x, y, u, v);
  return inside_uv(s, u, v);
}

double animal_reach(const AnimalShape& s) {
  const double along = std::max(s.body_a, s.head_offset + s.head_a);
  const double across = std::max(s.body_b, s.head_b) * (1 + kLyingWiden);
  return std::hypot(along, across) + 2;
}

std::vector<std::size_t> draw_order(const std::vector<AnimalShape>& shapes,
                                    const std::vector<AnimalPose>& poses) {
  std::vector<std::size_t> order(shapes.size());
  for (std::size_t i = 0; i < order.size(); ++i) order[i] = i;
  std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
    const bool la = poses[a].lying >= 0.5, lb = poses[b].lying >= 0.5;
    if (la != lb) return la;
    return shapes[a].id < shapes[b].id;
  });
  return order;
}

// ---- ground truth ----------------------------------------------------------

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

// ---- the herd simulation ------------------------------------------------------

namespace {

enum class Mode { kStand, kWalk, kLie };

struct Agent {
  AnimalShape shape;
  AnimalPose pose;
  Mode mode = Mode::kStand;
  double timer = 0;  // seconds left in the current mode
  double speed = 0, cruise = 60;
  cv::Point2d target;
  bool to_lie = false;     // walking to a lying place
  int partner = -1;        // agent lain against (index), or -1
  double lie_heading = 0;  // heading taken when lying down beside the partner
  double blocked = 0;      // seconds without progress
};

struct Circle {
  double x, y, r;
};

// The body as four circles (rear, middle, front, head) for contact tests.
std::array<Circle, 4> body_circles(const AnimalShape& s, const AnimalPose& p) {
  const double c = std::cos(p.angle), sn = std::sin(p.angle);
  const double su = 1 - kLyingShorten * p.lying, sv = 1 + kLyingWiden * p.lying;
  const double r = s.body_b * sv;
  auto at = [&](double u, double rad) {
    return Circle{p.cx + u * su * c, p.cy + u * su * sn, rad};
  };
  return {at(-0.55 * s.body_a, r), at(0, r), at(0.55 * s.body_a, r),
          at(s.head_offset, s.head_b * sv)};
}

}  // namespace

struct Herd::Impl {
  std::vector<Agent> agents;
  std::vector<AnimalShape> shapes;
  std::mt19937_64 rng;
  std::array<std::vector<cv::Point2f>, 2> pens;

  explicit Impl(std::uint64_t seed) : rng(seed) {
    for (int side = 0; side < 2; ++side) {
      for (const cv::Point2d& p : scene_layout().pen[side]) {
        pens[side].emplace_back(static_cast<float>(p.x), static_cast<float>(p.y));
      }
    }
  }

  double uniform(double a, double b) { return std::uniform_real_distribution<double>(a, b)(rng); }
  bool chance(double p) { return uniform(0, 1) < p; }

  bool in_pen(const Agent& a, const AnimalPose& p) const {
    for (const Circle& c : body_circles(a.shape, p)) {
      double d = cv::pointPolygonTest(pens[a.shape.pen], cv::Point2f(float(c.x), float(c.y)), true);
      if (d < c.r + 4) return false;
    }
    return true;
  }

  // Smallest ratio of centre distance to the sum of radii over circle pairs.
  static double closeness(const Agent& a, const AnimalPose& pa, const Agent& b) {
    double best = 1e9;
    for (const Circle& x : body_circles(a.shape, pa)) {
      for (const Circle& y : body_circles(b.shape, b.pose)) {
        best = std::min(best, std::hypot(x.x - y.x, x.y - y.y) / (x.r + y.r));
      }
    }
    return best;
  }

  // Whether agent i may take pose p: inside its pen and clear of pen mates
  // (its lying partner may be touched closely).
  bool allowed(std::size_t i, const AnimalPose& p, double clearance) const {
    const Agent& a = agents[i];
    if (!in_pen(a, p)) return false;
    for (std::size_t j = 0; j < agents.size(); ++j) {
      if (j == i || agents[j].shape.pen != a.shape.pen) continue;
      double k = clearance;
      if (static_cast<int>(j) == a.partner || agents[j].partner == static_cast<int>(i)) k = 0.72;
      double now = closeness(a, a.pose, agents[j]);
      double next = closeness(a, p, agents[j]);
      // Moving apart is always allowed, so animals never lock each other in.
      if (next < k && next < now) return false;
    }
    return true;
  }

  cv::Point2d random_target(const Agent& a) {
    cv::Rect2f bb = cv::boundingRect(pens[a.shape.pen]);
    const double margin = a.shape.head_offset + a.shape.head_a + 8;
    for (int tries = 0; tries < 200; ++tries) {
      cv::Point2f q(float(uniform(bb.x, bb.x + bb.width)), float(uniform(bb.y, bb.y + bb.height)));
      if (cv::pointPolygonTest(pens[a.shape.pen], q, true) >= margin) return q;
    }
    return {bb.x + bb.width / 2.0, bb.y + bb.height / 2.0};
  }

  void start_stand(Agent& a, double lo, double hi) {
    a.mode = Mode::kStand;
    a.timer = uniform(lo, hi);
    a.speed = 0;
  }

  void start_walk(Agent& a) {
    a.mode = Mode::kWalk;
    a.target = random_target(a);
    a.to_lie = false;
    a.timer = 14;
    a.blocked = 0;
  }

  // Chooses a lying place: beside a resting pen mate when one is free, else here.
  void start_lie_trip(std::size_t i) {
    Agent& a = agents[i];
    std::vector<std::size_t> mates;
    for (std::size_t j = 0; j < agents.size(); ++j) {
      if (j != i && agents[j].shape.pen == a.shape.pen && agents[j].mode == Mode::kLie &&
          agents[j].partner < 0) {
        mates.push_back(j);
      }
    }
    if (!mates.empty() && chance(0.75)) {
      std::size_t j = mates[std::uniform_int_distribution<std::size_t>(0, mates.size() - 1)(rng)];
      const Agent& b = agents[j];
      const double side = chance(0.5) ? 1 : -1;
      const double gap = (a.shape.body_b + b.shape.body_b) * (1 + kLyingWiden) * 0.9;
      const double c = std::cos(b.pose.angle), s = std::sin(b.pose.angle);
      const double shift = uniform(-0.25, 0.25) * b.shape.body_a;
      for (double sd : {side, -side}) {
        cv::Point2d t(b.pose.cx - sd * gap * s + shift * c, b.pose.cy + sd * gap * c + shift * s);
        AnimalPose lie{t.x, t.y, b.pose.angle + (chance(0.5) ? 0 : kPi), 1.0};
        if (in_pen(a, lie)) {
          a.mode = Mode::kWalk;
          a.target = t;
          a.to_lie = true;
          a.partner = static_cast<int>(j);
          a.lie_heading = lie.angle;
          a.timer = 20;
          a.blocked = 0;
          return;
        }
      }
    }
    a.mode = Mode::kLie;
    a.lie_heading = a.pose.angle;
    a.timer = uniform(8, 30);
  }

  void place_initial(int per_pen) {
    for (int side = 0; side < 2; ++side) {
      for (int k = 0; k < per_pen; ++k) {
        Agent a;
        a.shape.id = static_cast<int>(agents.size()) + 1;
        a.shape.pen = static_cast<PenSide>(side);
        const double len = uniform(205, 250);
        a.shape.body_a = round_to(0.42 * len, 0.01);
        a.shape.body_b = round_to(0.2 * len * uniform(0.94, 1.08), 0.01);
        a.shape.head_offset = round_to(0.37 * len, 0.01);
        a.shape.head_a = round_to(0.17 * len, 0.01);
        a.shape.head_b = round_to(0.64 * a.shape.body_b, 0.01);
        a.cruise = uniform(45, 90);
        const int mode = static_cast<int>(uniform(0, 10));
        a.pose.lying = mode < 3 ? 1.0 : 0.0;
        // Well apart at the start, so the first frames show every animal whole.
        bool placed = false;
        for (int tries = 0; tries < 2000 && !placed; ++tries) {
          cv::Point2d c = random_target(a);
          a.pose.cx = c.x;
          a.pose.cy = c.y;
          a.pose.angle = uniform(-kPi, kPi);
          if (!in_pen(a, a.pose)) continue;
          placed = true;
          for (const Agent& b : agents) {
            if (b.shape.pen == a.shape.pen && closeness(a, a.pose, b) < 1.3) {
              placed = false;
              break;
            }
          }
        }
        if (!placed) throw ValueError("synthetic herd: the pen is too small for the animals");
        agents.push_back(a);
        Agent& n = agents.back();
        if (mode < 3) {
          n.mode = Mode::kLie;
          n.lie_heading = n.pose.angle;
          n.timer = uniform(3, 25);
        } else if (mode < 7) {
          start_stand(n, 0.5, 5);
        } else {
          start_walk(n);
        }
      }
    }
  }

  void step_agent(std::size_t i, double dt) {
    Agent& a = agents[i];
    a.timer -= dt;
    switch (a.mode) {
      case Mode::kLie: {
        a.pose.lying = std::min(1.0, a.pose.lying + dt / 1.2);
        double d = wrap_angle(a.lie_heading - a.pose.angle);
        a.pose.angle = wrap_angle(a.pose.angle + std::clamp(d, -0.8 * dt, 0.8 * dt));
        if (a.timer <= 0) {
          a.partner = -1;
          start_stand(a, 1, 3);
        }
        break;
      }
      case Mode::kStand: {
        a.pose.lying = std::max(0.0, a.pose.lying - dt / 1.0);
        std::normal_distribution<double> jitter(0, 0.25 * std::sqrt(dt));
        AnimalPose p = a.pose;
        p.angle = wrap_angle(p.angle + jitter(rng));
        if (allowed(i, p, 0.95)) a.pose = p;
        if (a.timer <= 0 && a.pose.lying == 0) {
          if (chance(0.6)) {
            start_walk(a);
          } else {
            start_lie_trip(i);
          }
        }
        break;
      }
      case Mode::kWalk: {
        a.pose.lying = std::max(0.0, a.pose.lying - dt / 1.0);
        const double dx = a.target.x - a.pose.cx, dy = a.target.y - a.pose.cy;
        const double dist = std::hypot(dx, dy);
        if (dist < 6) {
          if (a.to_lie) {
            a.mode = Mode::kLie;
            a.timer = uniform(8, 30);
          } else {
            start_stand(a, 1.5, 5);
          }
          break;
        }
        if (a.timer <= 0) {
          a.partner = -1;
          start_stand(a, 1, 3);
          break;
        }
        const double want = std::atan2(dy, dx);
        const double turn = std::clamp(wrap_angle(want - a.pose.angle), -1.6 * dt, 1.6 * dt);
        a.speed = std::min({a.cruise, a.speed + 90 * dt, dist * 1.5 + 5});
        bool moved = false;
        for (double extra : {0.0, 0.5, -0.5, 1.0, -1.0}) {
          AnimalPose p = a.pose;
          p.angle = wrap_angle(p.angle + turn + extra * dt * 2);
          const double v = extra == 0 ? a.speed : a.speed * 0.5;
          p.cx += v * dt * std::cos(p.angle);
          p.cy += v * dt * std::sin(p.angle);
          if (allowed(i, p, 0.95)) {
            a.pose = p;
            moved = true;
            break;
          }
        }
        if (moved) {
          a.blocked = std::max(0.0, a.blocked - dt);
        } else {
          a.speed = 0;
          a.blocked += dt;
          if (a.blocked > 1.5) {
            a.partner = -1;
            if (chance(0.5)) {
              start_walk(a);
            } else {
              start_stand(a, 1, 3);
            }
          }
        }
        break;
      }
    }
  }
};

Herd::Herd(int animals_per_pen, std::uint64_t seed) : impl_(std::make_unique<Impl>(seed)) {
  if (animals_per_pen < 1 || animals_per_pen > 30) {
    throw ValueError("animals_per_pen must be from 1 to 30, got " +
                     std::to_string(animals_per_pen));
  }
  impl_->place_initial(animals_per_pen);
  for (const Agent& a : impl_->agents) impl_->shapes.push_back(a.shape);
}

Herd::~Herd() = default;

const std::vector<AnimalShape>& Herd::shapes() const { return impl_->shapes; }

std::vector<AnimalPose> Herd::poses() const {
  std::vector<AnimalPose> out;
  for (const Agent& a : impl_->agents) {
    out.push_back({round_to(a.pose.cx, 0.01), round_to(a.pose.cy, 0.01),
                   round_to(a.pose.angle, 0.0001), round_to(a.pose.lying, 0.01)});
  }
  return out;
}

void Herd::step(double dt) {
  // Agents move in turn; the order rotates so no animal always goes first.
  const std::size_t n = impl_->agents.size();
  std::size_t start = std::uniform_int_distribution<std::size_t>(0, n - 1)(impl_->rng);
  for (std::size_t k = 0; k < n; ++k) impl_->step_agent((start + k) % n, dt);
}

// ---- rendering ---------------------------------------------------------------

namespace {

struct Sprite {
  cv::Mat bgr;  // CV_32FC3 skin colours over normalised body coordinates
  double u0 = 0, v0 = 0;
};

cv::Mat smooth_noise(cv::RNG& rng, cv::Size size, int cell) {
  cv::Mat small(size.height / cell + 3, size.width / cell + 3, CV_32F);
  rng.fill(small, cv::RNG::NORMAL, 0, 1);
  cv::Mat big;
  cv::resize(small, big, cv::Size(small.cols * cell, small.rows * cell), 0, 0, cv::INTER_CUBIC);
  return big(cv::Rect(cell, cell, size.width, size.height)).clone();
}

// Draws into a soft float mask (0..1) an ellipse in sprite pixels.
void soft_ellipse(cv::Mat& m, cv::Point2d c, cv::Size2d axes, double angle_deg, int blur) {
  cv::Mat e = cv::Mat::zeros(m.size(), CV_32F);
  cv::ellipse(
      e,
      cv::RotatedRect(cv::Point2f(float(c.x), float(c.y)),
                      cv::Size2f(float(2 * axes.width), float(2 * axes.height)), float(angle_deg)),
      cv::Scalar(1), -1, cv::LINE_AA);
  if (blur > 1) cv::GaussianBlur(e, e, cv::Size(blur | 1, blur | 1), 0);
  cv::max(m, e, m);
}

Sprite make_sprite(const AnimalShape& s, int number, std::uint64_t seed) {
  cv::RNG rng(seed * 7919 + s.id * 104729 + 17);
  Sprite sp;
  const double vmax = std::max(s.body_b, s.head_b) + 3;
  sp.u0 = -s.body_a - 3;
  sp.v0 = -vmax;
  const int w = static_cast<int>(std::ceil(s.head_offset + s.head_a + 3 - sp.u0)) + 2;
  const int h = static_cast<int>(std::ceil(2 * vmax)) + 2;
  const cv::Size size(w, h);

  // Skin tone: pink to beige.
  const double r = rng.uniform(222.0, 245.0);
  const double g = r - rng.uniform(38.0, 55.0) + (rng.uniform(0.0, 1.0) < 0.25 ? 12 : 0);
  const double b = g - rng.uniform(8.0, 22.0);
  cv::Mat low = smooth_noise(rng, size, 7);
  cv::Mat fine(size, CV_32F);
  rng.fill(fine, cv::RNG::NORMAL, 0, 1);

  cv::Mat ears = cv::Mat::zeros(size, CV_32F), dirt = cv::Mat::zeros(size, CV_32F);
  cv::Mat spots = cv::Mat::zeros(size, CV_32F), paint = cv::Mat::zeros(size, CV_8U);
  auto to_px = [&](double u, double v) { return cv::Point2d(u - sp.u0, v - sp.v0); };
  for (double side : {-1.0, 1.0}) {
    soft_ellipse(ears, to_px(s.head_offset - 0.35 * s.head_a, side * 0.8 * s.head_b),
                 {0.42 * s.head_a, 0.38 * s.head_b}, side * 20, 3);
  }
  const int n_dirt = rng.uniform(0, 4);
  for (int k = 0; k < n_dirt; ++k) {
    soft_ellipse(dirt, to_px(rng.uniform(-0.8, 0.6) * s.body_a, rng.uniform(-0.7, 0.7) * s.body_b),
                 {rng.uniform(6.0, 18.0), rng.uniform(4.0, 12.0)}, rng.uniform(0.0, 180.0), 9);
  }
  if (rng.uniform(0.0, 1.0) < 0.25) {
    const int n_spots = rng.uniform(1, 4);
    for (int k = 0; k < n_spots; ++k) {
      soft_ellipse(spots,
                   to_px(rng.uniform(-0.8, 0.5) * s.body_a, rng.uniform(-0.6, 0.6) * s.body_b),
                   {rng.uniform(10.0, 24.0), rng.uniform(8.0, 18.0)}, rng.uniform(0.0, 180.0), 5);
    }
  }
  // The pen number painted on the back, reading along the body, and for
  // some animals a stripe across the shoulders.
  const std::string text = std::to_string(number);
  const double scale = 0.85 * s.body_b / 22.0;
  const int thick = std::max(3, static_cast<int>(std::lround(s.body_b / 9)));
  int base = 0;
  cv::Size ts = cv::getTextSize(text, cv::FONT_HERSHEY_SIMPLEX, scale, thick, &base);
  cv::Point2d c = to_px(-0.15 * s.body_a, 0);
  cv::putText(paint, text, cv::Point(int(c.x - ts.width / 2.0), int(c.y + ts.height / 2.0)),
              cv::FONT_HERSHEY_SIMPLEX, scale, cv::Scalar(255), thick, cv::LINE_AA);
  if (number % 3 == 0) {
    cv::Point2d a = to_px(0.5 * s.body_a, -0.75 * s.body_b),
                e = to_px(0.5 * s.body_a, 0.75 * s.body_b);
    cv::line(paint, a, e, cv::Scalar(255), thick + 2, cv::LINE_AA);
  }
  cv::GaussianBlur(paint, paint, cv::Size(3, 3), 0);

  sp.bgr.create(size, CV_32FC3);
  for (int y = 0; y < h; ++y) {
    const double v = sp.v0 + y;
    cv::Vec3f* out = sp.bgr.ptr<cv::Vec3f>(y);
    for (int x = 0; x < w; ++x) {
      const double u = sp.u0 + x;
      const double tb = body_t(s, u, v), th = head_t(s, u, v);
      const double sb = std::sqrt(std::max(0.0, 1 - tb)), sh = std::sqrt(std::max(0.0, 1 - th));
      double f = 0.84 + 0.16 * std::max(sb, 0.9 * sh);
      if (tb <= 1) f += 0.035 * std::exp(-std::pow(v / (0.22 * s.body_b), 2));
      f *= 1 + 0.035 * low.at<float>(y, x) + 0.018 * fine.at<float>(y, x);
      double cb = b * f, cg = g * f, cr = r * f;
      const float ear = ears.at<float>(y, x);
      cg *= 1 - 0.14 * ear;
      cb *= 1 - 0.14 * ear;
      if (u > s.head_offset + 0.72 * s.head_a) {
        cg *= 0.9;
        cb *= 0.9;
      }
      const float d = dirt.at<float>(y, x);
      cb *= 1 - 0.28 * d;
      cg *= 1 - 0.22 * d;
      cr *= 1 - 0.18 * d;
      const float sp_ = spots.at<float>(y, x);
      cb = cb * (1 - sp_) + 62 * sp_;
      cg = cg * (1 - sp_) + 58 * sp_;
      cr = cr * (1 - sp_) + 66 * sp_;
      const double p = 0.85 * paint.at<std::uint8_t>(y, x) / 255.0;
      cb = cb * (1 - p) + 72 * p;
      cg = cg * (1 - p) + 42 * p;
      cr = cr * (1 - p) + 38 * p;
      out[x] = cv::Vec3f(float(cb), float(cg), float(cr));
    }
  }
  // Eyes.
  for (double side : {-1.0, 1.0}) {
    cv::circle(sp.bgr, to_px(s.head_offset + 0.3 * s.head_a, side * 0.45 * s.head_b), 2,
               cv::Scalar(50, 45, 48), -1, cv::LINE_AA);
  }
  return sp;
}

cv::Mat make_background(std::uint64_t seed) {
  const SceneLayout& L = scene_layout();
  const cv::Size size(L.width, L.height);
  cv::RNG rng(seed * 31 + 5);
  cv::Mat v = smooth_noise(rng, size, 64) * 7.0f + smooth_noise(rng, size, 16) * 3.0f;
  cv::Mat fine(size, CV_32F);
  rng.fill(fine, cv::RNG::NORMAL, 0, 2.5);
  cv::GaussianBlur(fine, fine, cv::Size(3, 3), 0);
  v += fine;
  v += 94.0f;

  // Pens: slatted dunging area in the lower part; walkway a little lighter.
  cv::Mat inside = cv::Mat::zeros(size, CV_8U);
  for (const auto& pen : L.pen) {
    std::vector<cv::Point> poly;
    for (const cv::Point2d& p : pen) poly.emplace_back(int(p.x), int(p.y));
    cv::fillPoly(inside, std::vector<std::vector<cv::Point>>{poly}, cv::Scalar(1));
  }
  cv::Mat slats = cv::Mat::zeros(size, CV_8U);
  for (int y = 960; y < L.height; y += 26) {
    cv::line(slats, {0, y}, {L.width - 1, y}, cv::Scalar(1), 4);
  }
  cv::Mat dirt = cv::Mat::zeros(size, CV_32F);
  for (int k = 0; k < 40; ++k) {
    cv::Point2f c(float(rng.uniform(150, 2280)), float(rng.uniform(80, 1370)));
    cv::ellipse(
        dirt,
        cv::RotatedRect(c, cv::Size2f(float(rng.uniform(20, 90)), float(rng.uniform(14, 50))),
                        float(rng.uniform(0, 180))),
        cv::Scalar(1), -1, cv::LINE_AA);
  }
  cv::GaussianBlur(dirt, dirt, cv::Size(21, 21), 0);

  cv::Mat bg(size, CV_8UC3);
  const double cx = L.width / 2.0, cy = L.height / 2.0;
  for (int y = 0; y < L.height; ++y) {
    const float* vr = v.ptr<float>(y);
    const float* dr = dirt.ptr<float>(y);
    const std::uint8_t* in = inside.ptr<std::uint8_t>(y);
    const std::uint8_t* sl = slats.ptr<std::uint8_t>(y);
    cv::Vec3b* out = bg.ptr<cv::Vec3b>(y);
    for (int x = 0; x < L.width; ++x) {
      const double rx = (x - cx) / cx, ry = (y - cy) / cy;
      double f = vr[x] * (1 - 0.09 * (rx * rx + ry * ry));
      if (!in[x]) f *= 1.08;
      if (in[x] && sl[x]) f *= 0.55;
      const double d = in[x] ? dr[x] : 0.0;
      f *= 1 - 0.3 * d;
      out[x] = cv::Vec3b(cv::saturate_cast<std::uint8_t>(f * (0.96 - 0.05 * d)),
                         cv::saturate_cast<std::uint8_t>(f * (1.0 - 0.02 * d)),
                         cv::saturate_cast<std::uint8_t>(f * (1.03 + 0.04 * d)));
    }
  }
  // Fences with posts.
  for (const auto& pen : L.pen) {
    std::vector<cv::Point> poly;
    for (const cv::Point2d& p : pen) poly.emplace_back(int(p.x), int(p.y));
    cv::polylines(bg, poly, true, cv::Scalar(46, 48, 52), 14, cv::LINE_AA);
    for (std::size_t k = 0; k < poly.size(); ++k) {
      cv::Point a = poly[k], b = poly[(k + 1) % poly.size()];
      const int n = std::max(1, static_cast<int>(cv::norm(b - a) / 240));
      for (int t = 0; t <= n; ++t) {
        cv::Point q = a + (b - a) * t / n;
        cv::rectangle(bg, q - cv::Point(12, 12), q + cv::Point(12, 12), cv::Scalar(38, 40, 44), -1);
      }
    }
  }
  bg(L.marker).setTo(cv::Scalar(0, 140, 255));
  return bg;
}

}  // namespace

struct SceneRenderer::Impl {
  std::vector<AnimalShape> shapes;
  std::vector<Sprite> sprites;
  cv::Mat background;
};

SceneRenderer::SceneRenderer(const std::vector<AnimalShape>& shapes, std::uint64_t seed)
    : impl_(std::make_unique<Impl>()) {
  impl_->shapes = shapes;
  impl_->background = make_background(seed);
  std::array<int, 2> count{0, 0};
  for (const AnimalShape& s : shapes)
    impl_->sprites.push_back(make_sprite(s, ++count[s.pen], seed));
}

SceneRenderer::~SceneRenderer() = default;

const cv::Mat& SceneRenderer::background() const { return impl_->background; }

cv::Mat SceneRenderer::render(const std::vector<AnimalPose>& poses) const {
  const std::vector<AnimalShape>& shapes = impl_->shapes;
  if (poses.size() != shapes.size()) throw ValueError("render: one pose per animal is needed");
  cv::Mat frame = impl_->background.clone();
  const cv::Rect frame_rect(0, 0, frame.cols, frame.rows);
  // Soft shadows below the animals, darkened once where they overlap.
  cv::Mat shadow = cv::Mat::zeros(frame.size(), CV_8U);
  std::vector<cv::Rect> shadow_rois;
  for (std::size_t i = 0; i < shapes.size(); ++i) {
    AnimalPose p = poses[i];
    p.cx += 5;
    p.cy += 7;
    AnimalShape big = shapes[i];
    big.body_a *= 1.04;
    big.body_b *= 1.06;
    big.head_a *= 1.04;
    big.head_b *= 1.06;
    const cv::Rect roi = bounds_rect(animal_bounds(big, p, 2), frame_rect);
    shadow_rois.push_back(roi);
    const BodyFrame bf(p);
    for (int y = roi.y; y < roi.y + roi.height; ++y) {
      std::uint8_t* row = shadow.ptr<std::uint8_t>(y);
      for (int x = roi.x; x < roi.x + roi.width; ++x) {
        double u, v;
        bf.map(x, y, u, v);
        if (inside_uv(big, u, v)) row[x] = 1;
      }
    }
  }
  for (const cv::Rect& roi : shadow_rois) {
    for (int y = roi.y; y < roi.y + roi.height; ++y) {
      std::uint8_t* row = shadow.ptr<std::uint8_t>(y);
      cv::Vec3b* px = frame.ptr<cv::Vec3b>(y);
      for (int x = roi.x; x < roi.x + roi.width; ++x) {
        if (row[x]) {
          px[x] = cv::Vec3b(std::uint8_t(px[x][0] * 0.74), std::uint8_t(px[x][1] * 0.74),
                            std::uint8_t(px[x][2] * 0.74));
          row[x] = 0;
        }
      }
    }
  }

  // Animals, anti-aliased at the outline: coverage from the first-order
  // distance to each ellipse, so a pixel centre inside the outline is at
  // least half covered.
  for (std::size_t i : draw_order(shapes, poses)) {
    const AnimalShape& s = shapes[i];
    const AnimalPose& p = poses[i];
    const Sprite& sp = impl_->sprites[i];
    const cv::Rect roi = bounds_rect(animal_bounds(s, p, 2), frame_rect);
    const BodyFrame bf(p);
    auto coverage = [](double t, double gu, double gv) {
      const double grad = 2 * std::sqrt(gu * gu + gv * gv);
      if (grad <= 0) return t <= 1 ? 1.0 : 0.0;
      return std::clamp(0.5 - (t - 1) / grad, 0.0, 1.0);
    };
    for (int y = roi.y; y < roi.y + roi.height; ++y) {
      cv::Vec3b* px = frame.ptr<cv::Vec3b>(y);
      for (int x = roi.x; x < roi.x + roi.width; ++x) {
        double u, v;
        bf.map(x, y, u, v);
        const double tb = body_t(s, u, v), th = head_t(s, u, v);
        if (tb > 1.3 && th > 1.6) continue;
        double alpha = 1;
        if (tb > 0.8 && th > 0.8) {  // near the outline
          const double ab = coverage(tb, u / (s.body_a * s.body_a), v / (s.body_b * s.body_b));
          const double ah =
              coverage(th, (u - s.head_offset) / (s.head_a * s.head_a), v / (s.head_b * s.head_b));
          alpha = std::max(ab, ah);
        }
        if (alpha <= 0) continue;
        const double fx = std::clamp(u - sp.u0, 0.0, sp.bgr.cols - 1.001);
        const double fy = std::clamp(v - sp.v0, 0.0, sp.bgr.rows - 1.001);
        const int ix = int(fx), iy = int(fy);
        const double ax = fx - ix, ay = fy - iy;
        const cv::Vec3f* r0 = sp.bgr.ptr<cv::Vec3f>(iy);
        const cv::Vec3f* r1 = sp.bgr.ptr<cv::Vec3f>(iy + 1);
        for (int ch = 0; ch < 3; ++ch) {
          const double c = (r0[ix][ch] * (1 - ax) + r0[ix + 1][ch] * ax) * (1 - ay) +
                           (r1[ix][ch] * (1 - ax) + r1[ix + 1][ch] * ax) * ay;
          px[x][ch] = cv::saturate_cast<std::uint8_t>(alpha * c + (1 - alpha) * px[x][ch]);
        }
      }
    }
  }
  return frame;
}

// ---- recordings ---------------------------------------------------------------

namespace {

std::chrono::year_month_day parse_date(const std::string& s) {
  bool digits =
      s.size() == 8 && std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
  if (digits) {
    std::chrono::year_month_day d{std::chrono::year(std::stoi(s.substr(0, 4))),
                                  std::chrono::month(unsigned(std::stoi(s.substr(4, 2)))),
                                  std::chrono::day(unsigned(std::stoi(s.substr(6, 2))))};
    if (d.ok()) return d;
  }
  throw ValueError("first_date: expected a date as YYYYMMDD, got '" + s + "'");
}

int parse_time(const std::string& s) {
  auto two = [&](std::size_t at) {
    if (s[at] < '0' || s[at] > '9' || s[at + 1] < '0' || s[at + 1] > '9') return -1;
    return (s[at] - '0') * 10 + (s[at + 1] - '0');
  };
  if (s.size() == 8 && s[2] == ':' && s[5] == ':') {
    int h = two(0), m = two(3), sec = two(6);
    if (h >= 0 && h < 24 && m >= 0 && m < 60 && sec >= 0 && sec < 60)
      return h * 3600 + m * 60 + sec;
  }
  throw ValueError("first_time: expected a time of day as HH:MM:SS, got '" + s + "'");
}

std::string date_text(const std::chrono::year_month_day& d) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "%04d%02u%02u", int(d.year()), unsigned(d.month()),
                unsigned(d.day()));
  return buf;
}

std::string time_digits(int seconds_of_day) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "%02d%02d%02d", seconds_of_day / 3600, seconds_of_day / 60 % 60,
                seconds_of_day % 60);
  return buf;
}

void make_dirs(const std::string& dir) {
  std::error_code ec;
  std::filesystem::create_directories(dir, ec);
  if (ec) throw IoError("cannot create folder '" + dir + "': " + ec.message());
}

void validate(const SynthParams& p) {
  if (p.root.empty()) throw ValueError("root: a recordings folder is needed");
  if (p.camera.empty() ||
      !std::all_of(p.camera.begin(), p.camera.end(), [](char c) { return c >= '0' && c <= '9'; })) {
    throw ValueError("camera: expected the camera number as decimal digits, got '" + p.camera +
                     "'");
  }
  if (p.clip_number < 0) throw ValueError("clip_number must not be negative");
  if (p.clips < 1 || p.clips > 1000) throw ValueError("clips must be from 1 to 1000");
  if (p.days < 1 || p.days > 366) throw ValueError("days must be from 1 to 366");
  if (!(p.fps > 0 && p.fps <= 120)) throw ValueError("fps must be above 0 and at most 120");
  if (!(p.clip_seconds > 0 && p.clip_seconds <= 3600)) {
    throw ValueError("clip_seconds must be above 0 and at most 3600");
  }
  if (!(p.gap_seconds >= 0 && p.gap_seconds <= 86400)) {
    throw ValueError("gap_seconds must be from 0 to 86400");
  }
  if (std::llround(p.clip_seconds * p.fps) < 1) {
    throw ValueError("clip_seconds x fps gives no frame");
  }
}

}  // namespace

SynthRecording generate_recording(const SynthParams& p, const SynthProgress& progress) {
  validate(p);
  const std::chrono::year_month_day first_day = parse_date(p.first_date);
  const int t0 = parse_time(p.first_time);
  const long long frames_per_clip = std::llround(p.clip_seconds * p.fps);
  const long long gap_steps = std::llround(p.gap_seconds * p.fps);
  const double dt = 1.0 / p.fps;
  std::vector<int> starts;
  for (int c = 0; c < p.clips; ++c) {
    const int t = t0 + static_cast<int>(std::floor(c * (p.clip_seconds + p.gap_seconds)));
    if (t >= 86400) throw ValueError("the clips of a day run past midnight");
    if (!starts.empty() && t == starts.back()) {
      throw ValueError("two clips would start in the same second (clips shorter than 1 s)");
    }
    starts.push_back(t);
  }

  const SceneLayout& L = scene_layout();
  SynthRecording rec;
  rec.root = p.root;
  rec.camera = p.camera;
  rec.fps = p.fps;
  make_dirs(p.root);
  const std::string gt_dir = path_join(p.root, "ground_truth");
  const std::string pen_dir = path_join(p.root, "pens");
  make_dirs(gt_dir);
  make_dirs(pen_dir);

  for (PenSide side : {kLeftPen, kRightPen}) {
    std::array<int, 4> crop = crop_region_for(side);
    rec.crop_regions[side] = crop;
    const std::string name = "Cam" + p.camera + (side == kLeftPen ? "_left.json" : ".json");
    const std::string path = path_join(pen_dir, name);
    write_file_atomic(path, pen_file_json(pen_polygon_in(side, crop),
                                          cv::Size(crop[2] - crop[0], crop[3] - crop[1])));
    rec.pen_files[side] = path;
  }

  Herd herd(p.animals_per_pen, p.seed);
  SceneRenderer renderer(herd.shapes(), p.seed);
  const int total = p.clips * p.days;
  int done = 0;
  long long steps = 0;  // simulation steps so far
  const auto advance = [&] {
    herd.step(dt);
    ++steps;
  };
  for (int d = 0; d < p.days; ++d) {
    const std::string date = date_text(
        std::chrono::year_month_day(std::chrono::sys_days(first_day) + std::chrono::days(d)));
    const std::string dir = path_join(p.root, date);
    make_dirs(dir);
    rec.sub_dirs.push_back(date);
    for (int c = 0; c < p.clips; ++c) {
      if (c > 0) {
        for (long long k = 0; k < gap_steps; ++k) advance();
      }
      GroundTruthClip gt;
      gt.video_name = "Camera" + p.camera + "_" + std::to_string(p.clip_number) + "_" + date +
                      time_digits(starts[c]);
      gt.fps = p.fps;
      gt.width = L.width;
      gt.height = L.height;
      gt.first_frame_time_ms = std::llround(steps * 1000.0 / p.fps);
      gt.animals = herd.shapes();
      for (long long f = 0; f < frames_per_clip; ++f) {
        gt.poses.push_back(herd.poses());
        advance();
      }

      const std::string file = gt.video_name + ".mp4";
      const std::string final_path = path_join(dir, file);
      const std::string tmp_path = path_join(dir, ".tmp_" + file);
      try {
        cv::VideoWriter writer(tmp_path, cv::CAP_FFMPEG,
                               cv::VideoWriter::fourcc('m', 'p', '4', 'v'), p.fps,
                               cv::Size(L.width, L.height));
        if (!writer.isOpened()) throw IoError("cannot write video '" + tmp_path + "'");
        std::future<cv::Mat> next =
            std::async(std::launch::async, [&] { return renderer.render(gt.poses[0]); });
        for (long long f = 0; f < frames_per_clip; ++f) {
          cv::Mat frame = next.get();
          if (f + 1 < frames_per_clip) {
            next =
                std::async(std::launch::async, [&, f] { return renderer.render(gt.poses[f + 1]); });
          }
          writer.write(frame);
          check_interrupt();
        }
        writer.release();
      } catch (...) {
        std::error_code rm;
        std::filesystem::remove(tmp_path, rm);  // no half-written clip stays behind
        throw;
      }
      std::error_code ec;
      std::filesystem::rename(tmp_path, final_path, ec);
      if (ec) throw IoError("cannot move '" + tmp_path + "' into place: " + ec.message());

      SynthClip clip;
      clip.path = final_path;
      clip.video_name = gt.video_name;
      clip.sub_dir = date;
      clip.date = date;
      const std::string td = time_digits(starts[c]);
      clip.time = td.substr(0, 2) + ":" + td.substr(2, 2) + ":" + td.substr(4, 2);
      clip.frames = static_cast<int>(frames_per_clip);
      clip.ground_truth = path_join(gt_dir, gt.video_name + ".json");
      write_file_atomic(clip.ground_truth, gt.to_json());
      rec.clips.push_back(clip);
      if (progress) progress(++done, total);
    }
  }

  Json doc;
  doc["root"] = rec.root;
  doc["camera"] = rec.camera;
  doc["fps"] = rec.fps;
  doc["frame_size"] = {L.width, L.height};
  doc["animals_per_pen"] = p.animals_per_pen;
  doc["seed"] = p.seed;
  doc["sub_dirs"] = rec.sub_dirs;
  Json clips = Json::array();
  for (const SynthClip& c : rec.clips) {
    Json j;
    j["path"] = c.path;
    j["video_name"] = c.video_name;
    j["sub_dir"] = c.sub_dir;
    j["date"] = c.date;
    j["time"] = c.time;
    j["frames"] = c.frames;
    j["ground_truth"] = c.ground_truth;
    clips.push_back(j);
  }
  doc["clips"] = clips;
  doc["pen_files"] = {{"left", rec.pen_files[kLeftPen]}, {"right", rec.pen_files[kRightPen]}};
  doc["crop_regions"] = {{"left", rec.crop_regions[kLeftPen]},
                         {"right", rec.crop_regions[kRightPen]}};
  doc["marker"] = {L.marker.x, L.marker.y, L.marker.x + L.marker.width,
                   L.marker.y + L.marker.height};
  rec.manifest = path_join(p.root, "recording.json");
  write_file_atomic(rec.manifest, doc.dump(4));
  return rec;
}

}  // namespace vexo::standins
