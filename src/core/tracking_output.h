// Reader of a clip's tracking output: one JSON file per tracked frame, each
// naming its frame image and listing the pigs with their outline polygons.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "core/mask.h"

namespace vexo {

// The decoded content of one per-frame file.
struct FrameFile {
  std::string image_path;
  int rows = 0, cols = 0;
  cv::Mat stack;                  // (n * rows) x cols, mask k in rows [k*rows, (k+1)*rows)
  std::vector<std::int64_t> ids;  // object_id - 1, per detection
  std::vector<Box> boxes;         // a box holding each mask's pixels (from its polygons)
  std::size_t count() const { return ids.size(); }
  cv::Mat mask(std::size_t k) const {
    return stack.rowRange(static_cast<int>(k) * rows, static_cast<int>(k + 1) * rows);
  }
};

// Reads one per-frame file and rasterises its detections at height x width.
FrameFile read_frame_file(const std::string& json_path, int height, int width);
// The same for the file's text; `json_path` only names it in messages.
FrameFile decode_frame_file(const std::string& text, const std::string& json_path, int height,
                            int width);

// The per-frame files below `root`, in read order (folders top-down with
// subfolders in name order; files by the number ending their stem).
std::vector<std::string> tracking_read_order(const std::string& root);

// Frame number from a per-frame file path: the digits after the last
// "output_pp_" up to the first '.'. Throws ValueError otherwise.
std::int64_t frame_index_from_path(const std::string& path);

// One frame record. Keys are unique ("Box" + id); each key refers to the
// last detection that produced it and keeps its first position.
struct FrameRecord {
  std::int64_t frame_index = 0;
  std::vector<std::string> keys;
  std::vector<std::size_t> slot;  // detection index in `file` for each key
  std::vector<std::int64_t> areas;
  std::string json_path;
  FrameFile file;
  bool has_table = false;
  std::vector<double> table;  // keys.size()^2, row-major
};

FrameRecord build_frame_record(const std::string& json_path, FrameFile file, bool with_table);

// Pixel size (rows, cols) of the frame image named by the first file.
std::pair<int, int> frame_size_from_first_file(const std::string& json_path);

// Reads every file of `order` at height x width with its overlap table,
// on all cores; errors surface as a sequential read would raise them.
std::vector<FrameRecord> read_tracking_files(const std::vector<std::string>& order, int height,
                                             int width);
// The same, handing each record to `consume` on the calling thread in read
// order as soon as it is ready (consuming overlaps with reading).
void read_tracking_files(const std::vector<std::string>& order, int height, int width,
                         const std::function<void(std::size_t, FrameRecord&&)>& consume);

// A clip's tracking output as the annotation reader answers it.
enum class TrackingOutput {
  NoFiles,     // the folder holds no per-frame file: the message was printed
  OutOfRange,  // the selected file is beyond the last one: nothing read
  One,         // the selected file was read (without its overlap table)
  All,         // every file was read, with overlap tables
};

// The line printed when `root` holds no per-frame file.
std::string no_tracking_files_message(const std::string& root);

// Reads the per-frame files below `root` in read order, at the pixel size of
// the first file's frame image. With `selection` > 0 only file number
// `selection` (counted from 0) is read and handed to `consume` with that
// number; otherwise every file is, each with its position. `consume` runs
// on the calling thread.
TrackingOutput read_tracking_output(const std::string& root, std::int64_t selection,
                                    const std::function<void(std::size_t, FrameRecord&&)>& consume);

}  // namespace vexo
