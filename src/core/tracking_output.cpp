#include "core/tracking_output.h"

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <limits>
#include <opencv2/imgproc.hpp>
#include <regex>

#include "core/console.h"
#include "core/errors.h"
#include "core/fast_json.h"
#include "core/fsutil.h"
#include "core/image_io.h"
#include "core/overlap.h"
#include "core/parallel.h"
#include "core/polygon.h"
#include "core/zeroed_memory.h"

namespace vexo {

namespace {

using fastjson::Kind;
using json = fastjson::Value;

json parse_json_text(const std::string& text, const std::string& path) {
  return fastjson::parse(text, path);
}

json parse_json_file(const std::string& path) { return parse_json_text(read_file(path), path); }

const json& require_key(const json& obj, const char* key, const std::string& path) {
  if (obj.kind != Kind::Object) throw TypeError("'" + path + "': expected a JSON object");
  const json* v = obj.find(key);
  if (!v) throw KeyError("'" + std::string(key) + "' missing in '" + path + "'");
  return *v;
}

std::int64_t object_id_of(const json& det, const std::string& path) {
  const json* v = det.find("object_id");
  if (!v) return 0;
  if (v->kind == Kind::Int) {
    // The key is built from object_id - 1, which must not wrap around.
    if (v->i == std::numeric_limits<std::int64_t>::min())
      throw ValueError("'" + path + "': \"object_id\" is out of range");
    return v->i;
  }
  if (v->kind == Kind::Float) {
    double d = v->d;
    if (std::isfinite(d) && d == std::trunc(d) && std::fabs(d) < 9e15)
      return static_cast<std::int64_t>(d);
  }
  throw TypeError("'" + path + "': \"object_id\" must be an integer");
}

}  // namespace

FrameFile read_frame_file(const std::string& json_path, int height, int width) {
  return decode_frame_file(read_file(json_path), json_path, height, width);
}

FrameFile decode_frame_file(const std::string& text, const std::string& json_path, int height,
                            int width) {
  if (height < 0 || width < 0) throw ValueError("height and width must not be negative");
  if (static_cast<double>(height) * width > 1.0e9) throw ValueError("frame size too large");
  json doc = parse_json_text(text, json_path);
  FrameFile out;
  const json& image_path = require_key(doc, "image_path", json_path);
  if (image_path.kind != Kind::String) {
    throw TypeError("'" + json_path + "': \"image_path\" must be a string");
  }
  out.image_path = image_path.s;
  const json& dets = require_key(doc, "detections", json_path);
  if (dets.kind != Kind::Array)
    throw TypeError("'" + json_path + "': \"detections\" must be an array");
  out.rows = height;
  out.cols = width;
  const std::size_t n = dets.items.size();
  if (static_cast<double>(n) * height * width > 8.0e9 ||
      static_cast<double>(n) * height > std::numeric_limits<int>::max())
    throw ValueError("'" + json_path + "': too many masks");
  out.stack = zeroed_mat(static_cast<int>(n) * height, width, CV_8UC1);
  out.ids.reserve(n);
  out.boxes.reserve(n);
  for (std::size_t k = 0; k < n; ++k) {
    const json& det = dets.items[k];
    if (det.kind != Kind::Object)
      throw TypeError("'" + json_path + "': each detection must be an object");
    std::int64_t oid = object_id_of(det, json_path);
    const json& polys = require_key(det, "formatted_polygon", json_path);
    if (polys.kind != Kind::Array)
      throw TypeError("'" + json_path + "': \"formatted_polygon\" must be an array");
    cv::Mat mask = out.mask(k);
    Box box;
    for (const json& poly : polys.items) {
      if (poly.kind != Kind::String)
        throw TypeError("'" + json_path + "': polygons must be strings");
      std::vector<cv::Point> pts =
          polygon_to_pixels(parse_polygon_coords(poly.s, json_path), width, height, json_path);
      if (pts.empty() || height == 0 || width == 0) continue;
      Box pb{pts[0].x, pts[0].y, pts[0].x, pts[0].y};
      for (const auto& p : pts) {
        pb.x1 = std::min(pb.x1, p.x);
        pb.y1 = std::min(pb.y1, p.y);
        pb.x2 = std::max(pb.x2, p.x);
        pb.y2 = std::max(pb.y2, p.y);
      }
      pb = box_clip(pb, height, width);
      if (pb.empty()) continue;  // wholly outside the frame: fillPoly draws nothing
      const cv::Point* ptr = pts.data();
      int npts = static_cast<int>(pts.size());
      cv::fillPoly(mask, &ptr, &npts, 1, cv::Scalar(1));
      box = box.empty() ? pb
                        : Box{std::min(box.x1, pb.x1), std::min(box.y1, pb.y1),
                              std::max(box.x2, pb.x2), std::max(box.y2, pb.y2)};
    }
    out.ids.push_back(oid - 1);
    out.boxes.push_back(box);
  }
  return out;
}

std::vector<std::string> tracking_read_order(const std::string& root) {
  namespace fs = std::filesystem;
  std::vector<std::string> order;
  static const std::regex tail("_([0-9]+)$");
  struct Walk {
    const std::regex& tail;
    std::vector<std::string>& order;
    void operator()(const std::string& dir) {
      std::error_code ec;
      fs::directory_iterator it(dir, ec), end;
      if (ec) return;
      std::vector<std::string> files, subdirs;
      for (; it != end; it.increment(ec)) {
        if (ec) break;
        const fs::directory_entry& e = *it;
        std::string name = e.path().filename().string();
        std::error_code ec2;
        if (e.is_directory(ec2)) {
          if (!e.is_symlink(ec2)) subdirs.push_back(name);
        } else {
          files.push_back(name);
        }
      }
      std::sort(files.begin(), files.end());
      std::sort(subdirs.begin(), subdirs.end());
      std::vector<std::pair<unsigned long long, std::string>> kept;
      for (const std::string& name : files) {
        if (name.size() < 5 || name.compare(name.size() - 5, 5, ".json") != 0) continue;
        std::string stem = name.substr(0, name.size() - 5);
        std::smatch m;
        if (!std::regex_search(stem, m, tail)) continue;
        std::string digits = m[1].str();
        // Numbers beyond 64 bits still order by value: compare by length first.
        std::size_t nz = digits.find_first_not_of('0');
        digits = nz == std::string::npos ? "0" : digits.substr(nz);
        unsigned long long key = digits.size() > 19 ? ~0ULL : std::stoull(digits);
        kept.emplace_back(key, name);
      }
      std::stable_sort(kept.begin(), kept.end(),
                       [](const auto& a, const auto& b) { return a.first < b.first; });
      for (const auto& [num, name] : kept) order.push_back(path_join(dir, name));
      for (const std::string& sub : subdirs) (*this)(path_join(dir, sub));
    }
  };
  std::error_code ec;
  if (!fs::is_directory(root, ec)) return order;
  Walk{tail, order}(root);
  return order;
}

std::int64_t frame_index_from_path(const std::string& path) {
  static const std::string marker = "output_pp_";
  std::size_t at = path.rfind(marker);
  std::string rest = at == std::string::npos ? path : path.substr(at + marker.size());
  std::string text = rest.substr(0, rest.find('.'));
  std::string digits;
  std::size_t i = 0;
  while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i]))) ++i;
  std::size_t j = text.size();
  while (j > i && std::isspace(static_cast<unsigned char>(text[j - 1]))) --j;
  std::string core = text.substr(i, j - i);
  bool neg = false;
  std::size_t k = 0;
  if (!core.empty() && (core[0] == '+' || core[0] == '-')) {
    neg = core[0] == '-';
    k = 1;
  }
  bool ok = k < core.size();
  for (; k < core.size() && ok; ++k) {
    char c = core[k];
    if (std::isdigit(static_cast<unsigned char>(c))) {
      digits.push_back(c);
    } else if (c == '_' && !digits.empty() && k + 1 < core.size() &&
               std::isdigit(static_cast<unsigned char>(core[k + 1]))) {
      continue;
    } else {
      ok = false;
    }
  }
  if (!ok || digits.empty()) {
    throw ValueError("cannot read a frame number from '" + path +
                     "': invalid literal for int() with base 10: '" + text + "'");
  }
  std::size_t nz = digits.find_first_not_of('0');
  digits = nz == std::string::npos ? "0" : digits.substr(nz);
  if (digits.size() > 18) throw ValueError("frame number too large in '" + path + "'");
  std::int64_t v = std::stoll(digits);
  return neg ? -v : v;
}

FrameRecord build_frame_record(const std::string& json_path, FrameFile file, bool with_table) {
  FrameRecord rec;
  rec.frame_index = frame_index_from_path(json_path);
  rec.json_path = json_path;
  for (std::size_t k = 0; k < file.count(); ++k) {
    std::string key = "Box" + std::to_string(file.ids[k]);
    auto it = std::find(rec.keys.begin(), rec.keys.end(), key);
    if (it == rec.keys.end()) {
      rec.keys.push_back(key);
      rec.slot.push_back(k);
    } else {
      rec.slot[static_cast<std::size_t>(it - rec.keys.begin())] = k;
    }
  }
  std::vector<cv::Mat> masks;
  std::vector<MaskStat> stats;
  for (std::size_t s : rec.slot) {
    cv::Mat m = file.mask(s);
    MaskStat st;
    st.box = file.boxes[s];
    st.area = mask_area_in(m, st.box);
    rec.areas.push_back(st.area);
    masks.push_back(m);
    stats.push_back(st);
  }
  if (with_table) {
    std::vector<double> areas(rec.areas.begin(), rec.areas.end());
    rec.table = intersection_table(masks, stats, areas);
    rec.has_table = true;
  }
  rec.file = std::move(file);
  return rec;
}

std::pair<int, int> frame_size_from_first_file(const std::string& json_path) {
  json doc = parse_json_file(json_path);
  const json& ip = require_key(doc, "image_path", json_path);
  if (ip.kind != Kind::String)
    throw TypeError("'" + json_path + "': \"image_path\" must be a string");
  std::string image_path = ip.s;
  const cv::Size size = probe_image_size(
      image_path, ImageLayout::kBgr,
      {"frame image '" + image_path + "' named by '" + json_path + "' does not exist",
       "cannot load the frame image '" + image_path + "' named by '" + json_path + "'"});
  return {size.height, size.width};
}

std::vector<FrameRecord> read_tracking_files(const std::vector<std::string>& order, int height,
                                             int width) {
  std::vector<FrameRecord> records(order.size());
  ProgressCount progress("tracking files", order.size());
  parallel_for(order.size(), [&](std::size_t i) {
    records[i] = build_frame_record(order[i], read_frame_file(order[i], height, width), true);
    progress.add();
  });
  progress.finish();
  return records;
}

void read_tracking_files(const std::vector<std::string>& order, int height, int width,
                         const std::function<void(std::size_t, FrameRecord&&)>& consume) {
  std::vector<FrameRecord> records(order.size());
  ProgressCount progress("tracking files", order.size());
  ordered_parallel(
      order.size(),
      [&](std::size_t i) {
        records[i] = build_frame_record(order[i], read_frame_file(order[i], height, width), true);
      },
      [&](std::size_t i) {
        consume(i, std::move(records[i]));
        progress.add();
      });
  progress.finish();
}

std::string no_tracking_files_message(const std::string& root) {
  return "No JSON files found in " + root + ". Please check the directory and try again.";
}

TrackingOutput read_tracking_output(
    const std::string& root, std::int64_t selection,
    const std::function<void(std::size_t, FrameRecord&&)>& consume) {
  const std::vector<std::string> order = tracking_read_order(root);
  if (order.empty()) {
    print_line(no_tracking_files_message(root));
    return TrackingOutput::NoFiles;
  }
  const auto [rows, cols] = frame_size_from_first_file(order.front());
  if (selection > 0) {
    const auto pos = static_cast<std::uint64_t>(selection);
    if (pos >= order.size()) return TrackingOutput::OutOfRange;
    const std::string& path = order[pos];
    consume(pos, build_frame_record(path, read_frame_file(path, rows, cols), false));
    return TrackingOutput::One;
  }
  read_tracking_files(order, rows, cols, consume);
  return TrackingOutput::All;
}

}  // namespace vexo
