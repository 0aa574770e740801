"""Planted tracking faults and the simulated video segmenter that commits them.

The review chain of vexo_utils (tracking report, overlap episodes, the vote
on the box tracked in error, small-area pruning, mask refinement, the
matcher and its initializer fallback) is only worth scoring on errors whose
truth is known. ``plan_faults`` picks, from the seed and the ground truth
of a generated recording, where each kind of error happens, and the plan is
stored next to the ground truth (``ground_truth/planted_faults.json``):

``swap``      two pen mates touch for a run of frames; the track of one of
              them (``wrong``) jumps onto the other (``onto``) for a few
              frames, then the two tracks carry each other's identity.
``vanish``    one track has an empty mask for a few frames.
``fragment``  one track carries a detached piece outside the pen.
``small``     one track collapses to a sliver from mid-clip to the end (the
              case pruning is for).
``matcher``   at the boundary into a clip, the box-prompted segmenter misses
              one pig, so the matcher fails and the initializer runs.

``SimulatedSegmenter`` stands in for a video segmenter: it follows each
seeded pig through the clip with the pig's whole outline from the ground
truth (overlapping pigs get overlapping masks, as a segmenter that completes
hidden parts gives them), and commits the planted faults of the clip.

Frames are addressed by the frame extractor's labels (``label`` = index of
the saved image in the clip's window starting at 0); the ground-truth frame
of a label is ``synth.video_frame_of_label(label)``.
"""

from __future__ import annotations

import json
import os
import random
from typing import Dict, Iterable, List, Mapping, Optional, Sequence, Tuple

import cv2
import numpy as np

from . import synth

FAULT_KINDS = ("swap", "vanish", "fragment", "small", "matcher")

# Lengths, in frames, of the planted faults.
SWAP_HIJACK = 6
VANISH_FRAMES = 4
FRAGMENT_FRAMES = 5
# Earliest frame of a swap: the vote compares five frames before it.
SWAP_EARLIEST = 10
# Frames of truth masks at this height are used to find pigs in contact.
CONTACT_HEIGHT = 180


def parse_kinds(text: str) -> List[str]:
    """Fault kinds from "swap,vanish,..." ("none" or "" for a fault-free run);
    a kind may repeat ("swap,swap")."""
    text = (text or "").strip()
    if text in ("", "none"):
        return []
    kinds = [k.strip() for k in text.split(",") if k.strip()]
    bad = [k for k in kinds if k not in FAULT_KINDS]
    if bad:
        raise ValueError(f"faults: unknown kind {bad[0]!r}; expected some of "
                         f"{', '.join(FAULT_KINDS)} (or 'none')")
    return kinds


def _truth_masks(gt: synth.GroundTruth, label: int, crop, size, side: str) -> Dict[int, np.ndarray]:
    return gt.masks(synth.video_frame_of_label(label), crop=crop, size=size, pen=side,
                    visible=False)


def contact_runs(gt: synth.GroundTruth, side: str, labels: int, min_len: int = 4
                 ) -> List[Tuple[int, int, int, int]]:
    """Runs (a, b, first, last) of frame labels in which the outlines of
    animals a < b of `side` touch or overlap, at least `min_len` long."""
    crop = synth.crop_region(side)
    size = synth.resized_size(crop, CONTACT_HEIGHT)
    kernel = np.ones((3, 3), np.uint8)
    touching: Dict[Tuple[int, int], List[int]] = {}
    for label in range(labels):
        masks = _truth_masks(gt, label, crop, size, side)
        ids = sorted(masks)
        grown = {i: cv2.dilate(masks[i].astype(np.uint8), kernel) for i in ids}
        for x in range(len(ids)):
            for y in range(x + 1, len(ids)):
                a, b = ids[x], ids[y]
                if np.logical_and(grown[a], masks[b]).any():
                    touching.setdefault((a, b), []).append(label)
    runs = []
    for (a, b), frames in sorted(touching.items()):
        start = prev = frames[0]
        for f in frames[1:] + [None]:
            if f is not None and f == prev + 1:
                prev = f
                continue
            if prev - start + 1 >= min_len:
                runs.append((a, b, start, prev))
            if f is not None:
                start = prev = f
    return runs


def separable_labels(gt: synth.GroundTruth, side: str, labels: int, step: int = 5) -> List[int]:
    """Labels 0, step, ... at which no two animals of `side` come within a few
    pixels of each other (the initializer can tell every pig apart)."""
    crop = synth.crop_region(side)
    size = synth.resized_size(crop, CONTACT_HEIGHT)
    kernel = np.ones((3, 3), np.uint8)
    out = []
    for label in range(0, labels, step):
        masks = _truth_masks(gt, label, crop, size, side)
        total = np.zeros(next(iter(masks.values())).shape, np.int32)
        for m in masks.values():
            total += cv2.dilate(m.astype(np.uint8), kernel)
        if total.max() <= 1:
            out.append(label)
    return out


def plan_faults(manifest: Mapping, sides: Sequence[str], kinds: Sequence[str], seed: int,
                labels_per_clip: Mapping[str, int]) -> List[dict]:
    """Places one fault of each listed kind on its own (clip, pen) of one
    camera's recording, chosen from the seed among the clips where the fault
    can happen (a swap needs two pigs in contact; a matcher failure needs a
    clip that is not the first and in which the initializer can succeed, the
    first clip of a later day preferred).
    Kinds that find no place are left out. Returns the plan entries."""
    rng = random.Random(seed)
    clips = [c["video_name"] for c in manifest["clips"]]
    slots = [(ci, side) for ci in range(len(clips)) for side in sides]
    rng.shuffle(slots)
    used = set()
    plan: List[dict] = []
    truths = {name: synth.ground_truth_for(manifest, name) for name in clips}
    contacts: Dict[Tuple[int, str], list] = {}

    # The herd rearranges most overnight: a matcher failure goes to the first
    # clip of a later day where it can.
    day_start = {ci for ci in range(1, len(clips))
                 if manifest["clips"][ci].get("date") != manifest["clips"][ci - 1].get("date")}

    # The hardest to place go first.
    hardest = ("matcher", "swap", "small", "vanish", "fragment")
    order = sorted(range(len(kinds)), key=lambda i: hardest.index(kinds[i]))
    for i in order:
        kind = kinds[i]
        candidates = slots
        if kind == "matcher":
            candidates = sorted(slots, key=lambda slot: slot[0] not in day_start)
        for ci, side in candidates:
            if (ci, side) in used:
                continue
            name = clips[ci]
            gt = truths[name]
            n = labels_per_clip[name]
            animals = gt.animal_ids(side)
            entry = {"kind": kind, "clip": name, "clip_index": ci, "pen": side}
            if kind == "swap":
                if (ci, side) not in contacts:
                    contacts[(ci, side)] = contact_runs(gt, side, n)
                runs = [r for r in contacts[(ci, side)]
                        if SWAP_EARLIEST <= r[2] <= n - SWAP_HIJACK - 8]
                if not runs:
                    continue
                a, b, first, last = runs[rng.randrange(len(runs))]
                wrong, onto = (a, b) if rng.random() < 0.5 else (b, a)
                entry.update(wrong=wrong, onto=onto, contact=[first, last], first=first,
                             last=first + SWAP_HIJACK - 1)
            elif kind == "matcher":
                if ci == 0 or not separable_labels(gt, side, n):
                    continue
            elif kind == "vanish":
                first = rng.randrange(max(1, n // 4), max(2, n // 2))
                entry.update(animal=rng.choice(animals), first=first,
                             last=min(n - 12, first + VANISH_FRAMES - 1))
                if entry["last"] < first:
                    continue
            elif kind == "fragment":
                first = rng.randrange(max(1, n // 4), max(2, n // 2))
                entry.update(animal=rng.choice(animals), first=first,
                             last=min(n - 1, first + FRAGMENT_FRAMES - 1))
            elif kind == "small":
                entry.update(animal=rng.choice(animals), first=int(n * 0.4), last=n - 1)
            used.add((ci, side))
            plan.append(entry)
            break
    plan.sort(key=lambda e: (e["clip_index"], e["pen"], e["kind"]))
    return plan


def plan_path(recording_root: str) -> str:
    return os.path.join(recording_root, "ground_truth", "planted_faults.json")


def load_plan(recording_root: str) -> List[dict]:
    with open(plan_path(recording_root), encoding="utf-8") as f:
        return json.load(f)["faults"]


# ---- the simulated segmenter ------------------------------------------------


def _outside_point(pen: np.ndarray, shape: Tuple[int, int], near: Tuple[float, float]
                   ) -> Optional[Tuple[int, int]]:
    """A pixel outside the pen polygon and at least 8 pixels from it and from
    the frame border, nearest to `near` (x, y)."""
    h, w = shape
    inside = np.zeros((h, w), np.uint8)
    cv2.fillPoly(inside, [np.round(pen).astype(np.int32)], 1)
    free = cv2.erode((1 - inside).astype(np.uint8), np.ones((17, 17), np.uint8))
    free[:8, :] = 0
    free[-8:, :] = 0
    free[:, :8] = 0
    free[:, -8:] = 0
    ys, xs = np.nonzero(free)
    if not len(xs):
        return None
    k = int(np.argmin((xs - near[0]) ** 2 + (ys - near[1]) ** 2))
    return int(xs[k]), int(ys[k])


class SimulatedSegmenter:
    """Propagates seed masks through one clip of one pen (see the module notes).

    ``gt``: the clip's ground truth; ``crop`` and ``size`` (width, height):
    the frames' crop region and saved size; ``side``: the pen; ``faults``: the
    plan entries of this clip and pen; ``pen``: the pen outline in frame
    pixels (for fragments).
    """

    def __init__(self, gt: synth.GroundTruth, crop, size: Tuple[int, int], side: str,
                 faults: Iterable[dict], pen: Sequence[Tuple[float, float]]):
        self.gt = gt
        self.crop = tuple(crop)
        self.size = tuple(size)
        self.side = side
        self.faults = [f for f in faults if f["kind"] in ("swap", "vanish", "fragment", "small")]
        self.pen = np.asarray(pen, dtype=np.float64)
        self.followed: Dict[int, Optional[int]] = {}  # object id -> animal at the seed frame
        self.planted: List[dict] = []  # faults as committed, with object ids

    def truth(self, label: int) -> Dict[int, np.ndarray]:
        return _truth_masks(self.gt, label, self.crop, self.size, self.side)

    def propagate(self, frame_names: Sequence[str], seeds: Mapping[int, np.ndarray],
                  ann_frame_idx: int = 0) -> Dict[int, Dict[int, np.ndarray]]:
        """VideoSegments ``{frame: {object id: 1 x H x W bool}}`` from the seed
        frame to the end of the clip."""
        w, h = self.size
        seeds = {int(k): np.asarray(v).reshape(h, w).astype(bool) for k, v in seeds.items()}
        first = self.truth(ann_frame_idx)
        self.followed = {k: v for k, v in synth.assign_animals(seeds, first, 0.3).items()}
        on = dict(self.followed)  # object id -> animal it currently follows
        by_animal = {a: o for o, a in on.items() if a is not None}
        events = []
        for f in self.faults:
            if f["kind"] == "swap":
                wrong, onto = by_animal.get(f["wrong"]), by_animal.get(f["onto"])
                if wrong is None or onto is None or f["first"] <= ann_frame_idx:
                    continue
                events.append(dict(f, wrong_object=wrong, onto_object=onto))
            else:
                obj = by_animal.get(f["animal"])
                if obj is None or f["first"] <= ann_frame_idx:
                    continue
                events.append(dict(f, object=obj))
        self.planted = events
        fragment_at: Dict[int, Optional[Tuple[int, int]]] = {}
        masks_prev: Dict[int, np.ndarray] = {}
        out: Dict[int, Dict[int, np.ndarray]] = {}
        for label in range(ann_frame_idx, len(frame_names)):
            truth = first if label == ann_frame_idx else self.truth(label)
            masks = {}
            for obj, animal in on.items():
                if label == ann_frame_idx:
                    masks[obj] = seeds[obj]
                elif animal is None:  # a seed on no pig stays where it was
                    masks[obj] = masks_prev[obj]
                else:
                    masks[obj] = truth[animal].copy()
            for e in events:
                if not (e["first"] <= label <= e["last"]):
                    continue
                if e["kind"] == "swap":
                    masks[e["wrong_object"]] = truth[on[e["onto_object"]]].copy()
                elif e["kind"] == "vanish":
                    masks[e["object"]] = np.zeros((h, w), bool)
                elif e["kind"] == "small":
                    masks[e["object"]] = _sliver(masks[e["object"]])
                elif e["kind"] == "fragment":
                    obj = e["object"]
                    if obj not in fragment_at:
                        ys, xs = np.nonzero(masks[obj])
                        centre = (xs.mean(), ys.mean()) if len(xs) else (w / 2, h / 2)
                        fragment_at[obj] = _outside_point(self.pen, (h, w), centre)
                    at = fragment_at[obj]
                    if at is not None:
                        m = masks[obj].astype(np.uint8)
                        cv2.circle(m, at, 6, 1, -1)
                        masks[obj] = m.astype(bool)
            for e in events:
                if e["kind"] == "swap" and label == e["last"]:
                    a, b = e["wrong_object"], e["onto_object"]
                    on[a], on[b] = on[b], on[a]
            out[label] = {obj: m[None] for obj, m in masks.items()}
            masks_prev = masks
        return out


def _sliver(mask: np.ndarray, radius: int = 4) -> np.ndarray:
    """The part of `mask` within `radius` pixels of its centroid."""
    ys, xs = np.nonzero(mask)
    if not len(xs):
        return mask
    disc = np.zeros(mask.shape, np.uint8)
    cv2.circle(disc, (int(round(xs.mean())), int(round(ys.mean()))), radius, 1, -1)
    return np.logical_and(mask, disc.astype(bool))


class MissingPigPredictor:
    """A box-prompted segmenter that misses the last prompted pig (a pig lying
    under a pen mate), wrapping a working predictor."""

    def __init__(self, predictor):
        self._p = predictor
        self.model = predictor.model
        self.device = predictor.device

    def set_image(self, image):
        self._p.set_image(image)

    def reset_predictor(self):
        self._p.reset_predictor()

    def predict(self, *args, **kwargs):
        masks, scores, logits = self._p.predict(*args, **kwargs)
        m = np.asarray(masks)
        if m.ndim == 4 and len(m) > 1:
            return m[:-1], np.asarray(scores)[:-1], np.asarray(logits)[:-1]
        return masks, scores, logits
