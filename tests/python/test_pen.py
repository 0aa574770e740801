"""Pen polygon files and pen membership of boxes and masks."""

import json

import cv2
import numpy as np
import pytest
from PIL import Image
from shapely.geometry import Polygon, box as shapely_box

import vexo_utils as vu


def write_pen(path, shapes):
    path.write_text(json.dumps({"version": "5", "shapes": shapes}))
    return str(path)


def pen_file(tmp_path, points, name="pen.json"):
    return write_pen(tmp_path / name, [{"label": "pen", "points": points}])


# ---------------------------------------------------------------- get_pen_json_path


def test_camera_table_lookup():
    p = vu.get_pen_json_path(r"D:\data\Camera64_1_20240101120000\0min_to_0.1min")
    assert isinstance(p, str) and p.endswith("Cam64.json")
    for cam in ("61", "62", "64", "65", "66", "70"):
        found = vu.get_pen_json_path(rf"E:\rec\Camera{cam}_2_20240101\x")
        assert found.endswith(f"Cam{cam}.json")
    # One folder for every camera.
    dirs = {vu.get_pen_json_path(rf"X:\Camera{c}_1").rsplit("/", 1)[0] for c in ("61", "70")}
    assert len(dirs) == 1
    # A component without an underscore is the whole name.
    assert vu.get_pen_json_path(r"D:\Camera65\frames").endswith("Cam65.json")


def test_unknown_cameras_give_none():
    assert vu.get_pen_json_path(r"D:\data\MyCamera61_x\frames") is None
    assert vu.get_pen_json_path(r"D:\data\Camera63_1_20240101\frames") is None
    assert vu.get_pen_json_path(r"D:\data\no_camera_here") is None
    assert vu.get_pen_json_path("") is None
    # Forward slashes do not separate: the name keeps the folders before it.
    assert vu.get_pen_json_path("D:/data/Camera64_1_20240101120000/frames") is None
    # The first component holding "Camera" decides, even when a later one is known.
    assert vu.get_pen_json_path(r"D:\Camera63_a\Camera64_b") is None


def test_custom_path_wins():
    for d in (r"D:\Camera64_1\f", r"D:\MyCamera61_x", "nothing", ""):
        assert vu.get_pen_json_path(d, "pen_polygon.json") == "pen_polygon.json"
        assert vu.get_pen_json_path(d, custom_pen_json_path="") == ""
    with pytest.raises(TypeError):
        vu.get_pen_json_path(None)
    with pytest.raises(TypeError):
        vu.get_pen_json_path(r"D:\Camera64_1", 5)


# ---------------------------------------------------------------- draw_pen


def test_draw_pen_reads_first_shape_as_stored(tmp_path):
    path = write_pen(
        tmp_path / "two.json",
        [{"points": [[1, 2], [3.5, 4], [5, 6.25]]}, {"points": [[100, 100], [200, 200]]}],
    )
    poly = vu.draw_pen("does/not/exist.jpg", path)
    assert poly == [(1, 2), (3.5, 4), (5, 6.25)]
    assert [type(v) for p in poly for v in p] == [int, int, float, int, int, float]
    assert vu.draw_pen(image_path="x", json_path=path, drawout=False) == poly


@pytest.mark.parametrize("shapes", [[], None, False])
def test_draw_pen_no_shapes(tmp_path, shapes):
    path = write_pen(tmp_path / "empty.json", shapes)
    with pytest.raises(ValueError, match=r"^No shapes found in the JSON file\.$"):
        vu.draw_pen("x.jpg", path)


def test_draw_pen_reports_bad_files(tmp_path):
    with pytest.raises(FileNotFoundError):
        vu.draw_pen("x.jpg", str(tmp_path / "missing.json"))
    bad = tmp_path / "bad.json"
    bad.write_text("{not json")
    with pytest.raises(ValueError):
        vu.draw_pen("x.jpg", str(bad))
    nokey = tmp_path / "nokey.json"
    nokey.write_text('{"points": []}')
    with pytest.raises(KeyError):
        vu.draw_pen("x.jpg", str(nokey))
    nopoints = write_pen(tmp_path / "nopoints.json", [{"label": "pen"}])
    with pytest.raises(KeyError):
        vu.draw_pen("x.jpg", nopoints)
    good = pen_file(tmp_path, [[0, 0], [5, 0], [5, 5]])
    with pytest.raises(FileNotFoundError):
        vu.draw_pen(str(tmp_path / "missing.png"), good, True)


def test_draw_pen_red_outline(tmp_path):
    frame = np.full((120, 140, 3), 40, np.uint8)
    frame[..., 2] = 90
    img_path = str(tmp_path / "frame.png")
    Image.fromarray(frame).save(img_path)
    path = pen_file(tmp_path, [[10, 10], [100, 10], [100, 80]])
    img, poly = vu.draw_pen(img_path, path, drawout=True)
    assert poly == [(10, 10), (100, 10), (100, 80)]
    assert isinstance(img, Image.Image) and img.mode == "RGB" and img.size == (140, 120)
    a = np.asarray(img)
    red = np.all(a == (255, 0, 0), axis=2)
    # Top side: rows 9..11 across columns 10..100.
    assert red[9:12, 12:99].all() and not red[8, 20:99].any() and not red[12, 20:99].any()
    # Right side: columns 99..101 across rows 10..80.
    assert red[12:79, 99:102].all() and not red[12:70, 98].any() and not red[12:79, 102].any()
    # Closing side from (100, 80) back to (10, 10): about 3 pixels thick.
    for x in range(20, 95, 7):
        y = 10 + (x - 10) * 70 / 90
        col = np.nonzero(red[:, x])[0]
        col = col[(col > 12) & (col < 79)]
        assert len(col) in (3, 4, 5) and abs(col.mean() - y) < 1.0
    # Nothing is filled and the rest of the frame is untouched.
    assert not red[40, 70] and (a[~red] == frame[~red]).all()
    # The file image is not modified.
    assert (np.asarray(Image.open(img_path)) == frame).all()


def test_draw_pen_converts_grey_and_rgba_frames(tmp_path):
    path = pen_file(tmp_path, [[2, 2], [20, 2], [20, 20]])
    for mode in ("L", "RGBA"):
        p = str(tmp_path / f"f_{mode}.png")
        Image.new(mode, (30, 30)).save(p)
        img, _ = vu.draw_pen(p, path, True)
        assert img.mode == "RGB" and tuple(np.asarray(img)[2, 10]) == (255, 0, 0)


# ---------------------------------------------------------------- pen ratios


SQUARE = [(0, 0), (100, 0), (100, 100), (0, 100)]


def test_ratio_examples():
    ratios, flags = vu.calculate_pen_intersection_ratio(SQUARE, [[50, 50, 150, 150]], 40)
    assert ratios == [25.0] and flags == [False]
    assert vu.calculate_pen_intersection_ratio(SQUARE, [[50, 50, 150, 150]], 25)[1] == [True]
    ratios, flags = vu.calculate_pen_intersection_ratio(
        SQUARE, np.array([[10, 10, 20, 30], [200, 200, 260, 210]]), 40)
    assert ratios == [100.0, 0.0] and flags == [True, False]
    assert all(type(r) is float for r in ratios) and all(type(f) is bool for f in flags)
    # Corners may come in any order; the area is the rectangle's.
    assert vu.calculate_pen_intersection_ratio(SQUARE, [(150, 150, 50, 50)], 0)[0] == [25.0]
    assert vu.calculate_pen_intersection_ratio(SQUARE, [], 40) == ([], [])
    assert vu.calculate_pen_intersection_ratio(SQUARE, np.zeros((0, 4)), 40) == ([], [])


def test_ratio_uses_real_vertices():
    pen = [(10.7, 20.2), (90.3, 20.2), (90.3, 80.9), (10.7, 80.9)]
    (r,), _ = vu.calculate_pen_intersection_ratio(pen, [[0, 0, 50, 50]], 40)
    assert r == pytest.approx((50 - 10.7) * (50 - 20.2) / 2500 * 100, rel=1e-12)


def test_ratio_against_shapely_on_random_boxes():
    rng = np.random.default_rng(7)
    # A non-convex simple pen outline (a star).
    angles = np.linspace(0, 2 * np.pi, 14, endpoint=False)
    radii = np.where(np.arange(14) % 2 == 0, 300.0, 140.0)
    pen = [(400 + r * np.cos(a), 300 + r * np.sin(a)) for a, r in zip(angles, radii)]
    xy = rng.uniform(0, 800, size=(300, 2))
    wh = rng.uniform(1, 250, size=(300, 2))
    boxes = np.hstack([xy, xy + wh])
    ratios, flags = vu.calculate_pen_intersection_ratio(pen, boxes.tolist(), 40)
    sp = Polygon(pen)
    expected = [sp.intersection(shapely_box(*b)).area / shapely_box(*b).area * 100 for b in boxes]
    assert np.allclose(ratios, expected, rtol=1e-9, atol=1e-9)
    assert flags == [r >= 40 for r in ratios]
    assert 0 < sum(flags) < len(flags)


def test_ratio_threshold_is_inclusive():
    ratios, flags = vu.calculate_pen_intersection_ratio(SQUARE, [[0, 0, 100, 200]], 50.0)
    assert ratios == [50.0] and flags == [True]


def test_ratio_errors():
    with pytest.raises(ValueError, match="zero area"):
        vu.calculate_pen_intersection_ratio(SQUARE, [[10, 10, 10, 20]], 40)
    with pytest.raises(ValueError, match="zero area"):
        vu.calculate_pen_intersection_ratio(SQUARE, [[10, 10, 30, 30], [5, 7, 9, 7]], 40)
    for bad_boxes in ([[1, 2, 3]], [[1, 2, 3, float("nan")]], "boxes", None):
        with pytest.raises((TypeError, ValueError)):
            vu.calculate_pen_intersection_ratio(SQUARE, bad_boxes, 40)
    for bad_pen in ([(0, 0), (1, 1)], [(0, 0, 1)], None, [(0, 0), (1, float("inf")), (2, 0)]):
        with pytest.raises((TypeError, ValueError)):
            vu.calculate_pen_intersection_ratio(bad_pen, [[0, 0, 1, 1]], 40)
    with pytest.raises(TypeError):
        vu.calculate_pen_intersection_ratio(SQUARE, [[0, 0, 1, 1]], None)


# ---------------------------------------------------------------- get_in_pen_mask


def expected_pen_mask(points, h, w):
    m = np.zeros((h, w), np.uint8)
    cv2.fillPoly(m, [np.array([(int(x), int(y)) for x, y in points], np.int32)], 1)
    return m.astype(bool)


@pytest.mark.parametrize("seed", range(4))
def test_pen_mask_matches_fillpoly(tmp_path, seed):
    rng = np.random.default_rng(seed)
    h, w = 90, 130
    # Random vertices with fractions, some beyond the frame on every side.
    pts = [(float(x), float(y)) for x, y in rng.uniform([-40, -30], [170, 120], size=(7, 2))]
    path = pen_file(tmp_path, [list(p) for p in pts])
    mask = rng.integers(0, 2, size=(h, w)).astype(np.uint8)
    out = vu.get_in_pen_mask(0, mask, path, ["f0.jpg"])
    assert out.dtype == np.uint8 and out.shape == (h, w)
    assert (out == (mask.astype(bool) & expected_pen_mask(pts, h, w))).all()


def test_in_pen_mask_keeps_shape_and_dtype(tmp_path):
    path = pen_file(tmp_path, [[100, 50], [500, 50], [500.9, 400.7], [100, 400]])
    pen = expected_pen_mask([(100, 50), (500, 50), (500.9, 400.7), (100, 400)], 480, 640)
    frames = [f"{i:04d}.jpg" for i in range(3)]
    inside = np.zeros((1, 480, 640), bool)
    inside[0, 100:300, 200:400] = True
    out = vu.get_in_pen_mask(2, inside, path, frames)
    assert out.shape == (1, 480, 640) and out.dtype == bool
    assert (out == inside).all() and out is not inside
    outside = np.zeros((480, 640), np.uint8)
    outside[420:470, 10:60] = 1
    assert vu.get_in_pen_mask(1, outside, path, frames).sum() == 0
    everything = np.ones((480, 640), np.float32)
    got = vu.get_in_pen_mask(-1, everything, path, frames)
    assert got.dtype == np.float32 and (got == pen).all()
    # Non-contiguous input and the caller's array left untouched.
    wide = np.ones((480, 1280), np.uint8)[:, ::2]
    assert (vu.get_in_pen_mask(0, wide, path, frames) == pen).all() and wide.all()


def test_in_pen_mask_errors(tmp_path):
    path = pen_file(tmp_path, [[0, 0], [10, 0], [10, 10]])
    m = np.ones((20, 20), np.uint8)
    with pytest.raises(IndexError):
        vu.get_in_pen_mask(1, m, path, ["only.jpg"])
    with pytest.raises(IndexError):
        vu.get_in_pen_mask(-2, m, path, ["only.jpg"])
    with pytest.raises(TypeError):
        vu.get_in_pen_mask(0, None, path, ["a.jpg"])
    with pytest.raises(TypeError):
        vu.get_in_pen_mask(0, m.astype(object), path, ["a.jpg"])
    with pytest.raises(ValueError):
        vu.get_in_pen_mask(0, np.ones((2, 20, 20), np.uint8), path, ["a.jpg"])
    with pytest.raises(TypeError):
        vu.get_in_pen_mask("0", m, path, ["a.jpg"])
    empty = write_pen(tmp_path / "empty.json", [])
    with pytest.raises(ValueError, match="No shapes found"):
        vu.get_in_pen_mask(0, m, empty, ["a.jpg"])
