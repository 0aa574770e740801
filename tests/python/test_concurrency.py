"""Operations called from several Python threads at once give the results of
sequential calls, leave their shared inputs untouched and print whole lines.
The library releases the interpreter lock around its work, so these calls
really overlap."""

import contextlib
import io
import json
import os
import re
import threading
from concurrent.futures import ThreadPoolExecutor

import cv2
import numpy as np
import pandas as pd
import pytest
from PIL import Image

import vexo_pipeline
import vexo_utils as vu
from vexo_pipeline import StandinImagePredictor

H, W = 120, 160
THREADS = 8
ROUNDS = 6


def blob(y, x, h=20, w=30, shape=(H, W)):
    m = np.zeros(shape, np.uint8)
    m[y:y + h, x:x + w] = 1
    return m


def same(a, b):
    """Deep equality over the result types of the library."""
    if isinstance(a, np.ndarray) or isinstance(b, np.ndarray):
        return (isinstance(a, np.ndarray) and isinstance(b, np.ndarray) and a.shape == b.shape
                and a.dtype == b.dtype and np.array_equal(a, b, equal_nan=a.dtype.kind == "f"))
    if isinstance(a, pd.DataFrame):
        return isinstance(b, pd.DataFrame) and a.equals(b) and list(a.index) == list(b.index)
    if isinstance(a, Image.Image):
        return isinstance(b, Image.Image) and a.mode == b.mode and a.tobytes() == b.tobytes()
    if isinstance(a, dict):
        return (isinstance(b, dict) and list(a) == list(b)
                and all(same(a[k], b[k]) for k in a))
    if isinstance(a, (list, tuple)):
        return (type(a) is type(b) and len(a) == len(b)
                and all(same(x, y) for x, y in zip(a, b)))
    if isinstance(a, float) and isinstance(b, float) and np.isnan(a) and np.isnan(b):
        return True
    return type(a) is type(b) and a == b


@pytest.fixture(scope="module")
def world(tmp_path_factory):
    """Shared inputs: a tracked clip on disk, a pen, frames and masks."""
    root = tmp_path_factory.mktemp("concurrency")
    rng = np.random.default_rng(7)
    frames = []
    for i in range(6):
        p = str(root / f"{i:04d}.png")
        img = rng.integers(0, 255, (H, W, 3), dtype=np.uint8)
        img[:, 140:148] = (0, 140, 255)
        cv2.imwrite(p, np.roll(img, 2 * i, axis=1))
        frames.append(p)
    masks = {f"Box{i}": blob(10 + 20 * (i % 4), 8 + 35 * (i // 4)) for i in range(8)}
    masks["Box3"][25:45, 8:30] = 1  # overlaps Box0 and Box1
    for n in range(24):
        vexo_pipeline.write_tracking_frame(
            str(root / "json"), n, frames[0],
            {i + 1: np.roll(m, n % 5, axis=1) for i, m in enumerate(masks.values())})
    pen = root / "pen.json"
    pen.write_text(json.dumps({"shapes": [{"points": [[5, 3], [150, 10], [140, 115], [2, 100]]}]}))
    with open(root / "json" / "output_pp_0.json") as f:
        frame_json = f.read()
    return {"root": root, "frames": frames, "masks": masks, "pen": str(pen),
            "json_dir": str(root / "json"), "frame_json": frame_json}


def operations(w):
    """name -> thunk(worker id) returning a comparable result. Thunks that write
    files use their own paths per call."""
    masks, frames, pen = w["masks"], w["frames"], w["pen"]
    stack = np.stack(list(masks.values()))
    boxes = [[0, 0, 40, 30], [100, 60, 159, 119], [30, 20, 90, 80]]
    image = Image.open(frames[1]).convert("RGB")
    image.load()
    seg_template = {f: {o: np.roll(masks[f"Box{o - 1}"], f, axis=0)[None].astype(bool)
                        for o in range(1, 9)} for f in range(4)}
    features = [np.linspace(0, 1, 64) * (i + 1) % 1 for i in range(5)] + [None]
    counter = iter(range(10 ** 9))
    lock = threading.Lock()

    def unique(prefix):
        with lock:
            n = next(counter)
        return str(w["root"] / f"{prefix}_{n}")

    def repair(_):
        path = unique("fix") + ".json"
        with open(path, "w") as f:
            f.write(w["frame_json"])
        vu.fix_polygon_scaling(path)
        with open(path) as f:
            return f.read()

    def report(_):
        folder = unique("report")
        os.makedirs(folder)
        data = vu.get_vexo_annotation_data("", save_dir_base=w["json_dir"])[1]
        out = vu.generate_tracking_report(data, folder, 20)
        with open(os.path.join(folder, "tracking_question_report.csv")) as f:
            return out[0], out[2], f.read()

    def refine(_):
        segs = {f: dict(objs) for f, objs in seg_template.items()}
        ref = vu.Mask_Refinement(custom_pen_json_path=pen)
        ref.process_video_segments(segs, "", frames)
        return segs, ref.prev_centroids

    return {
        "reader": lambda _: vu.get_vexo_annotation_data("", save_dir_base=w["json_dir"]),
        "one_file": lambda _: vu.process_json_and_generate_masks(
            os.path.join(w["json_dir"], "output_pp_3.json"), H, W),
        "overlap_table": lambda _: vu.intersection_between_masks(masks),
        "overlap_pair": lambda _: (vu.calculate_masks_intersection(masks["Box0"], masks["Box3"]),
                                   vu.calculate_masks_intersection_new(
                                       masks["Box3"], masks["Box1"], 600, 601)),
        "pen_ratios": lambda _: vu.calculate_pen_intersection_ratio(vu.draw_pen("", pen), boxes, 40),
        "pen_mask": lambda _: vu.get_in_pen_mask(0, stack[:1].astype(bool), pen, frames),
        "draw_pen": lambda _: vu.draw_pen(frames[0], pen, True),
        "tint": lambda _: vu.draw_masks_on_image(image, list(masks.values())),
        "boxes": lambda _: vu.img_bbx_drawing(image, masks),
        "dark_text": lambda _: vu.enhance_dark_text(image, 2.5),
        "iou_table": lambda _: (vu.cal_masks_iou_scores(stack, stack[::-1]),
                                vu.cal_centroid_distance(stack, stack[2:])),
        "cosine": lambda _: vu.cosine_scores_cal(features, features[::-1]),
        "features": lambda _: [None if f is None else np.asarray(f) for f in
                               vu.generate_sam2_image_features(
                                   image, stack, StandinImagePredictor(use_torch=False))],
        "clusters": lambda _: vu.cluster_masks_and_print(masks, 40),
        "motion": lambda _: vu.compute_motion_score_in_polygon(frames, masks),
        "box_iou": lambda _: vu.calculate_iou([0, 0, 10, 10], [5, 5, 15, 15.5]),
        "orange": lambda _: vu.VideoProcessor().find_orange_region(cv2.imread(frames[2])),
        "listing": lambda _: vu.list_all_files(str(w["root"]), ".png"),
        "runs": lambda _: vu.find_continuous_frames(pd.DataFrame(
            {"Frame ID": [1, 2, 3, 5, 6, 7, 8, 2, 3], "Box ID": list("aaaaaaabb")}), n_consecutive=2),
        "last_frame": lambda _: vu.find_best_laste_frame(
            {k: {"masks_dict": dict(masks)} for k in (598, 599)}, 10, 10, [])[1],
        "repair": repair,
        "report": report,
        "refine": refine,
    }


def run_all(ops, names, threads):
    jobs = [name for _ in range(ROUNDS) for name in names]
    if threads == 1:
        return [(n, ops[n](0)) for n in jobs]
    with ThreadPoolExecutor(threads) as pool:
        futures = [(n, pool.submit(ops[n], i)) for i, n in enumerate(jobs)]
        return [(n, f.result()) for n, f in futures]


def test_threads_match_sequential_calls(world):
    ops = operations(world)
    names = list(ops)
    reference = {n: ops[n](0) for n in names}
    snapshot = {k: v.copy() for k, v in world["masks"].items()}
    out = io.StringIO()
    with contextlib.redirect_stdout(out):
        results = run_all(ops, names, THREADS)
    wrong = sorted({n for n, r in results if not same(r, reference[n])})
    assert not wrong, f"results differ from sequential calls: {wrong}"
    # Shared inputs are read, never written.
    assert all(np.array_equal(world["masks"][k], v) for k, v in snapshot.items())
    # Lines printed from different threads do not cut into each other.
    expected = {line for n in names for line in _lines_of(ops[n])}
    assert set(_unnumbered(out.getvalue())) <= expected


def _unnumbered(text):
    """Lines with the per-call folder numbers taken out."""
    return [re.sub(r"_[0-9]+/", "_N/", line) for line in text.splitlines()]


def _lines_of(thunk):
    out = io.StringIO()
    with contextlib.redirect_stdout(out):
        thunk(0)
    return _unnumbered(out.getvalue())


def test_one_operation_from_many_threads(world):
    """The hot paths alone, hammered by every thread at once."""
    ops = operations(world)
    for name in ("reader", "overlap_table", "pen_ratios", "tint", "refine"):
        reference = ops[name](0)
        with ThreadPoolExecutor(THREADS) as pool:
            got = list(pool.map(ops[name], range(THREADS * 2)))
        assert all(same(g, reference) for g in got), name


def test_errors_in_threads_stay_in_their_threads(world):
    """A failing call on one thread does not disturb good calls on others."""
    ops = operations(world)
    good = ops["overlap_table"](0)

    failing = [
        lambda: vu.intersection_between_masks({"Box0": np.zeros((3, 3)), "Box1": np.zeros((4, 4))}),
        lambda: vu.process_json_and_generate_masks(world["pen"] + ".missing", 4, 4),
        lambda: vu.calculate_masks_intersection(None, None),
    ]

    def bad(i):
        with pytest.raises((TypeError, ValueError, FileNotFoundError)):
            failing[i % 3]()
        return True

    with ThreadPoolExecutor(THREADS) as pool:
        futures = [pool.submit(bad if i % 2 else ops["overlap_table"], i) for i in range(40)]
        for i, f in enumerate(futures):
            assert f.result() is True if i % 2 else same(f.result(), good)
