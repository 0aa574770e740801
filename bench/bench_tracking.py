"""Benchmarks of the tracking post-processing, each beside the plain
numpy/OpenCV/pandas way measured in the same run.

    PYTHONPATH=build/python python3 bench/bench_tracking.py [--frames 600] [--pigs 10]

1. Mask_Refinement.process_video_segments on frames x pigs masks of 720 x 520
   (one to four fragments each). The plain way is timed on the first
   --plain-frames frames and scaled to the whole clip; both outputs are
   compared on that part.
2. generate_tracking_report on a clip of frames x pigs records read back
   from real per-frame files.
"""

import argparse
import os
import resource
import sys
import tempfile
import time

import numpy as np
import pandas as pd

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "python"))

import vexo_pipeline  # noqa: E402
import vexo_utils as vu  # noqa: E402
from _refine_reference import make_clip, plain_refine, write_pen  # noqa: E402

COLUMNS = ["Frame ID", "Box Pair", "Intersection Value", "Mask Area1", "Mask Area2",
           "Report type", "Box ID", "Mask Areas"]


def peak_mb():
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024


def bench_refinement(frames, pigs, plain_frames, tmp):
    height, width = 520, 720
    pen = write_pen(os.path.join(tmp, "pen.json"), height, width)
    names = [f"{i:04d}.jpg" for i in range(frames)]
    print(f"refinement: {frames} frames x {pigs} pigs at {width} x {height}")

    part = make_clip(plain_frames, pigs, height, width, seed=11)
    mine_part = {f: dict(o) for f, o in part.items()}
    t = time.perf_counter()
    plain_refine(part, pen, names, {})
    plain_part = time.perf_counter() - t
    devnull = open(os.devnull, "w")
    saved, sys.stdout = sys.stdout, devnull  # the clip's "no mask" lines
    try:
        vu.Mask_Refinement(custom_pen_json_path=pen).process_video_segments(mine_part, "", names)
    finally:
        sys.stdout = saved
    same = all(np.array_equal(part[f][o], mine_part[f][o]) for f in part for o in part[f])
    del part, mine_part

    clip = make_clip(frames, pigs, height, width, seed=11)
    ref = vu.Mask_Refinement(custom_pen_json_path=pen)
    saved, sys.stdout = sys.stdout, devnull  # the clip's "no mask" lines
    try:
        t0, c0 = time.perf_counter(), time.process_time()
        ref.process_video_segments(clip, "", names)
        lib, lib_cpu = time.perf_counter() - t0, time.process_time() - c0
    finally:
        sys.stdout = saved
    plain = plain_part * frames / plain_frames
    print(f"  library      {lib:8.3f} s  (cpu {lib_cpu:.3f} s, all {frames} frames)")
    print(f"  plain numpy  {plain:8.3f} s  (measured {plain_part:.3f} s on {plain_frames} "
          f"frames, scaled)")
    print(f"  ratio        {plain / lib:8.1f} x   outputs identical on the measured part: {same}")
    print(f"  peak memory  {peak_mb():8.0f} MB")
    del clip


def plain_report(data, save_dir_base, thr=80):
    zero, over = [], []
    for frame, rec in data.items():
        for box, area in rec["mask_areas"].items():
            if area <= 0.1:
                zero.append({"Frame ID": frame, "Box Pair": None, "Intersection Value": None,
                             "Mask Area1": None, "Mask Area2": None,
                             "Report type": "Zero area detected", "Box ID": box,
                             "Mask Areas": area})
        if (rec["intersections_df"] > thr).any().any():
            over.append(frame)
    table = pd.DataFrame(columns=COLUMNS)
    last = pd.DataFrame(columns=COLUMNS)
    if not zero and not over:
        return table, zero, over, last
    for frame in over:
        df, areas = data[frame]["intersections_df"], data[frame]["mask_areas"]
        rows = []
        for r in df.index:
            for c in df.columns:
                v = df.loc[r, c]
                if v > thr:
                    rows.append({"Frame ID": frame, "Box Pair": f"{r}-{c}",
                                 "Intersection Value": round(v, 2), "Mask Area1": areas[r],
                                 "Mask Area2": areas[c],
                                 "Report type": "High overlap mask detected"})
        last = pd.DataFrame(rows)
        table = pd.concat([table, last], ignore_index=True)
    report = pd.concat([table, pd.DataFrame(zero)], ignore_index=True)[COLUMNS]
    report.to_csv(os.path.join(save_dir_base, "tracking_question_report.csv"), index=False)
    return table, zero, over, last


def bench_report(frames, pigs, tmp):
    height, width = 130, 180
    rng = np.random.default_rng(5)
    image = os.path.join(tmp, "frame.jpg")
    import cv2

    cv2.imwrite(image, np.zeros((height, width, 3), np.uint8))
    out = os.path.join(tmp, "json")
    for f in range(frames):
        masks = {}
        for p in range(pigs):
            m = np.zeros((height, width), np.uint8)
            if rng.random() > 0.01:
                x, y = int(rng.integers(10, width - 25)), int(rng.integers(10, height - 25))
                m[y:y + 14, x:x + 16] = 1
            masks[p + 1] = m
        if rng.random() < 0.2:  # two pigs on top of each other
            masks[2] = masks[1].copy()
        vexo_pipeline.write_tracking_frame(out, f, image, masks)
    _, data = vu.get_vexo_annotation_data("", save_dir_base=out)
    print(f"report: {frames} frames x {pigs} pigs")
    d1, d2 = os.path.join(tmp, "r1"), os.path.join(tmp, "r2")
    os.makedirs(d1)
    os.makedirs(d2)
    devnull = open(os.devnull, "w")
    saved, sys.stdout = sys.stdout, devnull
    try:
        t = time.perf_counter()
        mine = vu.generate_tracking_report(data, d1)
        lib = time.perf_counter() - t
        t = time.perf_counter()
        plain_report(data, d2)
        plain = time.perf_counter() - t
    finally:
        sys.stdout = saved
    name = "tracking_question_report.csv"
    same = open(os.path.join(d1, name)).read() == open(os.path.join(d2, name)).read()
    print(f"  library      {lib:8.3f} s  ({len(mine[0])} overlap rows, {len(mine[1])} zero-area "
          f"rows)")
    print(f"  plain pandas {plain:8.3f} s")
    print(f"  ratio        {plain / lib:8.1f} x   same CSV text: {same}")


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--frames", type=int, default=600)
    ap.add_argument("--pigs", type=int, default=10)
    ap.add_argument("--plain-frames", type=int, default=30)
    ap.add_argument("--skip-refinement", action="store_true")
    args = ap.parse_args()
    with tempfile.TemporaryDirectory() as tmp:
        bench_report(args.frames, args.pigs, tmp)
        if not args.skip_refinement:
            bench_refinement(args.frames, args.pigs, args.plain_frames, tmp)


if __name__ == "__main__":
    main()
