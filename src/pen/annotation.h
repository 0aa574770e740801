// Tools for per-frame tracking JSON files checked by hand: rendering a file
// onto its frame and repairing polygons normalised with swapped dimensions.
#pragma once

#include <array>
#include <cstdint>
#include <nlohmann/json.hpp>
#include <opencv2/core.hpp>
#include <optional>
#include <string>
#include <vector>

namespace vexo::pen {

// A per-frame file read for rendering: the document and the "object_id" of
// every detection, in order (KeyError when one is missing).
struct AnnotationFile {
  std::string json_path;
  nlohmann::ordered_json doc;
  std::vector<nlohmann::ordered_json> object_ids;
};
AnnotationFile read_annotation(const std::string& json_path);

using Rgb = std::array<std::uint8_t, 3>;

// Renders the file onto its frame: every detection with a colour (one entry
// per detection; nothing = not selected) has its polygons filled with the
// colour at alpha 100 and, with `box_drawing`, its last "xyxy" box outlined
// (2 pixels) and labelled "Box <object_id - 1>". Returns the frame as RGBA
// (R, G, B, A order) composited with the overlay. With a non-empty
// `save_path` the result is also written there.
cv::Mat render_annotation(const AnnotationFile& file,
                          const std::vector<std::optional<Rgb>>& colours, bool box_drawing,
                          const std::string& save_path = "");

// Rescales every "formatted_polygon" coordinate pair (x * H/W, y * W/H,
// written ".6f") and writes the file (to `save_path`, or over `json_path`)
// atomically, keys in the order read and indented as the host's
// json.dump(obj, indent=4). Prints "Error loading image: <reason>" and
// writes nothing when the frame image cannot be opened.
void fix_polygon_scaling(const std::string& json_path,
                         const std::optional<std::string>& save_path = {});

// The text the host's json.dump(obj, indent=4) writes for `value` (ASCII
// escapes, shortest round-trip floats, NaN/Infinity), without a final line
// break.
std::string dump_json_indent4(const nlohmann::ordered_json& value);

}  // namespace vexo::pen
