"""Benchmarks of the tracking post-processing, each beside the plain
numpy/OpenCV/pandas way measured in the same run.

    PYTHONPATH=build/python python3 bench/bench_tracking.py [--frames 600] [--pigs 10]

1. Mask_Refinement.process_video_segments on frames x pigs masks of 720 x 520
   (one to four fragments each), on two kinds of input: fresh, fully written
   arrays (as a propagation step returns them) and masks in zero-filled
   mappings written only where the pig is. For each: wall, user and system
   time, the plain way in the same run (timed on the first --plain-frames
   frames and scaled; outputs compared on that part), one read pass over the
   inputs as the floor, and the call's peak memory growth beside the pages
   its kept pixels need.
2. generate_tracking_report on a clip of frames x pigs records read back
   from real per-frame files.
"""

import argparse
import mmap
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


def reset_peak_rss():
    """Starts a new peak-resident-memory window (Linux); False when unsupported."""
    try:
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")
        return True
    except OSError:
        return False


def rss_kb(field):
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    return 0


def zero_page_clip(clip):
    """The same masks in zero-filled mappings written only where the pig is:
    inputs whose untouched pages are the kernel's shared zero page."""
    out = {}
    for f, objs in clip.items():
        out[f] = {}
        for o, m in objs.items():
            buf = mmap.mmap(-1, m.nbytes)
            z = np.frombuffer(buf, dtype=bool).reshape(m.shape)
            rows = np.flatnonzero(m.reshape(m.shape[-2], -1).any(axis=1))
            if rows.size:
                z[0, rows[0]:rows[-1] + 1] = m[0, rows[0]:rows[-1] + 1]
            out[f][o] = z
    return out


def read_pass(clip):
    """The floor: one pass reading every input mask once."""
    t = time.perf_counter()
    n = 0
    for objs in clip.values():
        for m in objs.values():
            n += np.count_nonzero(m)
    return time.perf_counter() - t


def kept_pages_kb(clip):
    """Pages of the refined masks that hold a kept pixel."""
    pages = 0
    for objs in clip.values():
        for m in objs.values():
            flat = np.flatnonzero(m.reshape(-1))
            pages += np.unique(flat // 4096).size
    return pages * 4


def timed_call(ref, clip, names):
    devnull = open(os.devnull, "w")
    saved, sys.stdout = sys.stdout, devnull  # the clip's "no mask" lines
    peak_ok = reset_peak_rss()
    base = rss_kb("VmRSS")
    try:
        r0, t0 = resource.getrusage(resource.RUSAGE_SELF), time.perf_counter()
        ref.process_video_segments(clip, "", names)
        wall = time.perf_counter() - t0
        r1 = resource.getrusage(resource.RUSAGE_SELF)
    finally:
        sys.stdout = saved
    peak = rss_kb("VmHWM") - base if peak_ok else float("nan")
    return wall, r1.ru_utime - r0.ru_utime, r1.ru_stime - r0.ru_stime, peak


def bench_refinement(frames, pigs, plain_frames, tmp, kinds):
    height, width = 520, 720
    pen = write_pen(os.path.join(tmp, "pen.json"), height, width)
    names = [f"{i:04d}.jpg" for i in range(frames)]
    print(f"refinement: {frames} frames x {pigs} pigs at {width} x {height}")
    for kind in kinds:
        # Fresh inputs: each mask a newly allocated, fully written array, as a
        # propagation step's (logits > 0).cpu().numpy() gives them.
        part = make_clip(plain_frames, pigs, height, width, seed=11)
        if kind == "zero-page":
            part = zero_page_clip(part)
        mine_part = {f: dict(o) for f, o in part.items()}
        t = time.perf_counter()
        plain_refine(part, pen, names, {})
        plain_part = time.perf_counter() - t
        devnull = open(os.devnull, "w")
        saved, sys.stdout = sys.stdout, devnull
        try:
            vu.Mask_Refinement(custom_pen_json_path=pen).process_video_segments(
                mine_part, "", names)
        finally:
            sys.stdout = saved
        same = all(np.array_equal(part[f][o], mine_part[f][o]) for f in part for o in part[f])
        del part, mine_part

        clip = make_clip(frames, pigs, height, width, seed=11)
        if kind == "zero-page":
            clip = zero_page_clip(clip)
        inputs_kb = rss_kb("VmRSS")
        floor = read_pass(clip)
        ref = vu.Mask_Refinement(custom_pen_json_path=pen)
        wall, user, system, peak = timed_call(ref, clip, names)
        kept = kept_pages_kb(clip)
        plain = plain_part * frames / plain_frames
        print(f"  [{kind} inputs]")
        print(f"  library      {wall:8.3f} s  (user {user:.3f} s, sys {system:.3f} s, "
              f"sys/wall {system / wall:.2f})")
        print(f"  plain numpy  {plain:8.3f} s  (measured {plain_part:.3f} s on {plain_frames} "
              f"frames, scaled)")
        print(f"  read pass    {floor:8.3f} s  (floor; library / floor {wall / floor:.1f} x)")
        print(f"  ratio        {plain / lib_guard(wall):8.1f} x   outputs identical on the measured "
              f"part: {same}")
        print(f"  memory       process {inputs_kb / 1024:.0f} MB before the call; call's peak "
              f"growth {peak / 1024:.1f} MB; kept pixels' pages {kept / 1024:.1f} MB")
        del clip


def lib_guard(x):
    return x if x > 0 else float("nan")


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
    ap.add_argument("--inputs", choices=["fresh", "zero-page", "both"], default="both",
                    help="refinement inputs: fresh fully written masks, masks in zero-page "
                         "mappings, or both")
    args = ap.parse_args()
    with tempfile.TemporaryDirectory() as tmp:
        bench_report(args.frames, args.pigs, tmp)
        if not args.skip_refinement:
            kinds = ["fresh", "zero-page"] if args.inputs == "both" else [args.inputs]
            bench_refinement(args.frames, args.pigs, args.plain_frames, tmp, kinds)


if __name__ == "__main__":
    main()
