// The clip catalogue of a recordings root (clips named by camera, date and
// start time, filtered to working hours, sampled, limited) and a recursive
// file lister for frame folders.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace vexo::video {

struct CatalogueSettings {
  std::string base_dir;
  std::vector<std::string> sub_dirs;
  std::string filter_start = "06:00:00";
  std::string filter_end = "17:00:00";
  std::int64_t sample_step = 3;
  std::int64_t top_n = -1;
  std::string match_pattern = "Camera(\\d+)_(\\d+)_([\\d]{8})([\\d]{6})\\.mp4";
  std::optional<std::string> camera_number;
};

// One clip of the catalogue. `label` is the row's position in the table of
// all matching clips, before any filter.
struct CatalogueRow {
  std::int64_t label = 0;
  std::string camera_number;
  std::string date;
  std::string time;  // hh:mm:ss
  std::string file_path;
  std::string video_name;
};

// Scans the sub-folders in order, keeps the clips whose names match the
// pattern at their start, applies the time filter (exclusive bounds, text
// comparison), the sampling (before the camera filter), the camera filter and
// the count limit, prints the list of kept paths and returns the rows.
// Throws ValueError for a malformed pattern, IndexError when it has fewer than
// four groups, IoError when a sub-folder entry exists but cannot be listed.
std::vector<CatalogueRow> filtered_catalogue(const CatalogueSettings& settings);

// Every file below `directory`, top-down: a folder's files (sorted) before
// its sub-folders (sorted, depth-first). With `ext`, only names ending with
// it. Symbolic links to folders are not entered; unreadable folders are
// skipped; a missing `directory` gives an empty list. Staging folders and
// locks of windows being written, and temporaries of files being rewritten,
// are left out.
std::vector<std::string> list_all_files(const std::string& directory,
                                        const std::optional<std::string>& ext);

}  // namespace vexo::video
