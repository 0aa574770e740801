"""Synthetic recordings with ground truth, and the video propagation stand-in.

``generate_recording(root, ...)`` writes a recordings tree the way the
recording station lays it out::

    <root>/<YYYYMMDD>/Camera<camera>_<n>_<YYYYMMDD><HHMMSS>.mp4
    <root>/ground_truth/<video name>.json     poses of every animal, every frame
    <root>/pens/Cam<camera>.json              right pen, in right-crop pixels
    <root>/pens/Cam<camera>_left.json         left pen, in left-crop pixels
    <root>/recording.json                     the manifest (also returned)

Frames are 2560 x 1440 with an orange marker between two pens of
``animals_per_pen`` animals each. The clips of a day follow each other
(``gap_seconds`` apart) and the herd moves on continuously from clip to clip,
so identities carry over.

The frame extractor saves, for a window starting at video frame ``s``, the
image labelled ``s + k`` (``frame_skip`` 1: the k-th saved file) from video
frame ``s + k + 1``: its first read only locates the crop region. Use
``video_frame_of_label`` to look the ground truth up.

``propagate_masks(frame_names, masks, ann_frame_idx=0)`` turns first-frame
masks into ``VideoSegments``: ``{frame_idx: {object_id: 1 x H x W bool}}``.
"""

from __future__ import annotations

import json
import os
from typing import Dict, Iterable, Mapping, Optional, Tuple

import numpy as np

from ._vexo_pipeline import (
    GroundTruth,
    crop_region,
    generate_recording,
    mask_iou_matrix,
    pen_polygon,
    propagate_masks,
    write_pen_file,
)

__all__ = [
    "GroundTruth",
    "assign_animals",
    "crop_region",
    "generate_recording",
    "ground_truth_for",
    "load_manifest",
    "mask_iou_matrix",
    "pen_polygon",
    "propagate_masks",
    "resized_size",
    "video_frame_of_label",
    "write_pen_file",
]


def load_manifest(root: str) -> dict:
    """The manifest ``recording.json`` of a generated recording."""
    with open(os.path.join(root, "recording.json"), encoding="utf-8") as f:
        return json.load(f)


def ground_truth_for(recording: Mapping, video_name: str) -> GroundTruth:
    """The ground truth of one clip of a recording manifest, by video name."""
    for clip in recording["clips"]:
        if clip["video_name"] == video_name:
            return GroundTruth(clip["ground_truth"])
    raise KeyError(f"no clip named {video_name!r} in the recording")


def video_frame_of_label(label: int) -> int:
    """Video frame shown by the image the frame extractor labels ``label``
    (the number in its "Processing frame" line): the frame after it."""
    return int(label) + 1


def resized_size(crop: Iterable[int], resize_height: Optional[int]) -> Optional[Tuple[int, int]]:
    """(width, height) of frames cropped to ``crop`` and scaled by the frame
    extractor to ``resize_height`` (None: not scaled)."""
    if resize_height is None:
        return None
    x1, y1, x2, y2 = crop
    h = int(resize_height)
    return int(np.ceil(h * ((x2 - x1) / (y2 - y1)))), h


def assign_animals(masks: Mapping[int, np.ndarray], truth: Mapping[int, np.ndarray],
                   min_iou: float = 0.5) -> Dict[int, Optional[int]]:
    """Match tracked masks ``{object_id: mask}`` to ground-truth masks
    ``{animal_id: mask}`` one to one, best IoU first; an object whose best
    remaining IoU is below ``min_iou`` gets None."""
    ids, animals = list(masks), list(truth)
    out: Dict[int, Optional[int]] = {i: None for i in ids}
    if not ids or not animals:
        return out
    iou = mask_iou_matrix(masks, truth)
    order = np.dstack(np.unravel_index(np.argsort(-iou, axis=None), iou.shape))[0]
    used_r, used_c = set(), set()
    for r, c in order:
        if iou[r, c] < min_iou:
            break
        if r in used_r or c in used_c:
            continue
        used_r.add(r)
        used_c.add(c)
        out[ids[r]] = animals[c]
    return out
