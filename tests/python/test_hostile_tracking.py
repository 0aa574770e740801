"""Hostile inputs for overlap episodes, frame runs, the tracking report, small-
area pruning and mask refinement. The report must never leave a half-written
file where a good one was."""

import json
import os

import cv2
import numpy as np
import pandas as pd

import _hostile as h
from _hostile import Bad, Op

import vexo_pipeline
import vexo_utils as vu
from test_hostile_detection import MODEL, Predictor

H, W = 40, 60


def rect(y0, y1, x0, x1, shape=(H, W), dtype=np.uint8):
    m = np.zeros(shape, dtype)
    m[..., y0:y1, x0:x1] = 1
    return m


def clip_records(fx):
    image = os.path.join(fx.root, "frame.png")
    cv2.imwrite(image, np.random.default_rng(0).integers(0, 255, (H, W, 3), dtype=np.uint8))
    out = os.path.join(fx.root, "json")
    for f in range(20):
        masks = {1: rect(2, 15, 2, 20), 2: rect(5, 15, 5, 22), 3: rect(25, 38, 30, 50)}
        vexo_pipeline.write_tracking_frame(out, f, image, masks)
    return vu.get_vexo_annotation_data("", save_dir_base=out)[1]


def report_rows(frames=(8, 9, 10), pair="Box0-Box1"):
    return pd.DataFrame({"Frame ID": list(frames), "Box Pair": [pair] * len(frames),
                         "Intersection Value": 90.0})


def operations(fx):
    data = clip_records(fx)
    table = lambda: data[0]["intersections_df"]  # noqa: E731

    def records_with(frame=10, **changes):
        """A copy of the clip's records with one frame changed (None drops a field)."""
        def make():
            out = {k: dict(v) for k, v in data.items()}
            out[frame].update(changes)
            for k, v in list(out[frame].items()):
                if v is None and k in changes:
                    del out[frame][k]
            return out
        return make

    report_dir = os.path.join(fx.root, "report")
    os.makedirs(report_dir, exist_ok=True)
    report = os.path.join(report_dir, "tracking_question_report.csv")

    def report_before(args):
        with open(report, "w") as f:
            f.write("previous report\n")
        return sorted(os.listdir(report_dir))

    def report_after(args, res):
        stray = h.stray_temp_files(report_dir, args["_before"])
        if stray:
            return f"temporary files left behind: {stray}"
        now = open(report).read()
        if res["outcome"] != "ok" and now != "previous report\n":
            return "the previous report was changed by a failed call"
        if res["outcome"] == "ok" and now != "previous report\n":
            pd.read_csv(report)  # a complete table
        return None

    data_bads = [
        Bad("None", lambda: None), Bad("list", lambda: [data[0]]), Bad("str", lambda: "data"),
        Bad("empty", lambda: {}, "any"),
        Bad("record_none", lambda: {0: None}), Bad("record_str", lambda: {0: "x"}),
        Bad("no_table", records_with(intersections_df=None)),
        Bad("no_areas", records_with(mask_areas=None)),
        Bad("table_ndarray", records_with(intersections_df=np.full((3, 3), 99.0)), "any"),
        Bad("table_list", records_with(intersections_df=[[0, 99], [99, 0]])),
        Bad("table_text", records_with(intersections_df=pd.DataFrame([["a"]], ["Box0"], ["Box0"]))),
        Bad("table_nan", records_with(intersections_df=pd.DataFrame(
            [[np.nan, 99.0], [np.inf, 0.0]], ["Box0", "Box1"], ["Box0", "Box1"])), "any"),
        Bad("table_unknown_key", records_with(intersections_df=pd.DataFrame(
            [[0, 99.0], [99.0, 0]], ["Box0", "Box9"], ["Box0", "Box9"]))),
        Bad("areas_text", records_with(mask_areas={"Box0": "big", "Box1": 3, "Box2": 4})),
        Bad("areas_nan", records_with(mask_areas={"Box0": float("nan"), "Box1": 3, "Box2": 4}),
            "any"),
        Bad("areas_list", records_with(mask_areas=[1, 2, 3])),
        Bad("key_str", lambda: {"ten": data[10]}, "any"),
    ]
    frames_df_bads = [
        Bad("None", lambda: None), Bad("dict", lambda: {"Frame ID": [1], "Box ID": ["Box0"]}, "any"),
        Bad("list", lambda: [1, 2]), Bad("no_frame_column", lambda: pd.DataFrame({"Box ID": ["a"]})),
        Bad("no_group_column", lambda: pd.DataFrame({"Frame ID": [1]})),
        Bad("empty", lambda: pd.DataFrame({"Frame ID": [], "Box ID": []}), "any"),
        Bad("float_frames", lambda: pd.DataFrame({"Frame ID": [1.5, 2.5], "Box ID": ["a", "a"]}),
            "any"),
        Bad("nan_frames", lambda: pd.DataFrame({"Frame ID": [1, np.nan], "Box ID": ["a", "a"]}),
            "any"),
        Bad("text_frames", lambda: pd.DataFrame({"Frame ID": ["1", "2"], "Box ID": ["a", "a"]})),
        Bad("huge_frames", lambda: pd.DataFrame({"Frame ID": [2 ** 63 - 1, -2 ** 63],
                                                 "Box ID": ["a", "a"]}), "any"),
        Bad("mixed_groups", lambda: pd.DataFrame({"Frame ID": [1, 2, 3],
                                                  "Box ID": ["a", 5, None]}), "any"),
        Bad("object_groups", lambda: pd.DataFrame({"Frame ID": [1, 2],
                                                   "Box ID": [h._Opaque(), h._Opaque()]})),
        Bad("many_rows", lambda: pd.DataFrame({"Frame ID": np.arange(200000) % 977,
                                               "Box ID": np.arange(200000) % 13}), "any"),
    ]
    overlap_df_bads = [
        Bad("None", lambda: None), Bad("list", lambda: [1]),
        Bad("empty", lambda: report_rows(())),
        Bad("no_pair_column", lambda: report_rows().drop(columns=["Box Pair"])),
        Bad("unknown_boxes", lambda: report_rows(pair="Box7-Box8")),
        Bad("minus_one_key", lambda: report_rows(pair="Box-1-Box0")),
        Bad("pair_not_text", lambda: pd.DataFrame({"Frame ID": [8, 9, 10], "Box Pair": [1, 1, 1]})),
        Bad("frames_beyond", lambda: report_rows((10 ** 6, 10 ** 6 + 1, 10 ** 6 + 2))),
        Bad("frames_negative", lambda: report_rows((-3, -2, -1))),
        Bad("frames_at_end", lambda: report_rows((17, 18, 19)), "any"),
        Bad("frames_float", lambda: report_rows((8.0, 9.0, 10.0)), "any"),
        Bad("frames_nan", lambda: report_rows((8, np.nan, 10))),
    ]
    segments = lambda: {0: {1: rect(2, 15, 2, 20, (1, H, W), bool)},  # noqa: E731
                        1: {1: rect(3, 16, 2, 20, (1, H, W), bool)}}
    pen = fx.file("pen.json", json.dumps({"shapes": [{"points": [[0, 0], [W, 0], [W, H],
                                                                  [0, H]]}]}))
    frames = [os.path.join(fx.root, "frame.png")] * 2

    def refinement():
        return vu.Mask_Refinement(custom_pen_json_path=pen)

    seg_bads = [
        Bad("None", lambda: None), Bad("list", lambda: [[1]]), Bad("str", lambda: "segments"),
        Bad("empty", lambda: {}, "any"),
        Bad("inner_list", lambda: {0: [rect(1, 5, 1, 5)]}),
        Bad("inner_none", lambda: {0: None}),
        Bad("str_frame_key", lambda: {"a": {1: rect(1, 5, 1, 5, (1, H, W))}}),
        Bad("frame_beyond", lambda: {5: {1: rect(1, 5, 1, 5, (1, H, W))}}),
        Bad("frame_negative", lambda: {-1: {1: rect(1, 5, 1, 5, (1, H, W))}}, "any"),
        Bad("huge_frame_key", lambda: {10 ** 30: {1: rect(1, 5, 1, 5, (1, H, W))}}),
        Bad("object_key_str", lambda: {0: {"one": rect(1, 5, 1, 5, (1, H, W))}}, "any"),
        Bad("object_key_unhashable_value", lambda: {0: {1: [[1]]}}),
    ] + [h.inside(b, (lambda v: {0: {1: v}}), "mask_")
         for b in h.mask_bads((H, W), ("bool", "float64", "int8", "int64", "empty", "empty_rows",
                                       "noncontig", "reversed", "fortran", "wrong_size"))
         if b.label not in ("3d_stack",)] + [
        Bad("mask_two_slices", lambda: {0: {1: np.ones((2, H, W), bool)}}),
        Bad("mask_other_size", lambda: {0: {1: rect(1, 9, 1, 9, (1, 11, 13))}}, "any"),
        Bad("mask_read_only", lambda: {0: {1: _read_only(rect(2, 15, 2, 20, (1, H, W)))}}, "any"),
    ]

    def blob_call(self, blob_mask1, blob_mask2):
        return self.blob_shortest_distance(blob_mask1, blob_mask2)

    def main_blob_call(self, mask, prev_centroids, object_id):
        return self.get_main_blob(mask, prev_centroids, object_id)

    def blob_result():
        return refinement().get_main_blob(rect(2, 15, 2, 20, (1, H, W)), {}, 1)

    def keep_call(self, num_labels, labels, stats, centroids, max_distance_threshold,
                  min_area_threshold, best_idx, prev_centroids, object_id, frame_idx, mask,
                  video_segments):
        return self.get_dis_to_main_and_prev_blob(
            num_labels, labels, stats, centroids, max_distance_threshold, min_area_threshold,
            best_idx, prev_centroids, object_id, frame_idx, mask, video_segments)

    def process_call(self, video_segments, video_dir, frame_names):
        return self.process_video_segments(video_segments, video_dir, frame_names)

    def ctor_field(name, b):
        def make():
            r = refinement()
            setattr(r, name, b.make())
            return r
        return Bad(f"{name}={b.label}", make, b.expect, b.allow)

    field_bads = [ctor_field(n, b) for n, bads in {
        "MIN_AREA_RATIO": [Bad("str", lambda: "0.3"), Bad("None", lambda: None),
                           Bad("nan", lambda: float("nan"), "any")],
        "MAX_DISTANCE_RATIOS": [Bad("short", lambda: [0.5]), Bad("None", lambda: None),
                                Bad("strs", lambda: ["a", "b"]), Bad("scalar", lambda: 0.5)],
        "MAX_PREV_DIST": [Bad("str", lambda: "200"), Bad("inf", lambda: float("inf"), "any")],
        "custom_pen_json_path": [Bad("int", lambda: 5), Bad("missing", lambda: pen + ".nope"),
                                 Bad("nul", lambda: pen + "\0x")],
        "prev_centroids": [Bad("None", lambda: None), Bad("list", lambda: [1]),
                           Bad("bad_point", lambda: {1: "here"}),
                           Bad("nan_point", lambda: {1: (float("nan"), 3.0)}, "any")],
    }.items() for b in bads]
    blob_masks = [b for b in h.mask_bads((H, W), ("bool", "float64", "int8", "empty",
                                                  "empty_rows", "noncontig", "reversed",
                                                  "fortran", "wrong_size", "int64"))
                  if b.label not in ("3d_stack", "4d")]
    labels_bads = [Bad("None", lambda: None), Bad("float", lambda: np.zeros((H, W))),
                   Bad("1d", lambda: np.zeros(H, np.int32)),
                   Bad("label_beyond", lambda: np.full((H, W), 99, np.int32)),
                   Bad("negative", lambda: np.full((H, W), -1, np.int32))]
    stats_bads = [Bad("None", lambda: None), Bad("short", lambda: np.zeros((1, 5), np.int32)),
                  Bad("narrow", lambda: np.zeros((2, 3), np.int32)),
                  Bad("float", lambda: np.zeros((2, 5)), "any"),
                  Bad("nan", lambda: np.full((2, 5), np.nan), "any")]
    cent_bads = [Bad("None", lambda: None), Bad("short", lambda: np.zeros((1, 2))),
                 Bad("nan", lambda: np.full((2, 2), np.nan), "any"),
                 Bad("1d", lambda: np.zeros(4))]
    compared = [Bad(b.label, b.make, "any" if b.label in ("float", "inf", "nan", "huge_int")
                    else b.expect) for b in h.scalar_bads("int")]
    return [
        Op("find_continuous_frames", vu.find_continuous_frames,
           good={"frames_df": lambda: pd.DataFrame({"Frame ID": [1, 2, 3, 7], "Box ID": ["a"] * 4}),
                 "group_by": lambda: "Box ID", "n_consecutive": lambda: 2},
           bad={"frames_df": frames_df_bads,
                "group_by": [Bad("None", lambda: None), Bad("missing", lambda: "Nope"),
                             Bad("list", lambda: ["Box ID"]), Bad("int", lambda: 3)],
                "n_consecutive": compared + [Bad("zero", lambda: 0, "any"),
                                             Bad("negative", lambda: -5, "any")]}),
        Op("find_boxes_with_small_area_from_last_video",
           vu.find_boxes_with_small_area_from_last_video,
           good={"laste_frame": lambda: data, "min_frame_id": lambda: 5,
                 "area_threshold": lambda: 1000, "min_count": lambda: 3},
           # Only "mask_areas" of records above min_frame_id is read, and the
           # limits are only compared, as the host compares numbers.
           bad={"laste_frame": [Bad(b.label, b.make, "any" if b.label in (
                    "record_none", "record_str", "no_table") else b.expect)
                    for b in data_bads[:8] + [data_bads[13], data_bads[15], data_bads[16]]] + [
                    Bad("late_record_none", lambda: {**data, 50: None}),
                    Bad("late_areas_text", lambda: {**data, 50: {"mask_areas": {"Box0": "x"}}})],
                "min_frame_id": compared, "area_threshold": compared, "min_count": compared}),
        Op("generate_tracking_report", vu.generate_tracking_report,
           good={"vexo_annotation_data": lambda: data, "save_dir_base": lambda: report_dir,
                 "intersection_thrr": lambda: 50},
           bad={"vexo_annotation_data": data_bads,
                "save_dir_base": h.scalar_bads("str") + [
                    Bad("missing", lambda: os.path.join(fx.root, "no", "dir")),
                    Bad("a_file", lambda: report), Bad("nul", lambda: report_dir + "\0x")],
                "intersection_thrr": h.scalar_bads("real")},
           before=report_before, after=report_after),
        Op("process_overlap_frames", vu.process_overlap_frames,
           good={"overlap_frames_dataframe": report_rows, "vexo_annotation_data": lambda: data,
                 "image_predictor": Predictor, "n_consecutive": lambda: 2},
           bad={"overlap_frames_dataframe": overlap_df_bads,
                "vexo_annotation_data": data_bads[:6] + [
                    # Frame 5 is one of the window frames compared with frame 9.
                    Bad("missing_masks", records_with(5, masks_dict=None)),
                    Bad("image_missing", records_with(5, image_path=fx.root + "/none.png")),
                    Bad("image_int", records_with(5, image_path=5)),
                    Bad("masks_wrong_size", records_with(5, masks_dict={
                        "Box0": rect(1, 3, 1, 3, (5, 5)), "Box1": rect(1, 3, 1, 3, (5, 5))}))],
                "image_predictor": [
                    Bad("None", lambda: None, allow=MODEL), Bad("object", h._Opaque, allow=MODEL),
                    Bad("encoder_answers_str", lambda: Predictor(features={"vision_features": "x"}))],
                "n_consecutive": h.scalar_bads("int")}),
        Op("Mask_Refinement", vu.Mask_Refinement,
           good={"min_area_ratio": lambda: 0.3, "max_distance_ratios": lambda: [0.5, 1.5],
                 "max_prev_dist": lambda: 200, "custom_pen_json_path": lambda: pen},
           bad={"min_area_ratio": [Bad("object", h._Opaque, "any")],
                "custom_pen_json_path": [Bad("object", h._Opaque, "any")]}),
        Op("blob_shortest_distance", blob_call,
           good={"self": refinement, "blob_mask1": lambda: rect(2, 9, 2, 9),
                 "blob_mask2": lambda: rect(20, 30, 20, 30)},
           bad={"blob_mask1": blob_masks, "blob_mask2": blob_masks}),
        Op("get_main_blob", main_blob_call,
           good={"self": refinement, "mask": lambda: rect(2, 15, 2, 20, (1, H, W)),
                 "prev_centroids": lambda: {}, "object_id": lambda: 1},
           bad={"self": field_bads[:9],
                "mask": [b for b in h.mask_bads((H, W), ("bool", "float64", "int8", "int64",
                                                         "noncontig", "reversed", "fortran",
                                                         "wrong_size"))
                         if b.label not in ("3d_stack",)] + [
                    Bad("all_zero", lambda: np.zeros((1, H, W), np.uint8))],
                "prev_centroids": [Bad("None", lambda: None, "any"), Bad("list", lambda: [1]),
                                   Bad("bad_point", lambda: {1: "here"}),
                                   Bad("short_point", lambda: {1: (3.0,)}),
                                   Bad("nan_point", lambda: {1: (float("nan"), 2.0)}, "any")],
                "object_id": [Bad("unhashable", lambda: [1]), Bad("None", lambda: None, "any")]}),
        Op("get_dis_to_main_and_prev_blob", keep_call,
           good=dict({"self": refinement},
                     **dict(zip(["num_labels", "stats", "centroids", "min_area_threshold",
                                 "max_distance_threshold", "best_idx", "labels"],
                                [(lambda i=i: blob_result()[i]) for i in range(7)])),
                     prev_centroids=lambda: {}, object_id=lambda: 1, frame_idx=lambda: 0,
                     mask=lambda: rect(2, 15, 2, 20, (1, H, W)), video_segments=segments),
           bad={"num_labels": h.scalar_bads("int") + [Bad("too_many", lambda: 50),
                                                      Bad("negative", lambda: -3, "any")],
                "labels": labels_bads, "stats": stats_bads, "centroids": cent_bads,
                "max_distance_threshold": h.scalar_bads("real"),
                "min_area_threshold": h.scalar_bads("real"),
                "best_idx": h.scalar_bads("int") + [Bad("beyond", lambda: 40, "any"),
                                                    Bad("negative", lambda: -1, "any")],
                "prev_centroids": [Bad("list", lambda: [1]), Bad("bad_point", lambda: {1: "x"})],
                # Read only when nothing is kept (the first-frame fallback).
                "frame_idx": [Bad("unhashable", lambda: [0], "any")],
                "mask": [Bad("None", lambda: None, "any"), Bad("str", lambda: "m", "any")],
                "video_segments": [Bad("None", lambda: None, "any"), Bad("empty", lambda: {}, "any"),
                                   Bad("list", lambda: [1], "any")]}),
        # The same with nothing kept (the main blob too far from the previous
        # centroid), so the fallback arguments are read.
        Op("get_dis_to_main_and_prev_blob/fallback", keep_call,
           good=dict({"self": refinement},
                     **dict(zip(["num_labels", "stats", "centroids", "min_area_threshold",
                                 "max_distance_threshold", "best_idx", "labels"],
                                [(lambda i=i: blob_result()[i]) for i in range(7)])),
                     prev_centroids=lambda: {1: (1000.0, 1000.0)}, object_id=lambda: 1,
                     frame_idx=lambda: 0, mask=lambda: rect(2, 15, 2, 20, (1, H, W)),
                     video_segments=segments),
           bad={"frame_idx": [Bad("unhashable", lambda: [0], "any"), Bad("None", lambda: None, "any")],
                "mask": [Bad("None", lambda: None), Bad("str", lambda: "m"),
                         Bad("object", h._Opaque)],
                "video_segments": [Bad("None", lambda: None), Bad("empty", lambda: {}, "any"),
                                   Bad("list", lambda: [1]), Bad("int", lambda: 3)]}),
        Op("process_video_segments", process_call,
           good={"self": refinement, "video_segments": segments, "video_dir": lambda: "",
                 "frame_names": lambda: list(frames)},
           bad={"self": field_bads, "video_segments": seg_bads,
                "video_dir": [Bad("None", lambda: None, "any"), Bad("int", lambda: 5, "any")],
                "frame_names": [Bad("None", lambda: None), Bad("str", lambda: "f"),
                                Bad("empty", lambda: []), Bad("short", lambda: frames[:1]),
                                Bad("ints", lambda: [1, 2], "any")]}),
    ]


def _read_only(a):
    a.setflags(write=False)
    return a


def test_hostile_inputs_raise_clear_errors():
    n, failures = h.check_module(__file__)
    assert n > 300
    assert not failures, f"{len(failures)} of {n} cases failed:\n" + "\n".join(failures)
