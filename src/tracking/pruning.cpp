#include "tracking/pruning.h"

#include <unordered_map>

namespace vexo::tracking {

std::vector<std::size_t> boxes_small_in_many_frames(const std::vector<BoxArea>& entries,
                                                    double min_frame_id, double area_threshold,
                                                    double min_count) {
  struct Tally {
    std::size_t first;
    std::size_t count;
  };
  std::unordered_map<std::string, std::size_t> index;
  std::vector<Tally> tallies;
  for (std::size_t i = 0; i < entries.size(); ++i) {
    const BoxArea& e = entries[i];
    if (!(e.frame > min_frame_id) || !(e.area <= area_threshold)) continue;
    auto [it, fresh] = index.try_emplace(e.box, tallies.size());
    if (fresh) tallies.push_back({i, 0});
    ++tallies[it->second].count;
  }
  std::vector<std::size_t> out;
  for (const Tally& t : tallies) {
    if (static_cast<double>(t.count) > min_count) out.push_back(t.first);
  }
  return out;
}

}  // namespace vexo::tracking
