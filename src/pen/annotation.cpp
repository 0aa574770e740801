#include "pen/annotation.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "core/console.h"
#include "core/errors.h"
#include "core/format.h"
#include "core/fsutil.h"
#include "core/polygon.h"
#include "visual/canvas.h"
#include "visual/text.h"

namespace vexo::pen {

namespace {

using ojson = nlohmann::ordered_json;

constexpr std::uint8_t kFillAlpha = 100;
constexpr int kBoxWidth = 2;
constexpr int kLabelPadding = 4;

// A label position in whole pixels; positions far off the frame are pulled
// in to a bound that still lies far off it (and fits an int).
int label_coord(double v) {
  constexpr double kFar = 1 << 28;
  return static_cast<int>(std::trunc(std::clamp(v, -kFar, kFar)));
}

ojson parse_json_file(const std::string& path) {
  try {
    return ojson::parse(read_file(path));
  } catch (const ojson::exception& e) {  // syntax errors and number overflow
    throw ValueError("'" + path + "' is not valid JSON: " + e.what());
  }
}

const ojson& member(const ojson& obj, const char* key, const std::string& path) {
  if (!obj.is_object())
    throw TypeError("'" + path + "': expected a JSON object holding '" + key + "'");
  auto it = obj.find(key);
  if (it == obj.end()) throw KeyError("'" + std::string(key) + "' (in '" + path + "')");
  return *it;
}

const std::string& string_member(const ojson& obj, const char* key, const std::string& path) {
  const ojson& v = member(obj, key, path);
  if (!v.is_string()) throw TypeError("'" + std::string(key) + "' in '" + path + "' is not text");
  return v.get_ref<const std::string&>();
}

const ojson& array_member(const ojson& obj, const char* key, const std::string& path) {
  const ojson& v = member(obj, key, path);
  if (!v.is_array()) throw TypeError("'" + std::string(key) + "' in '" + path + "' is not a list");
  return v;
}

// "Box <object_id - 1>" with the id's number written as the host would.
std::string box_label(const ojson& id, const std::string& path) {
  std::string num;
  if (id.is_boolean()) {
    num = fmt_int(id.get<bool>() ? 0 : -1);
  } else if (id.is_number_integer() && !id.is_number_unsigned()) {
    std::int64_t v = id.get<std::int64_t>();
    num = v == std::numeric_limits<std::int64_t>::min() ? fmt_float(static_cast<double>(v) - 1.0)
                                                        : fmt_int(v - 1);
  } else if (id.is_number_unsigned()) {
    std::uint64_t v = id.get<std::uint64_t>();
    num = v == 0 ? "-1" : std::to_string(v - 1);
  } else if (id.is_number_float()) {
    num = fmt_float(id.get<double>() - 1.0);
  } else {
    throw TypeError("'object_id' in '" + path + "' is not a number");
  }
  return "Box " + num;
}

void append_json_string(std::string& out, const std::string& s) {
  static const char* hex = "0123456789abcdef";
  auto u_escape = [&](unsigned v) {
    out += "\\u";
    for (int shift = 12; shift >= 0; shift -= 4) out += hex[(v >> shift) & 0xF];
  };
  out += '"';
  for (std::size_t i = 0; i < s.size();) {
    unsigned char c = static_cast<unsigned char>(s[i]);
    if (c < 0x80) {
      switch (c) {
        case '"':
          out += "\\\"";
          break;
        case '\\':
          out += "\\\\";
          break;
        case '\n':
          out += "\\n";
          break;
        case '\r':
          out += "\\r";
          break;
        case '\t':
          out += "\\t";
          break;
        case '\b':
          out += "\\b";
          break;
        case '\f':
          out += "\\f";
          break;
        default:
          if (c < 0x20) {
            u_escape(c);
          } else {
            out += static_cast<char>(c);
          }
      }
      ++i;
      continue;
    }
    // Non-ASCII: decode one UTF-8 sequence (the parser has validated it).
    int len = (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : 4;
    unsigned cp = c & (0x7F >> len);
    for (int k = 1; k < len && i + k < s.size(); ++k) {
      cp = (cp << 6) | (static_cast<unsigned char>(s[i + k]) & 0x3F);
    }
    i += len;
    if (cp >= 0x10000) {
      cp -= 0x10000;
      u_escape(0xD800 + (cp >> 10));
      u_escape(0xDC00 + (cp & 0x3FF));
    } else {
      u_escape(cp);
    }
  }
  out += '"';
}

void dump_value(std::string& out, const ojson& v, int level) {
  using vt = ojson::value_t;
  switch (v.type()) {
    case vt::null:
      out += "null";
      return;
    case vt::boolean:
      out += v.get<bool>() ? "true" : "false";
      return;
    case vt::number_integer:
      out += std::to_string(v.get<std::int64_t>());
      return;
    case vt::number_unsigned:
      out += std::to_string(v.get<std::uint64_t>());
      return;
    case vt::number_float: {
      double d = v.get<double>();
      if (std::isnan(d)) {
        out += "NaN";
      } else if (std::isinf(d)) {
        out += d > 0 ? "Infinity" : "-Infinity";
      } else {
        out += fmt_float(d);
      }
      return;
    }
    case vt::string:
      append_json_string(out, v.get_ref<const std::string&>());
      return;
    case vt::array:
    case vt::object: {
      const bool obj = v.is_object();
      if (v.empty()) {
        out += obj ? "{}" : "[]";
        return;
      }
      const std::string inner(static_cast<std::size_t>(4 * (level + 1)), ' ');
      out += obj ? "{\n" : "[\n";
      bool first = true;
      if (obj) {
        for (auto it = v.begin(); it != v.end(); ++it) {
          if (!first) out += ",\n";
          first = false;
          out += inner;
          append_json_string(out, it.key());
          out += ": ";
          dump_value(out, it.value(), level + 1);
        }
      } else {
        for (const auto& e : v) {
          if (!first) out += ",\n";
          first = false;
          out += inner;
          dump_value(out, e, level + 1);
        }
      }
      out += '\n';
      out.append(static_cast<std::size_t>(4 * level), ' ');
      out += obj ? '}' : ']';
      return;
    }
    default:
      throw ValueError("cannot write this JSON value");
  }
}

}  // namespace

std::string dump_json_indent4(const nlohmann::ordered_json& value) {
  std::string out;
  dump_value(out, value, 0);
  return out;
}

AnnotationFile read_annotation(const std::string& json_path) {
  AnnotationFile f;
  f.json_path = json_path;
  f.doc = parse_json_file(json_path);
  const ojson& dets = array_member(f.doc, "detections", json_path);
  for (const auto& d : dets) f.object_ids.push_back(member(d, "object_id", json_path));
  return f;
}

cv::Mat render_annotation(const AnnotationFile& file,
                          const std::vector<std::optional<Rgb>>& colours, bool box_drawing,
                          const std::string& save_path) {
  const std::string& path = file.json_path;
  const std::string& image_path = string_member(file.doc, "image_path", path);
  cv::Mat result = visual::load_image(image_path, 4);
  const int W = result.cols, H = result.rows;
  const ojson& dets = array_member(file.doc, "detections", path);
  if (colours.size() != dets.size()) {
    throw ValueError("render_annotation: one colour entry per detection is needed");
  }
  cv::Mat overlay = visual::new_canvas(H, W, visual::kTransparentWhite);
  std::unique_ptr<visual::Font> font;
  for (std::size_t i = 0; i < dets.size(); ++i) {
    if (!colours[i]) continue;
    check_interrupt();
    const ojson& det = dets[i];
    const Rgb& c = *colours[i];
    const visual::Rgba colour{c[0], c[1], c[2], 255};
    const visual::Rgba fill{c[0], c[1], c[2], kFillAlpha};
    const ojson& boxes = array_member(det, "xyxy", path);
    bool has_box = !boxes.empty();
    double x1 = 0, y1 = 0, x2 = 0, y2 = 0;
    if (has_box) {
      const ojson& b = boxes.back();
      if (!b.is_array() || b.size() != 4) {
        throw ValueError("'xyxy' in '" + path + "': a box must be [x1, y1, x2, y2]");
      }
      for (const auto& v : b) {
        if (!v.is_number()) throw TypeError("'xyxy' in '" + path + "': box values must be numbers");
      }
      x1 = b[0].get<double>();
      y1 = b[1].get<double>();
      x2 = b[2].get<double>();
      y2 = b[3].get<double>();
    }
    const ojson& polys = array_member(det, "formatted_polygon", path);
    for (const auto& ps : polys) {
      if (!ps.is_string()) {
        throw TypeError("'formatted_polygon' in '" + path + "' must hold polygon strings");
      }
      std::vector<cv::Point2d> pts =
          parse_polygon_coords(ps.get_ref<const std::string&>(), "'" + path + "'");
      for (auto& p : pts) {
        p.x *= W;
        p.y *= H;
      }
      visual::fill_polygon(overlay, pts, fill);
    }
    if (box_drawing && has_box) {
      visual::draw_rectangle(overlay, x1, y1, x2, y2, colour, kBoxWidth);
      if (!font) font = visual::label_font();
      const std::string label = box_label(file.object_ids[i], path);
      const int tx = label_coord(x1), ty = label_coord(y1);
      visual::TextBox tb = font->bbox(tx, ty, label);
      const int tw = tb.right - tb.left, th = tb.bottom - tb.top;
      visual::fill_rectangle(overlay, x1, y1 - th - kLabelPadding, x1 + tw + kLabelPadding, y1,
                             colour);
      font->draw(overlay, label_coord(x1 + 2), label_coord(y1 - th - 2), label, visual::kWhite);
    }
  }
  visual::alpha_composite(result, overlay);
  if (!save_path.empty()) visual::save_image(result, save_path);
  return result;
}

void fix_polygon_scaling(const std::string& json_path,
                         const std::optional<std::string>& save_path) {
  ojson doc = parse_json_file(json_path);
  const std::string image_path = string_member(doc, "image_path", json_path);
  cv::Size size;
  try {
    size = visual::image_size(image_path);
  } catch (const Error& e) {
    print_line(std::string("Error loading image: ") + e.what());
    return;
  }
  const double W = size.width, H = size.height;
  const double x_scale = H / W, y_scale = W / H;
  auto found = doc.find("detections");
  if (found == doc.end()) throw KeyError("'detections' (in '" + json_path + "')");
  ojson& dets = *found;
  if (!dets.is_array()) throw TypeError("'detections' in '" + json_path + "' is not a list");
  for (auto& det : dets) {
    const ojson& polys = array_member(det, "formatted_polygon", json_path);
    ojson fixed = ojson::array();
    for (const auto& ps : polys) {
      if (!ps.is_string()) {
        throw TypeError("'formatted_polygon' in '" + json_path + "' must hold polygon strings");
      }
      const std::string& s = ps.get_ref<const std::string&>();
      auto tokens = split_whitespace(s);
      if (tokens.empty()) {
        throw ValueError("'" + json_path + "': empty polygon string in 'formatted_polygon'");
      }
      if ((tokens.size() - 1) % 2 != 0) {
        throw ValueError("'" + json_path + "': polygon string has an unpaired coordinate");
      }
      std::string out(tokens[0]);
      for (std::size_t k = 1; k + 1 < tokens.size(); k += 2) {
        double x = parse_number(tokens[k], "'" + json_path + "'");
        double y = parse_number(tokens[k + 1], "'" + json_path + "'");
        out += ' ';
        out += fmt_fixed(x * x_scale, 6);
        out += ' ';
        out += fmt_fixed(y * y_scale, 6);
      }
      fixed.push_back(std::move(out));
    }
    det["formatted_polygon"] = std::move(fixed);
  }
  write_file_atomic(save_path ? *save_path : json_path, dump_json_indent4(doc));
}

}  // namespace vexo::pen
