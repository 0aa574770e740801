// Pen polygon files: which file belongs to a clip (camera table), reading the
// pen outline from it and drawing the outline onto a frame.
//
// The camera table points into one site folder, fixed when the library is
// built: the CMake cache variable VEXO_PEN_DIR (default "/srv/vexo/pens").
// Configure with -DVEXO_PEN_DIR=/path/to/pens; nothing is read from the
// environment at run time.
#pragma once

#include <array>
#include <opencv2/core.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vexo::pen {

// The pen outline: vertices (x = column, y = row) in file order, implicitly
// closed. `integral[i]` tells, for x and y of vertex i, whether the file wrote
// the number as an integer (so it can be handed back as stored).
struct PenPolygon {
  std::vector<cv::Point2d> points;
  std::vector<std::array<bool, 2>> integral;
};

// The site folder the camera table points into (VEXO_PEN_DIR at build time).
std::string pen_dir();

// The pen file of the camera named in `video_dir` (components separated by
// backslashes only; the camera name is the first component containing
// "Camera", cut at its first underscore). `custom_pen_json_path`, when given,
// is returned unchanged. Nothing when the camera is unknown.
std::optional<std::string> get_pen_json_path(
    std::string_view video_dir, const std::optional<std::string>& custom_pen_json_path = {});

// Reads the first shape's "points" of a pen polygon file. ValueError
// "No shapes found in the JSON file." when "shapes" is empty, null or false;
// FileNotFound / IoError / ValueError / KeyError for unreadable files,
// malformed JSON and missing keys (messages name the file).
PenPolygon read_pen_polygon(const std::string& json_path);

// Result of draw_pen: the polygon, and with drawing on, the frame as an RGB
// 8-bit image (R, G, B channel order) with the outline drawn.
struct PenDrawing {
  PenPolygon polygon;
  cv::Mat image;  // empty unless drawn
};

// Reads the pen polygon of `json_path`; with `drawout`, also loads
// `image_path` as RGB and draws the closed outline on it in red, 3 pixels
// wide with rounded joints (the image is not read otherwise).
PenDrawing draw_pen(const std::string& image_path, const std::string& json_path,
                    bool drawout = false);

// Draws the closed pen outline (red, 3 pixels wide, rounded joints) onto an
// RGB or RGBA image in place.
void draw_pen_outline(cv::Mat& image, const std::vector<cv::Point2d>& polygon);

}  // namespace vexo::pen
