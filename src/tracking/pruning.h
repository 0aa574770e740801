// Boxes whose masks stayed small late in a clip: tracks that have lost their
// pig and must not be carried into the next clip.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace vexo::tracking {

// One (box, area) entry of a frame record's "mask_areas".
struct BoxArea {
  double frame = 0;  // the record's key
  std::string box;
  double area = 0;
};

// Entries in record order, then "mask_areas" order. Considers the records
// whose key is greater than `min_frame_id`; an area counts as small when it is
// at most `area_threshold`. Returns the positions in `entries` of the first
// small entry of every box that was small more than `min_count` times, in
// order of those first occurrences.
std::vector<std::size_t> boxes_small_in_many_frames(const std::vector<BoxArea>& entries,
                                                    double min_frame_id, double area_threshold,
                                                    double min_count);

}  // namespace vexo::tracking
