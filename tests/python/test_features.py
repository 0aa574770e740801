"""Dark-mark enhancement, appearance features and their cosine scores."""

import sys

import cv2
import numpy as np
import pytest
import torch
import torch.nn.functional as F
from PIL import Image

import vexo_utils as vu
from vexo_pipeline import StandinImagePredictor


# ---------------------------------------------------------------- helpers


class FakeEncoder:
    """Records its inputs; features are the input pooled to 4 x 4 per channel,
    with a fourth channel holding the squared mean, so vectors differ."""

    def __init__(self):
        self.inputs = []
        self.grad = []

    def __call__(self, x):
        self.inputs.append(x)
        if isinstance(x, np.ndarray):
            pooled = x.reshape(1, 3, 4, 64, 4, 64).mean(axis=(3, 5))
            extra = (pooled[:, :1] ** 2)
            return {"vision_features": np.concatenate([pooled, extra], axis=1)}
        self.grad.append(torch.is_grad_enabled())
        pooled = F.avg_pool2d(x, 64)
        return {"vision_features": torch.cat([pooled, pooled[:, :1] ** 2], dim=1)}


class FakePredictor:
    def __init__(self, device="cpu"):
        if device is not None:
            self.device = device
        self.model = type("M", (), {})()
        self.model.image_encoder = FakeEncoder()
        self.images = []

    def set_image(self, image):
        self.images.append(np.array(image))


def reference_input(rgb, mask):
    """The encoder input the plain numpy/torch way."""
    ys, xs = np.nonzero(mask)
    x1, x2, y1, y2 = xs.min(), xs.max(), ys.min(), ys.max()
    crop = rgb[y1:y2, x1:x2]
    m = (mask[y1:y2, x1:x2] * 255).astype(np.uint8)
    grey = cv2.cvtColor(cv2.cvtColor(crop, cv2.COLOR_RGB2BGR), cv2.COLOR_BGR2GRAY)
    table = np.array([((i / 255.0) ** (1.0 / 10)) * 255 for i in range(256)]).astype(np.uint8)
    enh = cv2.equalizeHist(cv2.LUT(grey, table))
    comp = np.zeros(crop.shape, np.uint8)
    comp[m > 0] = enh[m > 0][:, None]
    t = torch.from_numpy(comp).permute(2, 0, 1).float().div(255).unsqueeze(0)
    return F.interpolate(t, size=(256, 256), mode="bilinear", align_corners=False)


def frame_and_masks(h=120, w=160, seed=3):
    rng = np.random.default_rng(seed)
    rgb = rng.integers(0, 256, (h, w, 3), dtype=np.uint8)
    masks = np.zeros((4, h, w), np.uint8)
    cv2.ellipse(masks[0], (40, 40), (25, 15), 20, 0, 360, 1, -1)
    masks[1, 5, 5:14] = 1  # 9 pixels
    masks[2, 70:110, 90:150] = 1
    masks[3, 60, 10:60] = 1  # a single row
    return rgb, masks


# ---------------------------------------------------------------- dark text


def test_enhance_dark_text_matches_opencv_pipeline():
    rgb = np.random.default_rng(1).integers(0, 256, (37, 53, 3), dtype=np.uint8)
    for gamma in (1.5, 10, 1, 0.4):
        out = vu.enhance_dark_text(Image.fromarray(rgb), gamma)
        assert out.mode == "L" and out.size == (53, 37)
        grey = cv2.cvtColor(cv2.cvtColor(rgb, cv2.COLOR_RGB2BGR), cv2.COLOR_BGR2GRAY)
        table = np.array([((i / 255.0) ** (1.0 / gamma)) * 255 for i in range(256)]).astype(
            np.uint8)
        np.testing.assert_array_equal(np.asarray(out), cv2.equalizeHist(cv2.LUT(grey, table)))
    # The default gamma is 1.5; arrays are accepted like PIL images.
    np.testing.assert_array_equal(np.asarray(vu.enhance_dark_text(rgb)),
                                  np.asarray(vu.enhance_dark_text(Image.fromarray(rgb), 1.5)))


@pytest.mark.parametrize("level,gamma,expected", [(1, 1.5, 6), (128, 1.5, 161), (255, 1.5, 255),
                                                  (0, 1.5, 0), (1, 10, 146), (77, 1, 77)])
def test_uniform_image_keeps_the_table_level(level, gamma, expected):
    img = Image.new("RGB", (9, 4), (level, level, level))
    out = np.asarray(vu.enhance_dark_text(img, gamma=gamma))
    assert out.shape == (4, 9) and (out == expected).all()


def test_enhance_dark_text_rejects_bad_input():
    img = Image.new("RGB", (4, 4))
    for bad in (0, -1.5, float("nan")):
        with pytest.raises(ValueError, match="gamma"):
            vu.enhance_dark_text(img, bad)
    with pytest.raises(TypeError):
        vu.enhance_dark_text(None)
    with pytest.raises(TypeError):
        vu.enhance_dark_text(img, "2")
    with pytest.raises(TypeError):
        vu.enhance_dark_text(np.zeros((4, 4, 3), np.float32))


# ---------------------------------------------------------------- features


def test_features_torch_path_inputs_and_alignment():
    rgb, masks = frame_and_masks()
    p = FakePredictor()
    feats = vu.generate_sam2_image_features(Image.fromarray(rgb), masks, p)
    # One entry per mask, None for the 9-pixel and single-row masks.
    assert len(feats) == 4 and feats[1] is None and feats[3] is None
    assert all(isinstance(feats[i], torch.Tensor) and feats[i].shape == (4,) for i in (0, 2))
    np.testing.assert_array_equal(p.images[0], rgb)
    enc = p.model.image_encoder
    assert len(enc.inputs) == 2 and enc.grad == [False, False]
    for x, i in zip(enc.inputs, (0, 2)):
        assert x.shape == (1, 3, 256, 256) and x.dtype == torch.float32
        assert x.device.type == "cpu"
        ref = reference_input(rgb, masks[i])
        torch.testing.assert_close(x, ref, rtol=0, atol=1e-6)
        assert float(x.min()) >= 0 and float(x.max()) <= 1
        expected = torch.cat([F.avg_pool2d(ref, 64), F.avg_pool2d(ref, 64)[:, :1] ** 2],
                             1).mean(dim=(2, 3))[0]
        torch.testing.assert_close(feats[i], expected)


def test_features_numpy_path_without_torch(monkeypatch):
    rgb, masks = frame_and_masks()
    refs = [reference_input(rgb, masks[i]).numpy() for i in (0, 2)]
    monkeypatch.setitem(sys.modules, "torch", None)  # import torch now fails
    p = FakePredictor()
    feats = vu.generate_sam2_image_features(rgb, list(masks), p)
    inputs = p.model.image_encoder.inputs
    assert len(inputs) == 2
    for x, ref in zip(inputs, refs):
        assert isinstance(x, np.ndarray) and x.dtype == np.float32 and x.shape == (1, 3, 256, 256)
        np.testing.assert_allclose(x, ref, atol=1e-4)
    assert feats[1] is None and feats[3] is None
    assert isinstance(feats[0], np.ndarray) and feats[0].dtype == np.float32
    assert feats[0].shape == (4,)


def test_features_ten_pixels_and_device_choice(monkeypatch):
    rgb = np.full((30, 30, 3), 200, np.uint8)
    nine = np.zeros((30, 30), np.uint8)
    nine[2:5, 2:5] = 1
    ten = nine.copy()
    ten[20, 20] = 1
    p = FakePredictor(device=None)  # no device attribute: CUDA if available, else CPU
    feats = vu.generate_sam2_image_features(rgb, np.stack([nine, ten]), p)
    assert feats[0] is None and feats[1] is not None
    assert p.model.image_encoder.inputs[0].device.type == "cpu"
    monkeypatch.setattr(torch.cuda, "is_available", lambda: True)
    with pytest.raises(Exception):  # this build has no CUDA: the move to "cuda" fails
        vu.generate_sam2_image_features(rgb, np.stack([ten]), FakePredictor(device=None))
    # An explicit device attribute wins over the CUDA probe.
    p = FakePredictor(device=torch.device("cpu"))
    assert vu.generate_sam2_image_features(rgb, [ten], p)[0] is not None


def test_features_input_errors():
    rgb, masks = frame_and_masks()
    p = FakePredictor()
    with pytest.raises(ValueError):
        vu.generate_sam2_image_features(rgb, masks[:, :50], p)  # masks of another size
    with pytest.raises(TypeError):
        vu.generate_sam2_image_features(rgb, None, p)
    with pytest.raises(TypeError):
        vu.generate_sam2_image_features(rgb, masks, None)
    with pytest.raises(ValueError):
        vu.generate_sam2_image_features(rgb, masks[0], p)  # one 2-D mask is not a stack
    assert vu.generate_sam2_image_features(rgb, [], p) == []
    assert len(p.images) == 1  # set_image still ran


def test_features_with_standin_follow_the_marks():
    rgb = np.full((120, 300, 3), 40, np.uint8)
    masks = np.zeros((3, 120, 300), np.uint8)
    for i, cx in enumerate((50, 150, 250)):
        cv2.ellipse(rgb, (cx, 60), (30, 18), 0, 0, 360, (230, 200, 190), -1)
        cv2.ellipse(masks[i], (cx, 60), (30, 18), 0, 0, 360, 1, -1)
    cv2.putText(rgb, "7", (40, 70), cv2.FONT_HERSHEY_SIMPLEX, 0.8, (20, 20, 20), 2)
    p = StandinImagePredictor()
    feats = vu.generate_sam2_image_features(Image.fromarray(rgb), masks, p)
    assert len(p.model.image_encoder.calls) == 3
    scores = vu.cosine_scores_cal(feats, feats)
    np.testing.assert_allclose(np.diag(scores), 1.0, atol=1e-6)
    # The two plain pigs look alike; the numbered one stands apart.
    assert scores[1, 2] > scores[0, 1] and scores[1, 2] > scores[0, 2]


# ---------------------------------------------------------------- cosine


def test_cosine_scores_against_numpy_with_absent_entries():
    rng = np.random.default_rng(5)
    new = [torch.from_numpy(rng.normal(size=8).astype(np.float32)), None,
           rng.normal(size=8).astype(np.float32), np.zeros(8, np.float32)]
    old = [None, rng.normal(size=8).astype(np.float32),
           torch.from_numpy(rng.normal(size=(1, 8)).astype(np.float32))]
    s = vu.cosine_scores_cal(new, old)
    assert s.shape == (4, 3) and s.dtype == np.float64
    assert np.isneginf(s[:, 0]).all() and np.isneginf(s[1]).all()
    a = np.stack([np.asarray(new[0]), new[2]])
    b = np.stack([old[1], np.asarray(old[2]).reshape(-1)])
    ref = (a / np.linalg.norm(a, axis=1, keepdims=True)) @ (
        b / np.linalg.norm(b, axis=1, keepdims=True)).T
    np.testing.assert_allclose(s[[0, 2]][:, 1:], ref, rtol=1e-6)
    assert (s[3, 1:] == 0).all()  # a zero vector scores 0
    assert np.isneginf(vu.cosine_scores_cal([None, None], [None])).all()
    assert vu.cosine_scores_cal([], [None]).shape == (0, 1)
    same = [rng.normal(size=5) for _ in range(3)]
    np.testing.assert_allclose(np.diag(vu.cosine_scores_cal(same, same)), 1.0, atol=1e-12)


def test_cosine_scores_rejects_bad_vectors():
    with pytest.raises(ValueError):
        vu.cosine_scores_cal([np.ones(3)], [np.ones(4)])
    with pytest.raises(ValueError):
        vu.cosine_scores_cal([np.array([1.0, np.nan])], [np.ones(2)])
    with pytest.raises(ValueError):
        vu.cosine_scores_cal([np.ones((2, 2))], [np.ones(2)])
    with pytest.raises(TypeError):
        vu.cosine_scores_cal(None, [])
    with pytest.raises(TypeError):
        vu.cosine_scores_cal(["abc"], [])
