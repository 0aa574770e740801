"""Hostile inputs for mask and box drawing and the diagnostics."""

import os

import cv2
import numpy as np
import pandas as pd
from PIL import Image

import _hostile as h
from _hostile import Bad, Op

import vexo_utils as vu

H, W = 40, 50


def mask(y0=5, y1=15, x0=5, x1=20, shape=(H, W)):
    m = np.zeros(shape, np.uint8)
    m[y0:y1, x0:x1] = 1
    return m


def close_figures(args, res):
    import matplotlib.pyplot as plt

    plt.close("all")
    return None


def operations(fx):
    rng = np.random.default_rng(1)
    frames = []
    for i in range(6):
        p = os.path.join(fx.root, f"{i:04d}.png")
        cv2.imwrite(p, rng.integers(0, 255, (H, W, 3), dtype=np.uint8))
        frames.append(p)
    small = os.path.join(fx.root, "small.png")
    cv2.imwrite(small, np.zeros((H // 2, W // 2, 3), np.uint8))
    garbage = fx.file("garbage.png", b"\x89PNG\r\n\x1a\n" + b"\x01" * 40)

    # Drawing accepts any numeric mask with values > 0 set, so dtypes pass.
    draw_mask_bads = [b for b in h.mask_bads((H, W), ("bool", "float64", "int8", "int64",
                                                       "float16", "big_endian_f8", "inf"))
                      if b.label not in ("3d_stack",)]
    image_bads = h.image_bads((H, W)) + [
        Bad("2_channels", lambda: np.zeros((H, W, 2), np.uint8)),
        Bad("grey", lambda: np.zeros((H, W), np.uint8), "any"),
        Bad("pil_L", lambda: h.pil_mode("L", (H, W)), "any"),
        Bad("pil_P", lambda: h.pil_mode("P", (H, W)), "any"),
        Bad("pil_I", lambda: h.pil_mode("I", (H, W)), "any"),
        Bad("pil_F", lambda: h.pil_mode("F", (H, W)), "any"),
        Bad("pil_1", lambda: h.pil_mode("1", (H, W)), "any"),
        Bad("pil_CMYK", lambda: h.pil_mode("CMYK", (H, W)), "any"),
        Bad("pil_zero_size", lambda: Image.new("RGB", (0, 0))),
    ]
    mask_seq_bads = [
        Bad("None", lambda: None), Bad("str", lambda: "masks"), Bad("int", lambda: 3),
        Bad("dict", lambda: {"Box0": mask()}), Bad("object", h._Opaque),
        Bad("empty", lambda: [], "any"), Bad("stack", lambda: np.stack([mask(), mask(0, 9)]), "any"),
        Bad("torch_stack", lambda: __import__("torch").zeros((2, H, W)), "any"),
        Bad("generator", lambda: (m for m in [mask()]), "any"),
        Bad("nested_none", lambda: [mask(), None]),
    ] + [h.inside(b, lambda v: [mask(), v]) for b in draw_mask_bads]
    mask_dict_bads = [b for b in h.mask_dict_bads((H, W), ("bool", "float64", "int8", "int64",
                                                           "float16", "big_endian_f8", "inf"))
                      if b.label != "mixed_shapes"] + [
        Bad("mixed_shapes", lambda: {"Box0": mask(), "Box1": mask(shape=(7, 9))})]
    table = lambda: pd.DataFrame(np.array([[0, 50.0], [20.0, 0]]),  # noqa: E731
                                 index=["Box0", "Box1"], columns=["Box0", "Box1"])
    table_bads = [
        Bad("None", lambda: None), Bad("str", lambda: "table"), Bad("object", h._Opaque),
        Bad("1d", lambda: np.zeros(4)), Bad("3d", lambda: np.zeros((2, 2, 2))),
        Bad("not_square", lambda: pd.DataFrame(np.zeros((2, 3)))),
        Bad("text_cells", lambda: pd.DataFrame([["a", "b"], ["c", "d"]])),
        Bad("empty", lambda: pd.DataFrame(), "any"),
        Bad("nan_cells", lambda: pd.DataFrame([[np.nan, 1.0], [np.inf, -np.inf]]), "any"),
        Bad("huge_values", lambda: pd.DataFrame([[1e308, -1e308], [0, 0]]), "any"),
        Bad("bool_cells", lambda: pd.DataFrame([[True, False], [False, True]]), "any"),
        Bad("nested_list", lambda: [[0, 1], [1, 0]], "any"),
        Bad("ragged_list", lambda: [[0, 1], [1]]),
    ]
    frames_bads = [
        Bad("None", lambda: None), Bad("str", lambda: frames[0]), Bad("int", lambda: 6),
        Bad("five", lambda: frames[:5]), Bad("empty", lambda: []),
        Bad("ints", lambda: list(range(6))),
        Bad("missing", lambda: frames[:5] + [os.path.join(fx.root, "nope.png")]),
        Bad("directory", lambda: [fx.root] * 6), Bad("garbage", lambda: [garbage] * 6),
        Bad("sizes_differ", lambda: frames[:5] + [small]),
        Bad("nul", lambda: [frames[0] + "\0x"] * 6),
        Bad("generator", lambda: (f for f in frames)),
    ]
    box_bads = [
        Bad("None", lambda: None), Bad("str", lambda: "1234"), Bad("object", h._Opaque),
        Bad("three", lambda: [1, 2, 3]), Bad("five", lambda: [1, 2, 3, 4, 5]),
        Bad("strs", lambda: ["1", "2", "3", "4"]), Bad("nested", lambda: [[1, 2], [3, 4]]),
        Bad("nan", lambda: [float("nan"), 0, 10, 10], "any"),
        Bad("inf", lambda: [0, 0, float("inf"), 10], "any"),
        Bad("huge", lambda: [-1e308, -1e308, 1e308, 1e308], "any"),
        Bad("array", lambda: np.array([0, 0, 5, 5], np.int64), "any"),
        Bad("tensor", lambda: __import__("torch").tensor([0.0, 0.0, 5.0, 5.0]), "any"),
        Bad("dict", lambda: {0: 1, 1: 2, 2: 3, 3: 4}, "any"),
    ]
    segments = lambda: {0: {1: mask()[None]}}  # noqa: E731
    return [
        Op("draw_masks_on_image", vu.draw_masks_on_image,
           good={"image": lambda: Image.new("RGB", (W, H)), "masks": lambda: [mask(), mask(0, 9)]},
           bad={"image": image_bads, "masks": mask_seq_bads}),
        Op("img_bbx_drawing", vu.img_bbx_drawing,
           good={"image": lambda: Image.new("RGBA", (W, H)),
                 "mask_dict": lambda: {"Box0": mask(), "Box1": mask(0, 9)}},
           bad={"image": image_bads,
                "mask_dict": mask_dict_bads + [
                    Bad("long_key", lambda: {"B" * 100000: mask()}, "any"),
                    Bad("object_key", lambda: {h._Opaque(): mask()}, "any"),
                    Bad("non_utf8_key", lambda: {"a\udcff": mask()}, "any")]}),
        Op("video_segments_mask_visual", vu.video_segments_mask_visual,
           good={"video_segments": segments, "frame_idx": lambda: 0, "object_id": lambda: 1},
           bad={"video_segments": [Bad("None", lambda: None), Bad("list", lambda: [[]]),
                                   Bad("mask_none", lambda: {0: {1: None}}),
                                   Bad("mask_str", lambda: {0: {1: "m"}}),
                                   Bad("mask_3d", lambda: {0: {1: np.zeros((2, 3, H, W))}}),
                                   Bad("mask_empty", lambda: {0: {1: np.zeros((0, 0))}}, "any")],
                "frame_idx": [Bad("missing", lambda: 5), Bad("None", lambda: None),
                              Bad("list", lambda: [0])],
                "object_id": [Bad("missing", lambda: 9), Bad("None", lambda: None)]},
           after=close_figures),
        Op("draw_intersection_heatmap", vu.draw_intersection_heatmap,
           good={"intersections_df": table}, bad={"intersections_df": table_bads},
           after=close_figures),
        Op("cluster_masks_and_print", vu.cluster_masks_and_print,
           good={"masks_dict": lambda: {"Box0": mask(), "Box1": mask(20, 30, 30, 45)},
                 "eps": lambda: 100, "min_samples": lambda: 1},
           # Each mask gives its own centroid, so masks need not share a size.
           bad={"masks_dict": [b for b in h.mask_dict_bads((H, W)) if b.label != "mixed_shapes"] + [
                    Bad("mixed_shapes", lambda: {"Box0": mask(), "Box1": mask(shape=(7, 9))}, "any"),
                    Bad("all_empty", lambda: {"Box0": np.zeros((H, W), np.uint8)})],
                "eps": h.scalar_bads("real") + [Bad("negative", lambda: -1.0, "any")],
                "min_samples": h.scalar_bads("int") + [Bad("zero", lambda: 0, "any"),
                                                       Bad("huge", lambda: 2 ** 40, "any")]}),
        Op("compute_motion_score_in_polygon", vu.compute_motion_score_in_polygon,
           good={"video_frames": lambda: list(frames), "masks_dict": lambda: {"Box0": mask()}},
           bad={"video_frames": frames_bads,
                "masks_dict": h.mask_dict_bads((H, W)) + [
                    Bad("other_size", lambda: {"Box0": mask(shape=(H + 1, W))})]}),
        Op("calculate_iou", vu.calculate_iou,
           good={"box1": lambda: [0, 0, 10, 10], "box2": lambda: (5, 5, 15, 15)},
           bad={"box1": box_bads, "box2": box_bads}),
    ]


def test_hostile_inputs_raise_clear_errors():
    n, failures = h.check_module(__file__)
    assert n > 250
    assert not failures, f"{len(failures)} of {n} cases failed:\n" + "\n".join(failures)
