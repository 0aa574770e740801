"""Mask tints, boxes and labels, and the one-mask figure view."""

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402
import numpy as np  # noqa: E402
import pytest  # noqa: E402
from PIL import Image  # noqa: E402

import vexo_utils as vu  # noqa: E402


def index_colour(seed):
    # The reference generator: MT19937 seeded by its 32-bit initialisation,
    # three draws masked to 8 bits.
    return tuple(int(v) for v in np.random.RandomState(seed).randint(0, 256, size=3))


def pil_reference(image, masks):
    """The same tinting done with PIL and numpy, independently."""
    base = Image.fromarray(image).convert("RGBA")
    overlay = np.zeros(image.shape[:2] + (4,), np.uint8)
    overlay[...] = (255, 255, 255, 0)
    for i, m in enumerate(masks):
        overlay[m > 0] = index_colour(42 + i) + (128,)
    return np.asarray(Image.alpha_composite(base, Image.fromarray(overlay, "RGBA")))


def frame(h=60, w=80, seed=0):
    rng = np.random.default_rng(seed)
    return rng.integers(0, 256, size=(h, w, 3), dtype=np.uint8)


def test_colours_follow_the_reference_generator():
    img = np.zeros((4, 12, 3), np.uint8)
    masks = []
    for i in range(6):
        m = np.zeros((4, 12), np.uint8)
        m[:, 2 * i:2 * i + 2] = 1
        masks.append(m)
    a = np.asarray(vu.draw_masks_on_image(img, masks)).astype(int)
    for i in range(6):
        c = np.array(index_colour(42 + i))
        # Over black at alpha 128: about half the colour.
        assert np.abs(a[0, 2 * i, :3] - c * 128 / 255).max() <= 1
    assert index_colour(42) == (102, 179, 92)


def test_tint_matches_independent_pil_composite():
    img = frame(70, 90, seed=3)
    rng = np.random.default_rng(5)
    masks = [(rng.random((70, 90)) < 0.3).astype(np.uint8) for _ in range(4)]
    masks.append(np.zeros((70, 90), bool))
    masks[1] = masks[1].astype(bool)
    masks[2] = masks[2].astype(np.float32) * 0.5
    out = vu.draw_masks_on_image(img, masks)
    assert isinstance(out, Image.Image) and out.mode == "RGBA" and out.size == (90, 70)
    ref = pil_reference(img, [np.asarray(m) for m in masks])
    assert np.abs(np.asarray(out).astype(int) - ref).max() <= 1
    # Untinted pixels are exactly the input.
    untinted = ~np.any([m > 0 for m in masks], axis=0)
    assert (np.asarray(out)[untinted][:, :3] == img[untinted]).all()


def test_later_mask_wins_and_empty_mask_keeps_its_index():
    img = np.full((30, 30, 3), 200, np.uint8)
    a = np.zeros((30, 30), np.uint8)
    a[0:20, 0:20] = 1
    b = np.zeros((30, 30), np.uint8)
    b[10:30, 10:30] = 1
    out = np.asarray(vu.draw_masks_on_image(img, [a, np.zeros((30, 30), np.uint8), b]))
    only_third = np.asarray(vu.draw_masks_on_image(img, [np.zeros_like(a), np.zeros_like(a), b]))
    # The overlap shows the third mask's tint only (seed 44), not a double tint.
    assert (out[15, 15] == only_third[15, 15]).all()
    assert (out[5, 5] != out[15, 15]).any()
    c = np.array(index_colour(44))
    assert np.abs(out[15, 15, :3].astype(int) - (c * 128 + 200 * 127) / 255).max() <= 1


def test_inputs_and_result_types():
    img = frame(40, 50, seed=1)
    m = np.zeros((40, 50), np.uint8)
    m[5:15, 5:25] = 1
    from_array = np.asarray(vu.draw_masks_on_image(img, [m]))
    from_pil = np.asarray(vu.draw_masks_on_image(Image.fromarray(img), [m]))
    assert (from_array == from_pil).all()
    # Empty sequence: the image as RGBA with unchanged colours; input untouched.
    keep = img.copy()
    empty = vu.draw_masks_on_image(img, [])
    assert empty.mode == "RGBA" and (np.asarray(empty)[..., :3] == img).all()
    assert (np.asarray(empty)[..., 3] == 255).all() and (img == keep).all()
    # A stack of masks works like a list; RGBA input keeps its alpha outside masks.
    stack = np.stack([m, m])
    assert (np.asarray(vu.draw_masks_on_image(img, stack))
            == np.asarray(vu.draw_masks_on_image(img, [m, m]))).all()
    rgba = np.dstack([img, np.full((40, 50), 77, np.uint8)])
    out = np.asarray(vu.draw_masks_on_image(Image.fromarray(rgba, "RGBA"), [m]))
    assert (out[30, 30] == rgba[30, 30]).all()
    ref = pil_reference(rgba, [m])
    assert np.abs(out.astype(int) - ref).max() <= 1
    grey = vu.draw_masks_on_image(Image.fromarray(img[..., 0]), [m])
    assert grey.mode == "RGBA" and np.asarray(grey)[30, 30, 0] == img[30, 30, 0]


def test_bad_inputs_raise():
    img = frame(20, 20)
    with pytest.raises(ValueError):
        vu.draw_masks_on_image(img, [np.ones((10, 20), np.uint8)])
    with pytest.raises(TypeError):
        vu.draw_masks_on_image(img, None)
    with pytest.raises(TypeError):
        vu.draw_masks_on_image(None, [])
    with pytest.raises(TypeError):
        vu.draw_masks_on_image(img.astype(np.float32), [])
    with pytest.raises(TypeError):
        vu.draw_masks_on_image(img, [np.ones((20, 20), object)])
    with pytest.raises(ValueError):
        vu.draw_masks_on_image(img, [np.full((20, 20), np.nan)])
    with pytest.raises(TypeError):
        vu.img_bbx_drawing(img, [np.ones((20, 20), np.uint8)])
    with pytest.raises(ValueError):
        vu.img_bbx_drawing(img, {"Box0": np.ones((21, 20), np.uint8)})


# ---------------------------------------------------------------- img_bbx_drawing


def test_box_outline_and_label_placement():
    img = np.full((70, 90, 3), 30, np.uint8)
    m = np.zeros((70, 90), np.uint8)
    m[30:41, 30:51] = 1  # rows 30..40, columns 30..50
    a = np.asarray(vu.img_bbx_drawing(img, {"Box0": m}))
    colour = np.array(index_colour(42))
    is_box = np.all(a[..., :3] == colour, axis=2)
    # The 3-pixel outline on (30, 30)-(50, 40), drawn inward.
    assert is_box[38:41, 30:51].all() and is_box[30:41, 48:51].all() and is_box[30:41, 30:33].all()
    assert is_box[30:33, 30:51].all()
    assert not is_box[33:38, 33:48].any()  # inside: the tint, not the outline
    assert not is_box[41, :].any() and not is_box[31:, 51].any() and not is_box[:, 29].any()
    tinted = a[35, 40, :3].astype(int)
    assert np.abs(tinted - (colour * 128 + 30 * 127) / 255).max() <= 1
    # Label background from (30, 30 - th - 4) to (30 + tw + 4, 30), text in white.
    # Above the box the frame is plain grey, so anything else there is label.
    label = ~np.all(a[..., :3] == 30, axis=2)
    top = np.nonzero(label[:30, 30])[0].min()
    th = 30 - 4 - top
    assert 5 <= th <= 12 and label[top:30, 30].all()
    cols = np.nonzero(label[top:30].any(axis=0))[0]
    right = cols.max()
    tw = right - 30 - 4
    assert 15 <= tw <= 40 and cols.min() == 30
    assert label[top:30, 30:right + 1].all() and not label[:top].any()
    # White glyphs (antialiased) on the label colour, whose red is 102.
    white = a[top:30, 30:right + 1, 0] >= 200
    assert white.sum() > 20 and (a[top:30, 30:right + 1, :3].max(axis=2) == 255).any()
    # The text starts 2 pixels right of the label's left edge, inside the label.
    assert not white[:, :2].any() and not white[-1].any()


def test_label_above_the_top_edge_is_clipped():
    img = np.full((40, 90, 3), 30, np.uint8)
    m = np.zeros((40, 90), np.uint8)
    m[10:21, 30:51] = 1  # rows 10..20, columns 30..50
    a = np.asarray(vu.img_bbx_drawing(img, {"Box0": m}))
    colour = np.array(index_colour(42))
    is_box = np.all(a[..., :3] == colour, axis=2)
    assert is_box[18:21, 30:51].all() and is_box[10:21, 48:51].all()
    assert is_box[0, 30] and is_box[0:11, 30].all()


def test_boxes_for_several_masks_and_empty_masks():
    img = np.zeros((80, 120, 3), np.uint8)
    md = {}
    for i in range(3):
        m = np.zeros((80, 120), np.uint8)
        m[30 + 10 * i:40 + 10 * i, 20 + 30 * i:45 + 30 * i] = 1
        md[f"Box{i}"] = m
    md["Box9"] = np.zeros((80, 120), np.uint8)
    a = np.asarray(vu.img_bbx_drawing(img, md))
    for i in range(3):
        c = np.array(index_colour(42 + i))
        y2, x2 = 39 + 10 * i, 44 + 30 * i
        assert (a[y2, x2, :3] == c).all() and (a[y2 - 2, x2 - 2, :3] == c).all()
    # An empty mask draws its box at (0, 0) in its own colour (seed 45).
    assert (a[0, 0, :3] == index_colour(45)).all()
    again = np.asarray(vu.img_bbx_drawing(Image.fromarray(img), md))
    assert (a == again).all()
    assert vu.img_bbx_drawing(img, {}).mode == "RGBA"


def test_keys_are_written_as_text():
    img = np.zeros((60, 200, 3), np.uint8)
    m = np.zeros((60, 200), np.uint8)
    m[30:50, 20:40] = 1
    short = np.asarray(vu.img_bbx_drawing(img, {1: m}))
    long = np.asarray(vu.img_bbx_drawing(img, {"Box123456": m}))
    c = np.array(index_colour(42))

    def label_right(a):
        return np.nonzero(np.all(a[28, :, :3] == c, axis=1))[0].max()

    assert label_right(long) > label_right(short) + 20


# ---------------------------------------------------------------- video_segments_mask_visual


def test_video_segments_mask_visual_draws_on_current_figure():
    plt.close("all")
    fig = plt.figure()
    m = np.zeros((1, 12, 16), bool)
    m[0, 2:5, 3:9] = True
    segs = {0: {1: np.zeros((1, 12, 16), bool)}, 5: {1: m, 2: ~m}}
    assert vu.video_segments_mask_visual(segs, 5, 1) is None
    assert plt.gcf() is fig and len(plt.get_fignums()) == 1
    imgs = fig.axes[0].get_images()
    assert len(imgs) == 1
    shown = np.asarray(imgs[0].get_array())
    assert shown.shape == (12, 16) and (shown == m[0]).all()
    with pytest.raises(KeyError):
        vu.video_segments_mask_visual(segs, 3, 1)
    with pytest.raises(KeyError):
        vu.video_segments_mask_visual(segs, 0, 2)
    plt.close("all")
