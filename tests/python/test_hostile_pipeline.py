"""Hostile inputs for the public helpers of the companion package: synthetic
recordings and their ground truth, pen files of the synthetic camera, the
propagation stand-in and mask IoU tables."""

import itertools
import os

import cv2
import numpy as np

import _hostile as h
from _hostile import Bad, Op

import vexo_pipeline as vp
from vexo_pipeline import synth as vs

H, W = 48, 64


def blob(y, x, size=12):
    m = np.zeros((H, W), np.uint8)
    m[y:y + size, x:x + size] = 1
    return m


def operations(fx):
    counter = itertools.count()
    frames = []
    for i in range(3):
        p = os.path.join(fx.root, f"{i:04d}.png")
        img = np.full((H, W, 3), 40, np.uint8)
        img[10 + i:22 + i, 10:22] = 220
        cv2.imwrite(p, img)
        frames.append(p)
    garbage = fx.file("garbage.png", b"\x89PNG\r\n\x1a\n" + b"\x03" * 30)
    rec = vp.generate_recording(os.path.join(fx.root, "rec"), clips=1, seconds=0.1, fps=10)
    gt_path = rec["clips"][0]["ground_truth"]
    gt = vp.GroundTruth(gt_path)

    def fresh_root():
        return os.path.join(fx.root, "recs", str(next(counter)))

    def gen(**kw):
        return vp.generate_recording(**kw)

    small = {"root": fresh_root, "clips": lambda: 1, "seconds": lambda: 0.1, "fps": lambda: 10,
             "camera": lambda: "61", "days": lambda: 1, "gap_seconds": lambda: 0.0,
             "first_date": lambda: "20240131", "first_time": lambda: "08:00:00",
             "animals_per_pen": lambda: 2, "seed": lambda: 0, "clip_number": lambda: 1,
             "progress": lambda: None}
    count_bads = h.scalar_bads("int") + [Bad("negative", lambda: -1),
                                         Bad("huge", lambda: 10 ** 9)]
    seconds_bads = h.scalar_bads("real") + [Bad("zero", lambda: 0.0), Bad("negative", lambda: -3.0),
                                            Bad("huge", lambda: 1e12)]
    crop_bads = [Bad("str", lambda: "0 0 10 10"), Bad("three", lambda: (0, 0, 10)),
                 Bad("empty", lambda: (10, 10, 10, 20)), Bad("inverted", lambda: (30, 30, 0, 0)),
                 Bad("huge", lambda: (0, 0, 10 ** 12, 10)), Bad("floats", lambda: (0.5, 0, 9, 9)),
                 Bad("far", lambda: (10 ** 6, 10 ** 6, 10 ** 6 + 5, 10 ** 6 + 5), "any")]
    side_bads = [Bad("None", lambda: None), Bad("int", lambda: 1), Bad("other", lambda: "middle"),
                 Bad("nul", lambda: "right\0")]
    height_bads = [Bad("zero", lambda: 0), Bad("negative", lambda: -5), Bad("huge", lambda: 10 ** 9),
                   Bad("str", lambda: "720"), Bad("float", lambda: 720.5)]
    mask_list = [h.inside(b, lambda v: {1: blob(10, 10), 2: v}) for b in h.mask_bads((H, W))
                 if b.label not in ("3d_stack",)]
    return [
        Op("generate_recording", gen, good=small,
           bad={"root": h.scalar_bads("str") + [Bad("a_file", lambda: garbage),
                                                Bad("nul", lambda: fx.root + "\0x")],
                "clips": count_bads, "seconds": seconds_bads,
                "fps": seconds_bads + [Bad("tiny", lambda: 1e-9)],
                "camera": [Bad("None", lambda: None), Bad("list", lambda: [61]),
                           Bad("slash", lambda: "../61"), Bad("nul", lambda: "6\x001")],
                "days": count_bads,
                "gap_seconds": h.scalar_bads("real") + [Bad("negative", lambda: -100.0)],
                "first_date": h.scalar_bads("str") + [Bad("not_a_date", lambda: "2024-01-31"),
                                                      Bad("month_13", lambda: "20241331")],
                "first_time": h.scalar_bads("str") + [Bad("not_a_time", lambda: "8 o'clock"),
                                                      Bad("hour_25", lambda: "25:00:00")],
                "animals_per_pen": count_bads + [Bad("zero", lambda: 0, "any")],
                "seed": h.scalar_bads("int") + [Bad("negative", lambda: -1)],
                "clip_number": [Bad(b.label, b.make, "any" if b.label == "huge" else b.expect)
                                for b in count_bads],
                "progress": [Bad("not_callable", lambda: 5),
                             Bad("raises", lambda: _raise, allow=("LookupError",))]}),
        Op("GroundTruth", vp.GroundTruth, good={"path": lambda: gt_path},
           bad={"path": h.json_bads(fx, {"empty_object": {}, "no_poses": {"video_name": "x"},
                                         "poses_str": {"video_name": "x", "fps": 10,
                                                       "poses": "many"}})}),
        Op("GroundTruth.masks", lambda frame, crop, size, pen, visible:
           gt.masks(frame, crop, size, pen, visible),
           good={"frame": lambda: 0, "crop": lambda: None, "size": lambda: (64, 36),
                 "pen": lambda: "right", "visible": lambda: True},
           bad={"frame": h.scalar_bads("int") + [Bad("beyond", lambda: 10 ** 6, "any"),
                                                 Bad("negative", lambda: -1)],
                "crop": crop_bads,
                "size": [Bad("str", lambda: "64x36"), Bad("zero", lambda: (0, 10)),
                         Bad("huge", lambda: (10 ** 6, 10 ** 6)),
                         Bad("largest", lambda: (100000, 100000), allow=("MemoryError",))],
                "pen": side_bads[1:], "visible": [Bad("array", lambda: np.ones(2))]}),
        Op("GroundTruth.poses", lambda frame: gt.poses(frame), good={"frame": lambda: 0},
           bad={"frame": h.scalar_bads("int") + [Bad("beyond", lambda: 10 ** 6)]}),
        Op("crop_region", vs.crop_region, good={"side": lambda: "left"}, bad={"side": side_bads}),
        Op("pen_polygon", vs.pen_polygon,
           good={"side": lambda: "right", "crop": lambda: None, "resize_height": lambda: 720},
           bad={"side": side_bads, "crop": crop_bads, "resize_height": height_bads}),
        Op("write_pen_file", vs.write_pen_file,
           good={"path": lambda: os.path.join(fx.root, "pen_out.json"), "side": lambda: "right",
                 "crop": lambda: None, "resize_height": lambda: None},
           bad={"path": h.scalar_bads("str") + [Bad("directory", lambda: fx.root),
                                                Bad("missing_parent", lambda: fx.root + "/a/b/c.json"),
                                                Bad("nul", lambda: fx.root + "/p\0.json")],
                "side": side_bads, "crop": crop_bads, "resize_height": height_bads}),
        Op("propagate_masks", vp.propagate_masks,
           good={"frame_names": lambda: list(frames), "masks": lambda: {1: blob(10, 10)},
                 "ann_frame_idx": lambda: 0, "max_frames": lambda: None,
                 "box_margin": lambda: 0.25, "max_shift": lambda: 0.1, "progress": lambda: None},
           bad={"frame_names": [Bad("None", lambda: None), Bad("str", lambda: frames[0]),
                                Bad("empty", lambda: []),
                                # The seed frame itself is not read; the next one is.
                                Bad("missing_seed_frame", lambda: [frames[0] + "x"], "any"),
                                Bad("missing", lambda: [frames[0], frames[0] + "x"]),
                                Bad("garbage", lambda: [frames[0], garbage]),
                                Bad("other_size", lambda: [frames[0], fx.once("big", lambda: (
                                    cv2.imwrite(fx.root + "/big.png", np.zeros((99, 77, 3),
                                                                               np.uint8)),
                                    fx.root + "/big.png")[1])]),
                                Bad("nul", lambda: [frames[0] + "\0x"])],
                "masks": [Bad("None", lambda: None), Bad("str", lambda: "m"),
                          Bad("empty_dict", lambda: {}, "any"),
                          Bad("str_key", lambda: {"a": blob(1, 1)}),
                          Bad("other_size", lambda: {1: np.ones((5, 5), np.uint8)}),
                          Bad("stack_2d", lambda: blob(1, 1)),
                          Bad("stack_5d", lambda: np.ones((1, 1, 1, H, W)))] + mask_list,
                "ann_frame_idx": h.scalar_bads("int") + [Bad("beyond", lambda: 3),
                                                         Bad("negative", lambda: -1)],
                "max_frames": [Bad("zero", lambda: 0), Bad("str", lambda: "2"),
                               Bad("huge", lambda: 10 ** 30)],
                "box_margin": h.scalar_bads("real") + [Bad("negative", lambda: -1.0)],
                "max_shift": h.scalar_bads("real") + [Bad("zero", lambda: 0.0)],
                "progress": [Bad("not_callable", lambda: 5),
                             Bad("raises", lambda: _raise, allow=("LookupError",))]}),
        Op("mask_iou_matrix", vs.mask_iou_matrix,
           good={"masks_a": lambda: [blob(1, 1), blob(5, 5)], "masks_b": lambda: {1: blob(3, 3)}},
           bad={"masks_a": [Bad("None", lambda: None), Bad("str", lambda: "m"),
                            Bad("mixed", lambda: [blob(1, 1), np.ones((3, 3), np.uint8)]),
                            Bad("empty", lambda: [], "any")] +
                           [h.inside(b, lambda v: [blob(1, 1), v]) for b in h.mask_bads((H, W))
                            if b.label not in ("3d_stack", "wrong_size")],
                "masks_b": [Bad("None", lambda: None), Bad("other_size", lambda: [np.ones((3, 3))])]}),
    ]


def _raise(*args):
    raise LookupError("progress callback failed")


def test_hostile_inputs_raise_clear_errors():
    n, failures = h.check_module(__file__)
    assert n > 200
    assert not failures, f"{len(failures)} of {n} cases failed:\n" + "\n".join(failures)
