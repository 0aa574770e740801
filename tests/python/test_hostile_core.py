"""Hostile inputs for the overlap measures, the tracking output reader and the
per-frame file writer of the companion package."""

import json
import os

import cv2
import numpy as np

import _hostile as h
from _hostile import Bad, Op

import vexo_pipeline
import vexo_utils as vu

H, W = 40, 50


def mask(y0=5, y1=15, x0=5, x1=20):
    m = np.zeros((H, W), np.uint8)
    m[y0:y1, x0:x1] = 1
    return m


def frame_doc(image, detections=None):
    if detections is None:
        detections = [{"object_id": 1, "formatted_polygon": ["pig 0.1 0.1 0.5 0.1 0.5 0.5"],
                       "xyxy": [[5, 4, 25, 20]]}]
    return {"image_path": image, "detections": detections}


def poly(*tokens):
    return {"object_id": 2, "formatted_polygon": [" ".join(["pig", *map(str, tokens)])]}


def frame_file_bads(fx, image):
    """Per-frame files that are valid JSON but not valid tracking files."""
    d = lambda dets: frame_doc(image, dets)  # noqa: E731
    docs = {
        "no_image_path": {"detections": []},
        "image_path_int": {"image_path": 5, "detections": []},
        "no_detections": {"image_path": image},
        "detections_null": d(None) | {"detections": None},
        "detections_dict": d([]) | {"detections": {"a": 1}},
        "detections_str": d([]) | {"detections": "pig"},
        "detection_int": d([7]),
        "no_polygon": d([{"object_id": 1}]),
        "polygon_str": d([{"object_id": 1, "formatted_polygon": "pig 0 0 1 1"}]),
        "polygon_ints": d([{"object_id": 1, "formatted_polygon": [1, 2, 3]}]),
        "polygon_null": d([{"object_id": 1, "formatted_polygon": None}]),
        "object_id_str": d([{"object_id": "1", "formatted_polygon": []}]),
        "object_id_float": d([{"object_id": 1.5, "formatted_polygon": []}]),
        "object_id_huge": '{"image_path": "%s", "detections": [{"object_id": '
                          '123456789012345678901234567890, "formatted_polygon": []}]}' % image,
        "object_id_minint": '{"image_path": "%s", "detections": [{"object_id": '
                            '-9223372036854775808, "formatted_polygon": []}]}' % image,
        "object_id_bool": d([{"object_id": True, "formatted_polygon": []}]),
        "odd_tokens": d([poly(0.1, 0.2, 0.3)]),
        "word_token": d([poly(0.1, "x", 0.3, 0.4)]),
        "hex_token": d([poly("0x1p-2", 0.1, 0.3, 0.4, 0.5, 0.5)]),
        "nan_token": d([poly("nan", 0.1, 0.3, 0.4, 0.5, 0.5)]),
        "inf_token": d([poly("inf", 0.1, "-inf", 0.4, 0.5, 0.5)]),
        "huge_token": d([poly("1e300", 0.1, -1e300, 0.4, 0.5, 0.5)]),
        "overflow_token": d([poly("1e999", 0.1, 0.3, 0.4, 0.5, 0.5)]),
        "int_edge_token": d([poly(2 ** 31 / W, 0.1, -(2 ** 31) / W, 0.4, 0.5, 0.5)]),
    }
    # Degenerate but well-formed polygons fill what they cover (maybe nothing).
    degenerate = {
        "label_only": d([poly()]),
        "empty_polygon_string": d([{"object_id": 1, "formatted_polygon": [""]}]),
        "one_point": d([poly(0.5, 0.5)]),
        "many_points": d([poly(*np.random.default_rng(0).random(20000).round(4))]),
        "self_crossing": d([poly(0, 0, 1, 1, 1, 0, 0, 1)]),
    }
    out = h.json_bads(fx, docs)
    for label, doc in degenerate.items():
        out.append(Bad(label, (lambda t=json.dumps(doc), n=label: fx.file(f"{n}.json", t)), "any"))
    return out


def operations(fx):
    image = fx.once("image", lambda: (cv2.imwrite(os.path.join(fx.root, "frame.png"),
                                                  np.zeros((H, W, 3), np.uint8)),
                                      os.path.join(fx.root, "frame.png"))[1])
    good_json = fx.once("frame_json", lambda: fx.file("good/output_pp_1.json",
                                                      json.dumps(frame_doc(image))))
    folder = os.path.dirname(good_json)

    def folder_with(name, files):
        def make():
            for fname, content in files.items():
                fx.file(os.path.join(name, fname), content)
            return os.path.join(fx.root, name)
        return make

    good_text = json.dumps(frame_doc(image))
    folder_bads = h.scalar_bads("str") + [
        Bad("missing", lambda: os.path.join(fx.root, "no_such_dir"), "any"),
        Bad("a_file", lambda: good_json, "any"),
        Bad("nul_byte", lambda: folder + "\0x"),
        Bad("malformed_first", folder_with("f_malformed", {"output_pp_1.json": "{oops"})),
        Bad("malformed_later", folder_with("f_malformed2", {"output_pp_1.json": good_text,
                                                            "output_pp_2.json": "[1,"})),
        Bad("image_missing", folder_with("f_noimage", {
            "output_pp_1.json": json.dumps(frame_doc(os.path.join(fx.root, "nope.png")))})),
        Bad("image_garbage", folder_with("f_garbage_img", {
            "img.png": b"\x89PNG\r\n\x1a\n" + b"\x00" * 50,
            "output_pp_1.json": json.dumps(frame_doc(os.path.join(fx.root, "f_garbage_img",
                                                                  "img.png")))})),
        Bad("bad_frame_number", folder_with("f_badnum", {"x_1.json": good_text})),
        Bad("frame_number_overflow", folder_with("f_bignum", {
            "output_pp_99999999999999999999999.json": good_text})),
        Bad("later_file_not_object", folder_with("f_notobj", {
            "output_pp_1.json": good_text, "output_pp_2.json": "[]"})),
    ]
    int_bads = h.scalar_bads("int")
    dim_bads = int_bads + [Bad("negative", lambda: -5),
                           Bad("huge", lambda: 10 ** 6, "any"),
                           Bad("int64_max", lambda: 2 ** 63 - 1)]
    area_bads = h.scalar_bads("real") + [Bad("negative", lambda: -3.0, "any"),
                                         Bad("numpy_array", lambda: np.ones(3))]

    def written_files_ok(args, res):
        left = sorted(os.listdir(os.path.join(fx.root, "written")))
        bad = [f for f in left if not f.startswith("output_pp_")]
        return f"stray files after a failed write: {bad}" if bad else None

    writer_dir = os.path.join(fx.root, "written")
    os.makedirs(writer_dir, exist_ok=True)
    return [
        Op("calculate_masks_intersection", vu.calculate_masks_intersection,
           good={"mask1": mask, "mask2": lambda: mask(8, 20, 8, 30)},
           bad={"mask1": h.mask_bads((H, W)), "mask2": h.mask_bads((H, W))}),
        Op("calculate_masks_intersection_new", vu.calculate_masks_intersection_new,
           good={"mask1": mask, "mask2": lambda: mask(8, 20, 8, 30), "mask_area_1": lambda: 150,
                 "mask_area_2": lambda: 264},
           bad={"mask1": h.mask_bads((H, W)), "mask2": h.mask_bads((H, W)),
                "mask_area_1": area_bads, "mask_area_2": area_bads}),
        Op("intersection_between_masks", vu.intersection_between_masks,
           good={"masks_dict": lambda: {"Box0": mask(), "Box1": mask(8, 20, 8, 30)},
                 "processed_mask_areas": lambda: {"Box0": 150, "Box1": 264}},
           bad={"masks_dict": h.mask_dict_bads((H, W)),
                "processed_mask_areas": [
                    Bad("list", lambda: [150, 264]), Bad("str", lambda: "areas"),
                    Bad("missing_key", lambda: {"Box0": 150}),
                    Bad("str_value", lambda: {"Box0": "150", "Box1": 264}),
                    Bad("none_value", lambda: {"Box0": None, "Box1": 264}),
                    Bad("nan_value", lambda: {"Box0": float("nan"), "Box1": 264}, "any"),
                    Bad("empty", lambda: {}, "any"), Bad("None", lambda: None, "any")]}),
        Op("process_json_and_generate_masks", vu.process_json_and_generate_masks,
           good={"json_path": lambda: good_json, "height": lambda: H, "width": lambda: W},
           bad={"json_path": frame_file_bads(fx, image), "height": dim_bads,
                "width": dim_bads}),
        # 3000 detections: the mask stack's row count overflows 32 bits at a
        # height of a million, and its size passes any sane limit at a width of one.
        Op("process_json_and_generate_masks/many", vu.process_json_and_generate_masks,
           good={"json_path": lambda: fx.once("many", lambda: fx.file("many.json", json.dumps(
                     frame_doc(image, [{"object_id": 1, "formatted_polygon": []}] * 3000)))),
                 "height": lambda: 10, "width": lambda: 1},
           bad={"height": [Bad("million", lambda: 10 ** 6)],
                "width": [Bad("million", lambda: 10 ** 6)]}),
        Op("get_vexo_annotation_data", vu.get_vexo_annotation_data,
           good={"video_dir": lambda: "unused", "last_or_not": lambda: False,
                 "ixx": lambda: 0, "save_dir_base": lambda: folder},
           bad={"video_dir": [Bad("None", lambda: None, "any"), Bad("object", h._Opaque, "any")],
                "last_or_not": [Bad("object", h._Opaque, "any"), Bad("None", lambda: None, "any")],
                "ixx": int_bads + [Bad("negative", lambda: -1, "any"),
                                   Bad("beyond", lambda: 10 ** 12, "any")],
                "save_dir_base": folder_bads}),
        Op("write_tracking_frame", vexo_pipeline.write_tracking_frame,
           good={"out_dir": lambda: writer_dir, "frame_number": lambda: 3,
                 "image_path": lambda: image, "masks": lambda: {1: mask()}},
           bad={"out_dir": h.scalar_bads("str") + [
                    Bad("a_file", lambda: good_json), Bad("nul_byte", lambda: writer_dir + "\0x")],
                "frame_number": int_bads + [Bad("negative", lambda: -4, "any")],
                "image_path": h.scalar_bads("str"),
                "masks": [Bad("str_keys", lambda: {"a": mask()}),
                          Bad("list", lambda: [mask()]), Bad("None", lambda: None)] +
                         [h.inside(b, lambda v: {1: v}) for b in h.mask_bads((H, W), ("bool", "float64", "int8"))
                          if b.label not in ("wrong_size", "3d_stack", "4d")]},
           after=written_files_ok),
        Op("tracking_frame_json", vexo_pipeline.tracking_frame_json,
           good={"image_path": lambda: image, "masks": lambda: {1: mask(), 2: mask(0, 3, 0, 3)}},
           bad={"image_path": h.scalar_bads("str"),
                "masks": [Bad("mixed_shapes", lambda: {1: mask(), 2: np.ones((3, 3), np.uint8)},
                              "any"),
                          Bad("huge_key", lambda: {10 ** 20: mask()})]}),
    ]


def test_hostile_inputs_raise_clear_errors():
    n, failures = h.check_module(__file__)
    assert n > 300
    assert not failures, f"{len(failures)} of {n} cases failed:\n" + "\n".join(failures)
