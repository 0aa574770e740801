"""Hostile inputs for detection filtering, the initializer, similarity and
appearance features, last-frame choice and the matcher, including model
objects that misbehave. An error raised by a model reaches the caller as the
model raised it."""

import json
import os

import cv2
import numpy as np
import torch
from PIL import Image

import _hostile as h
from _hostile import Bad, Op

import vexo_utils as vu
from vexo_pipeline import StandinImagePredictor

H, W = 40, 50
MODEL = ("AttributeError", "ModelFailure")  # what a broken model object may raise


class ModelFailure(Exception):
    """Raised by a model on purpose: must reach the caller unchanged."""


def mask(y0=5, y1=15, x0=5, x1=20, shape=(H, W)):
    m = np.zeros(shape, np.uint8)
    m[y0:y1, x0:x1] = 1
    return m


def detections(boxes=((2, 2, 20, 20),), scores=(0.9,), labels=None):
    return {"boxes": torch.tensor(np.asarray(boxes, np.float32).reshape(-1, 4)),
            "scores": torch.tensor(np.asarray(scores, np.float32)),
            "labels": list(labels) if labels is not None else ["pig"] * len(scores)}


class Inputs(dict):
    def to(self, device):
        return self

    @property
    def input_ids(self):
        return self["input_ids"]


class Processor:
    """Detector processor whose post-processing answers `result` (or calls it)."""

    def __init__(self, result=h.Bad, fail_call=False):
        self.result = [detections()] if result is h.Bad else result
        self.fail_call = fail_call

    def __call__(self, images=None, text=None, return_tensors=None):
        if self.fail_call:
            raise ModelFailure("processor failed")
        return Inputs(pixel_values=torch.zeros(1, 3, 2, 2), input_ids=torch.tensor([[1, 2]]))

    def post_process_grounded_object_detection(self, outputs, input_ids, **kw):
        return self.result() if callable(self.result) else self.result


def grounding_model(**inputs):
    return {"raw": 1}


def failing_model(**inputs):
    raise ModelFailure("model failed")


class Encoder:
    def __init__(self, answer):
        self.answer = answer

    def __call__(self, x):
        a = self.answer
        return a(x) if callable(a) else a


class Model:
    def __init__(self, encoder):
        self.image_encoder = encoder


class Predictor:
    """Image predictor answering `masks` (or a callable of the boxes) and an
    encoder answering `features`."""

    def __init__(self, masks=None, features=None, fail_set_image=False, result=None):
        self.masks = masks
        self.result = result
        self.fail_set_image = fail_set_image
        feats = {"vision_features": torch.ones(1, 8, 4, 4)} if features is None else features
        self.model = Model(Encoder(feats))

    def set_image(self, image):
        if self.fail_set_image:
            raise ModelFailure("set_image failed")

    def predict(self, point_coords=None, point_labels=None, box=None, multimask_output=True):
        if self.result is not None:
            return self.result
        n = len(np.asarray(box).reshape(-1, 4))
        m = self.masks(n) if callable(self.masks) else self.masks
        if m is None:
            m = np.stack([mask(0, 8, 12 * i, 12 * i + 9) for i in range(n)]).astype(np.float32)
            m = m[:, None] if n != 1 else m
        return m, np.ones(len(m), np.float32), np.zeros((len(m), 4, 4), np.float32)


def predictor_bads():
    """Predictors that answer badly."""
    return [
        Bad("None", lambda: None, allow=MODEL), Bad("object", h._Opaque, allow=MODEL),
        Bad("set_image_fails", lambda: Predictor(fail_set_image=True), allow=MODEL),
        Bad("predict_nones", lambda: Predictor(result=(None, None, None)), allow=MODEL),
        Bad("predict_not_tuple", lambda: Predictor(result=5), allow=MODEL),
        Bad("predict_empty", lambda: Predictor(result=()), allow=MODEL),
        Bad("masks_str", lambda: Predictor(masks=lambda n: np.full((n, H, W), "x"))),
        Bad("masks_object", lambda: Predictor(masks=lambda n: np.empty((n, H, W), object))),
        Bad("masks_nan", lambda: Predictor(masks=lambda n: np.full((n, H, W), np.nan))),
        Bad("masks_wrong_size", lambda: Predictor(masks=lambda n: np.ones((n, H + 2, W)))),
        Bad("masks_1d", lambda: Predictor(masks=lambda n: np.ones(H * W))),
        Bad("masks_5d", lambda: Predictor(masks=lambda n: np.ones((n, 1, 1, H, W)))),
        Bad("masks_too_many", lambda: Predictor(masks=lambda n: np.zeros((n + 3, 1, H, W))),
            "any"),
        Bad("masks_none_left", lambda: Predictor(masks=lambda n: np.zeros((0, 1, H, W))), "any"),
        Bad("masks_huge_view", lambda: Predictor(masks=lambda n: h.huge_view((n, 1 << 20, 1 << 20))),
            allow=("MemoryError",)),
        Bad("masks_int64", lambda: Predictor(masks=lambda n: np.ones((n, 1, H, W), np.int64)),
            "any"),
        Bad("masks_torch", lambda: Predictor(masks=lambda n: torch.ones((n, 1, H, W))), "any"),
        Bad("masks_list", lambda: Predictor(masks=lambda n: [[[1, 0]]])),
    ]


def records(n_masks=10, keys=(598, 599)):
    def rec(k):
        md = {f"Box{i}": mask(0, 8, 5 * i, 5 * i + 4) for i in range(n_masks)}
        return {"frame_index": k, "masks_dict": md,
                "mask_areas": {b: int(m.sum()) for b, m in md.items()}}
    return {k: rec(k) for k in keys}


def operations(fx):
    frames = []
    for i in range(2):
        p = os.path.join(fx.root, f"{i:04d}.png")
        cv2.imwrite(p, np.full((H, W, 3), 80 + i, np.uint8))
        frames.append(p)
    pen = fx.file("pen.json", json.dumps({"shapes": [{"points": [[0, 0], [W, 0], [W, H],
                                                                  [0, H]]}]}))
    garbage = fx.file("garbage.png", b"\x89PNG\r\n\x1a\n" + b"\x02" * 40)
    names_bads = [
        Bad("None", lambda: None), Bad("str", lambda: frames[0]), Bad("int", lambda: 3),
        Bad("ints", lambda: [1, 2]), Bad("missing", lambda: [frames[0] + ".nope.png"]),
        Bad("directory", lambda: [fx.root]), Bad("garbage", lambda: [garbage]),
        Bad("nul", lambda: [frames[0] + "\0x"]),
        Bad("empty", lambda: [], "any"), Bad("generator", lambda: (f for f in frames), "any"),
    ]
    gdino_bads = [
        Bad("None", lambda: None), Bad("empty_list", lambda: []), Bad("entry_none", lambda: [None]),
        Bad("dict", lambda: detections()), Bad("missing_keys", lambda: [{"boxes": []}]),
        Bad("boxes_3_cols", lambda: [detections() | {"boxes": torch.zeros(1, 3)}]),
        Bad("boxes_1d", lambda: [detections() | {"boxes": torch.zeros(4)}], "any"),
        Bad("boxes_3d", lambda: [detections() | {"boxes": torch.zeros(1, 1, 4)}]),
        Bad("boxes_str", lambda: [detections() | {"boxes": "boxes"}]),
        Bad("boxes_object", lambda: [detections() | {"boxes": np.array([[1, 2, 3, None]], object)}]),
        Bad("boxes_nan", lambda: [detections(((np.nan, 1, 5, 5), (1, np.nan, 9, 9)), (0.5, 0.6))],
            "any"),
        Bad("boxes_inf", lambda: [detections(((np.inf, 1, 5, 5),), (0.5,))], "any"),
        Bad("scores_short", lambda: [detections() | {"scores": torch.zeros(0)}]),
        Bad("scores_2d", lambda: [detections() | {"scores": torch.zeros(1, 1)}], "any"),
        Bad("scores_str", lambda: [detections() | {"scores": ["high"]}]),
        Bad("labels_short", lambda: [detections() | {"labels": []}]),
        Bad("labels_ints", lambda: [detections() | {"labels": [3]}], "any"),
        Bad("labels_none", lambda: [detections() | {"labels": None}]),
        Bad("labels_str", lambda: [detections() | {"labels": "pig"}], "any"),
        Bad("no_detections", lambda: [detections((), ())], "any"),
        Bad("many", lambda: [detections(np.random.default_rng(0).random((5000, 4)) * 40,
                                        np.ones(5000))], "any"),
        Bad("numpy_values", lambda: [{"boxes": np.ones((1, 4)), "scores": np.ones(1),
                                      "labels": ["pig"]}], "any"),
        Bad("meta_tensor", lambda: [detections() | {"boxes": torch.zeros(1, 4, device="meta")}],
            allow=("NotImplementedError",)),
    ]
    processor_bads = [Bad("None", lambda: None, allow=MODEL), Bad("object", h._Opaque, allow=MODEL),
                      Bad("call_fails", lambda: Processor(fail_call=True), allow=MODEL)] + [
        Bad("answers_" + b.label, (lambda b=b: Processor(result=b.make())), b.expect, b.allow)
        for b in gdino_bads if b.label not in ("dict",)]
    mask_list_bads = [
        Bad("None", lambda: None), Bad("str", lambda: "masks"), Bad("int", lambda: 4),
        Bad("object", h._Opaque), Bad("empty", lambda: [], "any"),
        Bad("shapes_differ", lambda: [mask(), mask(shape=(H + 1, W))]),
        Bad("stack_4d", lambda: np.zeros((2, 2, H, W))),
        Bad("with_none", lambda: [mask(), None]),
        Bad("torch", lambda: torch.ones(2, H, W), "any"),
        Bad("dict", lambda: {"Box0": mask()}, "any"),
    ] + [h.inside(b, lambda v: [mask(), v]) for b in h.mask_bads((H, W))
         if b.label not in ("3d_stack", "wrong_size")]
    feature_bads = [
        Bad("None", lambda: None), Bad("str", lambda: "features"), Bad("int", lambda: 5),
        Bad("strs", lambda: ["a", "b"]), Bad("matrix_entry", lambda: [np.ones((2, 8))]),
        Bad("lengths_differ", lambda: [np.ones(8), np.ones(5)]),
        Bad("empty", lambda: [], "any"), Bad("all_none", lambda: [None, None], "any"),
        Bad("nan", lambda: [np.full(8, np.nan)], "any"), Bad("inf", lambda: [np.full(8, np.inf)], "any"),
        Bad("zeros", lambda: [np.zeros(8)], "any"),
        Bad("empty_vector", lambda: [np.zeros(0)], "any"),
        Bad("torch", lambda: [torch.ones(8)], "any"),
        Bad("other_length_than_old", lambda: [np.ones(9)]),
        Bad("object_entry", lambda: [h._Opaque()]),
    ]
    encoder_bads = [
        Bad("model_none", lambda: _with_model(None), allow=MODEL),
        Bad("answers_none", lambda: Predictor(features=lambda x: None)),
        Bad("answers_dict_without_key", lambda: Predictor(features={"other": torch.ones(1, 8, 4, 4)})),
        Bad("answers_2d", lambda: Predictor(features={"vision_features": torch.ones(8, 4)})),
        Bad("answers_nan", lambda: Predictor(features={"vision_features": torch.full((1, 8, 4, 4),
                                                                                     np.nan)}), "any"),
        Bad("answers_str", lambda: Predictor(features={"vision_features": "x"})),
        Bad("answers_numpy", lambda: Predictor(features={"vision_features": np.ones((1, 8, 4, 4))}),
            "any"),
        Bad("answers_list", lambda: Predictor(features={"vision_features": [[[[1.0]]]]})),
        Bad("answers_empty", lambda: Predictor(features={"vision_features": torch.ones(1, 0, 4, 4)}),
            "any"),
        Bad("encoder_fails", lambda: Predictor(features=_raise), allow=MODEL),
        Bad("set_image_fails", lambda: Predictor(fail_set_image=True), allow=MODEL),
        Bad("None", lambda: None, allow=MODEL),
    ]
    last_frame_bads = [
        Bad("None", lambda: None), Bad("list", lambda: [records()[599]]), Bad("str", lambda: "frames"),
        Bad("empty", lambda: {}, "any"), Bad("str_keys", lambda: {"a": records()[599]}),
        Bad("record_none", lambda: {599: None}), Bad("record_list", lambda: {599: [1]}),
        Bad("no_masks_dict", lambda: {599: {"mask_areas": {}}}),
        Bad("masks_dict_is_list", lambda: {599: {"masks_dict": [mask()]}}),
        Bad("float_keys", lambda: {599.5: records()[599]}),
        Bad("huge_key", lambda: {10 ** 30: records()[599]}),
    ] + [h.inside(b, (lambda v: {599: {"masks_dict": v}}), "masks_dict_")
         for b in h.mask_dict_bads((H, W))]
    # The attempt limit is only compared with a count, as the host would.
    attempts_bads = [Bad(b.label, b.make, "any" if b.label in ("float", "inf", "nan", "huge_int")
                         else b.expect) for b in h.scalar_bads("int")] + [
        Bad("negative", lambda: -1, "any"), Bad("huge", lambda: 2 ** 62, "any")]
    # The matcher takes the predictor's masks as they come (no frame size check).
    matcher_predictor_bads = [Bad(b.label, b.make, "any", b.allow)
                              if b.label in ("masks_wrong_size", "masks_list") else b
                              for b in predictor_bads()]
    remove_bads = [Bad("None_entry", lambda: [None], "any"), Bad("str", lambda: "Box0"),
                   Bad("int", lambda: 3), Bad("ints", lambda: [1, 2], "any"),
                   Bad("object", h._Opaque), Bad("unknown_keys", lambda: ["Box77"], "any"),
                   Bad("empty_text", lambda: [""], "any")]

    def display_fails(image):
        raise ModelFailure("display failed")

    return [
        Op("process_gdino_results", vu.process_gdino_results,
           good={"gdino_results": lambda: [detections(((5, 9, 20, 20), (1, 2, 9, 9)), (0.5, 0.7))],
                 "target_label": lambda: "pig"},
           bad={"gdino_results": gdino_bads, "target_label": h.scalar_bads("str")}),
        Op("cal_masks_iou_scores", vu.cal_masks_iou_scores,
           good={"masks_new": lambda: [mask(), mask(0, 9)], "masks_old": lambda: np.stack([mask()])},
           bad={"masks_new": mask_list_bads, "masks_old": mask_list_bads}),
        Op("cal_centroid_distance", vu.cal_centroid_distance,
           good={"masks_new": lambda: [mask(), mask(0, 9)], "masks_old": lambda: np.stack([mask()])},
           bad={"masks_new": mask_list_bads, "masks_old": mask_list_bads}),
        Op("initializer", vu.initializer,
           good={"video_dir": lambda: "D:\\data\\Camera99_1\\x", "frame_names": lambda: list(frames),
                 "processor": Processor, "grounding_model": lambda: grounding_model,
                 "device": lambda: "cpu", "image_predictor": Predictor,
                 "start_index": lambda: 0, "step": lambda: 1, "gdino_thr": lambda: 0.25,
                 "close_set_num": lambda: 1, "custom_pen_json_path": lambda: pen},
           bad={"video_dir": h.scalar_bads("str"), "frame_names": names_bads,
                "processor": processor_bads,
                "grounding_model": [Bad("None", lambda: None, allow=MODEL),
                                    Bad("fails", lambda: failing_model, allow=MODEL)],
                "device": [Bad("None", lambda: None, "any"), Bad("object", h._Opaque, "any")],
                "image_predictor": predictor_bads(),
                "start_index": h.scalar_bads("int") + [Bad("negative", lambda: -1, "any"),
                                                       Bad("beyond", lambda: 10 ** 12, "any"),
                                                       Bad("very_negative", lambda: -10 ** 12, "any")],
                "step": h.scalar_bads("int") + [Bad("zero", lambda: 0),
                                                Bad("negative", lambda: -1, "any"),
                                                Bad("huge", lambda: 2 ** 62, "any")],
                "gdino_thr": h.scalar_bads("real"),
                "close_set_num": h.scalar_bads("int") + [Bad("negative", lambda: -3, "any")],
                "custom_pen_json_path": [b for b in h.path_bads(fx) if b.label != "None"] + [
                    Bad("None", lambda: None)]}),
        Op("enhance_dark_text", vu.enhance_dark_text,
           good={"image_pil": lambda: Image.new("RGB", (W, H), (40, 50, 60)), "gamma": lambda: 1.5},
           bad={"image_pil": [b for b in h.image_bads((H, W)) if b.label != "wrong_size"] + [
                    Bad("pil_L", lambda: h.pil_mode("L"), "any"),
                    Bad("pil_RGBA", lambda: h.pil_mode("RGBA"), "any"),
                    Bad("pil_I", lambda: h.pil_mode("I"), "any"),
                    Bad("pil_F", lambda: h.pil_mode("F"), "any")],
                "gamma": h.scalar_bads("real") + [Bad("zero", lambda: 0.0),
                                                  Bad("negative", lambda: -2.0, "any"),
                                                  Bad("tiny", lambda: 1e-300, "any")]}),
        Op("generate_sam2_image_features", vu.generate_sam2_image_features,
           good={"image": lambda: Image.new("RGB", (W, H), (40, 50, 60)),
                 "masks": lambda: np.stack([mask(), mask(20, 30, 20, 40)]),
                 "image_predictor": Predictor},
           bad={"image": h.image_bads((H, W)), "masks": mask_list_bads,
                "image_predictor": encoder_bads}),
        Op("cosine_scores_cal", vu.cosine_scores_cal,
           good={"image_features_new": lambda: [np.ones(8), None],
                 "image_features_old": lambda: [np.arange(8.0)]},
           bad={"image_features_new": feature_bads, "image_features_old": feature_bads}),
        Op("find_best_laste_frame", vu.find_best_laste_frame,
           good={"laste_frame": records, "min_area": lambda: 10, "max_attempts": lambda: 10,
                 "remove_stack_obs": lambda: []},
           bad={"laste_frame": last_frame_bads,
                "min_area": h.scalar_bads("real") + [Bad("negative", lambda: -1, "any")],
                "max_attempts": attempts_bads,
                "remove_stack_obs": remove_bads}),
        Op("matcher", vu.matcher,
           good={"laste_frame": records, "frame_names": lambda: list(frames),
                 "ann_frame_idx": lambda: 0,
                 "image_predictor": lambda: StandinImagePredictor(
                     script=lambda image, boxes: np.stack([mask(int(b[1]), int(b[3]) + 1,
                                                                int(b[0]), int(b[2]) + 1)
                                                           for b in boxes])[:, None]),
                 "remove_stack_box": lambda: None, "min_area": lambda: 10,
                 "max_attempts": lambda: 10, "display_func": lambda: (lambda img: None)},
           bad={"laste_frame": last_frame_bads, "frame_names": names_bads,
                "ann_frame_idx": h.scalar_bads("int") + [Bad("beyond", lambda: 2),
                                                         Bad("negative", lambda: -1, "any"),
                                                         Bad("too_negative", lambda: -3)],
                "image_predictor": matcher_predictor_bads,
                "remove_stack_box": remove_bads,
                "min_area": h.scalar_bads("real"),
                "max_attempts": attempts_bads,
                "display_func": [Bad("not_callable", lambda: 5),
                                 Bad("fails", lambda: display_fails, allow=MODEL),
                                 Bad("wrong_arity", lambda: (lambda: None))]}),
    ]


def _raise(x):
    raise ModelFailure("encoder failed")


def _with_model(model):
    p = Predictor()
    p.model = model
    return p


def test_hostile_inputs_raise_clear_errors():
    n, failures = h.check_module(__file__)
    assert n > 400
    assert not failures, f"{len(failures)} of {n} cases failed:\n" + "\n".join(failures)
