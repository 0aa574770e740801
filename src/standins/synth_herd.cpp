// The herd simulation: animals that walk, stand, lie down and lie against a
// pen mate, kept inside their pen and clear of each other, and that spread
// out over their pen when told (the morning feed).
#include <opencv2/imgproc.hpp>
#include <random>

#include "core/errors.h"
#include "standins/synth.h"
#include "standins/synth_geometry.h"

namespace vexo::standins {

using namespace detail;

namespace {

enum class Mode { kStand, kWalk, kLie, kSpread };

// Pen mates that spread out end at least this far apart (closeness of their
// body circles), a few pixels clear even at the scale of small frames.
constexpr double kSpreadClearance = 1.45;

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

  // Smallest ratio of centre distance to the sum of radii over circle pairs,
  // and the pair it is found at.
  static double closeness(const AnimalShape& sa, const AnimalPose& pa, const AnimalShape& sb,
                          const AnimalPose& pb, Circle* at_a = nullptr, Circle* at_b = nullptr) {
    double best = 1e9;
    for (const Circle& x : body_circles(sa, pa)) {
      for (const Circle& y : body_circles(sb, pb)) {
        const double k = std::hypot(x.x - y.x, x.y - y.y) / (x.r + y.r);
        if (k < best) {
          best = k;
          if (at_a) *at_a = x;
          if (at_b) *at_b = y;
        }
      }
    }
    return best;
  }
  static double closeness(const Agent& a, const AnimalPose& pa, const Agent& b) {
    return closeness(a.shape, pa, b.shape, b.pose);
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

  // Standing places near the current ones where every animal is inside its
  // pen and at least kSpreadClearance from each pen mate: pairs too close
  // are pushed apart and animals too near the fence pushed in, a little at a
  // time, until none is left (or the rounds run out).
  std::vector<AnimalPose> spread_places() const {
    std::vector<AnimalPose> at;
    for (const Agent& a : agents) at.push_back({a.pose.cx, a.pose.cy, a.pose.angle, 0.0});
    std::array<cv::Point2d, 2> centre{};
    for (int side = 0; side < 2; ++side) {
      for (const cv::Point2f& q : pens[side]) centre[side] += cv::Point2d(q.x, q.y);
      centre[side] *= 1.0 / static_cast<double>(pens[side].size());
    }
    for (int round = 0; round < 3000; ++round) {
      bool clear = true;
      for (std::size_t i = 0; i < agents.size(); ++i) {
        for (std::size_t j = i + 1; j < agents.size(); ++j) {
          if (agents[i].shape.pen != agents[j].shape.pen) continue;
          Circle x{}, y{};
          const double k = closeness(agents[i].shape, at[i], agents[j].shape, at[j], &x, &y);
          if (k >= kSpreadClearance) continue;
          clear = false;
          double dx = x.x - y.x, dy = x.y - y.y, d = std::hypot(dx, dy);
          if (d < 1e-6) {  // centres on top of each other: apart along the x axis
            dx = i < j ? 1 : -1;
            dy = 0;
            d = 1;
          }
          const double push = 0.25 * (kSpreadClearance * (x.r + y.r) - d) + 0.5;
          at[i].cx += push * dx / d;
          at[i].cy += push * dy / d;
          at[j].cx -= push * dx / d;
          at[j].cy -= push * dy / d;
        }
      }
      for (std::size_t i = 0; i < agents.size(); ++i) {
        if (in_pen(agents[i], at[i])) continue;
        clear = false;
        const cv::Point2d c = centre[agents[i].shape.pen];
        const double dx = c.x - at[i].cx, dy = c.y - at[i].cy, d = std::hypot(dx, dy);
        if (d > 2) {
          at[i].cx += 2 * dx / d;
          at[i].cy += 2 * dy / d;
        }
      }
      if (clear) break;
    }
    return at;
  }

  void spread_out() {
    const std::vector<AnimalPose> places = spread_places();
    for (std::size_t i = 0; i < agents.size(); ++i) {
      Agent& a = agents[i];
      a.mode = Mode::kSpread;
      a.target = {places[i].cx, places[i].cy};
      a.to_lie = false;
      a.partner = -1;
      a.speed = 0;
      a.timer = uniform(9, 12);
    }
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
      case Mode::kSpread: {
        // Up first, then straight to the place, keeping the heading.
        a.pose.lying = std::max(0.0, a.pose.lying - dt / 1.0);
        if (a.timer <= 0) {
          start_stand(a, 1, 3);
          break;
        }
        const double dx = a.target.x - a.pose.cx, dy = a.target.y - a.pose.cy;
        const double dist = std::hypot(dx, dy);
        if (a.pose.lying > 0.5 || dist < 0.5) {
          a.speed = 0;
          break;
        }
        a.speed = std::min({a.cruise, a.speed + 90 * dt, dist * 1.5 + 5});
        for (double share : {1.0, 0.5}) {
          const double step = std::min(dist, a.speed * dt * share);
          AnimalPose p = a.pose;
          p.cx += step * dx / dist;
          p.cy += step * dy / dist;
          if (allowed(i, p, 0.9)) {
            a.pose = p;
            break;
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

void Herd::spread_out() { impl_->spread_out(); }

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

}  // namespace vexo::standins
