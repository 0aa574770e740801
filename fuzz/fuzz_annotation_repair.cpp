// Annotation repair: any per-frame file must either be repaired into a file
// that reads back as JSON with the same keys, or fail with a vexo error and
// leave the target untouched. The repair works on paths, so each input goes
// through a temporary file naming a small real frame image.
//
// Input layout: the first byte picks the mode. Even: the rest is the value
// of "detections" in a file whose "image_path" is the real frame. Odd: the
// rest is the whole file (its own "image_path" rarely opens, which tests the
// early return).
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>
#include <string>

#include "core/console.h"
#include "core/errors.h"
#include "core/fsutil.h"
#include "pen/annotation.h"

namespace {

// Memory-backed when available: the repair syncs every file it writes.
std::string scratch_root() {
  std::error_code ec;
  return std::filesystem::is_directory("/dev/shm", ec) ? "/dev/shm" : "/tmp";
}

void write_plain(const std::string& path, const std::string& text) {
  std::FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) __builtin_trap();
  std::fwrite(text.data(), 1, text.size(), f);
  std::fclose(f);
}

struct Paths {
  std::string dir, image, input, output;
};

const Paths& paths() {
  static const Paths p = [] {
    Paths q;
    q.dir = scratch_root() + "/vexo_fuzz_repair_" + std::to_string(::getpid());
    std::filesystem::create_directories(q.dir);
    q.image = q.dir + "/frame.png";
    q.input = q.dir + "/output_pp_1.json";
    q.output = q.dir + "/fixed.json";
    cv::imwrite(q.image, cv::Mat(30, 40, CV_8UC3, cv::Scalar(9, 9, 9)));
    vexo::set_console_sink([](std::string_view) {});
    return q;
  }();
  return p;
}

std::string read_or_empty(const std::string& path) {
  try {
    return vexo::read_file(path);
  } catch (const vexo::Error&) {
    return {};
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const Paths& p = paths();
  std::string rest(reinterpret_cast<const char*>(data) + 1, size - 1);
  std::string text = (data[0] & 1) ? rest
                                   : "{\"image_path\": " + nlohmann::json(p.image).dump() +
                                         ", \"detections\": " + rest + "}";
  write_plain(p.input, text);
  const std::string marker = "previous content";
  write_plain(p.output, marker);
  try {
    vexo::pen::fix_polygon_scaling(p.input, p.output);
  } catch (const vexo::Error&) {
    if (read_or_empty(p.output) != marker) __builtin_trap();  // half-written target
    if (read_or_empty(p.input) != text) __builtin_trap();     // input must never change
    return 0;
  }
  const std::string fixed = read_or_empty(p.output);
  if (fixed == marker) return 0;  // frame image not opened: nothing written
  // The repaired file reads back, keeps the top-level keys in order, and a
  // second repair of it works as well.
  nlohmann::ordered_json before, after;
  try {
    before = nlohmann::ordered_json::parse(text);
  } catch (const nlohmann::json::exception&) {
    // The general library is stricter about some texts the reader accepts.
    return 0;
  }
  try {
    after = nlohmann::ordered_json::parse(fixed);
  } catch (const nlohmann::json::exception&) {
    __builtin_trap();  // the repair wrote text that is not JSON
  }
  if (!after.is_object() || after.size() != before.size()) __builtin_trap();
  auto a = after.begin();
  for (auto b = before.begin(); b != before.end(); ++b, ++a) {
    if (a.key() != b.key()) __builtin_trap();
  }
  try {
    vexo::pen::fix_polygon_scaling(p.output, std::nullopt);
  } catch (const vexo::Error&) {
    __builtin_trap();  // a file this tool wrote must be repairable again
  }
  return 0;
}
