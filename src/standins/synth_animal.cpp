// Animal geometry: inside test, reach and drawing order.
#include "standins/synth.h"
#include "standins/synth_geometry.h"

namespace vexo::standins {

using namespace detail;

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

}  // namespace vexo::standins
