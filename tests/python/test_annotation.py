"""Rendering and repairing per-frame tracking JSON files."""

import json
import os
import random

import numpy as np
import pytest
from PIL import Image, ImageDraw

import vexo_utils as vu


def make_frame(tmp_path, w=80, h=60, value=40, name="frame.png"):
    path = tmp_path / name
    Image.fromarray(np.full((h, w, 3), value, np.uint8)).save(path)
    return str(path)


def rect_polygon(x0, y0, x1, y1, label="0"):
    return f"{label} {x0} {y0} {x1} {y0} {x1} {y1} {x0} {y1}"


def write_annotation(tmp_path, image_path, detections, name="output_pp_0.json"):
    path = tmp_path / name
    path.write_text(json.dumps({"image_path": image_path, "detections": detections}))
    return str(path)


def colours_after_seed(seed, n):
    random.seed(seed)
    return [tuple(random.randint(0, 254) for _ in range(3)) for _ in range(n)]


def over(colour, alpha, base):
    return (np.array(colour) * alpha + base * (255 - alpha)) / 255


# ---------------------------------------------------------------- retrieve_annotation


def test_fill_colours_come_from_host_random(tmp_path):
    img = make_frame(tmp_path, w=100, h=50)
    dets = [
        {"object_id": 1, "formatted_polygon": [rect_polygon(0.1, 0.2, 0.3, 0.8)],
         "xyxy": [[10, 10, 30, 40]]},
        {"object_id": 2, "formatted_polygon": [rect_polygon(0.6, 0.2, 0.9, 0.8)],
         "xyxy": [[60, 10, 90, 40]]},
    ]
    path = write_annotation(tmp_path, img, dets)
    random.seed(11)
    first = vu.retrieve_annotation(path)
    assert isinstance(first, Image.Image) and first.mode == "RGBA" and first.size == (100, 50)
    random.seed(11)
    assert (np.asarray(vu.retrieve_annotation(path)) == np.asarray(first)).all()
    c1, c2 = colours_after_seed(11, 2)
    a = np.asarray(first).astype(int)
    assert np.abs(a[25, 20, :3] - over(c1, 100, 40)).max() <= 1
    assert np.abs(a[25, 75, :3] - over(c2, 100, 40)).max() <= 1
    assert (a[25, 50] == (40, 40, 40, 255)).all() and (a[..., 3] == 255).all()
    # Exactly three draws per detection were taken from the host generator.
    random.seed(11)
    vu.retrieve_annotation(path)
    after = random.random()
    random.seed(11)
    [random.randint(0, 254) for _ in range(6)]
    assert after == random.random()


def test_polygon_fill_matches_independent_pil_composite(tmp_path):
    img_arr = np.random.default_rng(2).integers(0, 256, size=(60, 80, 3), dtype=np.uint8)
    img = str(tmp_path / "noise.png")
    Image.fromarray(img_arr).save(img)
    # Integer pixel vertices so PIL's own fill is a fair reference.
    poly = "3 0.125 0.25 0.75 0.1 0.875 0.8 0.25 0.95"
    path = write_annotation(tmp_path, img, [{"object_id": 4, "formatted_polygon": [poly],
                                             "xyxy": []}])
    random.seed(3)
    out = np.asarray(vu.retrieve_annotation(path)).astype(int)
    (c,) = colours_after_seed(3, 1)
    overlay = Image.new("RGBA", (80, 60), (255, 255, 255, 0))
    pts = [(0.125 * 80, 0.25 * 60), (0.75 * 80, 0.1 * 60), (0.875 * 80, 0.8 * 60),
           (0.25 * 80, 0.95 * 60)]
    ImageDraw.Draw(overlay).polygon(pts, fill=c + (100,))
    ref = np.asarray(Image.alpha_composite(Image.fromarray(img_arr).convert("RGBA"), overlay))
    ref = ref.astype(int)
    diff = np.abs(out - ref).max(axis=2)
    # Boundary pixels may differ between fill rules; the composite itself agrees.
    inside = np.asarray(overlay)[..., 3] > 0
    assert (diff[inside] <= 1).mean() > 0.97 and (diff[~inside] <= 1).mean() > 0.99
    assert (diff <= 1).sum() >= diff.size - 2 * (80 + 60)


def test_six_decimal_vertices_cover_their_pixels(tmp_path):
    # Pixel vertices normalised and written with 6 decimals land a hair off
    # the pixel centres; the fill still covers the whole pixel rectangle.
    img = make_frame(tmp_path, w=480, h=320)
    x0, y0, x1, y1 = 361, 151, 389, 250
    poly = "0 " + " ".join(f"{x / 480:.6f} {y / 320:.6f}"
                           for x, y in ((x0, y0), (x1, y0), (x1, y1), (x0, y1)))
    path = write_annotation(tmp_path, img, [{"object_id": 1, "formatted_polygon": [poly],
                                             "xyxy": []}])
    tinted = np.any(np.asarray(vu.retrieve_annotation(path))[..., :3] != 40, axis=2)
    expected = np.zeros_like(tinted)
    expected[y0:y1 + 1, x0:x1 + 1] = True
    assert (tinted == expected).all()


def test_later_detection_replaces_earlier(tmp_path):
    img = make_frame(tmp_path)
    dets = [
        {"object_id": 1, "formatted_polygon": [rect_polygon(0.1, 0.1, 0.6, 0.6)], "xyxy": []},
        {"object_id": 2, "formatted_polygon": [rect_polygon(0.4, 0.4, 0.9, 0.9)], "xyxy": []},
    ]
    path = write_annotation(tmp_path, img, dets)
    random.seed(5)
    a = np.asarray(vu.retrieve_annotation(path)).astype(int)
    c1, c2 = colours_after_seed(5, 2)
    # Overlap (x 32..48, y 24..36): the second colour once, not a double tint.
    assert np.abs(a[30, 40, :3] - over(c2, 100, 40)).max() <= 1
    assert np.abs(a[12, 12, :3] - over(c1, 100, 40)).max() <= 1


def test_object_ids_select_detections(tmp_path):
    img = make_frame(tmp_path, w=100, h=40)
    dets = [
        {"object_id": i, "formatted_polygon": [rect_polygon(0.3 * (i - 1), 0.1, 0.3 * i - 0.05, 0.9)],
         "xyxy": [[30 * (i - 1), 4, 30 * i - 5, 36]]}
        for i in (1, 2, 3)
    ]
    path = write_annotation(tmp_path, img, dets)
    random.seed(8)
    a = np.asarray(vu.retrieve_annotation(path, object_ids=[2])).astype(int)
    (c,) = colours_after_seed(8, 1)  # one colour drawn: only the selected detection
    assert (a[20, 10, :3] == 40).all() and (a[20, 75, :3] == 40).all()
    assert np.abs(a[20, 45, :3] - over(c, 100, 40)).max() <= 1
    for ids in ({2}, (2,), np.array([2])):
        random.seed(8)
        assert (np.asarray(vu.retrieve_annotation(path, None, False, ids)) == a).all()
    random.seed(8)
    assert (np.asarray(vu.retrieve_annotation(path, object_ids=[])) ==
            np.asarray(Image.open(img).convert("RGBA"))).all()


def test_boxes_and_labels(tmp_path):
    img = make_frame(tmp_path, w=80, h=60, value=0)
    dets = [{"object_id": 3, "formatted_polygon": [],
             "xyxy": [[0, 0, 10, 10], [20, 30, 40, 50]]}]
    path = write_annotation(tmp_path, img, dets)
    random.seed(1)
    plain = np.asarray(vu.retrieve_annotation(path))
    assert (plain[..., :3] == 0).all()  # no box without box_drawing
    random.seed(1)
    a = np.asarray(vu.retrieve_annotation(path, box_drawing=True))
    (c,) = colours_after_seed(1, 1)
    is_box = np.all(a[..., :3] == c, axis=2)
    # The last box (20, 30)-(40, 50), 2 pixels wide; the first box is not drawn.
    assert is_box[49:51, 20:41].all() and is_box[30:51, 39:41].all() and is_box[30:51, 20:22].all()
    assert not is_box[32:49, 22:39].any() and not is_box[0:11, 0:11].any()
    assert not is_box[51:].any() and not is_box[31:, 41:].any() and not is_box[:, :20].any()
    # Label background above (20, 30): opaque colour with white text inside.
    top = np.nonzero(is_box[:30, 20])[0].min()
    th = 30 - 4 - top
    assert 5 <= th <= 12 and is_box[top:30, 20].all()
    assert (a[top:30, 22:40, 0] >= 200).sum() > 15
    # The same picture with "Box 2" drawn for object_id 3 as with a different id
    # would differ only in the label text.
    dets[0]["object_id"] = 7
    path2 = write_annotation(tmp_path, img, dets, name="other.json")
    random.seed(1)
    b = np.asarray(vu.retrieve_annotation(path2, box_drawing=True))
    assert (a[31:] == b[31:]).all() and (a[top:30] != b[top:30]).any()


def test_save_path_and_empty_cases(tmp_path):
    img = make_frame(tmp_path)
    dets = [{"object_id": 1, "formatted_polygon": [rect_polygon(0.1, 0.1, 0.5, 0.5)], "xyxy": []}]
    path = write_annotation(tmp_path, img, dets)
    before = set(os.listdir(tmp_path))
    random.seed(0)
    vu.retrieve_annotation(path, save_path="")
    assert set(os.listdir(tmp_path)) == before
    out_path = str(tmp_path / "render.png")
    random.seed(0)
    res = vu.retrieve_annotation(path, out_path, True)  # empty xyxy: box and label skipped
    saved = Image.open(out_path)
    assert saved.mode == "RGBA" and (np.asarray(saved) == np.asarray(res)).all()
    empty = write_annotation(tmp_path, img, [], name="empty.json")
    got = vu.retrieve_annotation(empty)
    assert got.mode == "RGBA" and (np.asarray(got) == np.asarray(Image.open(img).convert("RGBA"))).all()


def test_retrieve_annotation_errors(tmp_path):
    img = make_frame(tmp_path)
    with pytest.raises(KeyError):
        vu.retrieve_annotation(write_annotation(tmp_path, img, [{"formatted_polygon": [],
                                                                  "xyxy": []}], "a.json"))
    with pytest.raises(KeyError):
        vu.retrieve_annotation(write_annotation(tmp_path, img, [{"object_id": 1, "xyxy": []}],
                                                "b.json"))
    with pytest.raises(KeyError):
        vu.retrieve_annotation(write_annotation(tmp_path, img, [{"object_id": 1,
                                                                  "formatted_polygon": []}], "c.json"))
    with pytest.raises(ValueError):
        vu.retrieve_annotation(write_annotation(
            tmp_path, img, [{"object_id": 1, "formatted_polygon": ["0 0.1 zz"], "xyxy": []}], "d.json"))
    with pytest.raises(FileNotFoundError):
        vu.retrieve_annotation(write_annotation(tmp_path, str(tmp_path / "nope.png"), [], "e.json"))
    with pytest.raises(FileNotFoundError):
        vu.retrieve_annotation(str(tmp_path / "missing.json"))
    ok = write_annotation(tmp_path, img, [], "f.json")
    with pytest.raises(OSError):
        vu.retrieve_annotation(ok, save_path=str(tmp_path / "x.unknownext"))
    with pytest.raises(TypeError):
        vu.retrieve_annotation(None)


# ---------------------------------------------------------------- fix_polygon_scaling


def test_fix_scaling_example_and_text_layout(tmp_path):
    img = str(tmp_path / "wide.png")
    Image.new("L", (1920, 1080)).save(img)
    doc = {
        "zeta": 1,
        "image_path": img,
        "detections": [
            {"object_id": 1, "formatted_polygon": ["0 0.5 0.5", "7 1 0 0.25 1"],
             "xyxy": [[1.5, 2, 3e-07, 1e+16]], "empty": {}, "none": None, "flag": True},
            {"formatted_polygon": [], "name": "caf\u00e9 \U0001F416 \"q\"\n", "list": []},
        ],
        "alpha": 0.1,
    }
    src = tmp_path / "in.json"
    src.write_text(json.dumps(doc))
    out = tmp_path / "out.json"
    vu.fix_polygon_scaling(str(src), str(out))
    assert json.loads(src.read_text()) == doc  # the input is untouched
    expected = json.loads(json.dumps(doc))
    expected["detections"][0]["formatted_polygon"] = ["0 0.281250 0.888889",
                                                      "7 0.562500 0.000000 0.140625 1.777778"]
    text = out.read_text()
    assert text == json.dumps(expected, indent=4)
    assert list(json.loads(text)) == ["zeta", "image_path", "detections", "alpha"]


def test_fix_scaling_overwrites_and_repeats(tmp_path):
    img = str(tmp_path / "tall.png")
    Image.new("RGB", (40, 100)).save(img)
    src = tmp_path / "frame.json"
    src.write_text(json.dumps({"image_path": img, "detections": [
        {"object_id": 1, "formatted_polygon": ["0 0.1 0.2 0.3 0.04"]}]}))
    vu.fix_polygon_scaling(str(src))
    once = json.loads(src.read_text())["detections"][0]["formatted_polygon"][0]
    assert once == "0 0.250000 0.080000 0.750000 0.016000"
    vu.fix_polygon_scaling(json_path=str(src), save_path=None)
    twice = json.loads(src.read_text())["detections"][0]["formatted_polygon"][0].split()
    assert twice[0] == "0"
    assert [float(v) for v in twice[1:]] == pytest.approx([0.625, 0.032, 1.875, 0.0064], abs=1e-6)
    assert [f for f in os.listdir(tmp_path) if f.startswith(".")] == []


def test_fix_scaling_square_image_only_rounds(tmp_path):
    img = str(tmp_path / "sq.png")
    Image.new("RGB", (64, 64)).save(img)
    src = tmp_path / "sq.json"
    src.write_text(json.dumps({"image_path": img, "detections": [
        {"formatted_polygon": ["5 0.123456789 1e-3 +0.5 -0.25"]}]}))
    vu.fix_polygon_scaling(str(src))
    assert json.loads(src.read_text())["detections"][0]["formatted_polygon"] == [
        "5 0.123457 0.001000 0.500000 -0.250000"]


def test_fix_scaling_unreadable_image_writes_nothing(tmp_path, capsys):
    src = tmp_path / "f.json"
    original = json.dumps({"image_path": str(tmp_path / "gone.png"), "detections": []})
    src.write_text(original)
    vu.fix_polygon_scaling(str(src))
    line = capsys.readouterr().out
    assert line.startswith("Error loading image: ") and "gone.png" in line and line.endswith("\n")
    assert src.read_text() == original
    broken = tmp_path / "broken.png"
    broken.write_bytes(b"not an image")
    src.write_text(json.dumps({"image_path": str(broken), "detections": []}))
    vu.fix_polygon_scaling(str(src), str(tmp_path / "never.json"))
    assert capsys.readouterr().out.startswith("Error loading image: ")
    assert not (tmp_path / "never.json").exists()


def test_fix_scaling_failures_keep_the_original(tmp_path):
    img = str(tmp_path / "i.png")
    Image.new("RGB", (20, 10)).save(img)
    src = tmp_path / "f.json"
    for bad, exc in ((["0 0.1"], ValueError), (["0 0.1 x"], ValueError), ([""], ValueError)):
        text = json.dumps({"image_path": img, "detections": [{"formatted_polygon": bad}]})
        src.write_text(text)
        with pytest.raises(exc):
            vu.fix_polygon_scaling(str(src))
        assert src.read_text() == text
    src.write_text(json.dumps({"image_path": img, "detections": [{"object_id": 1}]}))
    with pytest.raises(KeyError):
        vu.fix_polygon_scaling(str(src))
    src.write_text(json.dumps({"detections": []}))
    with pytest.raises(KeyError):
        vu.fix_polygon_scaling(str(src))
    good = json.dumps({"image_path": img, "detections": [{"formatted_polygon": ["0 0.5 0.5"]}]})
    src.write_text(good)
    with pytest.raises(OSError):
        vu.fix_polygon_scaling(str(src), str(tmp_path / "no_such_dir" / "out.json"))
    assert src.read_text() == good
