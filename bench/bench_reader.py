"""Benchmark: reading a clip's tracking output and building overlap tables.

Each variant runs in its own process so that peak memory (max RSS) is its own.
Usage: python3 bench/bench_reader.py [--frames 600] [--pigs 10]
"""

import argparse
import json
import os
import re
import resource
import subprocess
import sys
import tempfile
import time

import cv2
import numpy as np

ROWS, COLS = 720, 520


def make_clip(folder, frames, pigs):
    import vexo_pipeline

    os.makedirs(folder, exist_ok=True)
    image = os.path.join(folder, "frame.jpg")
    cv2.imwrite(image, np.zeros((ROWS, COLS, 3), np.uint8))
    rng = np.random.default_rng(0)
    centres = rng.uniform([60, 60], [COLS - 60, ROWS - 60], size=(pigs, 2))
    for f in range(frames):
        centres += rng.normal(0, 2, centres.shape)
        centres = np.clip(centres, 60, [COLS - 60, ROWS - 60])
        masks = {}
        for p in range(pigs):
            m = np.zeros((ROWS, COLS), np.uint8)
            t = np.linspace(0, 2 * np.pi, 80, endpoint=False)
            r = 1 + 0.08 * np.sin(5 * t + p)
            pts = np.stack([centres[p, 0] + 55 * r * np.cos(t), centres[p, 1] + 30 * r * np.sin(t)], 1)
            cv2.fillPoly(m, [pts.astype(np.int32)], 1)
            masks[p + 1] = m
        vexo_pipeline.write_tracking_frame(folder, f, image, masks)


# ---- the plain numpy / OpenCV-Python way ----

def plain_read_file(path, h, w):
    with open(path) as f:
        data = json.load(f)
    masks, ids = [], []
    for det in data["detections"]:
        oid = det.get("object_id", 0)
        m = np.zeros((h, w), np.uint8)
        for poly in det["formatted_polygon"]:
            tok = poly.split()[1:]
            pts = [(int(float(tok[i]) * w), int(float(tok[i + 1]) * h)) for i in range(0, len(tok), 2)]
            cv2.fillPoly(m, [np.array(pts, np.int32)], 1)
        masks.append(m)
        ids.append(oid - 1)
    return data["image_path"], np.array(masks, np.uint8), ids


def plain_table(masks_dict, areas):
    import pandas as pd

    keys = list(masks_dict)
    n = len(keys)
    t = np.zeros((n, n))
    for i in range(n):
        for j in range(n):
            ai, aj = areas[keys[i]], areas[keys[j]]
            if ai <= 1:
                continue
            if j < i:
                ov = np.sum(masks_dict[keys[i]] * masks_dict[keys[j]])
                t[i, j] = ov / ai * 100 if ai > 0 else 0
                t[j, i] = ov / aj * 100 if aj > 0 else 0
    return pd.DataFrame(t, index=keys, columns=keys)


def plain_read_folder(top):
    order = []
    for root, dirs, files in os.walk(top):
        dirs.sort()
        kept = []
        for name in files:
            if name.endswith(".json"):
                m = re.search(r"_(\d+)$", os.path.splitext(name)[0])
                if m:
                    kept.append((int(m.group(1)), name))
        kept.sort(key=lambda x: x[0])
        order += [os.path.join(root, n) for _, n in kept]
    with open(order[0]) as f:
        img = cv2.imread(json.load(f)["image_path"])
    h, w = img.shape[:2]
    out = {}
    for idx, path in enumerate(order):
        ip, masks, ids = plain_read_file(path, h, w)
        md = {f"Box{i}": m for i, m in zip(ids, masks)}
        areas = {k: int(np.sum(v)) for k, v in md.items()}
        out[idx] = {"frame_index": int(path.split("output_pp_")[-1].split(".")[0]), "masks_dict": md,
                    "mask_areas": areas, "json_path": path, "image_path": ip,
                    "intersections_df": plain_table(md, areas)}
    return out[len(out) - 1], out


def table_masks():
    rng = np.random.default_rng(1)
    md = {}
    for p in range(10):
        m = np.zeros((1440, 1040), np.uint8)
        cx, cy = int(rng.integers(150, 890)), int(rng.integers(150, 1290))
        cv2.ellipse(m, (cx, cy), (130, 70), float(rng.integers(0, 180)), 0, 360, 1, -1)
        md[f"Box{p}"] = m
    return md, {k: int(v.sum()) for k, v in md.items()}


def run_variant(mode, folder):
    import vexo_utils

    if mode in ("lib_read", "plain_read"):
        t0 = time.perf_counter()
        if mode == "lib_read":
            last, frames = vexo_utils.get_vexo_annotation_data(folder, save_dir_base=folder)
        else:
            last, frames = plain_read_folder(folder)
        dt = time.perf_counter() - t0
        check = float(sum(r["intersections_df"].values.sum() for r in frames.values()))
    else:
        md, areas = table_masks()
        fn = vexo_utils.intersection_between_masks if mode == "lib_table" else plain_table
        fn(md, areas)
        reps = 20 if mode == "lib_table" else 3
        t0 = time.perf_counter()
        for _ in range(reps):
            t = fn(md, areas)
        dt = (time.perf_counter() - t0) / reps
        check = float(t.values.sum())
    peak_mb = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024
    print(json.dumps({"seconds": dt, "peak_mb": peak_mb, "check": check}))


def spawn(mode, folder):
    out = subprocess.check_output([sys.executable, __file__, "--variant", mode, "--folder", folder])
    return json.loads(out.decode().strip().splitlines()[-1])


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--frames", type=int, default=600)
    ap.add_argument("--pigs", type=int, default=10)
    ap.add_argument("--variant")
    ap.add_argument("--folder")
    args = ap.parse_args()
    if args.variant:
        run_variant(args.variant, args.folder)
        return
    with tempfile.TemporaryDirectory() as tmp:
        folder = os.path.join(tmp, "clip")
        t0 = time.perf_counter()
        make_clip(folder, args.frames, args.pigs)
        print(f"generated {args.frames} frames x {args.pigs} pigs at {ROWS} x {COLS} "
              f"in {time.perf_counter() - t0:.1f} s")
        for name, lib, plain in (("clip read (get_vexo_annotation_data)", "lib_read", "plain_read"),
                                 ("10-mask table 1440 x 1040", "lib_table", "plain_table")):
            a, b = spawn(lib, folder), spawn(plain, folder)
            assert abs(a["check"] - b["check"]) < 1e-6 * max(1.0, abs(b["check"])), (a, b)
            print(f"{name}: library {a['seconds'] * 1e3:.1f} ms (peak {a['peak_mb']:.0f} MB), "
                  f"plain {b['seconds'] * 1e3:.1f} ms (peak {b['peak_mb']:.0f} MB), "
                  f"ratio {b['seconds'] / a['seconds']:.1f}x")


if __name__ == "__main__":
    main()
