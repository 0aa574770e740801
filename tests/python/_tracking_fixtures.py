"""Builders of realistic clip records for the tracking tests: frames written
by the tracking-file writer and read back through the library's reader."""

import os

import cv2
import numpy as np

import vexo_pipeline
import vexo_utils as vu


def rect(shape, y0, y1, x0, x1, dtype=np.uint8):
    m = np.zeros(shape, dtype)
    m[y0:y1, x0:x1] = 1
    return m


def write_clip(root, frames, shape=(60, 80)):
    """frames: {frame number: {object id: H x W mask}}. Returns the FrameDataMap."""
    os.makedirs(root, exist_ok=True)
    image = os.path.join(root, "frame.jpg")
    cv2.imwrite(image, np.zeros(shape + (3,), np.uint8))
    for n, masks in frames.items():
        vexo_pipeline.write_tracking_frame(os.path.join(root, "json"), n, image, masks)
    last, records = vu.get_vexo_annotation_data("", save_dir_base=os.path.join(root, "json"))
    return records


def record(areas, table=None, keys=None):
    """A hand-made frame record: {box: area} and a square overlap table."""
    import pandas as pd

    keys = list(areas) if keys is None else keys
    n = len(keys)
    cells = np.zeros((n, n)) if table is None else np.asarray(table, float)
    return {
        "mask_areas": dict(areas),
        "intersections_df": pd.DataFrame(cells, index=keys, columns=keys),
    }
