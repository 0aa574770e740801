// Parsing of the "formatted_polygon" strings of per-frame files: a label
// token followed by normalised x y pairs separated by whitespace.
#pragma once

#include <opencv2/core.hpp>
#include <string>
#include <string_view>
#include <vector>

namespace vexo {

// Splits at runs of whitespace, as the host's str.split() does.
std::vector<std::string_view> split_whitespace(std::string_view s);

// Reads a decimal number as the host's float() does ("+0.5", "1e-3", "nan").
// Throws ValueError naming `ctx` when the token is not a number.
double parse_number(std::string_view token, const std::string& ctx);

// The coordinate pairs of one polygon string (label token dropped), as read.
// Throws ValueError for a token that is not a number or an odd count.
std::vector<cv::Point2d> parse_polygon_coords(std::string_view polygon, const std::string& ctx);

// Pixel vertices (int(x * width), int(y * height)), each product truncated
// toward zero. Throws ValueError for coordinates that are not finite or do
// not fit 32-bit pixel coordinates.
std::vector<cv::Point> polygon_to_pixels(const std::vector<cv::Point2d>& coords, int width,
                                         int height, const std::string& ctx);

// Largest pixel coordinate magnitude accepted from a polygon (16.7 M px).
inline constexpr double kMaxPixelCoord = 16777216.0;

// Truncates a real pixel coordinate toward zero, as int() does; throws
// ValueError when it is not finite or its magnitude exceeds kMaxPixelCoord.
int truncate_coord(double v, const std::string& ctx);

}  // namespace vexo
