#include "tracking/frame_runs.h"

#include <algorithm>
#include <limits>

#include "core/errors.h"

namespace vexo::tracking {

namespace {

bool is_text(const GroupValue& v) { return std::holds_alternative<std::string>(v); }

double as_real(const GroupValue& v) {
  if (auto* i = std::get_if<std::int64_t>(&v)) return static_cast<double>(*i);
  return std::get<double>(v);
}

// Strict order of two values of the same family.
bool value_less(const GroupValue& a, const GroupValue& b) {
  if (is_text(a)) return std::get<std::string>(a) < std::get<std::string>(b);
  const auto* ia = std::get_if<std::int64_t>(&a);
  const auto* ib = std::get_if<std::int64_t>(&b);
  if (ia && ib) return *ia < *ib;
  return as_real(a) < as_real(b);
}

// b == a + 1, without overflow.
bool follows(std::int64_t a, std::int64_t b) {
  return a != std::numeric_limits<std::int64_t>::max() && b == a + 1;
}

}  // namespace

std::vector<FrameRunGroup> find_continuous_frames(
    const std::vector<std::int64_t>& frames, const std::vector<std::optional<GroupValue>>& groups,
    double n_consecutive) {
  if (frames.size() != groups.size()) {
    throw ValueError("find_continuous_frames: frame and group columns differ in length");
  }
  std::vector<std::size_t> rows;
  rows.reserve(groups.size());
  std::optional<bool> text_family;
  for (std::size_t i = 0; i < groups.size(); ++i) {
    if (!groups[i]) continue;
    bool t = is_text(*groups[i]);
    if (text_family && *text_family != t) {
      throw TypeError(
          "find_continuous_frames: the group column mixes text and numbers, which cannot be "
          "ordered");
    }
    text_family = t;
    rows.push_back(i);
  }
  // Group by value: sort rows by (value, frame); equal values are neighbours.
  std::stable_sort(rows.begin(), rows.end(), [&](std::size_t a, std::size_t b) {
    const GroupValue& va = *groups[a];
    const GroupValue& vb = *groups[b];
    if (value_less(va, vb)) return true;
    if (value_less(vb, va)) return false;
    return frames[a] < frames[b];
  });
  std::vector<FrameRunGroup> out;
  std::size_t i = 0;
  while (i < rows.size()) {
    const GroupValue& g = *groups[rows[i]];
    std::size_t j = i;
    while (j < rows.size() && !value_less(g, *groups[rows[j]]) &&
           !value_less(*groups[rows[j]], g)) {
      ++j;
    }
    FrameRunGroup gr{g, {}};
    std::size_t s = i;
    while (s < j) {
      std::size_t e = s + 1;
      while (e < j && follows(frames[rows[e - 1]], frames[rows[e]])) ++e;
      if (static_cast<double>(e - s) >= n_consecutive) {
        std::vector<std::int64_t> run;
        run.reserve(e - s);
        for (std::size_t k = s; k < e; ++k) run.push_back(frames[rows[k]]);
        gr.runs.push_back(std::move(run));
      }
      s = e;
    }
    if (!gr.runs.empty()) out.push_back(std::move(gr));
    i = j;
  }
  return out;
}

}  // namespace vexo::tracking
