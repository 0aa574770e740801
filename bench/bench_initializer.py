"""Per-frame cost of the first-frame initializer's own work (pen and size
filters, mask conversion, overlap table, removal), models excluded.

A 1440 x 1040 frame with 15 detections is examined FRAMES times (the walk
never accepts, so every frame does the whole per-frame work). The models are
minimal host objects returning precomputed results; the time spent inside
them and the cost of opening the frame file are measured and subtracted
(best of TRIALS runs).
The same work done the plain numpy / shapely way is timed beside it.

Run: PYTHONPATH=build/python /usr/bin/python3 bench/bench_initializer.py
"""

import io
import json
import os
import sys
import tempfile
import time

import cv2
import numpy as np
from PIL import Image
from shapely.geometry import Polygon, box as shapely_box

import vexo_utils as vu

W, H, N, FRAMES, TRIALS = 1440, 1040, 15, 30, 5


class Clock:
    """Wall and process CPU time spent inside the wrapped model calls."""

    def __init__(self):
        self.spent = 0.0
        self.cpu = 0.0

    def wrap(self, fn):
        def timed(*a, **k):
            t, c = time.perf_counter(), time.process_time()
            try:
                return fn(*a, **k)
            finally:
                self.spent += time.perf_counter() - t
                self.cpu += time.process_time() - c
        return timed


class Inputs(dict):
    def __getattr__(self, name):
        return self[name]

    def to(self, device):
        return self


def make_models(result, masks, clock):
    class Processor:
        @clock.wrap
        def __call__(self, images=None, text=None, return_tensors=None):
            return Inputs(input_ids=np.zeros((1, 4), np.int64))

        @clock.wrap
        def post_process_grounded_object_detection(self, outputs, input_ids, text_threshold=0.25,
                                                   target_sizes=None):
            return [result]

    class Model:
        @clock.wrap
        def __call__(self, **inputs):
            return None

    class Predictor:
        @clock.wrap
        def set_image(self, image):
            pass

        @clock.wrap
        def predict(self, point_coords=None, point_labels=None, box=None, multimask_output=True):
            return masks, np.ones((N, 1), np.float32), None

    return Processor(), Model(), Predictor()


def scene(seed=1):
    rng = np.random.default_rng(seed)
    masks = np.zeros((N, 1, H, W), bool)
    boxes = []
    for i in range(N):
        r, c = divmod(i, 5)
        m = np.zeros((H, W), np.uint8)
        cx, cy = 150 + c * 280, 180 + r * 340
        cv2.ellipse(m, (cx, cy), (120, 70), 15 * i, 0, 360, 1, -1)
        if i == 3:  # one pig overlapping its neighbour: the removal has work to do
            cv2.ellipse(m, (cx - 200, cy), (120, 70), 0, 0, 360, 1, -1)
        masks[i, 0] = m > 0
        ys, xs = np.nonzero(m)
        boxes.append([xs.min(), ys.min(), xs.max() + 1, ys.max() + 1])
    boxes = np.array(boxes, np.float32)
    scores = rng.uniform(0.4, 0.9, N).astype(np.float32)
    import torch
    result = {"scores": torch.from_numpy(scores), "labels": ["pig"] * N,
              "boxes": torch.from_numpy(boxes)}
    return result, masks, boxes, scores


def numpy_way(result, masks, pen_points, pen_path, height):
    """The same per-frame work written with numpy, shapely and plain loops."""
    boxes = result["boxes"].cpu().numpy()
    scores = result["scores"].cpu().numpy()
    labels = np.array(result["labels"])
    order = np.lexsort((boxes[:, 0], boxes[:, 1]))
    boxes, scores, labels = boxes[order], scores[order], labels[order]
    with open(pen_path) as f:
        pen = Polygon(json.load(f)["shapes"][0]["points"])
    keep = []
    for b in boxes:
        rect = shapely_box(b[0], b[1], b[2], b[3])
        keep.append(pen.intersection(rect).area / rect.area * 100 >= 40)
    keep = np.array(keep)
    boxes, scores = boxes[keep], scores[keep]
    area = (boxes[:, 2] - boxes[:, 0]) * (boxes[:, 3] - boxes[:, 1])
    ok = np.where(boxes[:, 1] < 0.5 * height, area < 1500000, area < 4000000)
    boxes, scores = boxes[ok], scores[ok]
    m = masks.squeeze(1) if masks.ndim == 4 else masks
    mask_dict = {f"Box{i}": m[i] for i in range(len(m))}
    areas = {k: int(np.count_nonzero(v)) for k, v in mask_dict.items()}
    keys = list(mask_dict)
    table = np.zeros((len(keys), len(keys)))
    for i, a in enumerate(keys):
        for j, b in enumerate(keys):
            if i < j and areas[b] > 1:
                inter = np.logical_and(mask_dict[a], mask_dict[b]).sum()
                table[i, j] = inter / areas[a] * 100 if areas[a] > 0 else 0
                table[j, i] = inter / areas[b] * 100
    removed = set()
    for i in range(len(keys)):
        for j in range(len(keys)):
            if table[i, j] > 8:
                removed.add(j if scores[i] > scores[j] else i)
    return [i for i in range(len(keys)) if i not in removed]


def main():
    tmp = tempfile.mkdtemp()
    # An uncompressed frame keeps the (subtracted) decoding cost small and steady.
    frame = os.path.join(tmp, "0000.bmp")
    Image.fromarray(np.full((H, W, 3), 90, np.uint8)).save(frame)
    pen_points = [[0, 0], [W, 0], [W, H], [0, H]]
    pen_path = os.path.join(tmp, "pen.json")
    with open(pen_path, "w") as f:
        json.dump({"shapes": [{"points": pen_points}]}, f)
    frames = [frame] * FRAMES
    result, masks_bool, boxes, scores = scene()

    def open_once():
        t, c = time.perf_counter(), time.process_time()
        for _ in range(FRAMES):
            img = Image.open(frame)
            img.load()
            np.asarray(img.convert("RGB"))
        return (time.perf_counter() - t) / FRAMES, (time.process_time() - c) / FRAMES

    opens = [open_once() for _ in range(TRIALS)]
    open_cost = min(o[0] for o in opens)
    open_cpu = min(o[1] for o in opens)

    print(f"{FRAMES} frames of {W} x {H}, {N} detections; frame opening "
          f"{open_cost * 1e3:.2f} ms/frame subtracted")
    for name, masks in (("bool", masks_bool), ("float32", masks_bool.astype(np.float32))):
        lib = lib_cpu = float("inf")
        for _ in range(TRIALS):
            clock = Clock()
            proc, model, pred = make_models(result, masks, clock)
            saved, sys.stdout = sys.stdout, io.StringIO()
            try:
                t, c = time.perf_counter(), time.process_time()
                out = vu.initializer("d", frames, proc, model, "cpu", pred, step=1,
                                     close_set_num=N + 1, custom_pen_json_path=pen_path)
                total, total_cpu = time.perf_counter() - t, time.process_time() - c
                log = sys.stdout.getvalue()
            finally:
                sys.stdout = saved
            assert out == (None, None, None, None)
            lib = min(lib, (total - clock.spent) / FRAMES - open_cost)
            lib_cpu = min(lib_cpu, (total_cpu - clock.cpu) / FRAMES - open_cpu)
        kept_line = [ln for ln in log.splitlines() if ln.startswith("Boxes will be kept")][0]

        t = time.perf_counter()
        for _ in range(FRAMES // 3):
            kept = numpy_way(result, masks, pen_points, pen_path, H)
        ref = (time.perf_counter() - t) / (FRAMES // 3)
        assert f"totally {len(kept)} keys" in kept_line, (kept_line, kept)
        print(f"{name:8s} masks: library {lib * 1e3:6.2f} ms/frame (CPU time of all threads "
              f"{lib_cpu * 1e3:6.2f} ms)   numpy/shapely {ref * 1e3:7.2f} ms/frame   ratio "
              f"{ref / lib:5.1f}x")
    print(kept_line)


if __name__ == "__main__":
    main()
