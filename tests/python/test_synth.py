"""Synthetic recordings, their ground truth and the propagation stand-in."""

import json
import os
import re

import cv2
import numpy as np
import pytest

import vexo_pipeline
import vexo_utils as vu
from vexo_pipeline import synth


@pytest.fixture(scope="module")
def recording(tmp_path_factory):
    root = str(tmp_path_factory.mktemp("rec"))
    calls = []
    rec = synth.generate_recording(root, clips=2, seconds=1.5, fps=10, days=2, gap_seconds=30,
                                   seed=11, progress=lambda d, t: calls.append((d, t)))
    rec["progress_calls"] = calls
    return rec


@pytest.fixture(scope="module")
def cropped_frames(recording, tmp_path_factory):
    """The first clip decoded, cropped to the right pen and halved, as JPEGs."""
    out = tmp_path_factory.mktemp("frames")
    clip = recording["clips"][0]
    x1, y1, x2, y2 = recording["crop_regions"]["right"]
    size = synth.resized_size((x1, y1, x2, y2), 720)
    cap = cv2.VideoCapture(clip["path"])
    paths = []
    while True:
        ok, f = cap.read()
        if not ok:
            break
        p = str(out / f"{len(paths):04d}.jpg")
        cv2.imwrite(p, cv2.resize(f[y1:y2, x1:x2], size, interpolation=cv2.INTER_AREA))
        paths.append(p)
    cap.release()
    return paths, size


def test_recording_tree_reads_back_as_a_catalogue(recording):
    root = recording["root"]
    assert recording["sub_dirs"] == ["20240131", "20240201"]
    assert recording["progress_calls"] == [(1, 4), (2, 4), (3, 4), (4, 4)]
    names = [c["video_name"] for c in recording["clips"]]
    assert names == ["Camera61_1_20240131080000", "Camera61_1_20240131080031",
                     "Camera61_1_20240201080000", "Camera61_1_20240201080031"]
    for c in recording["clips"]:
        assert re.match(r"Camera(\d+)_(\d+)_([\d]{8})([\d]{6})\.mp4", os.path.basename(c["path"]))
        assert os.path.dirname(c["path"]) == os.path.join(root, c["sub_dir"])
        assert c["frames"] == 15
    assert synth.load_manifest(root)["clips"] == recording["clips"]
    # No temporary files are left where the catalogue looks.
    assert sorted(os.listdir(os.path.join(root, "20240131"))) == [
        "Camera61_1_20240131080000.mp4", "Camera61_1_20240131080031.mp4"]

    df = vu.VideoMetadata(root, recording["sub_dirs"], sample_step=0).get_filtered_video_dataframe()
    assert sorted(df["Video Name"]) == names
    assert set(df["Time"]) == {"08:00:00", "08:00:31"}
    assert set(df["Camera Number"]) == {"61"}

    proc = vu.VideoProcessor()
    assert proc.get_video_duration(recording["clips"][0]["path"]) == pytest.approx(1.5 / 60)


def test_marker_gives_the_recorded_crop_and_pen_files_read_back(recording, tmp_path):
    cap = cv2.VideoCapture(recording["clips"][1]["path"])
    ok, frame = cap.read()
    cap.release()
    assert ok and frame.shape == (1440, 2560, 3)
    x1, y1, x2, y2 = vu.VideoProcessor().find_orange_region(frame)
    assert (x1, y1, x2, y2) == (1200, 0, 1248, 1440)
    assert tuple(recording["crop_regions"]["right"]) == (x1 - 50, 0, 2300, 1440)
    assert tuple(recording["crop_regions"]["left"]) == (120, 0, x1 - 45, 1440)
    assert synth.crop_region("left") == tuple(recording["crop_regions"]["left"])

    right = vu.draw_pen(None, recording["pen_files"]["right"])
    assert [tuple(p) for p in right] == synth.pen_polygon("right")
    left = vu.draw_pen(None, recording["pen_files"]["left"])
    assert len(left) == 4 and max(p[0] for p in left) < 1155 - 120
    # A pen file for frames scaled to 720 rows.
    path = synth.write_pen_file(str(tmp_path / "pen720.json"), "right", resize_height=720)
    small = vu.draw_pen(None, path)
    assert [tuple(p) for p in small] == synth.pen_polygon("right", resize_height=720)
    assert all(abs(a[0] - (b[0] + 0.5) / 2 + 0.5) < 0.01 for a, b in zip(small, right))
    with open(path) as f:
        assert json.load(f)["imageHeight"] == 720


def test_ground_truth_masks_follow_the_animals(recording):
    clips = recording["clips"]
    gt = synth.ground_truth_for(recording, clips[0]["video_name"])
    assert (gt.frame_count, gt.fps, gt.frame_size) == (15, 10.0, (2560, 1440))
    assert gt.animal_ids("left") == list(range(1, 11))
    assert gt.animal_ids("right") == list(range(11, 21))
    crop = recording["crop_regions"]["right"]
    x1, y1, x2, y2 = crop
    masks = gt.masks(0, crop=crop)
    assert list(masks) == gt.animal_ids("right")
    pen = np.zeros((y2 - y1, x2 - x1), np.uint8)
    cv2.fillPoly(pen, [np.round(synth.pen_polygon("right")).astype(np.int32)], 1)

    cap = cv2.VideoCapture(clips[0]["path"])
    ok, frame = cap.read()
    cap.release()
    grey = cv2.cvtColor(frame[y1:y2, x1:x2], cv2.COLOR_BGR2GRAY)
    for m in masks.values():
        assert m.dtype == bool and m.shape == (y2 - y1, x2 - x1)
        assert 10000 < m.sum() < 40000
        assert not (m & (pen == 0)).any()  # inside the pen
        ring = cv2.dilate(m.astype(np.uint8), np.ones((15, 15), np.uint8)).astype(bool) & ~m
        assert grey[m].mean() > 150 > 125 > grey[ring].mean()
    # Animals start well apart, so every one is seen whole.
    iou = synth.mask_iou_matrix(masks, masks)
    assert np.allclose(iou, np.eye(10))

    # The herd moves on across clips, days and gaps: small steps, never jumps.
    g1 = synth.GroundTruth(clips[1]["ground_truth"])
    assert g1.first_frame_time == pytest.approx(gt.first_frame_time + 1.5 + 30)
    a, b = gt.poses(14), g1.poses(0)
    moved = [np.hypot(a[k][0] - b[k][0], a[k][1] - b[k][1]) for k in a]
    assert max(moved) < 90 * 30.1 and min(moved) >= 0
    with pytest.raises(IndexError):
        gt.masks(15)
    with pytest.raises(ValueError):
        gt.masks(0, pen="middle")


def test_generation_is_reproducible_and_checks_its_settings(recording, tmp_path):
    again = synth.generate_recording(str(tmp_path / "a"), clips=1, seconds=0.2, fps=10, seed=11)
    other = synth.generate_recording(str(tmp_path / "b"), clips=1, seconds=0.2, fps=10, seed=12)
    first = synth.GroundTruth(recording["clips"][0]["ground_truth"])
    assert synth.GroundTruth(again["clips"][0]["ground_truth"]).poses(1) == first.poses(1)
    assert synth.GroundTruth(other["clips"][0]["ground_truth"]).poses(1) != first.poses(1)
    bad = [dict(clips=0), dict(fps=0), dict(seconds=-1), dict(first_date="2024-01-31"),
           dict(first_date="20240230"), dict(first_time="8:00"), dict(camera="6a"),
           dict(animals_per_pen=0), dict(seed=-1), dict(first_time="23:59:59", clips=2),
           dict(clips=[]), dict(clips=[2, 0]), dict(clips=[1, 1], days=3)]
    for kwargs in bad:
        with pytest.raises(ValueError):
            synth.generate_recording(str(tmp_path / "bad"), **kwargs)
    with pytest.raises(TypeError):
        synth.generate_recording(None)
    with pytest.raises(TypeError):
        synth.generate_recording(str(tmp_path / "bad"), progress=5)


def test_propagation_tracks_each_animal(recording, cropped_frames):
    paths, size = cropped_frames
    gt = synth.GroundTruth(recording["clips"][0]["ground_truth"])
    crop = recording["crop_regions"]["right"]
    seeds = gt.masks(0, crop=crop, size=size)
    seen = []
    segments = vexo_pipeline.propagate_masks(paths, seeds,
                                             progress=lambda d, t: seen.append((d, t)))
    assert list(segments) == list(range(15))
    assert seen[-1] == (15, 15)
    for f, objects in segments.items():
        assert list(objects) == list(seeds)
        for m in objects.values():
            assert m.dtype == bool and m.shape == (1, size[1], size[0])
        truth = gt.masks(f, crop=crop, size=size)
        iou = synth.mask_iou_matrix(objects, truth)
        assert np.diag(iou).min() > 0.8, f
    assert all((segments[0][k][0] == seeds[k]).all() for k in seeds)
    # Seeded later, from an N x H x W stack (ids 1..N), limited in length.
    stack = np.stack([gt.masks(5, crop=crop, size=size)[k] for k in seeds]).astype(np.uint8)
    part = vexo_pipeline.propagate_masks(paths, stack, ann_frame_idx=5, max_frames=3)
    assert list(part) == [5, 6, 7] and list(part[7]) == list(range(1, 11))
    assert synth.assign_animals({k: v[0] for k, v in part[7].items()},
                                gt.masks(7, crop=crop, size=size)) == {
        i + 1: k for i, k in enumerate(seeds)}


def test_propagation_rejects_bad_input(cropped_frames, tmp_path):
    paths, size = cropped_frames
    w, h = size
    m = np.zeros((h, w), bool)
    m[100:150, 100:200] = True
    with pytest.raises(IndexError):
        vexo_pipeline.propagate_masks(paths, {1: m}, ann_frame_idx=len(paths))
    with pytest.raises(FileNotFoundError):
        vexo_pipeline.propagate_masks([paths[0], str(tmp_path / "gone.jpg")], {1: m})
    with pytest.raises(ValueError):
        vexo_pipeline.propagate_masks(paths[:2], {1: m[:-1]})
    with pytest.raises(ValueError):
        vexo_pipeline.propagate_masks(paths[:2], {1: m, 2: m[:, :-1]})
    with pytest.raises(TypeError):
        vexo_pipeline.propagate_masks(paths[:2], {1: None})
    with pytest.raises(TypeError):
        vexo_pipeline.propagate_masks(paths[0], {1: m})
    with pytest.raises(ValueError):
        vexo_pipeline.propagate_masks(paths[:2], {1: m}, max_frames=0)
    assert vexo_pipeline.propagate_masks(paths[:3], {}) == {0: {}, 1: {}, 2: {}}
