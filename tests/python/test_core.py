"""Module surface, records, overlap measures and the tracking output reader."""

import json
import os

import cv2
import numpy as np
import pandas as pd
import pytest

import vexo_pipeline
import vexo_utils as vu


# ---------------------------------------------------------------- records


def test_records_construct_compare_and_mutate():
    a = vu.VideoMetadata("/rec", ["d1", "d2"])
    assert (a.filter_start, a.filter_end, a.sample_step, a.top_n, a.camera_number) == (
        "06:00:00", "17:00:00", 3, -1, None)
    assert a.match_pattern == r"Camera(\d+)_(\d+)_([\d]{8})([\d]{6})\.mp4"
    b = vu.VideoMetadata(base_dir="/rec", sub_dirs=["d1", "d2"], filter_start="06:00:00")
    assert a == b and not (a != b)
    b.top_n = 5
    assert a != b and b.top_n == 5
    a.sub_dirs.append("d3")
    assert a.sub_dirs == ["d1", "d2", "d3"]
    assert repr(vu.VideoMetadata("x", [])).startswith("VideoMetadata(base_dir='x', sub_dirs=[]")
    p = vu.VideoProcessor((640, 480), 2, 0.5, "/out", {"61": (1, 2, 3, 4)}, False, True)
    assert p.resize_dim == (640, 480) and p.left_crop is True and p.crop is False


def test_processor_cache_is_fresh_per_record_and_persists():
    p1, p2 = vu.VideoProcessor(), vu.VideoProcessor()
    assert p1.camera_crop_coords == {} and p1.output_dir_base == "D:\\ToBeLabeled_20pigs/"
    assert (p1.frame_skip, p1.time_step, p1.crop, p1.left_crop) == (1, 0.1, True, False)
    p1.camera_crop_coords["61"] = (0, 0, 10, 10)
    assert p1.camera_crop_coords == {"61": (0, 0, 10, 10)}
    assert p2.camera_crop_coords == {}
    assert p1 != p2


def test_calls_with_wrong_arguments_raise_type_error():
    with pytest.raises(TypeError):
        vu.VideoMetadata()
    with pytest.raises(TypeError):
        vu.VideoMetadata("a", [], "1", "2", 3, 4, "p", None, "extra")
    with pytest.raises(TypeError):
        vu.VideoProcessor(bogus=1)
    with pytest.raises(TypeError):
        vu.calculate_masks_intersection(np.zeros((2, 2), bool))
    with pytest.raises(TypeError):
        vu.intersection_between_masks({}, None, None)
    with pytest.raises(TypeError):
        vu.get_vexo_annotation_data("x", folder="y")


# ---------------------------------------------------------------- overlaps


def rect(shape, y0, y1, x0, x1, dtype=np.uint8):
    m = np.zeros(shape, dtype)
    m[y0:y1, x0:x1] = 1
    return m


def table(masks, areas="count"):
    if areas == "count":
        areas = {k: int(np.count_nonzero(v)) for k, v in masks.items()}
    return vu.intersection_between_masks(masks, areas)


def test_overlap_table_cases():
    s = (40, 40)
    same = table({"Box0": rect(s, 0, 10, 0, 10), "Box1": rect(s, 0, 10, 0, 10)})
    assert same.loc["Box0", "Box1"] == 100.0 and same.loc["Box1", "Box0"] == 100.0
    big, small = rect(s, 0, 10, 0, 20), rect(s, 0, 5, 0, 10)
    t = table({"A": big, "B": small})
    assert list(t.index) == ["A", "B"] and list(t.columns) == ["A", "B"]
    assert t.loc["A", "B"] == 25.0 and t.loc["B", "A"] == 100.0
    assert t.values.dtype == np.float64 and np.all(np.diag(t.values) == 0)
    apart = table({"A": rect(s, 0, 5, 0, 5), "B": rect(s, 20, 30, 20, 30)})
    assert not apart.values.any()
    one = rect(s, 3, 4, 3, 4)
    hundred = rect(s, 0, 10, 0, 10)
    t1 = table({"first": one, "second": hundred})
    assert t1.loc["second", "first"] == 1.0 and t1.loc["first", "second"] == 100.0
    t2 = table({"second": hundred, "first": one})
    assert not t2.values.any()
    single = table({"Box0": hundred})
    assert single.shape == (1, 1) and single.iloc[0, 0] == 0.0
    empty = vu.intersection_between_masks({}, {})
    assert isinstance(empty, pd.DataFrame) and empty.shape == (0, 0)
    low = vu.intersection_between_masks({"A": big, "B": small}, {"A": 100, "B": 50})
    assert low.loc["A", "B"] == 50.0  # supplied areas are used as given


def test_overlap_table_without_areas_counts_them():
    s = (30, 30)
    masks = {"A": rect(s, 0, 10, 0, 20), "B": rect(s, 0, 5, 0, 10)}
    pd.testing.assert_frame_equal(vu.intersection_between_masks(masks), table(masks))
    pd.testing.assert_frame_equal(vu.intersection_between_masks(masks, {}), table(masks))


def test_overlap_inputs_of_every_accepted_kind():
    s = (20, 24)
    base = rect(s, 2, 12, 3, 15)
    other = rect(s, 5, 18, 0, 10)
    want = vu.calculate_masks_intersection(base, other)
    assert want == pytest.approx(np.logical_and(base, other).sum() / base.sum() * 100)
    for dtype in (bool, np.float32, np.float64):
        assert vu.calculate_masks_intersection(base.astype(dtype), other.astype(dtype)) == want
    wide = np.zeros((20, 48), np.uint8)
    wide[:, ::2] = base
    assert vu.calculate_masks_intersection(wide[:, ::2], other) == want  # non-contiguous view
    assert vu.calculate_masks_intersection(np.zeros(s, bool), other) == 0.0
    assert vu.calculate_masks_intersection(base, base) == 100.0
    first, second = vu.calculate_masks_intersection_new(base, other, 0, int(other.sum()))
    assert first == 0.0 and second == pytest.approx(np.logical_and(base, other).sum() / other.sum() * 100)


def test_overlap_rejects_bad_inputs():
    m = np.ones((5, 5), np.uint8)
    with pytest.raises(TypeError):
        vu.calculate_masks_intersection(m.astype(np.int64), m)
    with pytest.raises(TypeError):
        vu.calculate_masks_intersection(None, m)
    with pytest.raises(ValueError):
        vu.calculate_masks_intersection(np.ones((5,), np.uint8), m)
    with pytest.raises(ValueError):
        vu.calculate_masks_intersection(m, np.ones((6, 5), np.uint8))
    nan = m.astype(np.float32)
    nan[0, 0] = np.nan
    with pytest.raises(ValueError):
        vu.calculate_masks_intersection(nan, m)
    with pytest.raises(KeyError, match="Box1"):
        vu.intersection_between_masks({"Box0": m, "Box1": m}, {"Box0": 25})
    with pytest.raises(TypeError):
        vu.calculate_masks_intersection_new(m, m, "a", 1)


# ---------------------------------------------------------------- reader


def write_frame(folder, name, image_path, detections):
    os.makedirs(folder, exist_ok=True)
    path = os.path.join(folder, name)
    with open(path, "w") as f:
        json.dump({"image_path": image_path, "detections": detections}, f)
    return path


@pytest.fixture
def image_640(tmp_path):
    path = str(tmp_path / "frame.png")
    cv2.imwrite(path, np.zeros((480, 640, 3), np.uint8))
    return path


def test_read_order_frame_numbers_and_ignored_files(tmp_path, image_640):
    top = str(tmp_path / "out")
    for n in (2, 10, 1):
        write_frame(top, f"output_pp_{n}.json", image_640, [])
    write_frame(top, "notes.json", image_640, [])
    write_frame(top, "output_pp_3.txt", image_640, [])
    last, frames = vu.get_vexo_annotation_data("unused", save_dir_base=top)
    assert list(frames) == [0, 1, 2]
    assert [r["frame_index"] for r in frames.values()] == [1, 2, 10]
    assert last is frames[2] or last == frames[2]
    assert list(last) == ["frame_index", "masks_dict", "mask_areas", "json_path", "image_path",
                          "intersections_df"]
    assert last["json_path"] == os.path.join(top, "output_pp_10.json")
    assert last["image_path"] == image_640
    assert last["masks_dict"] == {} and last["mask_areas"] == {}
    assert last["intersections_df"].shape == (0, 0)


def test_subfolders_are_read_in_name_order(tmp_path, image_640):
    top = tmp_path / "top"
    write_frame(str(top / "b"), "output_pp_1.json", image_640, [])
    write_frame(str(top / "a"), "output_pp_2.json", image_640, [])
    _, frames = vu.get_vexo_annotation_data("x", save_dir_base=str(top))
    assert [r["json_path"] for r in frames.values()] == [
        os.path.join(str(top), "a", "output_pp_2.json"), os.path.join(str(top), "b", "output_pp_1.json")]


def test_keys_polygons_and_fill(tmp_path, image_640):
    top = str(tmp_path / "out")
    tri = "0 0.5 0.5 1.0 0.5 1.0 1.0"
    write_frame(top, "output_pp_0.json", image_640, [
        {"object_id": 3, "formatted_polygon": [tri]},
        {"formatted_polygon": ["pig 0 0 0.1 0 0.1 0.1", "pig 0.5 0 0.6 0 0.6 0.1"]},
    ])
    last, frames = vu.get_vexo_annotation_data("x", save_dir_base=top)
    assert list(last["masks_dict"]) == ["Box2", "Box-1"]
    want = np.zeros((480, 640), np.uint8)
    cv2.fillPoly(want, [np.array([(320, 240), (640, 240), (640, 480)], np.int32)], 1)
    got = last["masks_dict"]["Box2"]
    assert got.dtype == np.uint8 and got.shape == (480, 640)
    np.testing.assert_array_equal(got, want)
    union = np.zeros((480, 640), np.uint8)
    cv2.fillPoly(union, [np.array([(0, 0), (64, 0), (64, 48)], np.int32)], 1)
    cv2.fillPoly(union, [np.array([(320, 0), (384, 0), (384, 48)], np.int32)], 1)
    np.testing.assert_array_equal(last["masks_dict"]["Box-1"], union)
    assert last["mask_areas"] == {"Box2": int(want.sum()), "Box-1": int(union.sum())}
    path, masks, ids = vu.process_json_and_generate_masks(os.path.join(top, "output_pp_0.json"), 480, 640)
    assert path == image_640 and masks.shape == (2, 480, 640) and ids == [2, -1]


def test_selection_modes(tmp_path, image_640):
    top = str(tmp_path / "out")
    for n in range(3):
        write_frame(top, f"output_pp_{n}.json", image_640,
                    [{"object_id": 1, "formatted_polygon": ["0 0.1 0.1 0.2 0.1 0.2 0.2"]}])
    first, second = vu.get_vexo_annotation_data("x", ixx=1, save_dir_base=top)
    assert first is second and list(first) == [1]
    assert "intersections_df" not in first[1] and first[1]["frame_index"] == 1
    assert vu.get_vexo_annotation_data("x", False, 3, top) == ({}, {})
    last, frames = vu.get_vexo_annotation_data("x", True, -2, top)
    assert len(frames) == 3 and last["frame_index"] == 2
    only = str(tmp_path / "single")
    write_frame(only, "output_pp_5.json", image_640, [])
    last, frames = vu.get_vexo_annotation_data("x", save_dir_base=only)
    assert list(frames) == [0] and last["frame_index"] == 5


def test_pixel_size_comes_from_the_first_file(tmp_path, image_640):
    top = str(tmp_path / "out")
    small = str(tmp_path / "small.png")
    cv2.imwrite(small, np.zeros((10, 20, 3), np.uint8))
    write_frame(top, "output_pp_0.json", image_640, [])
    write_frame(top, "output_pp_1.json", small, [{"object_id": 1, "formatted_polygon": ["0 0 0 1 0 1 1"]}])
    last, _ = vu.get_vexo_annotation_data("x", save_dir_base=top)
    assert last["masks_dict"]["Box0"].shape == (480, 640)


def test_missing_folder_prints_and_returns_none(tmp_path, capsys):
    missing = str(tmp_path / "nothing")
    assert vu.get_vexo_annotation_data("x", save_dir_base=missing) == (None, None)
    assert capsys.readouterr().out == (
        f"No JSON files found in {missing}. Please check the directory and try again.\n")


@pytest.mark.parametrize("content, exc", [
    ("{broken", ValueError),
    ('{"detections": []}', KeyError),
    ('{"image_path": "IMG"}', KeyError),
    ('{"image_path": "IMG", "detections": [{"object_id": 1}]}', KeyError),
    ('{"image_path": "IMG", "detections": [{"formatted_polygon": ["p 0.1 x 0.2 0.3"]}]}', ValueError),
    ('{"image_path": "IMG", "detections": [{"formatted_polygon": ["p 0.1 0.2 0.3"]}]}', ValueError),
    ('{"image_path": "IMG", "detections": [{"formatted_polygon": ["p nan 0.2 0.3 0.4"]}]}', ValueError),
])
def test_malformed_files_raise(tmp_path, image_640, content, exc):
    top = tmp_path / "out"
    top.mkdir()
    write_frame(str(top), "output_pp_0.json", image_640, [])
    (top / "output_pp_1.json").write_text(content.replace("IMG", image_640))
    with pytest.raises(exc):
        vu.get_vexo_annotation_data("x", save_dir_base=str(top))


def test_bad_frame_number_and_missing_image_raise(tmp_path, image_640):
    top = str(tmp_path / "out")
    write_frame(top, "frame_1.json", image_640, [])
    with pytest.raises(ValueError, match="frame_1"):
        vu.get_vexo_annotation_data("x", save_dir_base=top)
    top2 = str(tmp_path / "out2")
    write_frame(top2, "output_pp_1.json", str(tmp_path / "gone.png"), [])
    with pytest.raises(FileNotFoundError, match="gone.png"):
        vu.get_vexo_annotation_data("x", save_dir_base=top2)
    with pytest.raises(FileNotFoundError):
        vu.process_json_and_generate_masks(str(tmp_path / "none.json"), 10, 10)
    with pytest.raises(ValueError):
        vu.process_json_and_generate_masks(os.path.join(top, "frame_1.json"), -1, 10)


def test_writer_reader_round_trip_matches_numpy(tmp_path):
    rng = np.random.default_rng(3)
    rows, cols = 90, 130
    top = str(tmp_path / "track")
    image = str(tmp_path / "img.jpg")
    cv2.imwrite(image, np.zeros((rows, cols, 3), np.uint8))
    truth = []
    for frame in range(4):
        masks = {}
        for oid in range(1, 7):
            m = np.zeros((rows, cols), np.uint8)
            for _ in range(int(rng.integers(1, 3))):
                c = (int(rng.integers(0, cols)), int(rng.integers(0, rows)))
                ax = (int(rng.integers(3, 25)), int(rng.integers(3, 18)))
                cv2.ellipse(m, c, ax, float(rng.integers(0, 180)), 0, 360, 1, -1)
            masks[oid] = m
        truth.append(masks)
        vexo_pipeline.write_tracking_frame(top, frame, image, masks)
    _, frames = vu.get_vexo_annotation_data("x", save_dir_base=top)
    assert len(frames) == 4
    for idx, rec in frames.items():
        keys = list(rec["masks_dict"])
        assert keys == [f"Box{i}" for i in range(6)]
        ms = [rec["masks_dict"][k].astype(bool) for k in keys]
        assert rec["mask_areas"] == {k: int(m.sum()) for k, m in zip(keys, ms)}
        want = np.zeros((6, 6))
        for i in range(6):
            for j in range(i):
                if ms[i].sum() > 1:
                    ov = np.logical_and(ms[i], ms[j]).sum()
                    want[i, j] = ov / ms[i].sum() * 100
                    want[j, i] = ov / ms[j].sum() * 100 if ms[j].sum() > 0 else 0
        np.testing.assert_array_equal(rec["intersections_df"].values, want)
        for k, oid in zip(keys, range(1, 7)):
            orig = truth[idx][oid].astype(bool)
            got = rec["masks_dict"][k].astype(bool)
            assert np.logical_and(orig, got).sum() / np.logical_or(orig, got).sum() > 0.9


def test_long_read_honours_keyboard_interrupt(tmp_path):
    import shutil
    import signal

    rows, cols = 600, 800
    image = str(tmp_path / "img.png")
    cv2.imwrite(image, np.zeros((rows, cols, 3), np.uint8))
    top = str(tmp_path / "clip")
    masks = {}
    for oid in range(1, 11):
        m = np.zeros((rows, cols), np.uint8)
        cv2.circle(m, (40 * oid + 100, 300), 60, 1, -1)
        masks[oid] = m
    first = vexo_pipeline.write_tracking_frame(top, 0, image, masks)
    for n in range(1, 400):
        shutil.copy(first, os.path.join(top, f"output_pp_{n}.json"))

    def on_alarm(signum, frame):
        raise KeyboardInterrupt

    old = signal.signal(signal.SIGALRM, on_alarm)
    try:
        signal.setitimer(signal.ITIMER_REAL, 0.02)
        with pytest.raises(KeyboardInterrupt):
            vu.get_vexo_annotation_data("x", save_dir_base=top)
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, old)
    # The module stays usable afterwards.
    _, frames = vu.get_vexo_annotation_data("x", ixx=3, save_dir_base=top)
    assert list(frames) == [3]
