"""Overlap episodes and the vote for the pig tracked in error, end to end with
real per-frame files and the stand-in image predictor."""

import cv2
import numpy as np
import pandas as pd
import pytest

import vexo_pipeline
import vexo_utils as vu
from _tracking_fixtures import rect

H, W = 64, 96


def clip(tmp_path, n_frames, moved_box, moved_from):
    """Three pigs (ids 1..3, keys Box0..Box2) still on a textured frame; the
    pig `moved_box` sits elsewhere from frame `moved_from` on."""
    rng = np.random.default_rng(0)
    image = str(tmp_path / "frame.png")
    cv2.imwrite(image, rng.integers(0, 255, (H, W, 3), dtype=np.uint8))
    out = tmp_path / "json"
    for f in range(n_frames):
        masks = {1: rect((H, W), 5, 20, 5, 25), 2: rect((H, W), 30, 50, 5, 25),
                 3: rect((H, W), 5, 25, 40, 60)}
        if f >= moved_from:
            masks[moved_box + 1] = rect((H, W), 35, 60, 60, 90)
        vexo_pipeline.write_tracking_frame(str(out), f, image, masks)
    return vu.get_vexo_annotation_data("", save_dir_base=str(out))[1]


def rows(frames, pairs):
    return pd.DataFrame({"Frame ID": frames, "Box Pair": pairs, "Intersection Value": 90.0})


def test_forward_episode(tmp_path, capsys):
    data = clip(tmp_path, 40, moved_box=2, moved_from=11)
    pred = vexo_pipeline.StandinImagePredictor()
    capsys.readouterr()
    test, most, episodes, votes = vu.process_overlap_frames(
        rows([10, 11, 12], ["Box0-Box2"] * 3), data, pred)
    assert capsys.readouterr().out == (
        "Box pairs with overlap episodes: ['Box0-Box2']\n"
        "Box Pair: Box0-Box2\n"
        "First frame with a single boxpair: 10\n"
        "First frame with multiple boxpairs: nan\n"
        "reverse_track: False\n"
        "Most frequent box with errors: Box2\n")
    assert (test, most, episodes, votes) == (10, "Box2", {"Box0-Box2": [[10, 11, 12]]},
                                             ["Box2"] * 5)
    assert len(pred.set_image_calls) == 10  # window frames 5..9, each beside frame 11


def test_reverse_episode(tmp_path, capsys):
    data = clip(tmp_path, 12, moved_box=0, moved_from=2)
    pred = vexo_pipeline.StandinImagePredictor()
    capsys.readouterr()
    test, most, episodes, votes = vu.process_overlap_frames(
        rows([0, 1, 2], ["Box0-Box2"] * 3), data, pred)
    assert capsys.readouterr().out == (
        "Box pairs with overlap episodes: ['Box0-Box2']\n"
        "Box Pair: Box0-Box2\n"
        "First frame with a single boxpair: 2\n"
        "First frame with multiple boxpairs: nan\n"
        "reverse_track: True\n"
        "Most frequent box with errors: Box0\n")
    assert (test, most, votes) == (2, "Box0", ["Box0"] * 5)  # window frames 2..6 beside frame 1


def test_both_orders_count_as_multiple_pairs_and_thresholds(tmp_path, capsys):
    data = clip(tmp_path, 20, moved_box=1, moved_from=8)
    pred = vexo_pipeline.StandinImagePredictor()
    # Frame 8 lists the pair in both orders: two rows, so a multiple-pair frame.
    df = rows([7, 8, 8, 9, 10, 11], ["Box0-Box1", "Box0-Box1", "Box1-Box0", "Box0-Box1",
                                     "Box0-Box1", "Box0-Box1"])
    capsys.readouterr()
    test, most, episodes, votes = vu.process_overlap_frames(df, data, pred)
    out = capsys.readouterr().out.splitlines()
    # Two distinct pairs: runs need 4 frames, so Box1-Box0 (one frame) drops out.
    assert list(episodes) == ["Box0-Box1"] and episodes["Box0-Box1"] == [[7, 8, 9, 10, 11]]
    assert out[2:4] == ["First frame with a single boxpair: 7",
                        "First frame with multiple boxpairs: 8"]
    assert test == 7 and most == "Box1" and len(votes) == 5
    with pytest.raises(ValueError):  # one pair with two rows < n_consecutive 3
        vu.process_overlap_frames(rows([7, 8], ["Box0-Box1"] * 2), data, pred, 3)


def test_failures(tmp_path):
    data = clip(tmp_path, 13, moved_box=1, moved_from=11)
    pred = vexo_pipeline.StandinImagePredictor()
    with pytest.raises(ValueError, match="no box pair"):
        vu.process_overlap_frames(rows([], []), data, pred)
    # Forward mode at the last record: the compared frame lies outside the clip.
    with pytest.raises(ValueError, match="no votes"):
        vu.process_overlap_frames(rows([12, 13, 14], ["Box0-Box1"] * 3), data, pred)
    with pytest.raises(KeyError, match="Box7"):
        vu.process_overlap_frames(rows([8, 9], ["Box0-Box7"] * 2), data, pred)
    with pytest.raises(KeyError, match="Box Pair"):
        vu.process_overlap_frames(pd.DataFrame({"Frame ID": [1]}), data, pred)
    with pytest.raises(TypeError):
        vu.process_overlap_frames(rows([8, 9], ["Box0-Box1"] * 2), [], pred)
