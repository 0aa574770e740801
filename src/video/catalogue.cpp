#include "video/catalogue.h"

#include <algorithm>
#include <filesystem>
#include <regex>
#include <system_error>

#include "core/console.h"
#include "core/errors.h"
#include "core/format.h"
#include "core/fsutil.h"
#include "core/parallel.h"
#include "video/window_claim.h"

namespace vexo::video {

namespace fs = std::filesystem;

namespace {

// Far beyond any real file-name pattern; bounds the engine's recursion.
constexpr std::size_t kMaxPatternLength = 4096;
constexpr std::size_t kPatternStackBytes = std::size_t{512} << 20;

bool ends_with(const std::string& s, const std::string& suffix) {
  return s.size() >= suffix.size() &&
         s.compare(s.size() - suffix.size(), suffix.size(), suffix) == 0;
}

// Entry names of a folder in the order the file system lists them.
std::vector<std::string> list_folder(const std::string& folder) {
  std::error_code ec;
  fs::directory_iterator it(folder, ec);
  if (ec) throw IoError(ec.message() + ": '" + folder + "'");
  std::vector<std::string> names;
  for (fs::directory_iterator end; it != end; it.increment(ec)) {
    names.push_back(it->path().filename().string());
  }
  if (ec) throw IoError(ec.message() + ": '" + folder + "'");
  return names;
}

std::string group_text(const std::smatch& m, std::size_t g) {
  if (g >= m.size()) {
    throw IndexError("match_pattern has no group " + std::to_string(g) +
                     " (the camera number, date and time are groups 1, 3 and 4)");
  }
  return m[g].matched ? m[g].str() : std::string();
}

// 061500 -> 06:15:00 (slices past the end are empty, as the host slices text).
std::string time_of_day(const std::string& t) {
  auto part = [&t](std::size_t from, std::size_t n) {
    return from >= t.size() ? std::string() : t.substr(from, n);
  };
  return part(0, 2) + ":" + part(2, 2) + ":" + part(4, std::string::npos);
}

// Positions start, start + step, ... of n rows, as a host slice [::step].
std::vector<std::size_t> sampled_positions(std::size_t n, std::int64_t step) {
  std::vector<std::size_t> out;
  if (step > 0) {
    for (std::size_t i = 0; i < n; i += static_cast<std::size_t>(step)) out.push_back(i);
  } else {
    std::uint64_t back = static_cast<std::uint64_t>(-(step + 1)) + 1;  // |step| without overflow
    for (std::uint64_t i = n; i > 0;) {
      out.push_back(static_cast<std::size_t>(i - 1));
      if (i <= back) break;
      i -= back;
    }
  }
  return out;
}

void walk(const std::string& folder, const std::optional<std::string>& ext,
          std::vector<std::string>& out) {
  std::error_code ec;
  fs::directory_iterator it(folder, ec);
  if (ec) return;
  std::vector<std::string> dirs, files;
  for (fs::directory_iterator end; it != end; it.increment(ec)) {
    // Windows being written and files halfway through a rewrite are not
    // output yet.
    const std::string name = it->path().filename().string();
    if (is_staging_name(name) || is_write_temporary(name)) continue;
    std::error_code type_ec;
    bool is_dir = it->is_directory(type_ec);  // follows links, as the listing test does
    (is_dir ? dirs : files).push_back(name);
  }
  if (ec) return;
  std::sort(dirs.begin(), dirs.end());
  std::sort(files.begin(), files.end());
  for (const auto& name : files) {
    if (!ext || ends_with(name, *ext)) out.push_back(path_join(folder, name));
  }
  for (const auto& name : dirs) {
    std::string sub = path_join(folder, name);
    std::error_code link_ec;
    if (fs::is_symlink(sub, link_ec)) continue;
    walk(sub, ext, out);
  }
}

}  // namespace

std::vector<CatalogueRow> filtered_catalogue(const CatalogueSettings& s) {
  if (s.match_pattern.size() > kMaxPatternLength) {
    throw ValueError("match_pattern is " + std::to_string(s.match_pattern.size()) +
                     " characters long; at most " + std::to_string(kMaxPatternLength) +
                     " are accepted");
  }
  // The regular expression engine recurses once per pattern element while
  // compiling and per step while matching: the work runs on a stack sized
  // for the longest accepted pattern.
  std::vector<CatalogueRow> rows;
  run_with_stack(kPatternStackBytes, [&] {
    std::regex pattern;
    try {
      pattern = std::regex(s.match_pattern, std::regex::ECMAScript);
    } catch (const std::regex_error& e) {
      throw ValueError("match_pattern '" + s.match_pattern +
                       "' is not a valid regular expression: " + e.what());
    }
    std::vector<std::string> paths;
    for (const auto& sub : s.sub_dirs) {
      std::string folder = path_join(s.base_dir, sub);
      std::error_code ec;
      if (!fs::exists(folder, ec)) continue;
      for (const auto& name : list_folder(folder)) {
        if (ends_with(name, ".mp4")) paths.push_back(path_join(folder, name));
      }
    }
    ProgressCount progress("catalogue", paths.size());
    for (const auto& path : paths) {
      progress.add();
      std::size_t slash = path.rfind('/');
      std::string file_name = slash == std::string::npos ? path : path.substr(slash + 1);
      std::smatch m;
      if (!std::regex_search(file_name, m, pattern, std::regex_constants::match_continuous)) {
        continue;
      }
      CatalogueRow row;
      row.label = static_cast<std::int64_t>(rows.size());
      row.camera_number = group_text(m, 1);
      row.date = group_text(m, 3);
      row.time = time_of_day(group_text(m, 4));
      row.file_path = path;
      row.video_name = file_name.substr(0, file_name.size() >= 4 ? file_name.size() - 4 : 0);
      rows.push_back(std::move(row));
    }
  });

  std::vector<CatalogueRow> in_hours;
  for (auto& row : rows) {
    if (row.time > s.filter_start && row.time < s.filter_end) in_hours.push_back(std::move(row));
  }

  std::vector<CatalogueRow> sampled;
  if (s.sample_step != 0) {
    for (std::size_t i : sampled_positions(in_hours.size(), s.sample_step)) {
      sampled.push_back(in_hours[i]);
    }
  } else {
    sampled = std::move(in_hours);
  }

  std::vector<CatalogueRow> kept;
  for (auto& row : sampled) {
    if (!s.camera_number || row.camera_number == *s.camera_number) kept.push_back(std::move(row));
  }
  if (s.top_n >= 1 && kept.size() > static_cast<std::uint64_t>(s.top_n)) {
    kept.resize(static_cast<std::size_t>(s.top_n));
  }

  std::vector<std::string> listed;
  listed.reserve(kept.size());
  for (const auto& row : kept) listed.push_back(row.file_path);
  print_line(fmt_value(listed));
  return kept;
}

std::vector<std::string> list_all_files(const std::string& directory,
                                        const std::optional<std::string>& ext) {
  std::vector<std::string> out;
  walk(directory, ext, out);
  return out;
}

}  // namespace vexo::video
