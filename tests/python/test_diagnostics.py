"""Diagnostics: box IoU, centroid clustering, motion scores, overlap heatmap."""

import math

import cv2
import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402
import numpy as np
import pandas as pd
import pytest
from sklearn.cluster import DBSCAN

import vexo_utils as vu


# ---------------------------------------------------------------- calculate_iou


def test_iou_values_and_result_types():
    v = vu.calculate_iou((0, 0, 10, 10), (5, 5, 15, 15))
    assert isinstance(v, float) and v == 25 / 175
    touching = vu.calculate_iou([0, 0, 10, 10], [10, 0, 20, 10])
    assert touching == 0 and isinstance(touching, float)
    assert vu.calculate_iou(np.array([1.5, 2, 9, 7.25]), (1.5, 2, 9, 7.25)) == 1.0
    same_point = vu.calculate_iou((3, 3, 3, 3), (3, 3, 3, 3))
    assert same_point == 0 and type(same_point) is int
    # A degenerate box inside a real one: intersection 0, union 100.
    assert vu.calculate_iou((0, 0, 10, 10), (5, 5, 5, 8)) == 0.0
    assert vu.calculate_iou(box2=(0, 0, 4, 4), box1=(0, 0, 2, 4)) == 0.5


def test_iou_rejects_bad_boxes():
    for bad in (None, "0,0,1,1", (0, 0, 1), (0, 0, 1, 1, 1), 5):
        with pytest.raises((TypeError, ValueError)):
            vu.calculate_iou(bad, (0, 0, 1, 1))
    with pytest.raises(ValueError):
        vu.calculate_iou((0, 0, float("nan"), 1), (0, 0, 1, 1))
    with pytest.raises(TypeError):
        vu.calculate_iou((0, 0, "1", 1), (0, 0, 1, 1))


# ---------------------------------------------------------------- clustering


def square(cx, cy, half=2, shape=(120, 400)):
    m = np.zeros(shape, np.uint8)
    m[cy - half:cy + half + 1, cx - half:cx + half + 1] = 1
    return m


def test_cluster_chains_by_inclusive_eps_and_orders_groups():
    masks = {"Box0": square(10, 10), "Box1": square(90, 10), "Box2": square(310, 10)}
    assert vu.cluster_masks_and_print(masks) == {
        "Noise": [], "Cluster 0": ["Box0", "Box1"], "Cluster 1": ["Box2"]}
    # Exactly eps apart is a neighbour.
    assert vu.cluster_masks_and_print({"A": square(10, 10), "B": square(110, 10)}) == {
        "Noise": [], "Cluster 0": ["A", "B"]}
    assert vu.cluster_masks_and_print({"A": square(10, 10), "B": square(111, 10)}) == {
        "Noise": [], "Cluster 0": ["A"], "Cluster 1": ["B"]}
    # With min_samples 2 an isolated pig is noise.
    r = vu.cluster_masks_and_print(masks, eps=100, min_samples=2)
    assert list(r) == ["Noise", "Cluster 0"]
    assert r == {"Noise": ["Box2"], "Cluster 0": ["Box0", "Box1"]}


def test_cluster_skips_empty_masks_and_uses_the_largest_blob():
    two_blobs = np.zeros((120, 400), np.uint8)
    two_blobs[5:10, 300:305] = 1          # small blob far right
    two_blobs[40:80, 10:50] = 1           # large blob, centroid (29, 59)
    masks = {"Box0": np.zeros((120, 400), bool), "Box1": two_blobs,
             "Box2": square(29 + 60, 59).astype(bool)}
    assert vu.cluster_masks_and_print(masks, eps=60) == {
        "Noise": [], "Cluster 0": ["Box1", "Box2"]}
    assert vu.cluster_masks_and_print(masks, eps=59.9) == {
        "Noise": [], "Cluster 0": ["Box1"], "Cluster 1": ["Box2"]}
    with pytest.raises(ValueError):
        vu.cluster_masks_and_print({"Box0": np.zeros((5, 5), np.uint8)})
    with pytest.raises(ValueError):
        vu.cluster_masks_and_print({})
    for kwargs in ({"eps": 0}, {"eps": float("nan")}, {"min_samples": 0}):
        with pytest.raises(ValueError):
            vu.cluster_masks_and_print({"A": square(10, 10)}, **kwargs)
    with pytest.raises(TypeError):
        vu.cluster_masks_and_print({"A": square(10, 10)}, min_samples=1.5)
    with pytest.raises(TypeError):
        vu.cluster_masks_and_print([square(10, 10)])


def host_centroid(mask):
    contours, _ = cv2.findContours(mask.astype(np.uint8), cv2.RETR_EXTERNAL,
                                   cv2.CHAIN_APPROX_SIMPLE)
    if not contours:
        return None
    m = cv2.moments(max(contours, key=cv2.contourArea))
    if m["m00"] == 0:
        return None
    return int(m["m10"] / m["m00"]), int(m["m01"] / m["m00"])


@pytest.mark.parametrize("seed", range(6))
def test_cluster_matches_reference_dbscan(seed):
    rng = np.random.default_rng(seed)
    h, w = 240, 320
    n = int(rng.integers(5, 25))
    masks = {}
    for i in range(n):
        m = np.zeros((h, w), np.uint8)
        c = (int(rng.integers(0, w)), int(rng.integers(0, h)))  # may touch the border
        axes = (int(rng.integers(1, 12)), int(rng.integers(1, 12)))
        cv2.ellipse(m, c, axes, float(rng.uniform(0, 180)), 0, 360, 1, -1)
        if rng.random() < 0.3:  # a second, smaller blob elsewhere
            cv2.circle(m, (int(rng.integers(0, w)), int(rng.integers(0, h))), 2, 1, -1)
        masks[f"Box{i}"] = m
    masks[f"Box{n}"] = masks["Box0"].copy()  # a duplicate centroid
    eps = float(rng.choice([20, 35, 50.5, 80]))
    min_samples = int(rng.choice([1, 2, 3]))

    keys, points = [], []
    for k, m in masks.items():
        c = host_centroid(m)
        if c is not None:
            keys.append(k)
            points.append(c)
    labels = DBSCAN(eps=eps, min_samples=min_samples).fit(np.array(points)).labels_

    got = vu.cluster_masks_and_print(masks, eps=eps, min_samples=min_samples)
    assert list(got)[0] == "Noise"
    assert got["Noise"] == [k for k, l in zip(keys, labels) if l == -1]
    expected_clusters = {frozenset(k for k, l in zip(keys, labels) if l == lab)
                         for lab in set(labels) if lab != -1}
    got_clusters = [g for name, g in got.items() if name != "Noise"]
    assert {frozenset(g) for g in got_clusters} == expected_clusters
    # Numbered 0, 1, ... by first appearance, members in dict order.
    assert list(got)[1:] == [f"Cluster {i}" for i in range(len(got_clusters))]
    firsts = [keys.index(g[0]) for g in got_clusters]
    assert firsts == sorted(firsts)
    for g in got_clusters:
        assert g == sorted(g, key=keys.index)


# ---------------------------------------------------------------- motion


def write_frames(tmp_path, frames):
    paths = []
    for i, f in enumerate(frames):
        p = str(tmp_path / f"{i:04d}.png")
        cv2.imwrite(p, f)
        paths.append(p)
    return paths


def textured(h, w, seed=0):
    rng = np.random.default_rng(seed)
    img = rng.integers(0, 256, (h // 8, w // 8), dtype=np.uint8)
    img = cv2.resize(img, (w, h), interpolation=cv2.INTER_CUBIC)
    return cv2.cvtColor(cv2.GaussianBlur(img, (5, 5), 1.5), cv2.COLOR_GRAY2BGR)


def test_motion_scores_match_the_host_computation(tmp_path):
    h, w = 120, 160
    base = textured(h, w + 20)
    frames = [base[:, 10 - i // 2:10 - i // 2 + w].copy() for i in range(6)]
    # Something moving only on the right half.
    frames[5][:, 80:] = base[:, 14:14 + 80]
    paths = write_frames(tmp_path, frames)
    masks = {}
    m = np.zeros((h, w), np.uint8); m[20:60, 10:50] = 1; masks["Box0"] = m
    m = np.zeros((h, w), bool); m[30:100, 90:150] = True; masks["Box1"] = m
    masks["Box2"] = np.zeros((h, w), np.uint8)
    m = np.zeros((h, w), np.float32); m[::7, ::3] = 1.0; masks["Box3"] = m

    got = vu.compute_motion_score_in_polygon(paths, masks)
    assert list(got) == list(masks)

    g0 = cv2.imread(paths[0], cv2.IMREAD_GRAYSCALE)
    g5 = cv2.imread(paths[5], cv2.IMREAD_GRAYSCALE)
    flow = cv2.calcOpticalFlowFarneback(g0, g5, None, 0.5, 3, 15, 3, 5, 1.2, 0)
    mag, _ = cv2.cartToPolar(flow[..., 0], flow[..., 1])
    for k, mask in masks.items():
        mm = (mask > 0).astype(np.uint8)
        if not mm.any():
            assert got[k] == 0 and type(got[k]) is int
            continue
        kept = cv2.bitwise_and(mag, mag, mask=mm)
        expected = float(kept[mm > 0].astype(np.float64).mean())
        assert type(got[k]) is float
        assert got[k] == pytest.approx(expected, rel=1e-9, abs=1e-12)
    assert got["Box0"] > 0.5 and got["Box1"] > got["Box0"]


def test_motion_edge_cases(tmp_path):
    # Identical flat frames: no flow at all. (On identical textured frames
    # the flow estimate itself leaves small residues.)
    paths = write_frames(tmp_path, [np.full((64, 80, 3), 90, np.uint8)] * 6)
    m = np.zeros((64, 80), np.uint8); m[10:30, 10:30] = 1
    assert vu.compute_motion_score_in_polygon(paths, {"Box0": m}) == {"Box0": 0.0}
    assert vu.compute_motion_score_in_polygon(paths + ["unused"], {}) == {}
    with pytest.raises(IndexError):
        vu.compute_motion_score_in_polygon(paths[:5], {"Box0": m})
    with pytest.raises(FileNotFoundError):
        vu.compute_motion_score_in_polygon(paths[:5] + [str(tmp_path / "nope.png")], {})
    (tmp_path / "junk.png").write_bytes(b"not an image")
    with pytest.raises(OSError):
        vu.compute_motion_score_in_polygon([str(tmp_path / "junk.png")] + paths[1:], {})
    with pytest.raises(ValueError):
        vu.compute_motion_score_in_polygon(paths, {"Box0": np.ones((10, 10), np.uint8)})
    (tmp_path / "small").mkdir()
    other = write_frames(tmp_path / "small", [textured(32, 40)])[0]
    with pytest.raises(ValueError):
        vu.compute_motion_score_in_polygon(paths[:5] + [other], {})
    with pytest.raises(TypeError):
        vu.compute_motion_score_in_polygon("0000.png", {})


# ---------------------------------------------------------------- heatmap


@pytest.fixture
def shown(monkeypatch):
    """Figures handed to pyplot.show, in call order."""
    figures = []
    monkeypatch.setattr(plt, "show", lambda *a, **k: figures.append(plt.gcf()))
    yield figures
    plt.close("all")


def test_heatmap_figure_contents(shown):
    values = np.array([[0.0, 12.345, 100.0], [3.0, 0.0, 55.555], [float("nan"), 0.004, 0.0]])
    table = pd.DataFrame(values, index=["Box0", "Box3", "Box7"], columns=["Box0", "Box3", "Box7"])
    assert vu.draw_intersection_heatmap(table) is None
    assert len(shown) == 1
    fig = shown[0]
    assert tuple(fig.get_size_inches()) == (7.0, 5.0)
    ax, cax = fig.axes  # the heatmap and its colour bar
    assert ax.get_title() == "Intersection Heatmap %"
    assert (ax.get_xlabel(), ax.get_ylabel()) == ("Mask 2", "Mask 1")
    labels = ["Mask 0", "Mask 1", "Mask 2"]
    assert [t.get_text() for t in ax.get_xticklabels()] == labels
    assert [t.get_text() for t in ax.get_yticklabels()] == labels
    assert ax.get_aspect() == 1.0

    (mesh,) = ax.collections
    assert mesh.get_cmap().name == "Reds"
    assert (mesh.norm.vmin, mesh.norm.vmax) == (0, 100)
    assert mesh.get_linewidth()[0] == 0.5
    assert matplotlib.colors.same_color(mesh.get_edgecolor()[0], "gray")
    arr = mesh.get_array()
    assert np.ma.is_masked(arr) and arr.mask.reshape(3, 3)[2, 0]
    assert np.allclose(arr.filled(-1).reshape(3, 3), np.nan_to_num(values, nan=-1))
    assert mesh.colorbar is not None and mesh.colorbar.ax is cax

    texts = {(t.get_position(), t.get_text()) for t in ax.texts}
    assert texts == {((0.5, 0.5), "0.00"), ((1.5, 0.5), "12.35"), ((2.5, 0.5), "100.00"),
                     ((0.5, 1.5), "3.00"), ((1.5, 1.5), "0.00"), ((2.5, 1.5), "55.55"),
                     ((1.5, 2.5), "0.00"), ((2.5, 2.5), "0.00")}
    assert all(t.get_fontsize() == 8 for t in ax.texts)
    # Light text on the dark full-overlap cell, dark text on pale cells.
    colour = {t.get_text(): t.get_color() for t in ax.texts}
    assert matplotlib.colors.same_color(colour["100.00"], "w")
    assert matplotlib.colors.same_color(colour["3.00"], "0.15")


def test_heatmap_inputs(shown):
    vu.draw_intersection_heatmap(vu.intersection_between_masks({}, {}))  # empty table
    vu.draw_intersection_heatmap([[0, 250], [-5, 0]])  # values outside 0..100 are clipped
    assert [len(f.axes[0].texts) for f in shown] == [0, 4]
    assert shown[1].axes[0].collections[0].norm.vmax == 100
    with pytest.raises(ValueError):
        vu.draw_intersection_heatmap(pd.DataFrame(np.zeros((2, 3))))
    with pytest.raises(ValueError):
        vu.draw_intersection_heatmap(np.zeros(3))
    with pytest.raises(TypeError):
        vu.draw_intersection_heatmap(pd.DataFrame([["a", "b"], ["c", "d"]]))
    with pytest.raises(TypeError):
        vu.draw_intersection_heatmap(None)


class _InterruptedRead:
    """An array-like whose reading is cut short by Ctrl-C."""

    def __array__(self, *args, **kwargs):
        raise KeyboardInterrupt


@pytest.mark.parametrize("call", [
    lambda bad: vu.draw_intersection_heatmap(bad),
    lambda bad: vu.calculate_pen_intersection_ratio(bad, [[0, 0, 5, 5]], 40),
    lambda bad: vu.calculate_pen_intersection_ratio([[0, 0], [9, 0], [9, 9]], bad, 40),
], ids=["heatmap_table", "pen_points", "pen_boxes"])
def test_interrupt_while_reading_numbers_is_not_a_type_error(shown, call):
    with pytest.raises(KeyboardInterrupt):
        call(_InterruptedRead())
    with pytest.raises(TypeError, match="numbers"):
        call([["a", "b"], ["c", "d"]])


def test_heatmap_under_a_non_interactive_backend_returns():
    assert matplotlib.get_backend().lower() == "agg"
    before = plt.get_fignums()
    vu.draw_intersection_heatmap(np.eye(2) * 50)
    assert len(plt.get_fignums()) == len(before) + 1
    plt.close("all")
