"""Last-frame choice and the clip-to-clip matcher."""

import os

import cv2
import numpy as np
import pytest
from PIL import Image

import vexo_pipeline
import vexo_utils as vu
from vexo_pipeline import StandinImagePredictor

H, W = 100, 300


def square(x, y, w=20, h=20):
    m = np.zeros((H, W), np.uint8)
    m[y:y + h, x:x + w] = 1
    return m


def ten_masks(n=10):
    return {f"Box{i}": square(5 + 29 * i, 10) for i in range(n)}


def record(masks, index=0):
    return {"frame_index": index, "masks_dict": masks,
            "mask_areas": {k: int(v.sum()) for k, v in masks.items()}}


def no_frame_line(min_area=10, attempts=10, tracks=10):
    return (f"No valid frame found with all masks area > {min_area} in the last {attempts} "
            f"frames for {tracks} tracks.\n")


# ---------------------------------------------------------------- last frame


def test_min_area_is_strict_and_last_frame_is_silent(capsys):
    rec = record(ten_masks())  # 400 pixels each
    assert vu.find_best_laste_frame({599: rec}, min_area=400) == (None, True)
    assert capsys.readouterr().out == no_frame_line(400)
    chosen, failed = vu.find_best_laste_frame({599: rec}, 399)
    assert chosen is rec and failed is False
    assert capsys.readouterr().out == ""


def test_overlap_of_fifty_percent_rejects_a_frame(capsys):
    def frame(shared):
        md = ten_masks()
        a = np.zeros((H, W), np.uint8)
        a[40:60, 0:50] = 1  # 1000 pixels
        b = np.zeros((H, W), np.uint8)
        b.reshape(-1)[np.flatnonzero(a)[:shared]] = 1  # `shared` of them
        b[70:100, 100:200] = 1  # and 3000 of its own
        md["Box0"], md["Box1"] = a, b
        return record(md)

    assert vu.find_best_laste_frame({599: frame(500)}) == (None, True)
    chosen, failed = vu.find_best_laste_frame({599: frame(499)})  # 49.9 %
    assert not failed and chosen["masks_dict"]["Box0"].sum() == 1000
    capsys.readouterr()


def test_removed_boxes_leave_the_callers_records(capsys):
    frames = {k: record(ten_masks(), k) for k in (597, 598, 599)}
    frames[599]["masks_dict"]["Box3"] = square(0, 0, 2, 2)  # too small
    chosen, failed = vu.find_best_laste_frame(frames, 10, 10, ["Box0", None])
    assert not failed and chosen is frames[598]
    assert capsys.readouterr().out == (
        "Switched to frame key 598 due to small mask area in later frames.\n")
    for rec in frames.values():
        assert "Box0" not in rec["masks_dict"] and len(rec["masks_dict"]) == 9
        assert "Box0" in rec["mask_areas"]  # the other fields stay as they were
    # Nine tracks expected: shown when no frame passes.
    frames[598]["masks_dict"]["Box5"] = np.zeros((H, W), np.uint8)
    frames[597]["masks_dict"]["Box5"] = np.zeros((H, W), np.uint8)
    assert vu.find_best_laste_frame(frames, remove_stack_obs=["Box0", None]) == (None, True)
    assert capsys.readouterr().out == no_frame_line(tracks=9)


@pytest.mark.parametrize("remove,tracks", [([], 10), ([None], 10), ([""], 9), (None, 10)])
def test_entries_that_remove_nothing(capsys, remove, tracks):
    frames = {599: record(ten_masks(9))}
    result = vu.find_best_laste_frame(frames, remove_stack_obs=remove)
    assert len(frames[599]["masks_dict"]) == 9
    out = capsys.readouterr().out
    if tracks == 10:
        assert result == (None, True) and out == no_frame_line()
    else:
        assert result[1] is False and out == ""


def test_walk_back_switch_message_and_count_rules(capsys):
    bad = record({**ten_masks(), "Box4": square(0, 0, 3, 3)})
    frames = {0: {"no": "masks"}, 298: record(ten_masks()), 299: bad, 300: bad}
    chosen, failed = vu.find_best_laste_frame(frames, max_attempts=3)
    assert chosen is frames[298] and not failed
    assert capsys.readouterr().out == (
        "Switched to frame key 298 due to small mask area in later frames.\n")
    # A clip whose last key is not 599 reports even its last frame.
    eleven = record({**ten_masks(), "Box10": square(5, 50)})
    assert vu.find_best_laste_frame({300: eleven})[0] is eleven  # more masks than expected
    assert capsys.readouterr().out.startswith("Switched to frame key 300 ")
    # Too few frames for the attempts: the walk ends as a failure.
    assert vu.find_best_laste_frame({598: bad, 599: bad}) == (None, True)
    assert capsys.readouterr().out == no_frame_line()
    assert vu.find_best_laste_frame({}, max_attempts=0) == (None, True)
    assert capsys.readouterr().out == no_frame_line(attempts=0)
    # Only examined frames are read: the record without masks ends the call once reached.
    frames[298] = bad
    with pytest.raises(KeyError):
        vu.find_best_laste_frame(frames, max_attempts=4)


def test_last_frame_input_errors():
    with pytest.raises(TypeError):
        vu.find_best_laste_frame(None)
    with pytest.raises(TypeError):
        vu.find_best_laste_frame({"a": record(ten_masks())})
    with pytest.raises(TypeError):
        vu.find_best_laste_frame({1: record(ten_masks())}, min_area="10")
    with pytest.raises(TypeError):
        vu.find_best_laste_frame({1: record(ten_masks())}, remove_stack_obs="Box0")
    with pytest.raises(ValueError):
        vu.find_best_laste_frame({1: record({"Box0": np.ones((3, 3)), "Box1": np.ones((4, 4))})})
    with pytest.raises(KeyError):
        vu.find_best_laste_frame({1: {"mask_areas": {}}}, remove_stack_obs=["Box1"])


# ---------------------------------------------------------------- matcher


@pytest.fixture
def frame_path(tmp_path):
    img = np.full((H, W, 3), 60, np.uint8)
    img[:, :, 0] = 90
    path = str(tmp_path / "0000.png")
    cv2.imwrite(path, img)
    return path


def scripted(masks):
    """A predictor whose answer is `masks` whatever the prompts."""
    return StandinImagePredictor(script=lambda image, boxes: masks)


def test_matcher_prompts_and_returns_in_box_order(frame_path, capsys):
    frames = {k: record(ten_masks(), k) for k in (598, 599)}
    shown = []
    p = StandinImagePredictor(script=lambda image, boxes: np.stack(
        [square(int(b[0]), int(b[1])) for b in boxes])[:, None].astype(np.float32))
    masks, labels, names, rec, failed = vu.matcher(
        frames, [frame_path], 0, p, ["Box0"], display_func=shown.append)
    assert failed is False and rec is frames[599]
    assert capsys.readouterr().out == "ann_frame_idx [0] works for mask finding!!!\n"
    assert names == [f"Box{i}" for i in range(1, 10)] and labels == ["pig"] * 9
    assert masks.shape == (9, H, W) and masks.dtype == np.float32  # the predictor's own array
    for i, key in enumerate(rec["masks_dict"]):
        np.testing.assert_array_equal(masks[i] != 0, rec["masks_dict"][key] != 0)
    for r in frames.values():
        assert "Box0" not in r["masks_dict"]
    call = p.predict_calls[0]
    assert call["point_coords"] is None and call["point_labels"] is None
    assert call["multimask_output"] is False
    np.testing.assert_array_equal(call["box"][0], [34, 10, 53, 29])  # inclusive corners of Box1
    np.testing.assert_array_equal(p.set_image_calls[0], np.asarray(Image.open(frame_path)))
    assert len(shown) == 1 and shown[0].mode == "RGBA" and shown[0].size == (W, H)


def test_matcher_without_old_frame_touches_nothing(capsys):
    p = StandinImagePredictor()
    frames = {599: record(ten_masks(9))}
    shown = []
    out = vu.matcher(frames, ["/nonexistent/0000.jpg"], 0, p, display_func=shown.append)
    assert out == (None, None, None, None, True)
    assert capsys.readouterr().out == (
        no_frame_line() + "Issue is from the laste frame, not enough masks found.\n")
    assert p.set_image_calls == [] and p.predict_calls == [] and shown == []


@pytest.mark.parametrize("shift,ok", [(2, True), (3, False)])
def test_matcher_overlap_boundary(frame_path, capsys, shift, ok):
    old = ten_masks()
    new = np.stack([old[k] for k in old])
    # Box1 moves over Box0 by `shift` of its 20 columns: 10 % passes, 15 % fails.
    new[1] = square(5 + 20 - shift, 10)
    shown = []
    out = vu.matcher({599: record(old)}, [frame_path], 0, scripted(new),
                     display_func=shown.append)
    assert out[-1] is (not ok) and len(shown) == 1
    text = capsys.readouterr().out
    if ok:
        assert text == "ann_frame_idx [0] works for mask finding!!!\n"
    else:
        assert out == (None, None, None, None, True)
        assert text == "ann_frame_idx [0] cannot work..\n\n"


@pytest.mark.parametrize("pixels,ok", [(25, True), (24, False)])
def test_matcher_min_area_is_inclusive(frame_path, capsys, pixels, ok):
    old = ten_masks()
    new = np.stack([old[k] for k in old]).astype(bool)
    new[9] = False
    new[9].reshape(-1)[:pixels] = True
    out = vu.matcher({599: record(old)}, [frame_path], 0, scripted(new), min_area=25)
    assert out[-1] is (not ok)
    if ok:
        assert out[0].shape == (10, H, W)
    capsys.readouterr()


def test_matcher_mask_count_and_stack_shapes(frame_path, capsys):
    one = {"Box0": square(10, 10)}
    frames = {599: record(one)}
    kw = dict(remove_stack_box=[f"Box{i}" for i in range(1, 10)])
    for answer in (square(10, 10), square(10, 10)[None], square(10, 10)[None, None] * 1.0):
        masks, _, names, _, failed = vu.matcher(frames, [frame_path], 0, scripted(answer), **kw)
        assert not failed and masks.shape == (1, H, W) and names == ["Box0"]
    # Fewer new masks than prompts fail.
    out = vu.matcher({599: record(ten_masks())}, [frame_path], 0,
                     scripted(np.stack([square(5, 10)] * 1)))
    assert out[-1] is True
    with pytest.raises(ValueError):
        vu.matcher(frames, [frame_path], 0, scripted(np.zeros((1, 2, H, W), np.float32)), **kw)
    with pytest.raises(ValueError):
        vu.matcher(frames, [frame_path], 0, scripted(np.full((1, H, W), np.nan, np.float32)), **kw)
    # Tensor answers come back as host arrays.
    p = StandinImagePredictor(mask_type="torch", mask_dtype="bool")
    masks, _, _, _, failed = vu.matcher(frames, [frame_path], 0, p, **kw)
    assert isinstance(masks, np.ndarray) and masks.dtype == bool and masks.shape == (1, H, W)
    capsys.readouterr()


def test_matcher_input_errors(frame_path, capsys):
    frames = {599: record(ten_masks())}
    with pytest.raises(IndexError):
        vu.matcher(frames, [frame_path], 5, StandinImagePredictor())
    with pytest.raises(FileNotFoundError):
        vu.matcher(frames, [frame_path + ".missing"], 0, StandinImagePredictor())
    with pytest.raises(TypeError):
        vu.matcher(frames, [frame_path], 0, None)
    with pytest.raises(TypeError):
        vu.matcher(frames, [frame_path], 0, StandinImagePredictor(), "Box0")
    capsys.readouterr()


# ---------------------------------------------------------------- end to end


def draw_pigs(centres, size=(360, 480)):
    img = np.full(size + (3,), 45, np.uint8)
    masks = []
    for i, (cx, cy) in enumerate(centres):
        colour = (170 + 8 * i, 160 + 5 * i, 150 + 6 * i)
        cv2.ellipse(img, (cx, cy), (34, 20), 15 * i, 0, 360, colour, -1)
        m = np.zeros(size, np.uint8)
        cv2.ellipse(m, (cx, cy), (34, 20), 15 * i, 0, 360, 1, -1)
        masks.append(m)
    return img, masks


def test_matcher_end_to_end_with_standins(tmp_path, capsys):
    rng = np.random.default_rng(11)
    centres = [(60 + 90 * (i % 5), 80 + 180 * (i // 5)) for i in range(10)]
    moved = [(x + int(rng.integers(-6, 7)), y + int(rng.integers(-6, 7))) for x, y in centres]
    clip_a, clip_b = tmp_path / "a", tmp_path / "b"
    clip_a.mkdir()
    clip_b.mkdir()
    old_img, old_masks = draw_pigs(centres)
    new_img, new_truth = draw_pigs(moved)
    cv2.imwrite(str(clip_a / "0000.jpg"), old_img)
    cv2.imwrite(str(clip_b / "0000.jpg"), new_img)
    out_dir = tmp_path / "tracking"
    for frame in range(3):
        vexo_pipeline.write_tracking_frame(str(out_dir), frame, str(clip_a / "0000.jpg"),
                                           {i + 1: m for i, m in enumerate(old_masks)})
    _, laste_frame = vu.get_vexo_annotation_data(str(clip_a), save_dir_base=str(out_dir))
    capsys.readouterr()

    predictor = StandinImagePredictor()
    masks, labels, names, rec, failed = vu.matcher(
        laste_frame, [str(clip_b / "0000.jpg")], 0, predictor)
    assert failed is False, capsys.readouterr().out
    assert capsys.readouterr().out == (
        "Switched to frame key 2 due to small mask area in later frames.\n"
        "ann_frame_idx [0] works for mask finding!!!\n")
    assert names == [f"Box{i}" for i in range(10)] and list(rec["masks_dict"]) == names
    # Every pig keeps its number: mask i lies on moved pig i more than on any other.
    for i, m in enumerate(masks):
        on = [np.logical_and(m != 0, t != 0).sum() for t in new_truth]
        assert int(np.argmax(on)) == i
        assert on[i] / new_truth[i].sum() > 0.6
