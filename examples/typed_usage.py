"""A typed script over vexo_utils: the test suite checks it with mypy --strict.

Usage: python3 examples/typed_usage.py
"""

from __future__ import annotations

import dataclasses
import io
import logging
from typing import Dict, List, Optional, Tuple

import numpy as np
import numpy.typing as npt
import pandas as pd

import vexo_utils as vu


def square_mask(x: int, y: int, size: int = 10) -> npt.NDArray[np.uint8]:
    mask = np.zeros((60, 80), np.uint8)
    mask[y:y + size, x:x + size] = 1
    return mask


def overlap_table(masks: Dict[str, npt.NDArray[np.uint8]]) -> pd.DataFrame:
    return vu.intersection_between_masks(masks)


def main() -> None:
    masks = {"Box0": square_mask(5, 5), "Box1": square_mask(10, 5)}
    table = overlap_table(masks)
    iou: float = vu.calculate_iou([0, 0, 10, 10], [5, 0, 15, 10])
    ratios, inside = vu.calculate_pen_intersection_ratio([(0, 0), (80, 0), (80, 60)],
                                                        [[1, 1, 5, 5]], 40)
    covered: Tuple[float, float] = vu.calculate_masks_intersection_new(
        masks["Box0"], masks["Box1"], 100, 100)
    clusters: Dict[str, List[str]] = vu.cluster_masks_and_print(masks, eps=20)
    scores = vu.cal_masks_iou_scores(list(masks.values()), list(masks.values()))
    best: float = float(scores.max())

    proc = vu.VideoProcessor(resize_dim=(None, 240), time_step=0.5)
    faster = dataclasses.replace(proc, frame_skip=2)
    region: Optional[Tuple[int, int, int, int]] = proc.find_orange_region(
        np.zeros((20, 30, 3), np.uint8))
    meta = vu.VideoMetadata("recordings", ["day1"], sample_step=0)
    refiner = vu.Mask_Refinement(max_prev_dist=50)
    refiner.MAX_PREV_DIST = 60

    log = logging.getLogger("vexo")
    with vu.console(log):
        vu.find_best_laste_frame({}, max_attempts=0)
    buffer = io.StringIO()
    previous = vu.set_console(buffer)
    vu.set_console(previous)
    with vu.progress(False):
        files: List[str] = vu.list_all_files(".", ext=".py")
    print(table.shape, iou, ratios, inside, covered, clusters, best, faster.frame_skip, region,
          meta.top_n, refiner, len(files), vu.__version__)


if __name__ == "__main__":
    main()
