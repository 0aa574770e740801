// Runs of consecutive frame numbers per group (a box pair or a box id): the
// episodes in which a tracking problem persists.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace vexo::tracking {

// A group value: an integer, a real number or a text. Values of one call
// are all numbers or all texts.
using GroupValue = std::variant<std::int64_t, double, std::string>;

struct FrameRunGroup {
  GroupValue group;
  std::vector<std::vector<std::int64_t>> runs;  // ascending, each of consecutive frames
};

// Groups the rows by value (absent values belong to no group), in ascending
// order of the value (text order for texts), and splits each group's sorted
// frames into runs of consecutive numbers; a repeated frame starts a new run.
// Only runs of at least `n_consecutive` frames are kept, and only groups with
// a kept run appear. TypeError when texts and numbers are mixed.
std::vector<FrameRunGroup> find_continuous_frames(
    const std::vector<std::int64_t>& frames, const std::vector<std::optional<GroupValue>>& groups,
    double n_consecutive);

}  // namespace vexo::tracking
