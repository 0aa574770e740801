"""Hostile inputs for the clip catalogue, file listing and frame extraction:
bad record fields, truncated and corrupt MP4 files, absurd windows and sizes."""

import itertools
import os

import cv2
import numpy as np
import pandas as pd

import _hostile as h
from _hostile import Bad, Op

import vexo_utils as vu

W, H = 64, 48
NAME = "Camera61_1_20240131061500"


def write_clip(path, n=12, fps=4.0):
    writer = cv2.VideoWriter(path, cv2.VideoWriter_fourcc(*"mp4v"), fps, (W, H))
    for i in range(n):
        frame = np.full((H, W, 3), 30 + 10 * i, np.uint8)
        frame[:, 40:46] = (0, 140, 255)  # the orange marker
        writer.write(frame)
    writer.release()
    return path


def corrupt_clips(fx, clip):
    data = open(clip, "rb").read()
    return {
        "truncated": fx.file("bad/truncated.mp4", data[: len(data) // 2]),
        "header_only": fx.file("bad/header.mp4", data[:64]),
        "zero_length": fx.file("bad/zero.mp4", b""),
        "random_bytes": fx.file("bad/random.mp4", np.random.default_rng(5).bytes(4000)),
        "flipped_bytes": fx.file("bad/flipped.mp4", bytes(b ^ 0x5A if 200 < i < 900 else b
                                                          for i, b in enumerate(data))),
        "jpeg_named_mp4": fx.file("bad/jpeg.mp4", cv2.imencode(".jpg", np.zeros((8, 8, 3),
                                                                                  np.uint8))[1]
                                  .tobytes()),
    }


def processor():
    return vu.VideoProcessor(time_step=0.02)


def operations(fx):
    os.makedirs(os.path.join(fx.root, "rec", "day1"), exist_ok=True)
    clip = write_clip(os.path.join(fx.root, "rec", "day1", NAME + ".mp4"))
    bad_clips = corrupt_clips(fx, clip)
    out_base = os.path.join(fx.root, "frames")
    a_file = fx.file("a_file.txt", "x")
    clip_bads = h.scalar_bads("str") + [
        Bad("missing", lambda: os.path.join(fx.root, "nope.mp4"), "any"),
        Bad("directory", lambda: fx.root, "any"),
        Bad("nul_byte", lambda: clip + "\0x"),
    ] + [Bad(label, (lambda p=p: p), "any") for label, p in bad_clips.items()]

    counter = itertools.count()

    def fresh_out():
        return os.path.join(fx.root, "win", str(next(counter)), "f")

    def catalogue(path=clip, **cols):
        row = {"Camera Number": "61", "Date": "20240131", "Time": "06:15:00",
               "File Path": path, "Video Name": NAME}
        row.update(cols)
        return pd.DataFrame([row])

    def staging_left(args, res):
        # A failed window keeps its hidden staging folder (a rerun redoes it);
        # a call that succeeded leaves none.
        base = getattr(args.get("self"), "output_dir_base", None)
        if res["outcome"] != "ok" or not isinstance(base, str):
            return None
        left = []
        for root, dirs, files in os.walk(base):
            left += [os.path.join(root, d) for d in dirs if d.endswith(".partial")]
        return f"staging folders left behind: {left}" if left else None

    meta_good = {"base_dir": lambda: os.path.join(fx.root, "rec"), "sub_dirs": lambda: ["day1"],
                 "filter_start": lambda: "06:00:00", "filter_end": lambda: "17:00:00",
                 "sample_step": lambda: 3, "top_n": lambda: -1,
                 "match_pattern": lambda: r"Camera(\d+)_(\d+)_([\d]{8})([\d]{6})\.mp4",
                 "camera_number": lambda: None}

    def get_catalogue(**fields):
        return vu.VideoMetadata(**fields).get_filtered_video_dataframe()

    fx.file("rec/day1/" + "a" * 200 + ".mp4", b"")  # a long name for the patterns to chew on
    fx.file("rec/notes.txt", "not a folder")
    image = np.zeros((H, W, 3), np.uint8)
    image[:, 40:46] = (0, 140, 255)

    proc_fields = {
        "resize_dim": [Bad("one_element", lambda: (640,)), Bad("str", lambda: "640x480"),
                       Bad("zero_height", lambda: (640, 0)), Bad("negative", lambda: (640, -4)),
                       Bad("huge", lambda: (640, 10 ** 9)), Bad("int64_max", lambda: (1, 2 ** 63 - 1)),
                       Bad("float", lambda: (640, 24.5)), Bad("nan", lambda: (1, float("nan")))],
        "frame_skip": [Bad("zero", lambda: 0), Bad("None", lambda: None), Bad("str", lambda: "2"),
                       Bad("negative", lambda: -2, "any"), Bad("float", lambda: 2.5, "any"),
                       Bad("huge", lambda: 10 ** 30)],
        "time_step": [Bad("zero", lambda: 0), Bad("negative", lambda: -0.1),
                      Bad("nan", lambda: float("nan")), Bad("inf", lambda: float("inf")),
                      Bad("None", lambda: None), Bad("str", lambda: "0.1"),
                      Bad("tiny", lambda: 1e-300), Bad("below_precision", lambda: 1e-18)],
        "output_dir_base": [Bad("None", lambda: None), Bad("int", lambda: 5),
                            Bad("a_file", lambda: a_file), Bad("nul", lambda: out_base + "\0x")],
        "camera_crop_coords": [Bad("None", lambda: None), Bad("list", lambda: [1, 2]),
                               Bad("entry_short", lambda: {"61": (1, 2, 3)}),
                               Bad("entry_strs", lambda: {"61": ("a", "b", "c", "d")}),
                               Bad("entry_huge", lambda: {"61": (0, 0, 10 ** 30, 10)}),
                               Bad("entry_empty_crop", lambda: {"61": (30, 0, 10, 48)}),
                               Bad("entry_outside", lambda: {"61": (1000, 1000, 2000, 2000)}),
                               Bad("entry_negative", lambda: {"61": (-10, -10, -1, -1)}, "any"),
                               Bad("entry_floats", lambda: {"61": (0.5, 0, 10, 10)})],
        "left_crop": [Bad("array", lambda: np.ones(2))],
        "crop": [Bad("array", lambda: np.ones(2))],
    }

    def with_field(field, b):
        def make():
            p = vu.VideoProcessor(time_step=0.02)
            setattr(p, field, b.make())
            return p
        return Bad(f"{field}={b.label}", make, b.expect, b.allow)

    def proc_bads(unused=()):
        """Bad fields; those in `unused` are not read by the method and may pass."""
        out = []
        for f, bads in proc_fields.items():
            for b in bads:
                if f in unused:
                    b = Bad(b.label, b.make, "any", b.allow)
                out.append(with_field(f, b))
        return out

    def crop_call(self, video_path, output_dir, start_min, end_min, camera_number, crop):
        return self.crop_video_to_frames(video_path, output_dir, start_min, end_min,
                                         camera_number, crop)

    def process_call(self, df):
        if self.output_dir_base == "D:\\ToBeLabeled_20pigs/":
            self.output_dir_base = os.path.join(out_base, str(next(counter)))
        return self.process_videos_to_frames(df)

    minutes = [Bad("None", lambda: None), Bad("str", lambda: "1"), Bad("object", h._Opaque),
               Bad("nan", lambda: float("nan"), "any"), Bad("inf", lambda: float("inf"), "any"),
               Bad("negative", lambda: -1, "any"), Bad("huge", lambda: 1e300, "any"),
               Bad("huge_int", lambda: 10 ** 30, "any"), Bad("int64_max", lambda: 2 ** 63 - 1, "any")]
    return [
        Op("list_all_files", vu.list_all_files,
           good={"directory": lambda: fx.root, "ext": lambda: ".mp4"},
           bad={"directory": h.scalar_bads("str") + [
                    Bad("missing", lambda: os.path.join(fx.root, "nope"), "any"),
                    Bad("a_file", lambda: a_file, "any"),
                    Bad("nul", lambda: fx.root + "\0x")],
                "ext": [b for b in h.scalar_bads("str") if b.label != "None"]}),
        Op("get_filtered_video_dataframe", get_catalogue, good=meta_good,
           bad={"base_dir": [Bad("None", lambda: None), Bad("int", lambda: 3),
                             Bad("missing", lambda: os.path.join(fx.root, "nope"), "any"),
                             Bad("a_file", lambda: a_file, "any"),
                             Bad("nul", lambda: fx.root + "\0x")],
                "sub_dirs": [Bad("None", lambda: None), Bad("str", lambda: "day1"),
                             Bad("ints", lambda: [1]), Bad("a_file", lambda: ["notes.txt"]),
                             Bad("parent", lambda: [".."], "any"),
                             Bad("nul", lambda: ["day1\0x"])],
                "filter_start": h.scalar_bads("str"), "filter_end": h.scalar_bads("str"),
                "sample_step": h.scalar_bads("int") + [Bad("zero", lambda: 0, "any"),
                                                       Bad("negative", lambda: -1, "any")],
                "top_n": h.scalar_bads("int") + [Bad("huge", lambda: 2 ** 62, "any")],
                "match_pattern": [Bad("None", lambda: None), Bad("int", lambda: 3),
                                  Bad("invalid", lambda: "Camera(\\d+"),
                                  Bad("bad_escape", lambda: "\\"),
                                  # the longest accepted pattern, nested as deep as it goes
                                  Bad("nested", lambda: "(" * 2048 + ")" * 2048, "any"),
                                  Bad("too_long", lambda: "(" * 5000 + ")" * 5000),
                                  Bad("no_groups", lambda: "Camera", "any"),
                                  Bad("one_group", lambda: "(Camera)", "any")],
                "camera_number": [Bad("int", lambda: 61), Bad("object", h._Opaque)]}),
        Op("get_video_duration",
           lambda self, video_path: self.get_video_duration(video_path),
           good={"self": processor, "video_path": lambda: clip},
           bad={"video_path": clip_bads}),
        Op("find_orange_region",
           lambda self, frame: self.find_orange_region(frame),
           good={"self": processor, "frame": lambda: image.copy()},
           bad={"frame": [b for b in h.image_bads((H, W)) if b.label != "wrong_size"] + [
                    Bad("grey", lambda: np.zeros((H, W), np.uint8)),
                    Bad("bgra", lambda: np.zeros((H, W, 4), np.uint8)),
                    Bad("pil", lambda: h.pil_mode("RGB", (H, W)))]}),
        Op("crop_video_to_frames", crop_call,
           good={"self": processor, "video_path": lambda: clip, "output_dir": fresh_out,
                 "start_min": lambda: 0, "end_min": lambda: 0.02, "camera_number": lambda: "61",
                 "crop": lambda: True},
           bad={"self": proc_bads(unused=("time_step", "output_dir_base")), "video_path": clip_bads,
                "output_dir": h.scalar_bads("str") + [Bad("a_file", lambda: a_file),
                                                      Bad("under_a_file", lambda: a_file + "/x"),
                                                      Bad("nul", lambda: fx.root + "/o\0x")],
                "start_min": minutes, "end_min": minutes,
                "camera_number": [Bad("list", lambda: [61]), Bad("int", lambda: 61, "any"),
                                  Bad("lone_surrogate", lambda: "6\ud8001")],
                "crop": [Bad("array", lambda: np.ones(3))]}),
        Op("process_videos_to_frames", process_call,
           good={"self": processor, "df": catalogue},
           bad={"self": proc_bads(),
                "df": [Bad("None", lambda: None), Bad("list", lambda: [1, 2]),
                       Bad("dict_of_lists", lambda: {"Video Name": [NAME]}),
                       Bad("missing_column", lambda: catalogue().drop(columns=["Date"])),
                       Bad("empty", lambda: catalogue().iloc[:0], "any"),
                       Bad("nan_path", lambda: catalogue(path=float("nan"))),
                       Bad("int_date", lambda: catalogue(Date=20240131)),
                       Bad("nul_name", lambda: catalogue(**{"Video Name": "a\0b"})),
                       Bad("slash_name", lambda: catalogue(**{"Video Name": "../../escape"}), "any"),
                       Bad("unhashable_camera", lambda: catalogue(**{"Camera Number": [61]})),
                       Bad("missing_clip", lambda: catalogue(path=os.path.join(fx.root, "x.mp4")),
                           "any")] +
                      [Bad("clip_" + label, (lambda p=p: catalogue(path=p)), "any")
                       for label, p in bad_clips.items()]},
           after=staging_left),
    ]


def test_hostile_inputs_raise_clear_errors():
    n, failures = h.check_module(__file__)
    assert n > 150
    assert not failures, f"{len(failures)} of {n} cases failed:\n" + "\n".join(failures)
