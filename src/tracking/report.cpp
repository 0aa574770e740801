#include "tracking/report.h"

#include <cmath>
#include <cstdlib>

#include "core/console.h"
#include "core/errors.h"
#include "core/format.h"
#include "core/fsutil.h"

namespace vexo::tracking {

namespace {

constexpr const char* kReportFile = "tracking_question_report.csv";
constexpr const char* kOverlapType = "High overlap mask detected";
constexpr const char* kZeroAreaType = "Zero area detected";

// A CSV field quoted only when it holds a separator, a quote or a line break.
void append_field(std::string& out, const std::string& s) {
  if (s.find_first_of(",\"\r\n") == std::string::npos) {
    out += s;
    return;
  }
  out += '"';
  for (char c : s) {
    if (c == '"') out += '"';
    out += c;
  }
  out += '"';
}

}  // namespace

const std::vector<std::string>& report_columns() {
  static const std::vector<std::string> cols{"Frame ID",   "Box Pair",   "Intersection Value",
                                             "Mask Area1", "Mask Area2", "Report type",
                                             "Box ID",     "Mask Areas"};
  return cols;
}

double round2(double value) {
  if (!std::isfinite(value)) return value;
  // Correctly rounded decimal text (half-even on the exact binary value),
  // read back: the host's round(value, 2).
  return std::strtod(fmt_fixed(value, 2).c_str(), nullptr);
}

TrackingReport generate_tracking_report(const std::vector<ReportFrame>& frames,
                                        const std::string& save_dir_base, double threshold) {
  TrackingReport rep;
  ProgressCount progress("report", frames.size());
  for (std::size_t f = 0; f < frames.size(); ++f) {
    progress.add();
    const ReportFrame& fr = frames[f];
    for (std::size_t k = 0; k < fr.areas.size(); ++k) {
      if (fr.areas[k].value() <= 0.1) {
        rep.zero_area_rows.push_back({f, k, fr.frame, fr.area_keys[k], fr.areas[k]});
      }
    }
    for (double c : fr.cells) {
      if (c > threshold) {
        rep.overlap_frames.push_back(f);
        break;
      }
    }
  }
  progress.finish();
  if (rep.zero_area_rows.empty() && rep.overlap_frames.empty()) return rep;

  print_line("Generating tracking question report...\n");
  for (std::size_t f : rep.overlap_frames) {
    const ReportFrame& fr = frames[f];
    const std::size_t ncols = fr.col_keys.size();
    rep.last_frame_first_row = rep.overlap_rows.size();
    for (std::size_t r = 0; r < fr.row_keys.size(); ++r) {
      for (std::size_t c = 0; c < ncols; ++c) {
        double v = fr.cells[r * ncols + c];
        if (!(v > threshold)) continue;
        if (!fr.row_areas[r]) {
          throw KeyError("frame " + fmt_int(fr.frame) + ": mask_areas has no entry for " +
                         fmt_str_repr(fr.row_keys[r]));
        }
        if (!fr.col_areas[c]) {
          throw KeyError("frame " + fmt_int(fr.frame) + ": mask_areas has no entry for " +
                         fmt_str_repr(fr.col_keys[c]));
        }
        rep.overlap_rows.push_back({f, fr.frame, fr.row_keys[r] + "-" + fr.col_keys[c], round2(v),
                                    *fr.row_areas[r], *fr.col_areas[c]});
      }
    }
  }
  std::string path = path_join(save_dir_base, kReportFile);
  write_file_atomic(path, tracking_report_csv(rep));
  print_line("Tracking question report saved to " + path);
  rep.path = path;
  return rep;
}

std::string tracking_report_csv(const TrackingReport& report) {
  std::string out;
  out.reserve(64 * (report.overlap_rows.size() + report.zero_area_rows.size() + 1));
  const auto& cols = report_columns();
  for (std::size_t i = 0; i < cols.size(); ++i) {
    if (i) out += ',';
    append_field(out, cols[i]);
  }
  out += '\n';
  for (const OverlapRow& r : report.overlap_rows) {
    out += fmt_int(r.frame);
    out += ',';
    append_field(out, r.pair);
    out += ',';
    out += fmt_float(r.value);
    out += ',';
    out += r.area1.text();
    out += ',';
    out += r.area2.text();
    out += ',';
    out += kOverlapType;
    out += ",,\n";
  }
  for (const ZeroAreaRow& r : report.zero_area_rows) {
    out += fmt_int(r.frame);
    out += ",,,,,";
    out += kZeroAreaType;
    out += ',';
    append_field(out, r.box);
    out += ',';
    out += r.area.text();
    out += '\n';
  }
  return out;
}

}  // namespace vexo::tracking
