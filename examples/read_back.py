"""Writes a small tracking output folder and reads it back with vexo_utils.

Usage: python3 examples/read_back.py [OUTPUT_DIR]
"""

import os
import sys
import tempfile

import cv2
import numpy as np

import vexo_pipeline
import vexo_utils


def main() -> None:
    out = sys.argv[1] if len(sys.argv) > 1 else tempfile.mkdtemp(prefix="vexo_readback_")
    rows, cols = 120, 160
    os.makedirs(out, exist_ok=True)
    image = os.path.join(out, "frame.jpg")
    cv2.imwrite(image, np.full((rows, cols, 3), 90, np.uint8))
    rng = np.random.default_rng(7)
    for frame in range(3):
        masks = {}
        for pig in range(1, 4):
            m = np.zeros((rows, cols), np.uint8)
            cx, cy = 30 + 45 * (pig - 1) + 3 * frame, 60 + int(rng.integers(-5, 6))
            cv2.ellipse(m, (cx, cy), (28, 16), 0, 0, 360, 1, -1)
            masks[pig] = m
        vexo_pipeline.write_tracking_frame(out, frame, image, masks)
    last, frames = vexo_utils.get_vexo_annotation_data(out, save_dir_base=out)
    print(f"read {len(frames)} frames from {out}")
    for idx, rec in frames.items():
        print(f"annotation {idx}: frame {rec['frame_index']}, areas {rec['mask_areas']}")
    print("overlap table of the last frame (percent of the row mask covered):")
    print(last["intersections_df"].round(2))


if __name__ == "__main__":
    main()
