"""Classical stand-ins for the text-prompted detector and the box-prompted
image predictor, with the call contracts of the real models.

``make_detector()`` returns a ``(processor, grounding_model)`` pair:

* ``processor(images=..., text=..., return_tensors="pt")`` returns inputs with
  ``.to(device)``, ``input_ids`` and mapping access (``model(**inputs)``);
* ``grounding_model(**inputs)`` returns the raw output;
* ``processor.post_process_grounded_object_detection(outputs, input_ids,
  box_threshold=0.25, text_threshold=0.25, target_sizes=None)`` returns a list
  with one ``{"scores", "labels", "boxes"}`` mapping per image.

``StandinImagePredictor`` offers ``set_image``, ``predict`` and
``model.image_encoder`` and a ``device`` attribute.

Tensors are torch tensors when torch is installed (``use_torch=None``) and
numpy arrays otherwise; ``use_torch=False`` forces numpy. The heavy work runs
in the native module. Both stand-ins can be scripted per frame for tests, and
both record what they were called with in ``calls``.
"""

from __future__ import annotations

import os
from typing import Any, Callable, Dict, List, Optional

import numpy as np

from ._vexo_pipeline import detect_blobs, encode_features, segment_boxes

__all__ = [
    "make_detector",
    "StandinProcessor",
    "StandinGroundingModel",
    "StandinImagePredictor",
    "scripted_detections",
]


def _torch(use_torch: Optional[bool]):
    if use_torch is False:
        return None
    try:
        import torch  # noqa: F401
    except ImportError:
        if use_torch:
            raise
        return None
    return torch


def _to_device(value, device):
    if hasattr(value, "to") and not isinstance(value, np.ndarray) and device is not None:
        return value.to(device)
    return value


def _as_numpy(value) -> np.ndarray:
    if hasattr(value, "detach"):
        return value.detach().cpu().numpy()
    return np.asarray(value)


def scripted_detections(boxes, scores, labels=None) -> Dict[str, Any]:
    """One frame's scripted answer: pixel boxes (N x 4), scores (N) and labels
    (N texts, "pig" by default)."""
    boxes = np.asarray(boxes, dtype=np.float32).reshape(-1, 4)
    scores = np.asarray(scores, dtype=np.float32).reshape(-1)
    if labels is None:
        labels = ["pig"] * len(scores)
    return {"boxes": boxes, "scores": scores, "labels": list(labels)}


class _State:
    def __init__(self):
        self.image_filename: Optional[str] = None
        self.frames_seen = 0


class _Inputs(dict):
    """Model inputs: a mapping with attribute access and ``.to(device)``."""

    device = None
    _log: Optional[List[Any]] = None

    def __getattr__(self, name):
        try:
            return self[name]
        except KeyError as exc:
            raise AttributeError(name) from exc

    def to(self, device):
        moved = _Inputs({k: _to_device(v, device) for k, v in self.items()})
        moved.device = device
        moved._log = self._log
        if self._log is not None:
            self._log.append(device)
        return moved


_NOT_GIVEN = object()


class _Outputs:
    """Raw detector output: normalised centre boxes and logits, or a script."""

    def __init__(self, pred_boxes, logits, scripted=None, image_size=None):
        self.pred_boxes = pred_boxes
        self.logits = logits
        self.scripted = scripted
        self.image_size = image_size


class StandinProcessor:
    """Processor of the stand-in detector (see the module notes)."""

    def __init__(self, state: Optional[_State] = None, use_torch: Optional[bool] = None):
        self._state = state or _State()
        self._torch = _torch(use_torch)
        self.calls: List[Dict[str, Any]] = []
        self.post_process_calls: List[Dict[str, Any]] = []
        self.devices: List[Any] = []  # every device the inputs were moved to

    def __call__(self, images=None, text=None, return_tensors=None, **kwargs):
        if images is None or text is None:
            raise ValueError("processor needs images and text")
        self.calls.append({"images": images, "text": text, "return_tensors": return_tensors,
                           **kwargs})
        self._state.image_filename = getattr(images, "filename", None) or None
        rgb = np.asarray(images.convert("RGB") if hasattr(images, "convert") else images)
        if rgb.ndim != 3 or rgb.shape[2] != 3 or rgb.dtype != np.uint8:
            raise ValueError("processor: expected an RGB image")
        pixel_values = rgb.transpose(2, 0, 1)[None].astype(np.float32) / 255.0
        ids = np.array([[101] + [ord(c) for c in text] + [102]], dtype=np.int64)
        mask = np.ones_like(ids)
        t = self._torch
        if t is not None and return_tensors == "pt":
            pixel_values = t.from_numpy(pixel_values)
            ids = t.from_numpy(ids)
            mask = t.from_numpy(mask)
        inputs = _Inputs(pixel_values=pixel_values, input_ids=ids, attention_mask=mask)
        inputs._log = self.devices
        return inputs

    def _label_from(self, input_ids) -> str:
        ids = _as_numpy(input_ids).reshape(-1).tolist()
        text = "".join(chr(i) for i in ids if i not in (101, 102))
        return text.strip().rstrip(".").strip()

    def post_process_grounded_object_detection(self, outputs, input_ids, box_threshold=_NOT_GIVEN,
                                               text_threshold=0.25, target_sizes=None):
        """Pixel corner boxes, scores and text labels per image. The box
        threshold defaults to 0.25 (``box_threshold_given`` is recorded)."""
        given = box_threshold is not _NOT_GIVEN
        if not given:
            box_threshold = 0.25
        self.post_process_calls.append({
            "outputs": outputs, "input_ids": input_ids, "box_threshold": box_threshold,
            "box_threshold_given": given, "text_threshold": text_threshold,
            "target_sizes": target_sizes})
        label = self._label_from(input_ids)
        if outputs.scripted is not None:
            s = outputs.scripted
            boxes, scores, labels = s["boxes"], s["scores"], list(s["labels"])
        else:
            cxcywh = _as_numpy(outputs.pred_boxes)[0].astype(np.float64)
            scores = _as_numpy(outputs.logits)[0].astype(np.float32)
            if target_sizes is not None:
                h, w = target_sizes[0]
            else:
                h, w = outputs.image_size
            boxes = np.empty_like(cxcywh)
            boxes[:, 0] = (cxcywh[:, 0] - cxcywh[:, 2] / 2) * w
            boxes[:, 1] = (cxcywh[:, 1] - cxcywh[:, 3] / 2) * h
            boxes[:, 2] = (cxcywh[:, 0] + cxcywh[:, 2] / 2) * w
            boxes[:, 3] = (cxcywh[:, 1] + cxcywh[:, 3] / 2) * h
            keep = scores > box_threshold
            boxes, scores = boxes[keep].astype(np.float32), scores[keep]
            labels = [label if sc > text_threshold else "" for sc in scores]
        boxes = np.asarray(boxes, dtype=np.float32).reshape(-1, 4)
        scores = np.asarray(scores, dtype=np.float32).reshape(-1)
        t = self._torch
        if t is not None:
            boxes, scores = t.from_numpy(boxes.copy()), t.from_numpy(scores.copy())
        return [{"scores": scores, "labels": labels, "boxes": boxes}]


class StandinGroundingModel:
    """Detector of the stand-in pair: bright animal blobs on a darker floor.

    ``script`` gives exact answers per frame: a dict keyed by the frame's
    file path or file name (``None`` values fall back to detection), a list
    consumed one entry per call, or a callable ``(rgb_array, filename) ->
    entry``. An entry is a ``scripted_detections(...)`` mapping (or a
    ``(boxes, scores[, labels])`` tuple).
    """

    def __init__(self, state: Optional[_State] = None, script=None,
                 use_torch: Optional[bool] = None):
        self._state = state or _State()
        self._torch = _torch(use_torch)
        self.script = script
        self.calls: List[Dict[str, Any]] = []
        self.grad_enabled: List[bool] = []

    def _scripted(self, rgb, filename):
        s = self.script
        if s is None:
            return None
        index = self._state.frames_seen
        if callable(s):
            entry = s(rgb, filename)
        elif isinstance(s, dict):
            entry = None
            if filename is not None:
                entry = s.get(filename, s.get(os.path.basename(filename)))
        else:
            entry = s[index] if index < len(s) else None
        if entry is None:
            return None
        if isinstance(entry, (tuple, list)):
            entry = scripted_detections(*entry)
        return scripted_detections(entry["boxes"], entry["scores"], entry.get("labels"))

    def __call__(self, pixel_values=None, input_ids=None, **kwargs):
        if pixel_values is None:
            raise ValueError("grounding model needs pixel_values")
        self.calls.append({"pixel_values": pixel_values, "input_ids": input_ids, **kwargs})
        t = self._torch
        self.grad_enabled.append(bool(t.is_grad_enabled()) if t is not None else False)
        pv = _as_numpy(pixel_values)
        rgb = np.ascontiguousarray(
            (np.clip(pv[0].transpose(1, 2, 0), 0.0, 1.0) * 255.0 + 0.5).astype(np.uint8))
        h, w = rgb.shape[:2]
        scripted = self._scripted(rgb, self._state.image_filename)
        self._state.frames_seen += 1
        if scripted is not None:
            return _Outputs(None, None, scripted=scripted, image_size=(h, w))
        boxes, scores = detect_blobs(rgb)
        cx = (boxes[:, 0] + boxes[:, 2]) / 2 / w
        cy = (boxes[:, 1] + boxes[:, 3]) / 2 / h
        bw = (boxes[:, 2] - boxes[:, 0]) / w
        bh = (boxes[:, 3] - boxes[:, 1]) / h
        pred = np.stack([cx, cy, bw, bh], axis=1)[None].astype(np.float32)
        logits = scores[None].astype(np.float32)
        if t is not None:
            pred, logits = t.from_numpy(pred), t.from_numpy(logits)
            device = getattr(pixel_values, "device", None)
            pred, logits = _to_device(pred, device), _to_device(logits, device)
        return _Outputs(pred, logits, image_size=(h, w))


def make_detector(script=None, use_torch: Optional[bool] = None):
    """A ``(processor, grounding_model)`` pair sharing per-frame state."""
    state = _State()
    return (StandinProcessor(state, use_torch=use_torch),
            StandinGroundingModel(state, script=script, use_torch=use_torch))


class _ImageEncoder:
    """Stand-in image encoder: {"vision_features": 1 x C x 16 x 16}."""

    def __init__(self, channels: int, use_torch: Optional[bool]):
        self.channels = channels
        self._torch = _torch(use_torch)
        self.calls: List[Any] = []
        self.grad_enabled: List[bool] = []

    def __call__(self, x):
        self.calls.append(x)
        t = self._torch
        if t is not None and isinstance(x, t.Tensor):
            self.grad_enabled.append(bool(t.is_grad_enabled()))
            feats = encode_features(x.detach().cpu().float().numpy(), self.channels)
            return {"vision_features": t.from_numpy(feats).to(x.device)}
        self.grad_enabled.append(bool(t.is_grad_enabled()) if t is not None else False)
        return {"vision_features": encode_features(np.asarray(x, dtype=np.float32),
                                                   self.channels)}


class _PredictorModel:
    def __init__(self, encoder: _ImageEncoder):
        self.image_encoder = encoder


class StandinImagePredictor:
    """Box-prompted segmenter stand-in.

    ``predict`` returns ``(masks, scores, logits)`` shaped as the real
    predictor does with ``multimask_output=False``: ``(1, H, W)`` for one box
    and ``(N, 1, H, W)`` for several. ``mask_dtype`` picks bool, uint8 or
    float32 masks (float32 by default); ``mask_type="torch"`` returns tensors.
    ``script`` replaces the masks: a list consumed one entry per ``predict``
    call, or a callable ``(image, boxes) -> masks``; a ``None`` entry falls
    back to segmentation. Scripted masks are returned as given.
    """

    def __init__(self, script=None, device=None, mask_dtype: str = "float32",
                 mask_type: str = "numpy", channels: int = 64,
                 use_torch: Optional[bool] = None):
        if mask_dtype not in ("bool", "uint8", "float32"):
            raise ValueError("mask_dtype must be 'bool', 'uint8' or 'float32'")
        if mask_type not in ("numpy", "torch"):
            raise ValueError("mask_type must be 'numpy' or 'torch'")
        self._torch = _torch(use_torch)
        if mask_type == "torch" and self._torch is None:
            raise ValueError("mask_type 'torch' needs torch")
        if device is None:
            device = self._torch.device("cpu") if self._torch is not None else "cpu"
        self.device = device
        self.script = script
        self.mask_dtype = mask_dtype
        self.mask_type = mask_type
        self.model = _PredictorModel(_ImageEncoder(channels, use_torch))
        self.set_image_calls: List[np.ndarray] = []
        self.predict_calls: List[Dict[str, Any]] = []
        self._image: Optional[np.ndarray] = None

    def set_image(self, image):
        arr = np.asarray(image)
        if arr.ndim != 3 or arr.shape[2] != 3 or arr.dtype != np.uint8:
            raise ValueError("set_image expects an H x W x 3 uint8 RGB array")
        self._image = np.ascontiguousarray(arr).copy()
        self.set_image_calls.append(self._image)

    def reset_predictor(self):
        self._image = None

    def predict(self, point_coords=None, point_labels=None, box=None, mask_input=None,
                multimask_output=True, return_logits=False, normalize_coords=True):
        if self._image is None:
            raise RuntimeError("An image must be set with .set_image(...) before mask prediction.")
        self.predict_calls.append({
            "point_coords": point_coords, "point_labels": point_labels, "box": box,
            "multimask_output": multimask_output})
        boxes = np.zeros((0, 4)) if box is None else np.asarray(box, dtype=np.float64)
        boxes = boxes.reshape(-1, 4)
        n = len(boxes)
        index = len(self.predict_calls) - 1
        scripted = None
        if callable(self.script):
            scripted = self.script(self._image, boxes)
        elif self.script is not None and index < len(self.script):
            scripted = self.script[index]
        if scripted is not None:
            masks = scripted
            m = _as_numpy(masks)
            lead = m.shape[:-2] if m.ndim > 2 else (1,)
        else:
            masks01 = segment_boxes(self._image, boxes)  # n x H x W uint8
            if self.mask_dtype == "bool":
                masks = masks01.astype(bool)
            elif self.mask_dtype == "uint8":
                masks = masks01
            else:
                masks = masks01.astype(np.float32)
            masks = masks[:, None] if n != 1 else masks  # (N,1,H,W) or (1,H,W)
            lead = masks.shape[:-2]
            if self.mask_type == "torch":
                masks = self._torch.from_numpy(np.ascontiguousarray(masks))
        scores = np.full(lead, 0.9, dtype=np.float32)
        logits = np.zeros(tuple(lead) + (256, 256), dtype=np.float32)
        return masks, scores, logits
