#include "core/polygon.h"

#include <charconv>
#include <cmath>
#include <limits>

#include "core/errors.h"

namespace vexo {

namespace {
bool is_space(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v';
}
}  // namespace

std::vector<std::string_view> split_whitespace(std::string_view s) {
  std::vector<std::string_view> out;
  std::size_t i = 0;
  while (i < s.size()) {
    while (i < s.size() && is_space(s[i])) ++i;
    if (i >= s.size()) break;
    std::size_t j = i;
    while (j < s.size() && !is_space(s[j])) ++j;
    out.push_back(s.substr(i, j - i));
    i = j;
  }
  return out;
}

double parse_number(std::string_view token, const std::string& ctx) {
  // Fast path: plain decimal text such as 0.4521 or 1e-3.
  if (!token.empty() && (std::isdigit(static_cast<unsigned char>(token[0])) || token[0] == '.')) {
    double v = 0;
    auto res =
        std::from_chars(token.data(), token.data() + token.size(), v, std::chars_format::general);
    if (res.ec == std::errc() && res.ptr == token.data() + token.size()) return v;
  }
  std::string_view t = token;
  bool neg = false;
  if (!t.empty() && (t[0] == '+' || t[0] == '-')) {
    neg = t[0] == '-';
    t.remove_prefix(1);
  }
  std::string clean;
  // Single underscores between digits are allowed, as in the host.
  for (std::size_t i = 0; i < t.size(); ++i) {
    char c = t[i];
    if (c == '_') {
      bool ok = i > 0 && i + 1 < t.size() && std::isdigit(static_cast<unsigned char>(t[i - 1])) &&
                std::isdigit(static_cast<unsigned char>(t[i + 1]));
      if (!ok)
        throw ValueError(ctx + ": could not convert string to float: '" + std::string(token) + "'");
      continue;
    }
    clean.push_back(c);
  }
  std::string lower;
  for (char c : clean)
    lower.push_back(static_cast<char>(std::tolower(static_cast<unsigned char>(c))));
  double v = 0;
  if (lower == "inf" || lower == "infinity") {
    v = std::numeric_limits<double>::infinity();
  } else if (lower == "nan") {
    v = std::numeric_limits<double>::quiet_NaN();
  } else {
    if (clean.empty() || !(std::isdigit(static_cast<unsigned char>(clean[0])) || clean[0] == '.')) {
      throw ValueError(ctx + ": could not convert string to float: '" + std::string(token) + "'");
    }
    auto res =
        std::from_chars(clean.data(), clean.data() + clean.size(), v, std::chars_format::general);
    if (res.ec == std::errc::result_out_of_range) {
      // Overflow reads as infinity, underflow as zero, like the host.
      v = (clean.find_first_of("eE") != std::string::npos &&
           clean.find("e-") == std::string::npos && clean.find("E-") == std::string::npos)
              ? std::numeric_limits<double>::infinity()
              : 0.0;
    } else if (res.ec != std::errc() || res.ptr != clean.data() + clean.size()) {
      throw ValueError(ctx + ": could not convert string to float: '" + std::string(token) + "'");
    }
  }
  return neg ? -v : v;
}

std::vector<cv::Point2d> parse_polygon_coords(std::string_view polygon, const std::string& ctx) {
  std::vector<std::string_view> tokens = split_whitespace(polygon);
  std::vector<cv::Point2d> pts;
  if (tokens.size() <= 1) return pts;
  std::size_t n = tokens.size() - 1;
  if (n % 2 != 0) {
    throw ValueError(ctx + ": polygon has an odd number of coordinates (" + std::to_string(n) +
                     "); the last x has no y");
  }
  pts.reserve(n / 2);
  for (std::size_t i = 1; i + 1 < tokens.size(); i += 2) {
    pts.emplace_back(parse_number(tokens[i], ctx), parse_number(tokens[i + 1], ctx));
  }
  return pts;
}

int truncate_coord(double v, const std::string& ctx) {
  if (!std::isfinite(v))
    throw ValueError(ctx + ": cannot convert a coordinate that is not finite to a pixel");
  double t = std::trunc(v);
  // Far beyond any frame: the polygon filler walks every row between the
  // vertices, so such a coordinate would stall it for seconds.
  if (std::fabs(t) > kMaxPixelCoord) {
    throw ValueError(ctx + ": pixel coordinate " + std::to_string(t) + " is out of range");
  }
  return static_cast<int>(t);
}

std::vector<cv::Point> polygon_to_pixels(const std::vector<cv::Point2d>& coords, int width,
                                         int height, const std::string& ctx) {
  std::vector<cv::Point> pts;
  pts.reserve(coords.size());
  for (const auto& c : coords) {
    pts.emplace_back(truncate_coord(c.x * width, ctx), truncate_coord(c.y * height, ctx));
  }
  return pts;
}

}  // namespace vexo
