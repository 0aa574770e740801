"""Hostile inputs for pen files, pen membership and the annotation tools. The
repair tool must leave its target untouched (and no temporary file behind)
whenever it fails."""

import json
import os

import cv2
import numpy as np

import _hostile as h
from _hostile import Bad, Op

import vexo_utils as vu

H, W = 40, 50


def pen_docs():
    pts = [[0, 0], [W, 0], [W, H], [0, H]]
    shape = lambda p: {"shapes": [{"label": "pen", "points": p}]}  # noqa: E731
    raw = '{"shapes": [{"points": [[0, 0], [%s, 1], [5, 9]]}]}'
    return {
        "no_shapes": {"version": "5"},
        "shapes_empty": {"shapes": []},
        "shapes_false": {"shapes": False},
        "shapes_null": {"shapes": None},
        "shapes_dict": {"shapes": {"a": 1}},
        "shapes_str": {"shapes": "pen"},
        "shapes_int": {"shapes": 3},
        "shape_not_object": {"shapes": [5]},
        "no_points": {"shapes": [{"label": "pen"}]},
        "points_str": shape("0 0 1 1"),
        "points_dict": shape({"x": 1}),
        "point_scalar": shape([1, 2, 3]),
        "point_three": shape([[0, 0, 0], [1, 1, 1], [2, 0, 2]]),
        "point_one": shape([[0], [1], [2]]),
        "point_strs": shape([["0", "0"], ["9", "0"], ["9", "9"]]),
        "point_null": shape([[None, 0], [9, 0], [9, 9]]),
        "point_bool": shape([[True, False], [9, 0], [9, 9]]),
        "nan_literal": raw % "NaN",
        "overflow_number": raw % "1e999",
    }, {
        "huge_number": raw % "1e300",
        "big_integer": raw % "123456789012345678901234567890",
        "int64_edge": raw % "9223372036854775807",
        "points_empty": shape([]),
        "one_point": shape([[5, 5]]),
        "two_points": shape([[5, 5], [9, 9]]),
        "self_crossing": shape([[0, 0], [W, H], [W, 0], [0, H]]),
        "beyond_frame": shape([[-1e6, -1e6], [1e6, -1e6], [1e6, 1e6]]),
        "far_beyond_frame": shape([[0, -1e9], [1e9, -1e9], [1e9, 1e17]]),
        "negative_coords": shape([[-5, -5], [-1, -9], [-3, -1]]),
        "two_shapes": {"shapes": [{"points": pts}, {"points": "junk"}]},
    }


def frame_docs(image):
    det = lambda **kw: {"image_path": image, "detections": [  # noqa: E731
        dict({"object_id": 1, "formatted_polygon": ["pig 0.1 0.1 0.5 0.1 0.5 0.5"],
              "xyxy": [[5, 4, 25, 20]]}, **kw)]}
    bad = {
        "no_image_path": {"detections": []},
        "image_path_int": {"image_path": 7, "detections": []},
        "image_missing": {"image_path": image + ".missing.png", "detections": []},
        "image_nul": {"image_path": image + "\u0000x", "detections": []},
        "no_detections": {"image_path": image},
        "detections_dict": {"image_path": image, "detections": {"a": 1}},
        "detection_str": {"image_path": image, "detections": ["pig"]},
        "no_polygon": {"image_path": image, "detections": [{"object_id": 1, "xyxy": []}]},
        "polygon_str": det(formatted_polygon="pig 0 0 1 1"),
        "polygon_nums": det(formatted_polygon=[1, 2]),
        "odd_tokens": det(formatted_polygon=["pig 0.1 0.2 0.3"]),
        "word_token": det(formatted_polygon=["pig 0.1 x 0.3 0.4"]),
    }
    odd = {
        "nan_token": det(formatted_polygon=["pig nan 0.1 0.3 0.4 0.5 0.5"]),
        "inf_token": det(formatted_polygon=["pig inf 0.1 -inf 0.4 0.5 0.5"]),
        "huge_token": det(formatted_polygon=["pig 1e300 0.1 -1e300 0.4 0.5 0.5"]),
        "label_only": det(formatted_polygon=["pig"]),
        "empty_string": det(formatted_polygon=[""]),
        "empty_detections": {"image_path": image, "detections": []},
    }
    return bad, odd


def render_docs(image):
    det = lambda **kw: {"image_path": image, "detections": [  # noqa: E731
        dict({"object_id": 1, "formatted_polygon": ["pig 0.1 0.1 0.5 0.1 0.5 0.5"],
              "xyxy": [[5, 4, 25, 20]]}, **kw)]}
    bad = {
        "no_object_id": {"image_path": image, "detections": [
            {"formatted_polygon": [], "xyxy": [[1, 1, 2, 2]]}]},
        "object_id_str": det(object_id="1"),
        "object_id_null": det(object_id=None),
        "no_xyxy": {"image_path": image, "detections": [
            {"object_id": 1, "formatted_polygon": []}]},
        "xyxy_short": det(xyxy=[[1, 2]]),
        "xyxy_flat": det(xyxy=[1, 2, 3, 4]),
        "xyxy_strs": det(xyxy=[["1", "2", "3", "4"]]),
        "xyxy_null": det(xyxy=None),
    }
    odd = {
        "xyxy_empty": det(xyxy=[]),
        "xyxy_huge": det(xyxy=[[-1e300, -1e300, 1e300, 1e300]]),
        "xyxy_nan": '{"image_path": "%s", "detections": [{"object_id": 1, "formatted_polygon": [],'
                    ' "xyxy": [[NaN, 1, Infinity, 4]]}]}' % image,
        "xyxy_inverted": det(xyxy=[[40, 30, 2, 1]]),
        "object_id_float": det(object_id=2.5),
        "object_id_bool": det(object_id=True),
        "object_id_big": '{"image_path": "%s", "detections": [{"object_id": '
                         '123456789012345678901234567890, "formatted_polygon": [], "xyxy": []}]}'
                         % image,
        "object_id_min": '{"image_path": "%s", "detections": [{"object_id": '
                         '-9223372036854775808, "formatted_polygon": [], "xyxy": [[1, 1, 9, 9]]}]}'
                         % image,
        "long_label_far_left": det(object_id=10 ** 15, xyxy=[[-30000, 5, -29990, 9]]),
    }
    return bad, odd


def docs_to_bads(fx, prefix, docs, expect):
    out = []
    for label, doc in docs.items():
        text = doc if isinstance(doc, str) else json.dumps(doc)
        out.append(Bad(label, (lambda t=text, n=label: fx.file(f"{prefix}/{n}.json", t)), expect))
    return out


def operations(fx):
    image = os.path.join(fx.root, "frame.png")
    cv2.imwrite(image, np.full((H, W, 3), 90, np.uint8))
    pen = fx.file("pen.json", json.dumps({"shapes": [{"points": [[2, 2], [45, 3], [40, 35],
                                                                  [3, 30]]}]}))
    pen_bad, pen_odd = pen_docs()
    pen_bads = (h.json_bads(fx, pen_bad) + docs_to_bads(fx, "pen_odd", pen_odd, "any"))
    frame_bad, frame_odd = frame_docs(image)
    render_bad, render_odd = render_docs(image)
    frame_text = json.dumps(frame_docs(image)[1]["label_only"] | {"detections": [
        {"object_id": 1, "formatted_polygon": ["pig 0.1 0.1 0.5 0.1 0.5 0.5", "pig 0 0 0.2 0.2 0 0.2"],
         "xyxy": [[5, 4, 25, 20]]}]})
    good_frame = fx.file("frame.json", frame_text)
    garbage_image = fx.file("garbage.png", b"\x89PNG\r\n\x1a\n" + b"\x07" * 64)

    image_bads = h.path_bads(fx, "png") + [Bad("garbage_png", lambda: garbage_image)]
    poly = [(2, 2), (45, 3), (40, 35), (3, 30)]
    polygon_bads = [
        Bad("None", lambda: None), Bad("str", lambda: "0 0 1 1"), Bad("object", h._Opaque),
        Bad("flat", lambda: [0, 0, 10, 0, 10, 10]), Bad("three_cols", lambda: [(0, 0, 0)] * 3),
        Bad("ragged", lambda: [(0, 0), (1,), (2, 2)]), Bad("strs", lambda: [("a", "b")] * 3),
        Bad("nan", lambda: [(0, 0), (float("nan"), 0), (9, 9)]),
        Bad("inf", lambda: [(0, 0), (float("inf"), 0), (9, 9)]),
        Bad("huge", lambda: [(0, 0), (1e300, 0), (0, 1e300)], "any"),
        Bad("empty", lambda: [], "any"), Bad("two_points", lambda: [(0, 0), (9, 9)], "any"),
        Bad("self_crossing", lambda: [(0, 0), (50, 40), (50, 0), (0, 40)], "any"),
        Bad("bool_array", lambda: np.ones((4, 2), bool), "any"),
        Bad("int64_array", lambda: np.array(poly, np.int64), "any"),
        Bad("noncontig", lambda: np.array(poly, float)[:, ::-1], "any"),
        Bad("3d", lambda: np.zeros((2, 4, 2))),
        Bad("many_vertices", lambda: [(25 + 20 * np.cos(t), 20 + 15 * np.sin(t))
                                      for t in np.linspace(0, 6.28, 200000)], "any"),
    ]
    box_bads = [
        Bad("None", lambda: None), Bad("str", lambda: "box"), Bad("object", h._Opaque),
        Bad("flat", lambda: [1, 2, 3, 4]), Bad("five_cols", lambda: [[1, 2, 3, 4, 5]]),
        Bad("ragged", lambda: [[1, 2, 3, 4], [1, 2]]), Bad("3d", lambda: np.zeros((1, 1, 4))),
        Bad("zero_area", lambda: [[5, 5, 5, 9]]),
        Bad("nan", lambda: [[float("nan"), 1, 9, 9]]),
        Bad("inf", lambda: [[0, 0, float("inf"), 9]]),
        Bad("huge", lambda: [[0, 0, 1e300, 1e300]], "any"),
        Bad("inverted", lambda: [[9, 9, 1, 1]], "any"),
        Bad("empty", lambda: [], "any"), Bad("empty_array", lambda: np.zeros((0, 4)), "any"),
        Bad("bool", lambda: np.array([[False, False, True, True]]), "any"),
        Bad("object_dtype", lambda: np.array([[1, 2, 3, None]], object)),
        Bad("torch", lambda: __import__("torch").tensor([[1.0, 2.0, 30.0, 20.0]]), "any"),
    ]
    names_bads = [
        Bad("None", lambda: None), Bad("str", lambda: "frames"), Bad("int", lambda: 5),
        Bad("empty", lambda: []), Bad("ints", lambda: [1, 2]),
        Bad("generator", lambda: (p for p in [image]), "any"),
        Bad("nul_entry", lambda: [image + "\0x"]),
    ]
    # Any numeric mask of any size is cut at its own size; dtype and shape come back.
    mask_bads = [b for b in h.mask_bads((H, W), ("bool", "float64", "int8", "int64", "float16",
                                                  "4d", "nan", "inf", "wrong_size"))
                 if b.label != "3d_stack"]
    mask_bads.append(Bad("two_slices", lambda: np.zeros((2, H, W), np.uint8)))
    mask_bads.append(Bad("leading_one", lambda: np.zeros((1, H, W), bool), "any"))

    fix_dir = os.path.join(fx.root, "fix")
    os.makedirs(fix_dir, exist_ok=True)

    def fix_target():
        return fx.file("fix/target.json", frame_text)

    def fix_before(args):
        targets = [args["save_path"] or args["json_path"]] if isinstance(
            args.get("save_path"), (str, type(None))) and isinstance(args["json_path"], str) else []
        targets = [t for t in targets if "\0" not in t]
        return (h.snapshot(targets), sorted(os.listdir(fix_dir)),
                sorted(os.listdir(fx.root)))

    def fix_after(args, res):
        snap, fix_files, root_files = args["_before"]
        stray = [f for f in h.stray_temp_files(fix_dir, fix_files) if f.startswith(".")]
        stray += [f for f in h.stray_temp_files(fx.root, root_files) if f.startswith(".")]
        if stray:
            return f"temporary files left behind: {stray}"
        for path, before in snap.items():
            now = h.snapshot([path])[path]
            if res["outcome"] != "ok" and now != before:
                return f"{path} changed although the call failed"
            if res["outcome"] == "ok" and now is not None:
                try:
                    json.loads(now)
                except ValueError:
                    return f"{path} is not valid JSON after the repair"
        return None

    def saved_image_after(args, res):
        snap, fix_files, root_files = args["_before"]
        stray = [f for f in h.stray_temp_files(fx.root, root_files) if f.startswith(".")]
        if stray:
            return f"temporary files left behind: {stray}"
        path = args.get("save_path")
        if res["outcome"] == "ok" and isinstance(path, str) and path.endswith(".png"):
            if cv2.imread(path) is None:
                return f"{path} is not a readable image after the save"
        return None

    save_bads = [Bad("int", lambda: 5), Bad("object", h._Opaque),
                 Bad("directory", lambda: fix_dir),
                 Bad("missing_parent", lambda: os.path.join(fx.root, "no", "such", "out.json")),
                 Bad("nul_byte", lambda: os.path.join(fix_dir, "out.json\0x")),
                 Bad("lone_surrogate", lambda: os.path.join(fix_dir, "a\ud800.json"))]

    return [
        Op("get_pen_json_path", vu.get_pen_json_path,
           good={"video_dir": lambda: "D:\\data\\Camera64_1_2024\\x",
                 "custom_pen_json_path": lambda: None},
           bad={"video_dir": h.scalar_bads("str") + [
                    Bad("huge_text", lambda: "Camera61_" + "\\x" * 500000, "any")],
                "custom_pen_json_path": [b for b in h.scalar_bads("str") if b.label != "None"]}),
        Op("draw_pen", vu.draw_pen,
           good={"image_path": lambda: image, "json_path": lambda: pen, "drawout": lambda: True},
           bad={"image_path": image_bads, "json_path": pen_bads,
                "drawout": [Bad("array", lambda: np.ones(3)),
                            Bad("object", h._Opaque, "any"), Bad("None", lambda: None, "any")]}),
        Op("calculate_pen_intersection_ratio", vu.calculate_pen_intersection_ratio,
           good={"polygon_points": lambda: poly, "boxes": lambda: [[1, 1, 20, 20], [30, 30, 49, 39]],
                 "ratio_threshold": lambda: 40},
           bad={"polygon_points": polygon_bads, "boxes": box_bads,
                "ratio_threshold": h.scalar_bads("real")}),
        Op("get_in_pen_mask", vu.get_in_pen_mask,
           good={"frame_idx": lambda: 0, "test_mask": lambda: np.ones((H, W), np.uint8),
                 "pen_json_path": lambda: pen, "frame_names": lambda: [image]},
           bad={"frame_idx": h.scalar_bads("int") + [Bad("beyond", lambda: 1),
                                                     Bad("negative", lambda: -1, "any"),
                                                     Bad("too_negative", lambda: -2)],
                "test_mask": mask_bads, "pen_json_path": pen_bads, "frame_names": names_bads}),
        Op("retrieve_annotation", vu.retrieve_annotation,
           good={"json_path": lambda: good_frame, "save_path": lambda: None,
                 "box_drawing": lambda: True, "object_ids": lambda: "all"},
           bad={"json_path": (h.json_bads(fx, frame_bad | render_bad) +
                              docs_to_bads(fx, "render_odd", frame_odd | render_odd, "any")),
                "save_path": save_bads + [
                    Bad("unknown_extension", lambda: os.path.join(fx.root, "out.xyz")),
                    Bad("over_an_image", lambda: garbage_image, "any"),
                    Bad("over_a_folder", lambda: os.path.join(fx.root, "fix") + "/", ),
                    Bad("folder_named_png", lambda: fx.once("dir_png", lambda: (
                        os.makedirs(os.path.join(fx.root, "d.png"), exist_ok=True),
                        os.path.join(fx.root, "d.png"))[1]))],
                "box_drawing": [Bad("array", lambda: np.ones(2))],
                "object_ids": [Bad("None", lambda: None), Bad("int", lambda: 1),
                               Bad("object", h._Opaque), Bad("other_str", lambda: "some", "any"),
                               Bad("set", lambda: {1}, "any"), Bad("strs", lambda: ["1"], "any"),
                               Bad("array", lambda: np.array([1, 2]), "any")]},
           before=fix_before, after=saved_image_after),
        Op("fix_polygon_scaling", vu.fix_polygon_scaling,
           good={"json_path": fix_target, "save_path": lambda: None},
           # An image that cannot be opened is reported on the console, not raised.
           bad={"json_path": [Bad(b.label, b.make, "any") if b.label.startswith("image_") else b
                              for b in h.json_bads(fx, frame_bad)] +
                             docs_to_bads(fx, "fix_odd", frame_odd, "any"),
                "save_path": save_bads},
           before=fix_before, after=fix_after),
    ]


def test_hostile_inputs_raise_clear_errors():
    n, failures = h.check_module(__file__)
    assert n > 300
    assert not failures, f"{len(failures)} of {n} cases failed:\n" + "\n".join(failures)
