"""Operations for tracking individual pigs in farm pens from fixed overhead cameras.

Frame extraction, first-frame detection and segmentation, mask cleaning,
tracking output reading, overlap reports, clip-to-clip identity matching and
drawing. The operations run in native code (``vexo_utils._native``); this
package gives them their Python signatures, documentation with examples, the
record classes, type stubs, and three settings: where console lines go
(``console`` / ``set_console``), progress bars (``progress`` /
``set_progress``) and how many threads the library uses (``threads`` /
``set_threads``).

>>> import vexo_utils as vu
>>> vu.calculate_iou([0, 0, 10, 10], [0, 0, 10, 5])
0.5
"""

from ._version import __version__
from ._console import console, progress, set_console, set_progress
from ._threads import set_threads, threads
from ._operations import (
    cal_centroid_distance,
    cal_masks_iou_scores,
    calculate_iou,
    calculate_masks_intersection,
    calculate_masks_intersection_new,
    calculate_pen_intersection_ratio,
    cluster_masks_and_print,
    compute_motion_score_in_polygon,
    cosine_scores_cal,
    draw_intersection_heatmap,
    draw_masks_on_image,
    draw_pen,
    enhance_dark_text,
    find_best_laste_frame,
    find_boxes_with_small_area_from_last_video,
    find_continuous_frames,
    fix_polygon_scaling,
    generate_sam2_image_features,
    generate_tracking_report,
    get_in_pen_mask,
    get_pen_json_path,
    get_vexo_annotation_data,
    img_bbx_drawing,
    initializer,
    intersection_between_masks,
    list_all_files,
    matcher,
    process_gdino_results,
    process_json_and_generate_masks,
    process_overlap_frames,
    retrieve_annotation,
    video_segments_mask_visual,
)
from ._records import Mask_Refinement, VideoMetadata, VideoProcessor

__all__ = [
    # the operations, in the library's own order
    "list_all_files", "draw_masks_on_image", "img_bbx_drawing", "draw_pen",
    "calculate_pen_intersection_ratio", "calculate_iou", "fix_polygon_scaling", "initializer",
    "retrieve_annotation", "get_pen_json_path", "process_json_and_generate_masks",
    "calculate_masks_intersection", "calculate_masks_intersection_new",
    "intersection_between_masks", "cluster_masks_and_print", "compute_motion_score_in_polygon",
    "draw_intersection_heatmap", "process_gdino_results", "get_vexo_annotation_data",
    "enhance_dark_text", "generate_sam2_image_features", "cal_masks_iou_scores",
    "cal_centroid_distance", "get_in_pen_mask", "find_best_laste_frame", "find_continuous_frames",
    "cosine_scores_cal", "process_overlap_frames", "video_segments_mask_visual", "matcher",
    "generate_tracking_report", "find_boxes_with_small_area_from_last_video",
    # the classes
    "VideoMetadata", "VideoProcessor", "Mask_Refinement",
    # console, progress and thread control
    "console", "set_console", "progress", "set_progress", "threads", "set_threads",
]

# Public names report this package as their home (reprs, pickles, help()).
for _name in __all__:
    _obj = globals()[_name]
    _obj.__module__ = __name__
    if isinstance(_obj, type):
        _obj.__qualname__ = _name
del _name, _obj
