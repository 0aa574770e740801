// Tracking quality report of a clip: frames where a tracked mask vanished and
// frames where two masks overlap heavily, written as a CSV file for review.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "core/format.h"

namespace vexo::tracking {

// The part of one frame record the report reads.
struct ReportFrame {
  std::int64_t frame = 0;              // annotation index (the record's key)
  std::vector<std::string> area_keys;  // "mask_areas" keys, in order
  std::vector<HostNumber> areas;
  // Overlap table: row and column labels, row-major cells.
  std::vector<std::string> row_keys, col_keys;
  std::vector<double> cells;
  // "mask_areas" of each row / column label; absent when the label has none.
  std::vector<std::optional<HostNumber>> row_areas, col_areas;
};

struct OverlapRow {
  std::size_t frame_pos = 0;  // position of the frame in the input
  std::int64_t frame = 0;
  std::string pair;  // row key + "-" + column key
  double value = 0;  // cell rounded to two decimals
  HostNumber area1, area2;
};

struct ZeroAreaRow {
  std::size_t frame_pos = 0;
  std::size_t key_pos = 0;  // position in the frame's area_keys
  std::int64_t frame = 0;
  std::string box;
  HostNumber area;
};

struct TrackingReport {
  std::vector<OverlapRow> overlap_rows;     // report order
  std::vector<ZeroAreaRow> zero_area_rows;  // scan order
  std::vector<std::size_t> overlap_frames;  // positions of frames with a cell above the threshold
  std::size_t last_frame_first_row = 0;     // first row of the last overlap frame's rows
  std::optional<std::string> path;          // the file written, if any
};

// Column names of every report table, in order.
const std::vector<std::string>& report_columns();

// The host's round(value, 2) for a double.
double round2(double value);

// Scans the frames, and when anything is found prints the progress lines and
// writes "tracking_question_report.csv" into `save_dir_base` (through a
// temporary file renamed into place). A reported cell whose row or column
// key has no area raises KeyError before anything is written.
TrackingReport generate_tracking_report(const std::vector<ReportFrame>& frames,
                                        const std::string& save_dir_base, double threshold);

// CSV text of a report: header, overlap rows, zero-area rows.
std::string tracking_report_csv(const TrackingReport& report);

}  // namespace vexo::tracking
