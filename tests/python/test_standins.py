"""Call contracts of the classical detector and image predictor stand-ins."""

import numpy as np
import pytest
import torch
from PIL import Image

from vexo_pipeline import StandinImagePredictor, make_detector, scripted_detections
from vexo_pipeline.standins import detect_blobs


def blob_image(h=200, w=300):
    img = np.full((h, w, 3), 50, np.uint8)
    img[40:90, 30:120] = (210, 180, 165)
    img[120:170, 180:280] = (200, 170, 160)
    return img


def detect(image, use_torch=None, script=None, **post):
    proc, model = make_detector(script=script, use_torch=use_torch)
    inputs = proc(images=image, text="pig.", return_tensors="pt").to("cpu")
    with torch.no_grad():
        outputs = model(**inputs)
    h, w = np.asarray(image).shape[:2]
    res = proc.post_process_grounded_object_detection(
        outputs, inputs.input_ids, target_sizes=[(h, w)], **post)
    return res, proc, model, inputs


@pytest.mark.parametrize("use_torch", [True, False])
def test_detector_contract(use_torch):
    res, proc, model, inputs = detect(Image.fromarray(blob_image()), use_torch=use_torch)
    assert isinstance(res, list) and len(res) == 1
    r = res[0]
    kind = torch.Tensor if use_torch else np.ndarray
    assert isinstance(r["scores"], kind) and isinstance(r["boxes"], kind)
    assert isinstance(inputs.input_ids, kind) and "pixel_values" in inputs
    boxes = np.asarray(r["boxes"])
    order = np.argsort(boxes[:, 1])
    assert np.allclose(boxes[order], [[30, 40, 120, 90], [180, 120, 280, 170]], atol=1e-3)
    assert r["labels"] == ["pig", "pig"]
    assert (np.asarray(r["scores"]) > 0.5).all()
    assert proc.devices == ["cpu"] and model.grad_enabled == [False]


def test_detector_thresholds_and_empty_floor():
    res, *_ = detect(Image.fromarray(blob_image()), box_threshold=0.999)
    assert tuple(res[0]["boxes"].shape) == (0, 4) and res[0]["labels"] == []
    res, *_ = detect(Image.fromarray(np.full((64, 64, 3), 40, np.uint8)))
    assert len(res[0]["scores"]) == 0


@pytest.mark.parametrize("rows", [200, 260, 520, 1040])
def test_detector_tells_close_animals_apart_at_any_frame_height(rows):
    # Two animals side by side with a dark mark across each, drawn at the
    # scale of the frame: the gap between them is a little wider than the
    # closing that bridges the marks, and stays so in a small frame.
    k = rows / 520
    img = np.full((rows, int(1.5 * rows), 3), 50, np.uint8)
    gap, mark = round(12 * k), max(1, int(3 * k))
    x0, y0, w, h = round(200 * k), round(150 * k), round(160 * k), round(80 * k)
    want = [[x0, y0, x0 + w, y0 + h], [x0, y0 + h + gap, x0 + w, y0 + 2 * h + gap]]
    for x1, y1, x2, y2 in want:
        img[y1:y2, x1:x2] = (210, 180, 165)
        img[y1:y2, (x1 + x2) // 2:(x1 + x2) // 2 + mark] = (60, 50, 45)
    boxes, scores = detect_blobs(img)
    assert np.allclose(sorted(boxes.tolist()), want, atol=1) and (scores > 0.5).all()


def test_detector_scripts(tmp_path):
    path = tmp_path / "0007.jpg"
    Image.fromarray(blob_image()).save(path)
    entry = scripted_detections([[1, 2, 3, 4]], [0.3], ["pigs"])
    res, *_ = detect(Image.open(path), script={"0007.jpg": entry})
    assert res[0]["boxes"].tolist() == [[1, 2, 3, 4]]
    assert res[0]["scores"].tolist() == pytest.approx([0.3])
    assert res[0]["labels"] == ["pigs"]
    # Unscripted frames fall back to detection; lists are consumed per call.
    res, *_ = detect(Image.open(path), script={"other.jpg": entry})
    assert len(res[0]["labels"]) == 2
    res, *_ = detect(Image.open(path), script=[([[5, 5, 9, 9]], [0.5])])
    assert res[0]["boxes"].tolist() == [[5, 5, 9, 9]] and res[0]["labels"] == ["pig"]
    res, *_ = detect(Image.open(path), script=lambda rgb, name: ([[0, 0, 1, 1]], [0.9]))
    assert res[0]["boxes"].tolist() == [[0, 0, 1, 1]]


@pytest.mark.parametrize("dtype", ["bool", "uint8", "float32"])
def test_predictor_shapes_follow_the_real_segmenter(dtype):
    img = blob_image()
    pred = StandinImagePredictor(mask_dtype=dtype)
    with pytest.raises(RuntimeError):
        pred.predict(box=np.array([[0, 0, 5, 5]]), multimask_output=False)
    pred.set_image(img)
    masks, scores, logits = pred.predict(point_coords=None, point_labels=None,
                                         box=np.array([[25, 35, 125, 95]]),
                                         multimask_output=False)
    assert masks.shape == (1, 200, 300) and masks.dtype == np.dtype(dtype)
    assert scores.shape == (1,) and logits.shape == (1, 256, 256)
    truth = np.zeros((200, 300), bool)
    truth[40:90, 30:120] = True
    got = masks[0].astype(bool)
    assert (got & truth).sum() / (got | truth).sum() > 0.95
    masks, scores, _ = pred.predict(box=np.array([[25, 35, 125, 95], [175, 115, 285, 175]]),
                                    multimask_output=False)
    assert masks.shape == (2, 1, 200, 300) and scores.shape == (2, 1)
    assert masks[1, 0].astype(bool)[140, 230] and not masks[1, 0].astype(bool)[60, 60]
    with pytest.raises(ValueError):
        pred.set_image(img.astype(np.float32))


def test_predictor_torch_masks_and_script():
    pred = StandinImagePredictor(mask_type="torch", mask_dtype="bool")
    pred.set_image(blob_image())
    masks, _, _ = pred.predict(box=[[25, 35, 125, 95], [175, 115, 285, 175]],
                               multimask_output=False)
    assert isinstance(masks, torch.Tensor) and masks.dtype == torch.bool
    scripted = np.ones((1, 200, 300), np.uint8)
    pred = StandinImagePredictor(script=[scripted, None])
    pred.set_image(blob_image())
    assert pred.predict(box=[[0, 0, 1, 1]])[0] is scripted
    assert pred.predict(box=[[25, 35, 125, 95]])[0].shape == (1, 200, 300)
    assert len(pred.predict_calls) == 2


def test_encoder_contract():
    pred = StandinImagePredictor()
    assert str(pred.device) == "cpu"
    x = torch.rand(1, 3, 256, 256, generator=torch.Generator().manual_seed(0))
    with torch.no_grad():
        out = pred.model.image_encoder(x)
    f = out["vision_features"]
    assert isinstance(f, torch.Tensor) and tuple(f.shape) == (1, 64, 16, 16)
    assert torch.equal(f, pred.model.image_encoder(x)["vision_features"])  # deterministic
    assert pred.model.image_encoder.grad_enabled[0] is False
    y = pred.model.image_encoder(x.numpy())["vision_features"]
    assert isinstance(y, np.ndarray) and np.allclose(y, f.numpy())
    # Different content, different features.
    other = pred.model.image_encoder(torch.zeros(1, 3, 256, 256))["vision_features"]
    cos = torch.nn.functional.cosine_similarity(f.mean(dim=(2, 3)), other.mean(dim=(2, 3)))
    assert cos.item() < 0.99
    numpy_pred = StandinImagePredictor(use_torch=False, channels=8)
    z = numpy_pred.model.image_encoder(x.numpy())["vision_features"]
    assert isinstance(z, np.ndarray) and z.shape == (1, 8, 16, 16)
    with pytest.raises(ValueError):
        pred.model.image_encoder(torch.zeros(1, 3, 32, 32))


NO_TORCH = r'''
import json, sys
sys.modules["torch"] = None  # torch cannot be imported in this process
import numpy as np
from PIL import Image
import vexo_utils as vu
from vexo_pipeline import StandinImagePredictor, make_detector
folder = sys.argv[1]
img = np.full((200, 300, 3), 50, np.uint8)
img[40:90, 30:120] = (210, 180, 165)
img[120:170, 180:280] = (200, 170, 160)
Image.fromarray(img).save(folder + "/0000.png")
with open(folder + "/pen.json", "w") as f:
    json.dump({"shapes": [{"points": [[0, 0], [300, 0], [300, 200], [0, 200]]}]}, f)
proc, model = make_detector()
pred = StandinImagePredictor()
masks, labels, idx, _ = vu.initializer("d", [folder + "/0000.png"], proc, model, "cpu", pred,
                                       close_set_num=2, custom_pen_json_path=folder + "/pen.json")
assert type(proc.post_process_calls[0]["input_ids"]) is np.ndarray
feats = vu.generate_sam2_image_features(img, masks, pred)
enc_input = pred.model.image_encoder.calls[0]
print(masks.shape, labels, idx, type(feats[0]).__name__, feats[0].shape,
      type(enc_input).__name__, enc_input.shape)
'''


def test_everything_runs_without_torch(tmp_path):
    import os
    import subprocess
    import sys
    out = subprocess.run([sys.executable, "-c", NO_TORCH, str(tmp_path)], capture_output=True,
                         text=True, env=dict(os.environ), timeout=120)
    assert out.returncode == 0, out.stderr
    assert out.stdout.splitlines()[-1] == (
        "(2, 200, 300) ['pig', 'pig'] 0 ndarray (64,) ndarray (1, 3, 256, 256)")
