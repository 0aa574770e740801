// Diagnostics over one frame's pigs: the content of the overlap heatmap,
// clustering of mask centroids (DBSCAN), dense-flow motion scores inside
// masks and the overlap ratio of two boxes. The heatmap figure itself is
// drawn by the host's plotting library from the content computed here.
#pragma once

#include <cstddef>
#include <opencv2/core.hpp>
#include <optional>
#include <string>
#include <vector>

namespace vexo::visual {

// ---- overlap heatmap ------------------------------------------------------

struct HeatmapContent {
  int n = 0;                             // rows (= columns) of the table
  std::vector<std::string> labels;       // "Mask 0" ... "Mask n-1", both axes
  std::vector<std::string> annotations;  // row-major n x n, ".2f"; "" for NaN cells
  bool vertical_column_labels = false;   // too many columns for level labels
};

// Content of the heatmap of a rows x cols row-major table. The table must be
// square (ValueError otherwise): its row labels serve the columns as well.
HeatmapContent heatmap_content(const std::vector<double>& cells, int rows, int cols);

// True when annotation text drawn on a cell of colour (r, g, b), components
// in 0..1 (sRGB), should be light: the cell's relative luminance is low.
bool annotation_on_dark(double r, double g, double b);

// ---- centroid clustering ----------------------------------------------------

// Centroid of the mask's largest outer contour (first of equal areas), each
// coordinate truncated toward zero; nothing when the mask has no contour or
// the contour encloses no area.
std::optional<cv::Point> main_blob_centroid(const cv::Mat& mask);

// DBSCAN labels of `points`: a point within `eps` (inclusive, Euclidean) of
// another is its neighbour, a point is a core point when its neighbourhood,
// itself included, holds at least `min_samples` points. Clusters grow from
// core points in list order; a border point joins the first cluster that
// reaches it. Clusters are then numbered 0, 1, ... in the order in which
// their first point occurs in the list; points in no cluster get -1.
// ValueError when eps is not a positive number or min_samples < 1.
std::vector<int> dbscan(const std::vector<cv::Point>& points, double eps, int min_samples);

struct CentroidGroup {
  std::string name;                  // "Noise" or "Cluster <k>"
  std::vector<std::size_t> members;  // indexes into the masks, in input order
};

// Groups masks by the DBSCAN clusters of their main-blob centroids: "Noise"
// first (possibly empty), then "Cluster 0", "Cluster 1", ... Masks without a
// centroid belong to no group. ValueError when no mask has a centroid.
std::vector<CentroidGroup> cluster_mask_centroids(const std::vector<cv::Mat>& masks, double eps,
                                                  int min_samples);

// ---- motion scores ----------------------------------------------------------

// Per-pixel magnitude (CV_32F) of the dense Farneback flow from `prev` to
// `next` (8-bit grey images of one size) with pyramid scale 0.5, 3 levels,
// window 15, 3 iterations, neighbourhood 5, sigma 1.2 and no flags.
cv::Mat flow_magnitude(const cv::Mat& prev, const cv::Mat& next);

// Mean of `magnitude` over each mask's nonzero pixels; nothing for an empty
// mask. Masks must have the magnitude's size (ValueError otherwise).
std::vector<std::optional<double>> masked_mean_magnitude(const cv::Mat& magnitude,
                                                         const std::vector<cv::Mat>& masks);

// Motion score of each mask between the first and the sixth frame image of
// `frames` (read as grey). IndexError for fewer than six paths, FileNotFound
// or IoError for a frame that cannot be read, ValueError for frames or masks
// of different sizes.
std::vector<std::optional<double>> motion_scores(const std::vector<std::string>& frames,
                                                 const std::vector<cv::Mat>& masks);

// ---- box overlap ------------------------------------------------------------

// Intersection over union of two boxes x1, y1, x2, y2 taken as continuous
// rectangles (no pixel added to widths). Nothing when the union is not
// positive. ValueError for coordinates that are not finite.
std::optional<double> box_iou(const double box1[4], const double box2[4]);

}  // namespace vexo::visual
