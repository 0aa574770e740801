"""Detection filtering, mask similarity and the first-frame initializer, driven
end to end through the stand-in models."""

import json

import cv2
import numpy as np
import pytest
import torch
from PIL import Image

import vexo_utils as vu
from vexo_pipeline import StandinImagePredictor, make_detector, scripted_detections

H, W = 120, 160


def write_frames(folder, n, h=H, w=W, seed=0):
    rng = np.random.default_rng(seed)
    paths = []
    for i in range(n):
        p = folder / f"{i:04d}.png"
        Image.fromarray(rng.integers(0, 255, (h, w, 3), dtype=np.uint8)).save(p)
        paths.append(str(p))
    return paths


def write_pen(folder, points=((0, 0), (W, 0), (W, H), (0, H)), name="pen.json"):
    p = folder / name
    p.write_text(json.dumps({"shapes": [{"points": [list(v) for v in points]}]}))
    return str(p)


def block_masks(n, h=H, w=W, dtype=np.float32):
    """n disjoint 2 x 2 masks shaped as the segmenter returns them."""
    m = np.zeros((n, 1, h, w), dtype=dtype)
    for i in range(n):
        m[i, 0, 0:2, 3 * i:3 * i + 2] = 1
    return m[:, 0] if n == 1 else m


def disjoint_script(dtype=np.float32, h=H, w=W):
    return lambda image, boxes: block_masks(len(boxes), h, w, dtype)


def run(frames, pen, detector_script, predictor=None, use_torch=None, **kw):
    proc, model = make_detector(script=detector_script, use_torch=use_torch)
    pred = predictor or StandinImagePredictor(script=disjoint_script())
    out = vu.initializer("D:\\data\\Camera99_1\\x", frames, proc, model, "cpu", pred,
                         custom_pen_json_path=pen, **kw)
    return out, proc, model, pred


# --------------------------------------------------------------- filtering

@pytest.mark.parametrize("as_tensor", [True, False])
def test_process_gdino_results_reading_order_and_exact_labels(as_tensor):
    boxes = np.array([[50, 10, 60, 20], [5, 30, 9, 40], [20, 10, 30, 20], [20, 10, 31, 21]],
                     dtype=np.float32)
    scores = np.array([0.1, 0.2, 0.3, 0.4], dtype=np.float32)
    if as_tensor:
        boxes, scores = torch.from_numpy(boxes), torch.from_numpy(scores)
    res = [{"scores": scores, "labels": ["pig", "pig", "pig", "pig pig"], "boxes": boxes}]
    b, s, l = vu.process_gdino_results(res)
    # Equal y_min: smaller x_min first; "pig pig" is not "pig".
    assert b.dtype == np.float32 and b.tolist() == [[20, 10, 30, 20], [50, 10, 60, 20],
                                                     [5, 30, 9, 40]]
    assert s.tolist() == pytest.approx([0.3, 0.1, 0.2])
    assert list(l) == ["pig", "pig", "pig"]

    # No label equals the target: every detection, sorted; ties keep detector order.
    res = [{"scores": [0.5, 0.6, 0.7], "labels": ["pigs", "pigs", "pigs"],
            "boxes": [[3, 5, 4, 6], [1, 1, 2, 2], [1, 1, 9, 9]]}]
    b, s, l = vu.process_gdino_results(res, target_label="pig")
    assert s.tolist() == [0.6, 0.7, 0.5]
    assert list(l) == ["pigs"] * 3


def test_process_gdino_results_empty_and_malformed():
    b, s, l = vu.process_gdino_results([{"scores": torch.zeros(0), "labels": [],
                                         "boxes": torch.zeros((0, 4))}])
    assert b.shape == (0, 4) and s.shape == (0,) and len(l) == 0
    b, _, _ = vu.process_gdino_results([{"scores": [], "labels": [], "boxes": []}])
    assert b.shape == (0, 4)
    with pytest.raises(ValueError, match="line up"):
        vu.process_gdino_results([{"scores": [0.5], "labels": ["pig", "pig"],
                                   "boxes": [[0, 0, 1, 1]]}])
    with pytest.raises(ValueError, match="N x 4"):
        vu.process_gdino_results([{"scores": [0.5], "labels": ["pig"], "boxes": [[0, 0, 1]]}])
    with pytest.raises(KeyError):
        vu.process_gdino_results([{"scores": [0.5], "labels": ["pig"]}])
    with pytest.raises(IndexError):
        vu.process_gdino_results([])
    with pytest.raises(TypeError):
        vu.process_gdino_results(None)


# -------------------------------------------------------------- similarity

def test_similarity_tables():
    a = np.zeros((20, 30), bool)
    a[0:4, 0:4] = True
    b = np.zeros((20, 30), np.uint8)
    b[0:4, 2:6] = 1
    empty = np.zeros((20, 30), np.float32)
    iou = vu.cal_masks_iou_scores(np.stack([a, b.astype(bool)]), [a, b])
    assert iou.shape == (2, 2) and iou.dtype == np.float64
    assert iou[0, 0] == 16 / (16 + 1e-06)
    assert iou[0, 1] == 8 / (24 + 1e-06)
    far = np.zeros((20, 30), bool)
    far[15:, 25:] = True
    assert vu.cal_masks_iou_scores([far], [a])[0, 0] == 0.0

    cs = vu.cal_centroid_distance([a, b, empty], [a, b])
    top = 2.0 + 1.0 + 1e-06  # centroids 2 apart; the empty row takes 2 + 1
    assert cs[0, 0] == 1.0
    assert cs[0, 1] == pytest.approx(1 - 2.0 / top, abs=1e-15)
    assert cs[2].tolist() == pytest.approx([1e-06 / top] * 2, abs=1e-15)
    assert cs[2].max() <= cs[:2].min()
    assert np.isnan(vu.cal_centroid_distance([empty], [a])).all()
    assert vu.cal_centroid_distance([], [a, b]).shape == (0, 2)
    assert vu.cal_masks_iou_scores([a], np.zeros((0, 20, 30), bool)).shape == (1, 0)
    with pytest.raises(ValueError):
        vu.cal_masks_iou_scores([a], [np.zeros((5, 5), bool)])
    with pytest.raises(TypeError):
        vu.cal_centroid_distance(None, [a])


# ------------------------------------------------------------- initializer

def test_initializer_feeds_the_models_exactly(tmp_path, capsys):
    frames = write_frames(tmp_path, 1)
    pen = write_pen(tmp_path)
    script = {"0000.png": scripted_detections(
        [[100, 50, 120, 70], [10, 20, 30, 40], [40, 20, 60, 40]], [0.5, 0.875, 0.625])}
    out, proc, model, pred = run(frames, pen, script, gdino_thr=0.3, close_set_num=3)
    masks, labels, idx, image = out
    assert idx == 0 and labels == ["pig", "pig", "pig"]
    # The predictor's own masks (float32 here), kept entries in box order.
    assert masks.shape == (3, H, W) and masks.dtype == np.float32
    assert isinstance(image, Image.Image) and image.mode == "RGBA" and image.size == (W, H)

    call = proc.calls[0]
    assert call["text"] == "pig." and call["return_tensors"] == "pt"
    assert isinstance(call["images"], Image.Image) and call["images"].filename == frames[0]
    assert proc.devices == ["cpu"]
    assert model.grad_enabled == [False]
    pp = proc.post_process_calls[0]
    assert pp["text_threshold"] == 0.3 and not pp["box_threshold_given"]
    assert pp["target_sizes"] == [(H, W)]
    assert torch.equal(pp["input_ids"], model.calls[0]["input_ids"])
    rgb = np.asarray(Image.open(frames[0]).convert("RGB"))
    assert pred.set_image_calls[0].dtype == np.uint8
    assert np.array_equal(pred.set_image_calls[0], rgb)
    p = pred.predict_calls[0]
    assert p["point_coords"] is None and p["point_labels"] is None
    assert p["multimask_output"] is False
    assert np.asarray(p["box"]).tolist() == [[10, 20, 30, 40], [40, 20, 60, 40],
                                             [100, 50, 120, 70]]
    assert capsys.readouterr().out == (
        f"Using pen JSON path: {pen}\n"
        "Boxes will be kept: [0 1 2], totally 3 keys\n"
        "ann_frame_idx [0] works!!!\n"
        "[0.875 0.625 0.5]\n")


def test_initializer_pen_and_size_limits(tmp_path):
    # 1080 rows: half height 540; wide boxes may leave the frame, the pen is large.
    frames = write_frames(tmp_path, 1, h=1080, w=24)
    pen = write_pen(tmp_path, [(-9000, -9000), (9000, -9000), (9000, 9000), (-9000, 9000)])
    boxes = [[0, 539, 1500, 1539],   # area 1,500,000 above half height: dropped
             [1, 540, 1501, 1540],   # same area below: kept (4,000,000 limit)
             [2, 541, 2002, 2541],   # 4,000,000: dropped
             [3, 542, 2002.5, 2542],  # just under 4,000,000: kept
             [4, 100, 1503, 600]]    # 1,499,500 above half height: kept
    pred = StandinImagePredictor(script=disjoint_script(h=1080, w=24))
    out, *_ = run(frames, pen, [(boxes, [0.9] * 5)], predictor=pred, close_set_num=3)
    assert out[2] == 0
    assert np.asarray(pred.predict_calls[0]["box"]).tolist() == [
        [4, 100, 1503, 600], [1, 540, 1501, 1540], [3, 542, 2002.5, 2542]]

    # Pen ratio at least 40 percent: 4 of 10 columns inside passes, 3.5 does not.
    frames = write_frames(tmp_path, 1)
    pen = write_pen(tmp_path, [(0, 0), (100, 0), (100, 100), (0, 100)], "small.json")
    pred = StandinImagePredictor(script=disjoint_script())
    out, *_ = run(frames, pen, [([[96, 0, 106, 10], [96.5, 20, 106.5, 30]], [0.9, 0.8])],
                  predictor=pred, close_set_num=1)
    assert out[2] == 0
    assert np.asarray(pred.predict_calls[0]["box"]).tolist() == [[96, 0, 106, 10]]


def overlap_masks(extra):
    """Masks 0 and 1 share `extra` of mask 0's 100 pixels; mask 2 lies apart."""
    m = np.zeros((3, 1, H, W), bool)
    m[0, 0, 0:10, 0:10] = True         # 100 pixels
    m[1, 0, 50:90, 50:100] = True      # 2000 pixels, covers `extra` pixels of mask 0
    m[1, 0, 0:1, 0:extra] = True
    m[2, 0, 100:110, 140:150] = True
    return m


@pytest.mark.parametrize("extra,kept", [(8, [0, 1, 2]), (9, [1, 2])])
def test_initializer_overlap_removal_and_renumbering(tmp_path, capsys, extra, kept):
    frames = write_frames(tmp_path, 1)
    pen = write_pen(tmp_path)
    boxes = [[0, 0, 10, 10], [50, 50, 100, 90], [140, 100, 150, 110]]
    masks = overlap_masks(extra)
    pred = StandinImagePredictor(script=[masks])
    out, *_ = run(frames, pen, [(boxes, [0.5, 0.75, 0.25])], predictor=pred,
                  close_set_num=len(kept))
    got, labels, idx, _ = out
    assert idx == 0 and len(labels) == len(kept)
    # Mask 0 loses (lower confidence than mask 1); keys renumber from Box0.
    for k, i in enumerate(kept):
        assert np.array_equal(got[k], masks[i, 0].astype(np.uint8))
    text = " ".join(str(i) for i in kept)
    assert f"Boxes will be kept: [{text}], totally {len(kept)} keys\n" in capsys.readouterr().out


def test_initializer_equal_confidence_pair_loses_both(tmp_path, capsys):
    frames = write_frames(tmp_path, 1)
    pen = write_pen(tmp_path)
    m = np.zeros((3, 1, H, W), np.uint8)
    m[0, 0, 0:10, 0:10] = 1
    m[1, 0, 0:10, 0:10] = 1
    m[2, 0, 50:60, 50:60] = 1
    out, *_ = run(frames, pen, [([[0, 0, 10, 10], [0, 1, 10, 10], [50, 50, 60, 60]],
                                 [0.5, 0.5, 0.9])],
                  predictor=StandinImagePredictor(script=[m]), close_set_num=1)
    assert out[2] == 0 and np.array_equal(out[0][0], m[2, 0])
    assert "Boxes will be kept: [2], totally 1 keys" in capsys.readouterr().out


def test_initializer_walk_and_messages(tmp_path, capsys):
    frames = write_frames(tmp_path, 25)
    pen = write_pen(tmp_path)
    two = ([[0, 0, 10, 10], [20, 0, 30, 10]], [0.5, 0.6])
    script = {"0000.png": ([], []), "0010.png": two, "0020.png": ([[0, 0, 10, 10]], [0.7])}
    out, proc, _, _ = run(frames, pen, script, close_set_num=3)
    assert out == (None, None, None, None)
    assert len(proc.calls) == 3  # frames 0, 10 and 20; the last index 24 is never examined
    assert capsys.readouterr().out == (
        f"Using pen JSON path: {pen}\n"
        "No boxes found in frame 0. Skipping to next frame.\n"
        "Boxes will be kept: [0 1], totally 2 keys\n"
        "ann_frame_idx [10] cannot work, too few bbx found..\n\n"
        "Boxes will be kept: [0], totally 1 keys\n"
        "ann_frame_idx [20] cannot work, too few bbx found..\n\n")

    # Too many on the last index; then a frame whose boxes all leave the pen counts as too few.
    script = {"0023.png": two, "0024.png": ([[500, 500, 600, 600]], [0.9])}
    out, _, _, pred = run(frames, pen, script, start_index=23, step=1, close_set_num=1)
    assert out == (None, None, None, None)
    assert len(pred.predict_calls) == 1  # never called without boxes
    assert capsys.readouterr().out == (
        f"Using pen JSON path: {pen}\n"
        "Boxes will be kept: [0 1], totally 2 keys\n"
        "ann_frame_idx [23] cannot work, too many bbx found..\n\n"
        "ann_frame_idx [24] cannot work, too few bbx found..\n\n"
        "No frame can work for 1 bbx, potential all stacking \n\n")

    out, proc, _, _ = run(frames, pen, {}, start_index=25)
    assert out == (None, None, None, None) and proc.calls == []
    assert capsys.readouterr().out == f"Using pen JSON path: {pen}\n"


def test_initializer_stops_at_first_accepted_frame(tmp_path):
    frames = write_frames(tmp_path, 3)
    pen = write_pen(tmp_path)
    one = ([[0, 0, 10, 10]], [0.7])
    out, proc, _, pred = run(frames, pen, [one, one, one], step=1, close_set_num=1)
    assert out[2] == 0 and len(proc.calls) == 1
    # One box comes back as 1 x H x W: the entry keeps that leading axis.
    assert out[0].shape == (1, 1, H, W)


@pytest.mark.parametrize("use_torch,mask_dtype,mask_type", [
    (True, "float32", "numpy"), (True, "bool", "torch"), (True, "uint8", "torch"),
    (False, "bool", "numpy"), (False, "uint8", "numpy"), (True, "float32", "torch")])
def test_initializer_result_paths(tmp_path, use_torch, mask_dtype, mask_type):
    frames = write_frames(tmp_path, 1)
    pen = write_pen(tmp_path)
    dt = {"float32": np.float32, "bool": bool, "uint8": np.uint8}[mask_dtype]

    def script(image, boxes):
        m = block_masks(len(boxes), dtype=dt)
        return torch.from_numpy(m) if mask_type == "torch" else m

    proc_boxes = ([[0, 0, 10, 10], [30, 0, 40, 10]], [0.25, 0.75])
    out, proc, _, _ = run(frames, pen, [proc_boxes], use_torch=use_torch,
                          predictor=StandinImagePredictor(script=script), close_set_num=2)
    masks, labels, idx, _ = out
    assert isinstance(masks, np.ndarray) and masks.shape == (2, H, W)
    assert masks.dtype == np.dtype(dt)
    assert masks[1, 0:2, 3:5].all() and int(masks.sum()) == 8
    assert labels == ["pig", "pig"] and idx == 0
    ids = proc.post_process_calls[0]["input_ids"]
    assert isinstance(ids, torch.Tensor) == use_torch


def test_initializer_rejects_bad_arguments_and_model_answers(tmp_path):
    frames = write_frames(tmp_path, 1)
    pen = write_pen(tmp_path)
    proc, model = make_detector(script=[([[0, 0, 10, 10]], [0.7])] * 5)
    pred = StandinImagePredictor(script=disjoint_script())
    with pytest.raises(TypeError):
        vu.initializer("d", None, proc, model, "cpu", pred)
    with pytest.raises(ValueError, match="step"):
        vu.initializer("d", frames, proc, model, "cpu", pred, step=0,
                       custom_pen_json_path=pen)
    with pytest.raises(TypeError):
        vu.initializer("d", frames, proc, model, "cpu", None, custom_pen_json_path=pen)
    bad = StandinImagePredictor(script=lambda im, b: np.zeros((1, H + 1, W), bool))
    with pytest.raises(ValueError, match="frame"):
        vu.initializer("d", frames, proc, model, "cpu", bad, close_set_num=1,
                       custom_pen_json_path=pen)
    nan = StandinImagePredictor(script=lambda im, b: np.full((1, H, W), np.nan, np.float32))
    with pytest.raises(ValueError, match="finite"):
        vu.initializer("d", frames, proc, model, "cpu", nan, close_set_num=1,
                       custom_pen_json_path=pen)
    with pytest.raises(FileNotFoundError):
        vu.initializer("d", [str(tmp_path / "missing.jpg")], proc, model, "cpu", pred,
                       custom_pen_json_path=pen)


def ten_pig_frame(path, h=540, w=720, seed=3):
    rng = np.random.default_rng(seed)
    img = np.clip(60 + rng.normal(0, 6, (h, w, 3)), 0, 255).astype(np.uint8)
    truth = []
    for i in range(10):
        r, c = divmod(i, 5)
        m = np.zeros((h, w), np.uint8)
        cv2.ellipse(m, (80 + c * 140, 130 + r * 270), (52, 28), 25 * i, 0, 360, 1, -1)
        colour = np.array([212, 178, 164]) + rng.integers(-12, 12, 3)
        img[m > 0] = np.clip(colour + rng.normal(0, 8, (int(m.sum()), 3)), 0, 255)
        truth.append(m)
    Image.fromarray(img).save(path, quality=92)
    return truth


def test_initializer_with_classical_standins_finds_ten_pigs(tmp_path):
    path = tmp_path / "0000.jpg"
    truth = ten_pig_frame(path)
    pen = write_pen(tmp_path, [(5, 5), (715, 5), (715, 535), (5, 535)])
    proc, model = make_detector()
    pred = StandinImagePredictor()
    masks, labels, idx, image = vu.initializer("d", [str(path)], proc, model, "cpu", pred,
                                               custom_pen_json_path=pen)
    assert idx == 0 and masks.shape == (10, 540, 720) and labels == ["pig"] * 10
    iou = vu.cal_masks_iou_scores(masks, truth)
    assert (iou.max(axis=1) >= 0.8).all()
    assert sorted(iou.argmax(axis=1).tolist()) == list(range(10))
