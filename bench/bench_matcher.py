"""Timing of last-frame choice and the clip-to-clip matcher at full frame size.

find_best_laste_frame: ten frame records of ten 1440 x 1040 masks where every
frame fails only at the last test (two masks overlap), so all ten attempts
and every measure are needed. matcher: the last frame passes, the predictor
answers instantly with precomputed float32 N x 1 x H x W masks and no
display_func is given, so the time is the matcher's own work (frame
decoding, box prompts, mask conversion, the usability test). Each is shown
beside the same work done the plain numpy way, in the same run.

Run: PYTHONPATH=build/python python3 bench/bench_matcher.py
"""

import os
import statistics
import sys
import tempfile
import time

import cv2
import numpy as np
from PIL import Image

import vexo_utils as vu

H, W, N = 1040, 1440, 10
REPEATS = 15


def pig_masks(rng, overlap):
    masks = {}
    for i in range(N):
        m = np.zeros((H, W), np.uint8)
        cx, cy = 150 + 280 * (i % 5), 260 + 520 * (i // 5)
        cv2.ellipse(m, (cx, cy), (110, 65), int(rng.integers(0, 180)), 0, 360, 1, -1)
        masks[f"Box{i}"] = m
    if overlap:
        masks["Box1"] = masks["Box0"].copy()
    return masks


def numpy_last_frame(laste_frame, min_area=10, max_attempts=10, expected=10):
    keys = sorted(laste_frame)
    for attempt in range(min(max_attempts, len(keys))):
        md = laste_frame[keys[-1 - attempt]]["masks_dict"]
        names = list(md)
        areas = {k: int(np.count_nonzero(md[k])) for k in names}
        table = numpy_overlap_table(md, areas)
        non_empty = sum(1 for v in areas.values() if v > 0)
        if (all(v > min_area for v in areas.values()) and non_empty >= expected
                and (table < 50).all()):
            return laste_frame[keys[-1 - attempt]], False
    return None, True


def numpy_matcher(laste_frame, frame_names, predictor, min_area=10):
    rec, failed = numpy_last_frame(laste_frame)
    if failed:
        return (None,) * 4 + (True,)
    boxes = []
    for m in rec["masks_dict"].values():
        ys, xs = np.nonzero(m)
        boxes.append([xs.min(), ys.min(), xs.max(), ys.max()])
    image = np.array(Image.open(frame_names[0]).convert("RGB"))
    predictor.set_image(image)
    masks, _, _ = predictor.predict(point_coords=None, point_labels=None,
                                    box=np.array(boxes), multimask_output=False)
    if masks.ndim == 4:
        masks = masks.squeeze(1)
    md = {f"Box{i}": masks[i] for i in range(len(masks))}
    areas = {k: int(np.count_nonzero(v)) for k, v in md.items()}
    table = numpy_overlap_table(md, areas)
    ok = ((table <= 10).all() and len(masks) == len(boxes)
          and all(v >= min_area for v in areas.values()))
    return masks, ["pig"] * len(masks), None, rec, not ok


def numpy_overlap_table(md, areas):
    names = list(md)
    table = np.zeros((len(names), len(names)))
    for i, a in enumerate(names):
        for j in range(i):
            b = names[j]
            ov = np.count_nonzero(np.logical_and(md[a], md[b]))
            if areas[a] > 1:
                table[i, j] = ov / areas[a] * 100
                table[j, i] = ov / areas[b] * 100 if areas[b] > 0 else 0
    return table


class InstantPredictor:
    """Answers at once with precomputed masks; records its own time."""

    def __init__(self, masks):
        self.masks = masks
        self.spent = 0.0

    def set_image(self, image):
        pass

    def predict(self, point_coords=None, point_labels=None, box=None, multimask_output=False):
        t = time.perf_counter()
        out = self.masks, np.ones((len(self.masks), 1), np.float32), None
        self.spent += time.perf_counter() - t
        return out


class Quiet:
    def write(self, _):
        pass

    def flush(self):
        pass


def timed(fn, repeats=REPEATS):
    """Median and best wall time and median process CPU time, in ms."""
    wall, cpu = [], []
    stdout = sys.stdout
    for _ in range(repeats):
        sys.stdout = Quiet()
        try:
            t, c = time.perf_counter(), time.process_time()
            fn()
            wall.append(time.perf_counter() - t)
            cpu.append(time.process_time() - c)
        finally:
            sys.stdout = stdout
    return (statistics.median(wall) * 1000, min(wall) * 1000, statistics.median(cpu) * 1000)


def report(name, lib, ref):
    print(f"{name}:\n  vexo_utils wall median {lib[0]:.1f} ms (best {lib[1]:.1f}, "
          f"CPU {lib[2]:.1f})\n  numpy      wall median {ref[0]:.1f} ms (best {ref[1]:.1f}, "
          f"CPU {ref[2]:.1f})\n  speed-up x{ref[0] / lib[0]:.1f}")


def main():
    rng = np.random.default_rng(0)
    bad = {590 + k: {"masks_dict": pig_masks(rng, True)} for k in range(10)}
    assert vu.find_best_laste_frame(bad) == (None, True)
    lib = timed(lambda: vu.find_best_laste_frame(bad))
    ref = timed(lambda: numpy_last_frame(bad), repeats=3)
    report("find_best_laste_frame, 10 attempts x 10 masks", lib, ref)

    good = {599: {"masks_dict": pig_masks(rng, False)}}
    new = np.stack(list(good[599]["masks_dict"].values()))[:, None].astype(np.float32)
    with tempfile.TemporaryDirectory() as tmp:
        frame = os.path.join(tmp, "0000.jpg")
        img = rng.integers(0, 256, (H, W, 3), dtype=np.uint8)
        cv2.imwrite(frame, cv2.GaussianBlur(img, (9, 9), 3))
        p = InstantPredictor(new)
        assert vu.matcher(good, [frame], 0, p)[-1] is False
        p.spent = 0.0
        lib = timed(lambda: vu.matcher(good, [frame], 0, p))
        model_ms = p.spent / REPEATS * 1000
        lib = (lib[0] - model_ms, lib[1] - model_ms, lib[2] - model_ms)
        decode = timed(lambda: np.array(Image.open(frame).convert("RGB")))
        ref = timed(lambda: numpy_matcher(good, [frame], InstantPredictor(new)), repeats=3)
    report("matcher own work (float32 N x 1 x H x W answer at once, no display)", lib, ref)
    print(f"  of which decoding the 1440 x 1040 JPEG frame (PIL): wall median {decode[0]:.1f} ms, "
          f"CPU {decode[2]:.1f} ms")


if __name__ == "__main__":
    main()
