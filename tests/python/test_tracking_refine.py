"""Mask refinement: thresholds, previous-centroid rule, pen cut, fallbacks,
and agreement with a plain numpy/OpenCV refinement on generated clips."""

import json

import cv2
import numpy as np
import pytest

import vexo_utils as vu
from _refine_reference import blob_distance, copy_clip, make_clip, plain_refine, write_pen

H, W = 200, 300


@pytest.fixture()
def full_pen(tmp_path):
    path = str(tmp_path / "pen_full.json")
    with open(path, "w") as f:
        json.dump({"shapes": [{"points": [[0, 0], [W - 1, 0], [W - 1, H - 1], [0, H - 1]]}]}, f)
    return path


@pytest.fixture()
def left_pen(tmp_path):
    path = str(tmp_path / "pen_left.json")
    with open(path, "w") as f:
        json.dump({"shapes": [{"points": [[0, 0], [149, 0], [149, H - 1], [0, H - 1]]}]}, f)
    return path


def mask_of(*rects, dtype=bool):
    m = np.zeros((1, H, W), dtype)
    for y0, y1, x0, x1 in rects:  # inclusive bounds
        m[0, y0:y1 + 1, x0:x1 + 1] = 1
    return m


def refine_one(ref, mask, names=("f0", "f1"), frame=0, segments=None):
    segments = segments if segments is not None else {frame: {1: mask}}
    ref.process_video_segments(segments, "", list(names))
    return segments[frame][1]


MAIN_2000 = (20, 59, 20, 69)  # 40 rows x 50 columns


@pytest.mark.parametrize("main, comp, kept, min_area, max_dist", [
    # 2000-pixel main, 700-pixel companion 10 apart: ratio 0.5 allows 12.62.
    (MAIN_2000, (20, 54, 79, 98), True, 600.0, np.sqrt(2000 / np.pi) * 0.5),
    (MAIN_2000, (20, 54, 82, 101), False, 600.0, np.sqrt(2000 / np.pi) * 0.5),
    # 900-pixel main: ratio 1.5 allows 25.39.
    ((20, 49, 20, 49), (20, 54, 59, 78), True, 270.0, np.sqrt(900 / np.pi) * 1.5),
    ((20, 49, 20, 49), (20, 54, 75, 94), False, 270.0, np.sqrt(900 / np.pi) * 1.5),
    # Exactly 1000 pixels takes the first ratio (8.92 < 10); 999 the second.
    ((20, 44, 20, 59), (20, 39, 69, 88), False, 300.0, np.sqrt(1000 / np.pi) * 0.5),
    ((20, 46, 20, 56), (20, 39, 66, 85), True, 999 * 0.3, np.sqrt(999 / np.pi) * 1.5),
])
def test_area_and_distance_thresholds(full_pen, main, comp, kept, min_area, max_dist):
    ref = vu.Mask_Refinement(custom_pen_json_path=full_pen)
    m = mask_of(main, comp)
    n, stats, cents, min_a, max_d, best, labels = ref.get_main_blob(m, {}, 1)
    assert n == 3 and min_a == pytest.approx(min_area) and max_d == pytest.approx(max_dist)
    assert ref.get_main_blob(m, {}, 1)[5] == best and stats[best, 4] == np.count_nonzero(
        mask_of(main))
    out = refine_one(ref, m)
    assert out.dtype == bool and out.shape == (1, H, W)
    expected = m if kept else mask_of(main)
    assert np.array_equal(out, expected.astype(bool))
    ys, xs = np.nonzero(expected[0])
    assert ref.prev_centroids[1] == (xs.mean(), ys.mean())  # all kept pixels together


def test_comparisons_are_inclusive(full_pen, capsys):
    ref = vu.Mask_Refinement(custom_pen_json_path=full_pen)
    m = mask_of(MAIN_2000, (20, 54, 79, 98))  # companion of 700 pixels, 10 away
    n, stats, cents, _, _, best, labels = ref.get_main_blob(m, {}, 1)
    segs = {0: {1: m}, 5: {1: m}}

    def dis(max_d, min_a, prev=None, frame=5):
        return ref.get_dis_to_main_and_prev_blob(n, labels, stats, cents, max_d, min_a, best,
                                                 prev or {}, 1, frame, m, segs)

    assert dis(10.0, 700).sum() == 2700
    assert dis(9.999, 700).sum() == 2000
    assert dis(10.0, 700.001).sum() == 2000
    cx, cy = cents[best]
    single = mask_of(MAIN_2000)
    n1, st1, ce1, a1, d1, b1, l1 = ref.get_main_blob(single, {}, 1)
    at = ref.get_dis_to_main_and_prev_blob(n1, l1, st1, ce1, d1, a1, b1, {1: (cx + 200, cy)}, 1,
                                           5, single, segs)
    assert at.shape == (1, H, W) and at.sum() == 2000
    capsys.readouterr()
    beyond = ref.get_dis_to_main_and_prev_blob(n1, l1, st1, ce1, d1, a1, b1,
                                               {1: (cx + 200.5, cy)}, 1, 5, single, segs)
    assert beyond.dtype == bool and not beyond.any()
    assert capsys.readouterr().out == "clean frame5--obj_id1\n"
    first = ref.get_dis_to_main_and_prev_blob(n1, l1, st1, ce1, d1, a1, b1,
                                              {1: (cx + 200.5, cy)}, 1, 0, single[0], segs)
    assert first.shape == (1, H, W) and first.sum() == 2000
    assert capsys.readouterr().out == ""


def test_jump_beyond_previous_centroid(full_pen, capsys):
    ref = vu.Mask_Refinement(custom_pen_json_path=full_pen)
    near = mask_of((100, 119, 20, 39))
    far = mask_of((100, 119, 250, 269))  # 230 pixels to the right
    segs = {3: {1: near}, 4: {1: far}, 5: {1: near.astype(np.uint8)}}
    ref.process_video_segments(segs, "", [f"f{i}" for i in range(6)])
    assert not segs[4][1].any() and segs[4][1].dtype == bool and segs[4][1].shape == (1, H, W)
    assert capsys.readouterr().out == "clean frame4--obj_id1\nframe 4--obj_id1-- no mask\n"
    assert ref.prev_centroids == {1: (29.5, 109.5)}
    assert segs[5][1].dtype == bool and segs[5][1].sum() == 400


def test_first_frame_keeps_the_uncut_mask(left_pen, capsys):
    ref = vu.Mask_Refinement(custom_pen_json_path=left_pen)
    ref.prev_centroids[1] = (-400.0, -400.0)  # far from everything
    m = mask_of((100, 119, 130, 169), dtype=np.uint8)  # crosses the pen edge at column 149
    segs = {7: {1: m}}
    ref.process_video_segments(segs, "", [f"f{i}" for i in range(8)])
    assert np.array_equal(segs[7][1], m.astype(bool)) and segs[7][1].dtype == bool
    assert ref.prev_centroids[1] == (149.5, 109.5)  # of the uncut mask
    assert capsys.readouterr().out == ""


def test_five_largest_candidates_only(full_pen):
    ref = vu.Mask_Refinement(custom_pen_json_path=full_pen)
    sides = [25, 22, 20, 17, 14, 10]  # areas 625, 484, 400, 289, 196, 100
    rects = [(10, 9 + s, 10 + 40 * i, 9 + 40 * i + s) for i, s in enumerate(sides)]
    m = mask_of(*rects)
    sixth = rects[5]
    prev = {1: ((sixth[2] + sixth[3]) / 2, (sixth[0] + sixth[1]) / 2)}
    n, stats, cents, min_a, max_d, best, labels = ref.get_main_blob(m, prev, 1)
    assert n == 7 and stats[best, 4] == 196
    n, stats, cents, min_a, max_d, best, labels = ref.get_main_blob(m, {}, 1)
    assert stats[best, 4] == 625 and min_a == 625 * 0.3


def test_pen_cut_empty_masks_and_shapes(left_pen, capsys):
    ref = vu.Mask_Refinement(custom_pen_json_path=left_pen)
    outside = mask_of((10, 30, 200, 220), dtype=np.uint8)
    empty = np.zeros((1, H, W), bool)
    partly = mask_of((50, 69, 140, 159))[0]  # H x W, half inside the pen
    segs = {0: {1: outside, 2: empty, 3: partly}}
    ref.process_video_segments(segs, "", ["f0"])
    assert segs[0][2] is empty
    assert segs[0][1].dtype == np.uint8 and segs[0][1].shape == (1, H, W)
    assert not segs[0][1].any()
    assert segs[0][3].shape == (1, H, W) and segs[0][3].dtype == bool
    assert np.array_equal(segs[0][3][0], mask_of((50, 69, 140, 149))[0])
    assert set(ref.prev_centroids) == {3}
    assert capsys.readouterr().out == ""


def test_blob_distance_matches_brute_force_over_contours():
    ref = vu.Mask_Refinement()
    rng = np.random.default_rng(3)
    for _ in range(20):
        a = np.zeros((90, 120), np.uint8)
        b = np.zeros((90, 120), np.uint8)
        for m in (a, b):
            for _ in range(int(rng.integers(1, 4))):
                c = tuple(int(v) for v in rng.integers(0, [120, 90]))
                ax = tuple(int(v) for v in rng.integers(1, 20, 2))
                cv2.ellipse(m, c, ax, float(rng.uniform(0, 180)), 0, 360, 1, -1)
        assert ref.blob_shortest_distance(a, b) == blob_distance(a, b)
        assert ref.blob_shortest_distance(a.astype(bool), a) == 0.0
    assert ref.blob_shortest_distance(a, np.zeros_like(a)) == np.inf
    assert ref.blob_shortest_distance(np.zeros_like(a), a) == np.inf


def tie_mask(h, w, rng):
    """Equal squares placed so that, now and then, the square OpenCV numbers
    first is not the one whose first pixel comes first in raster order."""
    m = np.zeros((h, w), np.uint8)
    for _ in range(int(rng.integers(2, 7))):
        y, x = int(rng.integers(0, h - 3)), int(rng.integers(0, w - 3))
        m[y:y + 2, x:x + 2] = 1
    return m


def test_main_blob_numbers_components_as_opencv():
    ref = vu.Mask_Refinement()
    rng = np.random.default_rng(4)
    late = np.zeros((4, 6), np.uint8)
    late[0, 3:5] = 1
    late[1, 0:2] = 1  # first in OpenCV's order, second in raster order; same area
    masks = [late] + [tie_mask(9 + k % 4, 13, rng) for k in range(60)]
    masks += [m[0] for m in make_clip(1, 4, H, W, seed=5)[0].values() if m.any()]
    for m in masks:
        n, stats, cents, _, _, best, labels = ref.get_main_blob(m[None].astype(bool), {}, 1)
        n2, labels2, stats2, cents2 = cv2.connectedComponentsWithStats(
            m.astype(np.uint8) * 255, connectivity=8)
        assert n == n2
        assert np.array_equal(labels, labels2)
        assert np.array_equal(stats, stats2) and np.array_equal(cents, cents2, equal_nan=True)
        assert best == 1 + int(np.argmax(stats2[1:, cv2.CC_STAT_AREA]))  # ties: OpenCV's order
    assert ref.get_main_blob(late, {}, 1)[5] == 1 and labels_of(ref, late)[1, 0] == 1
    with pytest.raises(ValueError):
        ref.get_main_blob(np.zeros((H, W), bool), {}, 1)


def labels_of(ref, m):
    return ref.get_main_blob(m, {}, 1)[6]


# Masks seen only through the dict are rewritten in place, others replaced by
# new arrays: both give the same values. In the first frame (no previous
# centroid) every pig is two equal squares, the one OpenCV numbers first
# starting a row below the other: only that order decides which is kept.
@pytest.mark.parametrize("seed, dtype, held", [(0, bool, False), (0, bool, True),
                                               (1, np.uint8, False)])
def test_clip_agrees_with_plain_refinement(tmp_path, capsys, seed, dtype, held):
    pen = write_pen(str(tmp_path / "pen.json"), 160, 220, margin=15)
    clip = make_clip(40, 5, 160, 220, seed=seed, dtype=dtype)
    for m in clip[0].values():
        m[:] = 0
        m[0, 101:105, 20:24] = m[0, 100:104, 180:184] = 1
    names = [f"{i:04d}.jpg" for i in range(40)]
    ref = vu.Mask_Refinement(custom_pen_json_path=pen)
    mine, plain = copy_clip(clip), copy_clip(clip)
    inputs = [m for objs in mine.values() for m in objs.values()] if held else None
    capsys.readouterr()
    assert ref.process_video_segments(mine, "", names) is mine
    out = capsys.readouterr().out
    prev, msgs = {}, []
    plain_refine(plain, pen, names, prev, messages=msgs)
    assert out == "".join(m + "\n" for m in msgs)
    for f in clip:
        for o in clip[f]:
            a, b = mine[f][o], plain[f][o]
            assert a.shape == b.shape and a.dtype == b.dtype and np.array_equal(a, b), (f, o)
    assert ref.prev_centroids == prev
    if held:  # the caller's own arrays are left as they were
        assert all(np.array_equal(m, c) for m, c in
                   zip(inputs, (c for objs in clip.values() for c in objs.values())))
    # A second clip refined by the same object starts from these centroids.
    again, plain2 = copy_clip(clip), copy_clip(clip)
    ref.process_video_segments(again, "", names)
    plain_refine(plain2, pen, names, prev)
    assert all(np.array_equal(again[f][o], plain2[f][o]) for f in clip for o in clip[f])
    assert ref.prev_centroids == prev


def test_failures_keep_earlier_results(tmp_path, full_pen):
    ref = vu.Mask_Refinement(custom_pen_json_path=full_pen)
    a = mask_of((10, 29, 10, 29))
    segs = {0: {1: a.copy()}, 1: {1: a.copy()}, 2: {1: a.copy(), 2: a.copy()}}
    with pytest.raises(IndexError):
        ref.process_video_segments(segs, "", ["f0", "f1"])
    assert segs[0][1].dtype == bool and segs[1][1].dtype == bool
    assert segs[2][1] is not None and np.array_equal(segs[2][1], a)
    missing = vu.Mask_Refinement(custom_pen_json_path=str(tmp_path / "nope.json"))
    empty = {0: {1: np.zeros((1, H, W), bool)}}
    assert missing.process_video_segments(empty, "", ["f0"]) is empty
    with pytest.raises(FileNotFoundError):
        missing.process_video_segments({0: {1: a.copy()}}, "", ["f0"])
    camera = vu.Mask_Refinement(custom_pen_json_path=None)
    with pytest.raises(FileNotFoundError):
        camera.process_video_segments({0: {1: a.copy()}}, "D:\\x\\Camera63_1\\0min", ["f0"])
    with pytest.raises(TypeError):
        ref.process_video_segments([a], "", ["f0"])
    with pytest.raises(ValueError):
        ref.process_video_segments({0: {1: np.zeros((2, H, W), bool)}}, "", ["f0"])
    with pytest.raises(TypeError):
        ref.process_video_segments({0: {1: None}}, "", ["f0"])
    with pytest.raises(TypeError):
        ref.get_main_blob(a, None, 1)


def test_fields_and_defaults():
    a, b = vu.Mask_Refinement(), vu.Mask_Refinement(0.5, [0.2, 0.4], 50, None)
    assert (a.MIN_AREA_RATIO, a.MAX_DISTANCE_RATIOS, a.MAX_PREV_DIST) == (0.3, [0.5, 1.5], 200)
    assert a.custom_pen_json_path == "pen_polygon.json" and a.prev_centroids == {}
    assert (b.MIN_AREA_RATIO, b.MAX_DISTANCE_RATIOS, b.MAX_PREV_DIST) == (0.5, [0.2, 0.4], 50)
    assert b.custom_pen_json_path is None
    a.MAX_DISTANCE_RATIOS.append(9)
    assert vu.Mask_Refinement().MAX_DISTANCE_RATIOS == [0.5, 1.5]
    a.MIN_AREA_RATIO = "x"
    with pytest.raises(TypeError):
        a.get_main_blob(np.ones((4, 4), bool), {}, 1)


def speckled_clip(frames, pigs, variants=12, seed=3):
    """A clip slow to refine but cheap to hold: each pig a body in 1 % speckle
    (thousands of components per mask), its masks drawn from a few shared
    arrays (shared, so each result is a new array)."""
    rng = np.random.default_rng(seed)
    base = []
    for p in range(pigs):
        vs = []
        for v in range(variants):
            m = (rng.random((H, W)) < 0.01).astype(np.uint8)
            cv2.ellipse(m, (100 + 90 * p + 3 * v, 150 + 10 * v), (30, 20), 0, 0, 360, 1, -1)
            vs.append(m[None].astype(bool))
        base.append(vs)
    return {f: {p + 1: base[p][f % variants] for p in range(pigs)} for f in range(frames)}


def test_interrupt_stops_quickly_and_keeps_a_refined_prefix(tmp_path, capsys):
    import signal
    import time

    pen = write_pen(str(tmp_path / "pen.json"), H, W)
    frames = 500
    names = [str(i) for i in range(frames)]
    source = speckled_clip(frames, 6)
    want = {f: dict(o) for f, o in source.items()}
    t = time.perf_counter()
    ref_whole = vu.Mask_Refinement(custom_pen_json_path=pen)
    ref_whole.process_video_segments(want, "", names)
    whole = time.perf_counter() - t
    prev_after = dict(ref_whole.prev_centroids)
    armed = [False]

    def alarm(*_):
        if armed[0]:
            raise KeyboardInterrupt

    old = signal.signal(signal.SIGALRM, alarm)
    interrupted = progressed = 0
    try:
        for share in (0.05, 0.4, 0.75):
            clip = {f: dict(o) for f, o in source.items()}
            ref = vu.Mask_Refinement(custom_pen_json_path=pen)
            fire = time.perf_counter() + share * whole
            armed[0] = True
            signal.setitimer(signal.ITIMER_REAL, share * whole)
            try:
                ref.process_video_segments(clip, "", names)
                armed[0] = False
                continue  # finished first (a faster second call)
            except KeyboardInterrupt:
                pass
            finally:
                armed[0] = False
                signal.setitimer(signal.ITIMER_REAL, 0)
            interrupted += 1
            latency = time.perf_counter() - fire
            assert latency < 0.2, (share, latency)
            # Each pig: its first masks refined, the rest left as they were.
            keys = [(f, o) for f in clip for o in clip[f]]
            stopped = {}
            for f, o in keys:
                refined = clip[f][o] is not source[f][o]
                assert not (refined and o in stopped), (f, o)
                if refined:
                    assert np.array_equal(clip[f][o], want[f][o]), (f, o)
                else:
                    stopped.setdefault(o, f)
            assert stopped, "interrupted after the end"
            progressed += any(clip[f][o] is not source[f][o] for f, o in keys)
            # The same object goes on from where each pig stopped: the rest
            # comes out as in one uninterrupted call (but for the rest's first
            # frame, which is a clip's first frame to the second call).
            rest = {f: {o: m for o, m in objs.items() if o in stopped and f >= stopped[o]}
                    for f, objs in clip.items()}
            rest = {f: objs for f, objs in rest.items() if objs}
            ref.process_video_segments(rest, "", names)
            first = next(iter(rest))
            assert all(np.array_equal(m, want[f][o])
                       for f, objs in rest.items() if f > first for o, m in objs.items())
            assert ref.prev_centroids == prev_after
        assert interrupted >= 2 and progressed >= 1  # work done before it is kept
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, old)
    capsys.readouterr()
