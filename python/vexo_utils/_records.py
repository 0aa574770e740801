"""The three classes: the two settings records and Mask_Refinement.

``VideoMetadata`` and ``VideoProcessor`` are plain dataclasses: repr,
equality, field order, mutation, ``dataclasses.fields`` / ``replace`` /
``asdict``, pickling and copying behave as for any dataclass. Their methods
read the fields at call time and run the native code on them; the native side
keeps no copy, so the crop-region cache dict of a ``VideoProcessor`` is filled
in place.
"""

from __future__ import annotations

import dataclasses
from typing import Any, Dict, List, Optional, Tuple

from . import _native
from ._console import _progress_call

_DEFAULT_PATTERN = "Camera(\\d+)_(\\d+)_([\\d]{8})([\\d]{6})\\.mp4"


def _native_record(native_type, record):
    """A native record holding the very field objects of `record` (no copies)."""
    native = native_type(*(getattr(record, f.name) for f in dataclasses.fields(record)))
    # The native constructor turns a None cache into a new dict; the method
    # must see (and reject) what the record really holds.
    if native_type is _native.VideoProcessor:
        native.camera_crop_coords = record.camera_crop_coords
    return native


@dataclasses.dataclass
class VideoMetadata:
    """Catalogue settings for a recordings root.

    Fields, in order: ``base_dir`` (root folder), ``sub_dirs`` (sub-folders to
    scan, in order), ``filter_start="06:00:00"`` and ``filter_end="17:00:00"``
    (exclusive time-of-day bounds, compared as text), ``sample_step=3`` (keep
    every n-th clip; 0 keeps all), ``top_n=-1`` (at most this many clips;
    below 1 keeps all), ``match_pattern`` (file name pattern, matched at the
    start of the name), ``camera_number=None`` (keep only this camera when
    given).

    >>> import os, tempfile, vexo_utils as vu
    >>> root = tempfile.mkdtemp(); os.mkdir(os.path.join(root, "day1"))
    >>> for t in ("080000", "190000"):
    ...     open(os.path.join(root, "day1", f"Camera61_1_20240131{t}.mp4"), "w").close()
    >>> meta = vu.VideoMetadata(root, ["day1"], sample_step=0)
    >>> meta.sample_step, meta.filter_end
    (0, '17:00:00')
    >>> df = meta.get_filtered_video_dataframe()  # doctest: +ELLIPSIS
    ['/.../day1/Camera61_1_20240131080000.mp4']
    >>> df[["Camera Number", "Date", "Time"]].values.tolist()
    [['61', '20240131', '08:00:00']]
    """

    base_dir: str
    sub_dirs: List[str]
    filter_start: str = "06:00:00"
    filter_end: str = "17:00:00"
    sample_step: int = 3
    top_n: int = -1
    match_pattern: str = _DEFAULT_PATTERN
    camera_number: Optional[str] = None

    def get_filtered_video_dataframe(self):
        """Catalogue of the clips under base_dir/<sub_dir> for each of ``sub_dirs``, in order.

        Returns a pandas DataFrame with the text columns "Camera Number",
        "Date", "Time" (hh:mm:ss), "File Path" and "Video Name"; row labels are
        the positions in the table of all matching clips. Keeps clips strictly
        between ``filter_start`` and ``filter_end``, then every
        ``sample_step``-th of them, then those of ``camera_number`` (when set),
        then the first ``top_n`` (when at least 1). Prints the kept paths.
        """
        native = _native_record(_native.VideoMetadata, self)
        return _progress_call(native.get_filtered_video_dataframe)


@dataclasses.dataclass
class VideoProcessor:
    """Frame extraction settings and the per-camera crop-region cache.

    Fields, in order: ``resize_dim=None`` (when given, frames are scaled to the
    height ``resize_dim[1]``), ``frame_skip=1``, ``time_step=0.1`` (window
    length in minutes), ``output_dir_base``, ``camera_crop_coords`` (camera
    number -> (x1, y1, x2, y2); a new empty dict for each record, filled in
    place as clips are cropped), ``crop=True``, ``left_crop=False``.

    >>> import numpy as np, vexo_utils as vu
    >>> proc = vu.VideoProcessor(resize_dim=(None, 240), time_step=0.5)
    >>> proc
    VideoProcessor(resize_dim=(None, 240), frame_skip=1, time_step=0.5, output_dir_base='D:\\\\ToBeLabeled_20pigs/', camera_crop_coords={}, crop=True, left_crop=False)
    >>> frame = np.zeros((120, 200, 3), np.uint8); frame[:, 90:100] = (0, 140, 255)
    >>> proc.find_orange_region(frame)
    (90, 0, 100, 120)
    """

    resize_dim: Optional[Tuple[Optional[int], int]] = None
    frame_skip: int = 1
    time_step: float = 0.1
    output_dir_base: str = "D:\\ToBeLabeled_20pigs/"
    camera_crop_coords: Optional[Dict[Any, Tuple[int, int, int, int]]] = None  # None: a new {}
    crop: bool = True
    left_crop: bool = False

    def __post_init__(self):
        if self.camera_crop_coords is None:
            self.camera_crop_coords = {}

    def get_video_duration(self, video_path):
        """Length of the clip in minutes; 0 when the clip cannot be opened.

        Prints its frame rate, frame count and length in seconds.
        """
        return _native_record(_native.VideoProcessor, self).get_video_duration(video_path)

    def find_orange_region(self, frame):
        """Bounding box (x1, y1, x2, y2) of the orange pen marker in an H x W x 3 BGR frame.

        The rightmost of the two largest orange blobs; None when there is no
        orange region.
        """
        return _native_record(_native.VideoProcessor, self).find_orange_region(frame)

    def crop_video_to_frames(self, video_path, output_dir, start_min=10, end_min=12,
                             camera_number=None, crop=True):
        """Writes the frames of the clip from ``start_min`` to ``end_min`` minutes.

        Frames go into ``output_dir`` as 0000.jpg, 0001.jpg, ...: every frame
        whose number is a multiple of ``frame_skip``, and the one before the
        end frame. With ``crop``, frames are cut to the pen beside the orange
        marker; the region is found on the window's first frame and cached per
        ``camera_number`` in ``camera_crop_coords``. With ``resize_dim``,
        frames are scaled to the height ``resize_dim[1]``. Start and end frames
        are rounded to whole frames.
        """
        native = _native_record(_native.VideoProcessor, self)
        return _progress_call(native.crop_video_to_frames, video_path, output_dir, start_min,
                              end_min, camera_number, crop)

    def process_videos_to_frames(self, df):
        """Cuts every clip of a catalogue into windows and writes each window's frames.

        ``df`` is a catalogue (see VideoMetadata.get_filtered_video_dataframe);
        windows are ``time_step`` minutes long and written into
        output_dir_base/<Date>/<Video Name>/<start>min_to_<end>min/
        left_cropped_frames (right_cropped_frames when ``left_crop`` is false).
        Windows whose folder exists are skipped. A window is written into a
        hidden staging folder beside its final folder and renamed into place
        when complete, so an interrupted window is redone on the next run.
        """
        native = _native_record(_native.VideoProcessor, self)
        return _progress_call(native.process_videos_to_frames, df)


_RefinementBase = _native.Mask_Refinement


class Mask_Refinement(_RefinementBase):
    """Cleans propagated pig masks.

    Masks are cut to the pen, reduced to the main 8-connected component and
    its large, close companions, and what jumped too far from the pig's
    previous centroid is dropped. The settings are MIN_AREA_RATIO,
    MAX_DISTANCE_RATIOS, MAX_PREV_DIST and custom_pen_json_path (None selects
    the clip camera's pen file); the previous centroids live in
    ``prev_centroids`` across calls. Assigning any other attribute raises
    AttributeError.

    >>> import numpy as np, vexo_utils as vu
    >>> ref = vu.Mask_Refinement(max_prev_dist=50)
    >>> ref
    Mask_Refinement(min_area_ratio=0.3, max_distance_ratios=[0.5, 1.5], max_prev_dist=50, custom_pen_json_path='pen_polygon.json', prev_centroids: 0 remembered)
    >>> ref.max_prev_dist = 60
    Traceback (most recent call last):
    ...
    AttributeError: 'Mask_Refinement' object has no attribute 'max_prev_dist' (the settings are MIN_AREA_RATIO, MAX_DISTANCE_RATIOS, MAX_PREV_DIST, custom_pen_json_path and prev_centroids)
    >>> a = np.zeros((20, 20), bool); a[2:8, 2:8] = True
    >>> b = np.zeros((20, 20), bool); b[2:8, 12:18] = True
    >>> ref.blob_shortest_distance(a, b)
    5.0
    """

    def __init__(self, min_area_ratio=0.3, max_distance_ratios=[0.5, 1.5], max_prev_dist=200,
                 custom_pen_json_path="pen_polygon.json"):
        super().__init__(min_area_ratio, max_distance_ratios, max_prev_dist, custom_pen_json_path)

    def __repr__(self):
        return (f"Mask_Refinement(min_area_ratio={self.MIN_AREA_RATIO!r}, "
                f"max_distance_ratios={self.MAX_DISTANCE_RATIOS!r}, "
                f"max_prev_dist={self.MAX_PREV_DIST!r}, "
                f"custom_pen_json_path={self.custom_pen_json_path!r}, "
                f"prev_centroids: {len(self.prev_centroids)} remembered)")

    def __setattr__(self, name, value):
        if not hasattr(type(self), name):
            raise AttributeError(
                f"'{type(self).__name__}' object has no attribute {name!r} (the settings are "
                "MIN_AREA_RATIO, MAX_DISTANCE_RATIOS, MAX_PREV_DIST, custom_pen_json_path and "
                "prev_centroids)", name=name, obj=self)
        super().__setattr__(name, value)

    def process_video_segments(self, video_segments, video_dir, frame_names):
        """Refines every mask of ``video_segments`` in place and returns it.

        ``video_segments`` is {frame index: {object id: 1 x H x W mask}}. Masks
        are cut to the pen, reduced to the main component and its companions
        and checked against ``prev_centroids``, which is updated. Rebuilt masks
        are 1 x H x W boolean arrays; empty masks are left alone. A mask array
        that nothing but ``video_segments`` holds is rewritten in its own
        memory; arrays the caller still holds are replaced, never changed.
        Ctrl-C stops the call within a fraction of a second: the masks refined
        before it (each pig's first ones) stay refined, the rest are left as
        they were, and a later call goes on from there.
        """
        return _progress_call(super().process_video_segments, video_segments, video_dir,
                              frame_names)

    def get_main_blob(self, mask, prev_centroids, object_id):
        """Component analysis of one mask (H x W or 1 x H x W, with a nonzero pixel).

        Returns (num_labels, stats, centroids, min_area_threshold,
        max_distance_threshold, best_idx, labels), best_idx being the main
        component: the largest, or of the five largest the one nearest to
        ``prev_centroids[object_id]``. Labels, stats and centroids are those of
        ``cv2.connectedComponentsWithStats(mask, connectivity=8)``; equal
        areas go to the lower label.
        """
        return super().get_main_blob(mask, prev_centroids, object_id)

    def get_dis_to_main_and_prev_blob(self, num_labels, labels, stats, centroids,
                                      max_distance_threshold, min_area_threshold, best_idx,
                                      prev_centroids, object_id, frame_idx, mask, video_segments):
        """The cleaned 1 x H x W boolean mask of one component analysis.

        Keeps the components within MAX_PREV_DIST of the previous centroid that
        are the main one or large and close enough to it. When nothing is kept,
        the first frame of ``video_segments`` keeps ``mask`` (as boolean);
        other frames print a line and get an empty mask.
        """
        return super().get_dis_to_main_and_prev_blob(
            num_labels, labels, stats, centroids, max_distance_threshold, min_area_threshold,
            best_idx, prev_centroids, object_id, frame_idx, mask, video_segments)

    def blob_shortest_distance(self, blob_mask1, blob_mask2):
        """Smallest distance in pixels between the outer contour vertices of two masks.

        inf when either is empty.
        """
        return super().blob_shortest_distance(blob_mask1, blob_mask2)
