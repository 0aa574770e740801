"""The stages of the main job, each a plain function of settings and files.

Every function takes the settings as a dict, reads and writes files under the
run folder only, builds its output in a temporary folder renamed into place
(``runfolder``), and returns plain data (dicts, lists, numbers, text) that can
be pickled and sent between processes:

* ``make_recording``  one camera's generated clips with ground truth;
* ``plan_camera_faults``  where that camera's planted faults happen;
* ``find_crops``      the camera's crop region per pen, found once, and the
                      pen files at the saved frames' size;
* ``extract_clip``    one clip's frames, both pens;
* ``track_pen``       one pen's clips in time order: seeding (matcher, or the
                      initializer as fallback), propagation, refinement,
                      tracking files, the report, overlap episodes, pruning,
                      pictures and the scoring against the ground truth.

Progress goes to stderr; the library's own lines go to stdout.
"""

from __future__ import annotations

import collections
import contextlib
import glob
import os
import random
import tempfile
import time
from typing import Dict, List, Mapping, Optional, Sequence, Tuple

import cv2
import numpy as np

import vexo_utils as vu

from . import faults as faultlib
from . import runfolder as rf
from . import standins, synth
from ._vexo_pipeline import write_tracking_frame
from .runfolder import log

# Pruning of tracks that stay small late in a clip, scaled to the clip:
# records after half the clip, masks of at most this many pixels, in more
# than a quarter of the clip's frames.
PRUNE_AREA = 100
IDENTITY_IOU = 0.5


def camera_name(index: int) -> str:
    return str(61 + index)


class StageClock:
    """Wall time per named stage, summed over calls."""

    def __init__(self) -> None:
        self.seconds: Dict[str, float] = {}

    @contextlib.contextmanager
    def stage(self, name: str):
        t0 = time.perf_counter()
        try:
            yield
        finally:
            self.seconds[name] = self.seconds.get(name, 0.0) + time.perf_counter() - t0


# ---- recordings, faults, crops, frames -----------------------------------------


def _rebase(value, old: str, new: str):
    if isinstance(value, str):
        return new + value[len(old):] if value.startswith(old) else value
    if isinstance(value, list):
        return [_rebase(v, old, new) for v in value]
    if isinstance(value, dict):
        return {k: _rebase(v, old, new) for k, v in value.items()}
    return value


def make_recording(settings: Mapping, out: str, camera_index: int) -> dict:
    """Generates (or reuses) the recording of one camera; returns its manifest."""
    cam = camera_name(camera_index)
    folder = os.path.join(out, "recordings", f"Camera{cam}")
    want = rf.depends(settings, "recording", camera=cam)
    why = rf.stale_reason(folder, want)
    if why is None:
        log(f"Camera{cam}: recording reused")
        return synth.load_manifest(folder)
    per_day = rf.Settings.from_dict(settings).clips_per_day()
    log(f"Camera{cam}: generating {settings['clips']} clips of {settings['seconds']} s "
        f"over {len(per_day)} day(s) ({why})")
    tmp = rf.begin(folder)
    t0 = time.perf_counter()
    # Every morning but the first the herd spreads out over the pen (the
    # morning feed), so a later day begins with frames where every pig can be
    # told apart.
    synth.generate_recording(
        tmp, clips=per_day, seconds=settings["seconds"], fps=settings["fps"],
        camera=cam, animals_per_pen=settings["pigs"], seed=settings["seed"] * 100 + camera_index,
        scatter_daily=True,
        progress=lambda d, t: log(f"Camera{cam}: clip {d}/{t} generated "
                                  f"({time.perf_counter() - t0:.1f} s)"))
    manifest_path = os.path.join(tmp, "recording.json")
    manifest = _rebase(synth.load_manifest(tmp), tmp, folder)
    rf.write_json(manifest_path, manifest)
    rf.commit(tmp, folder, want)
    return manifest


def plan_camera_faults(settings: Mapping, manifest: Mapping, camera_index: int) -> List[dict]:
    """The planted faults of one camera, stored in its ground truth folder."""
    root = manifest["root"]
    path = faultlib.plan_path(root)
    want = rf.depends(settings, "faults", pens=list(settings["pens"]))
    stored = rf.read_json(path)
    if stored is not None and stored.get("depends") == want:
        return stored["faults"]
    labels = {c["video_name"]: c["frames"] - 1 for c in manifest["clips"]}
    plan = faultlib.plan_faults(manifest, settings["pens"], faultlib.parse_kinds(settings["faults"]),
                                seed=settings["seed"] * 100 + camera_index, labels_per_clip=labels)
    rf.write_json(path, {"depends": want, "faults": plan})
    for f in plan:
        log(f"Camera{manifest['camera']}: planted {f['kind']} in {f['clip']} ({f['pen']} pen)")
    return plan


def find_crops(settings: Mapping, out: str, manifest: Mapping, catalogue_row: Mapping) -> dict:
    """The crop region of each pen of one camera, found once from the marker
    in its first clip, and the pen files in the saved frames' pixels."""
    cam = manifest["camera"]
    folder = os.path.join(out, "crops", f"Camera{cam}")
    want = rf.depends(settings, "crop", camera=cam, pens=list(settings["pens"]))
    why = rf.stale_reason(folder, want)
    if why is None:
        return rf.stamped_result(folder)
    tmp = rf.begin(folder)
    result = {}
    for side in settings["pens"]:
        proc = vu.VideoProcessor(resize_dim=(None, settings["height"]), crop=True,
                                 left_crop=side == "left")
        with tempfile.TemporaryDirectory(dir=tmp) as scratch:
            proc.crop_video_to_frames(catalogue_row["File Path"], scratch, start_min=0,
                                      end_min=1.0 / (60 * settings["fps"]),
                                      camera_number=cam, crop=True)
        region = proc.camera_crop_coords.get(cam)
        if region is None:
            raise RuntimeError(f"Camera{cam}: no marker found in {catalogue_row['File Path']}")
        region = [int(v) for v in region]
        pen_file = os.path.join(tmp, f"pen_{side}.json")
        synth.write_pen_file(pen_file, side=side, crop=region, resize_height=settings["height"])
        result[side] = {"crop": region, "pen_file": os.path.join(folder, f"pen_{side}.json")}
    rf.commit(tmp, folder, want, result)
    return result


def extract_clip(settings: Mapping, out: str, camera: str, catalogue_row: Mapping,
                 crops: Mapping) -> dict:
    """Frames of one clip for every pen: {side: frame folder}."""
    import pandas as pd

    video = catalogue_row["Video Name"]
    folder = os.path.join(out, "frames", f"Camera{camera}", video)
    want = rf.depends(settings, "frames", camera=camera, clip=video,
                      crops={s: crops[s]["crop"] for s in settings["pens"]})
    why = rf.stale_reason(folder, want)
    if why is None:
        return rf.stamped_result(folder)
    log(f"{video}: extracting frames ({why})")
    tmp = rf.begin(folder)
    row = pd.DataFrame([dict(catalogue_row)])
    result = {}
    for side in settings["pens"]:
        # One window holds the whole clip.
        proc = vu.VideoProcessor(resize_dim=(None, settings["height"]), frame_skip=1,
                                 time_step=settings["seconds"] / 60.0 + 1e-9,
                                 output_dir_base=tmp + "/", crop=True,
                                 left_crop=side == "left",
                                 camera_crop_coords={camera: tuple(crops[side]["crop"])})
        proc.process_videos_to_frames(row)
        found = sorted(glob.glob(os.path.join(tmp, "*", video, "*min_to_*min",
                                              f"{side}_cropped_frames")))
        found = [d for d in found if glob.glob(os.path.join(d, "*.jpg"))]
        if not found:
            raise RuntimeError(f"{video}: the frame extractor saved no {side} frames")
        result[side] = os.path.join(folder, os.path.relpath(found[0], tmp))
    rf.commit(tmp, folder, want, result)
    return result


# ---- tracking one pen ----------------------------------------------------------


def _box(obj: int) -> str:
    return f"Box{obj - 1}"


def _iou(a: np.ndarray, b: np.ndarray) -> float:
    union = np.logical_or(a, b).sum()
    return float(np.logical_and(a, b).sum() / union) if union else 0.0


def _runs(frames: Sequence[int]) -> List[Tuple[int, int]]:
    out: List[Tuple[int, int]] = []
    for f in sorted(frames):
        if out and f == out[-1][1] + 1:
            out[-1] = (out[-1][0], f)
        else:
            out.append((f, f))
    return out


def _save_figure(path: str) -> None:
    import matplotlib.pyplot as plt

    fig = plt.gcf()
    fig.savefig(path, dpi=80, bbox_inches="tight")
    plt.close(fig)


def _episode_picture(path: str, frames, test_frame: int, boxes: Sequence[str],
                     voted: Optional[str]) -> bool:
    """The frame where the first episode begins with the boxes of the pigs in
    episodes (yellow), the box voted in error on top (red), and where that
    box was one frame before (thin red)."""
    rec = frames[int(test_frame)]
    img = cv2.imread(rec["image_path"])
    if img is None:
        return False

    def corners(record, key):
        m = record["masks_dict"].get(key)
        m = None if m is None else np.asarray(m)
        if m is None or not m.any():
            return None
        ys, xs = np.nonzero(m.reshape(m.shape[-2:]))
        return (int(xs.min()), int(ys.min())), (int(xs.max()), int(ys.max()))

    def draw(box, colour, width, text):
        (x1, y1), (x2, y2) = box
        cv2.rectangle(img, (x1, y1), (x2, y2), colour, width)
        cv2.putText(img, text, (x1, max(14, y1 - 6)), cv2.FONT_HERSHEY_SIMPLEX, 0.5, colour, 2,
                    cv2.LINE_AA)

    for key in boxes:
        box = corners(rec, key)
        if box is not None and key != voted:
            draw(box, (0, 220, 255), 2, key)
    before = int(test_frame) - 1
    if voted is not None and before in frames:
        box = corners(frames[before], voted)
        if box is not None:
            draw(box, (0, 0, 255), 1, f"{voted} at frame {before}")
    if voted is not None:
        box = corners(rec, voted)
        if box is not None:
            (x1, y1), (x2, y2) = box
            cv2.rectangle(img, (x1, y1), (x2, y2), (0, 0, 255), 3)
            cv2.putText(img, f"{voted} voted in error", (x1, min(img.shape[0] - 6, y2 + 18)),
                        cv2.FONT_HERSHEY_SIMPLEX, 0.5, (0, 0, 255), 2, cv2.LINE_AA)
    cv2.putText(img, f"frame {test_frame}", (8, 22), cv2.FONT_HERSHEY_SIMPLEX, 0.6,
                (255, 255, 255), 2, cv2.LINE_AA)
    return bool(cv2.imwrite(path, img))


class _Chain:
    """What one clip hands the next within a pen."""

    def __init__(self) -> None:
        self.frames = None  # FrameDataMap of the last tracked clip
        # Boxes the matcher leaves out at the next boundary: those pruning
        # removed now and those removed at earlier boundaries (gone from
        # every record since, so they could not be found in the last frame).
        self.pruned: List[str] = []
        self.end_animals: Dict[int, Optional[int]] = {}  # object id -> animal at the clip end


def track_pen(settings: Mapping, out: str, camera: str, side: str, clips: Sequence[Mapping],
              crop: Sequence[int], pen_file: str, plan: Sequence[Mapping]) -> dict:
    """Tracks one pen's clips in time order. ``clips``: dicts with
    "video_name", "frames_dir" and "ground_truth". Returns {"clips": [per-clip
    results], "stage_seconds": {...}}."""
    name = f"Camera{camera}_{side}"
    folder = os.path.join(out, "tracking", name)
    want = rf.depends(settings, "tracking", camera=camera, pen=side, crop=list(crop),
                      clips=[c["video_name"] for c in clips],
                      plan=[f for f in plan if f["pen"] == side])
    why = rf.stale_reason(folder, want)
    if why is None:
        log(f"{name}: tracking reused")
        return rf.stamped_result(folder)
    log(f"{name}: tracking {len(clips)} clips ({why})")
    tmp = rf.begin(folder)
    clock = StageClock()
    chain = _Chain()
    tools = {"detector": standins.make_detector(), "predictor": standins.StandinImagePredictor()}
    results = []
    for k, clip in enumerate(clips):
        here = [f for f in plan if f["clip"] == clip["video_name"] and f["pen"] == side]
        log(f"{name}: clip {k + 1}/{len(clips)} {clip['video_name']}")
        res = _track_clip(settings, tmp, name, camera, side, clip, crop, pen_file, here, chain,
                          tools, clock)
        results.append(res)
        if res.get("skipped"):
            log(f"{name}: clip {clip['video_name']} skipped: {res['skipped']}")
        else:
            log(f"{name}: clip {clip['video_name']}: identity accuracy "
                f"{res['identity']['accuracy']:.3f}")
    result = {"clips": results, "stage_seconds": {k: round(v, 3) for k, v in clock.seconds.items()}}
    rf.commit(tmp, folder, want, result)
    return result


def _track_clip(s, tmp, name, camera, side, clip, crop, pen_file, planted_here, chain, tools,
                clock) -> dict:
    video = clip["video_name"]
    frames_dir = clip["frames_dir"]
    frame_names = sorted(glob.glob(os.path.join(frames_dir, "*.jpg")))
    clip_out = os.path.join(tmp, video)
    track_dir = os.path.join(clip_out, "tracking")
    os.makedirs(clip_out, exist_ok=True)
    rel = lambda f: os.path.join("tracking", name, video, f)  # noqa: E731
    n = len(frame_names)
    size = synth.resized_size(crop, s["height"])
    gt = synth.GroundTruth(clip["ground_truth"])
    truth_at = lambda label: gt.masks(synth.video_frame_of_label(label), crop=crop,  # noqa: E731
                                      size=size, pen=side, visible=False)
    info: dict = {
        "clip": video, "camera": camera, "pen": side, "frames": n,
        "frames_dir": os.path.relpath(frames_dir, os.path.dirname(os.path.dirname(tmp))),
        "planted": [], "images": {}, "seeded_by": None,
        "matcher": None, "report": None, "episodes": None, "vote": None, "pruning": None,
        "refinement": None, "identity": None,
    }
    detector_proc, detector = tools["detector"]
    predictor = tools["predictor"]

    # Seeds: the matcher from the previous clip, else the initializer.
    seeds: Optional[Dict[int, np.ndarray]] = None
    ann = 0
    reference: Dict[int, Optional[int]] = {}
    if chain.frames is not None:
        planted_miss = any(f["kind"] == "matcher" for f in planted_here)
        pred = faultlib.MissingPigPredictor(predictor) if planted_miss else predictor
        shown: list = []
        with clock.stage("matcher"):
            masks, _labels, _kept, old, failed = vu.matcher(
                chain.frames, frame_names, 0, pred, list(chain.pruned),
                display_func=shown.append)
        if shown:
            shown[-1].save(os.path.join(clip_out, "matcher_prompts.png"))
            info["images"]["matcher_prompts"] = rel("matcher_prompts.png")
        info["matcher"] = {"failed": bool(failed), "planted_failure": planted_miss,
                           "fallback": "initializer" if failed else None,
                           "boxes_left_out": list(chain.pruned)}
        if planted_miss:
            info["planted"].append({"kind": "matcher"})
        if not failed:
            # The i-th mask belongs to the i-th box of the chosen old frame.
            keys = list(old["masks_dict"].keys())
            seeds = {int(key[3:]) + 1: np.asarray(m) for key, m in zip(keys, masks)}
            reference = {obj: chain.end_animals.get(obj) for obj in seeds}
            info["seeded_by"] = "matcher"
    if seeds is None:
        with clock.stage("initializer"):
            masks, _labels, ann, image = vu.initializer(
                frames_dir, frame_names, detector_proc, detector, "cpu", predictor,
                start_index=0, step=5, close_set_num=s["pigs"], custom_pen_json_path=pen_file)
        if masks is None:
            info["skipped"] = f"no frame with {s['pigs']} separable pigs"
            chain.__init__()
            return info
        image.save(os.path.join(clip_out, "initializer.png"))
        info["images"]["initializer"] = rel("initializer.png")
        seeds = {i + 1: np.asarray(m).reshape(np.asarray(m).shape[-2:])
                 for i, m in enumerate(masks)}
        reference = synth.assign_animals({k: v.astype(bool) for k, v in seeds.items()},
                                         truth_at(ann))
        info["seeded_by"] = "initializer"
    info["seed_frame"] = int(ann)
    info["pigs_tracked"] = len(seeds)

    with clock.stage("propagation"):
        if s["propagation"] == "simulated":
            pen_poly = synth.pen_polygon(side, crop, s["height"])
            seg = faultlib.SimulatedSegmenter(gt, crop, size, side, planted_here, pen_poly)
            segments = seg.propagate(frame_names, seeds, ann)
            events = seg.planted
        else:
            segments = synth.propagate_masks(frame_names, seeds, ann_frame_idx=ann)
            events = []
    info["planted"] += [_planted_entry(e) for e in events]

    inside = np.zeros((size[1], size[0]), np.uint8)
    cv2.fillPoly(inside, [np.round(np.asarray(synth.pen_polygon(side, crop, s["height"]))
                                   ).astype(np.int32)], 1)
    outside = inside == 0

    def outside_pixels(objs_frames):
        return int(sum(np.logical_and(np.asarray(segments[f][o]).reshape(outside.shape),
                                      outside).sum() for f, o in objs_frames))

    fragment_cells = [(f, e["object"]) for e in events if e["kind"] == "fragment"
                      for f in range(e["first"], e["last"] + 1) if f in segments]
    before = outside_pixels(fragment_cells)
    with clock.stage("mask refinement"):
        refiner = vu.Mask_Refinement(custom_pen_json_path=pen_file)
        refiner.process_video_segments(segments, frames_dir, frame_names)
    after = outside_pixels(fragment_cells)
    all_cells = [(f, o) for f, objs in segments.items() for o in objs]
    info["refinement"] = {"planted_outside_pixels": before, "left_after_refinement": after,
                          "removed_share": (1 - after / before) if before else None,
                          "outside_pixels_after": outside_pixels(all_cells)}

    with clock.stage("tracking files"):
        for fidx, objs in segments.items():
            write_tracking_frame(track_dir, fidx, frame_names[fidx], objs)
    with clock.stage("read tracking output"):
        last, frames = vu.get_vexo_annotation_data(frames_dir, save_dir_base=track_dir)
    with clock.stage("report"):
        overlap_df, zero_rows, _overlap_keys, _ = vu.generate_tracking_report(frames, clip_out)
    zero = sorted({(int(r["Frame ID"]), str(r["Box ID"])) for r in zero_rows})
    info["report"] = {
        "zero_area_rows": len(zero_rows), "overlap_rows": int(len(overlap_df)),
        "zero_area": [list(z) for z in zero],
        "overlap_pairs": sorted(set(str(p) for p in overlap_df["Box Pair"])) if len(overlap_df)
        else [],
    }
    if os.path.exists(os.path.join(clip_out, "tracking_question_report.csv")):
        info["report"]["csv"] = rel("tracking_question_report.csv")

    episodes: Dict[str, list] = {}
    test_frame = worst = None
    votes: List[str] = []
    test_boxes: List[str] = []
    if len(overlap_df):
        with clock.stage("overlap episodes"):
            try:
                test_frame, worst, episodes, votes = vu.process_overlap_frames(
                    overlap_df, frames, predictor)
                test_boxes = sorted({b for k in episodes for b in str(k).split("-")})
            except (ValueError, KeyError, IndexError) as e:
                log(f"{name}: {video}: overlap episodes not examined ({e})")
                info["episodes_error"] = str(e)
    info["episodes"] = {"found": {str(k): [list(map(int, r)) for r in v]
                                  for k, v in episodes.items()},
                        "count": sum(len(v) for v in episodes.values()),
                        "test_frame": None if test_frame is None else int(test_frame)}
    if votes:
        info["vote"] = {"box_voted_in_error": worst,
                        "scores": dict(collections.Counter(str(v) for v in votes)),
                        "votes": [str(v) for v in votes]}
    if test_frame is not None and test_boxes:
        if _episode_picture(os.path.join(clip_out, "episode.png"), frames, test_frame,
                            test_boxes, worst):
            info["images"]["episode"] = rel("episode.png")

    with clock.stage("pruning"):
        pruned = list(vu.find_boxes_with_small_area_from_last_video(
            frames, min_frame_id=n // 2, area_threshold=PRUNE_AREA, min_count=n // 4))
    info["pruning"] = {"pruned_boxes": pruned,
                       "settings": {"min_frame_id": n // 2, "area_threshold": PRUNE_AREA,
                                    "min_count": n // 4}}

    with clock.stage("rendering"):
        vu.draw_intersection_heatmap(last["intersections_df"])
        _save_figure(os.path.join(clip_out, "heatmap.png"))
        info["images"]["heatmap"] = rel("heatmap.png")
        json_paths = sorted(glob.glob(os.path.join(track_dir, "output_pp_*.json")))
        if json_paths:
            # The picture's colours come from Python's random numbers: seeded
            # per clip, so a rerun or another worker draws the same picture.
            state = random.getstate()
            random.seed(f"{name}/{video}")
            try:
                vu.retrieve_annotation(json_paths[len(json_paths) // 2],
                                       save_path=os.path.join(clip_out, "annotation.png"),
                                       box_drawing=True)
            finally:
                random.setstate(state)
            info["images"]["annotation"] = rel("annotation.png")
    info["images"]["tracking"] = rel("tracking")

    with clock.stage("scoring"):
        info["identity"], end_animals, contacts = _score_identity(segments, truth_at, reference)
        info["scores"] = _score_chain(info, events, contacts, zero, episodes, pruned)
    gone = [] if info["seeded_by"] == "initializer" else chain.pruned
    chain.frames = frames
    chain.pruned = sorted(set(gone) | set(pruned), key=lambda b: int(b[3:]))
    chain.end_animals = end_animals
    return info


def _planted_entry(e: Mapping) -> dict:
    d = {"kind": e["kind"], "first_frame": int(e["first"]), "last_frame": int(e["last"])}
    if e["kind"] == "swap":
        d.update(box_in_error=_box(e["wrong_object"]), onto_box=_box(e["onto_object"]),
                 animal_in_error=e["wrong"], onto_animal=e["onto"], contact=e["contact"])
    else:
        d.update(box=_box(e["object"]), animal=e["animal"])
    return d


def _score_identity(segments, truth_at, reference):
    """Identity accuracy of the tracked ids against the animals they stood
    for at the clip's start; the animals the ids end on; the true contact
    runs of the pen's animals (pairs whose outlines overlap)."""
    hits = tries = 0
    per_object = collections.Counter()
    touching: Dict[Tuple[int, int], List[int]] = {}
    last_truth = None
    last_frame = None
    for fidx in sorted(segments):
        truth = truth_at(fidx)
        boxes = {}
        for a, m in truth.items():
            ys, xs = np.nonzero(m)
            if len(xs):
                boxes[a] = (xs.min(), ys.min(), xs.max(), ys.max())
        ids = sorted(boxes)
        for i, a in enumerate(ids):
            for b in ids[i + 1:]:
                p, q = boxes[a], boxes[b]
                if p[0] > q[2] or q[0] > p[2] or p[1] > q[3] or q[1] > p[3]:
                    continue
                if np.logical_and(truth[a], truth[b]).any():
                    touching.setdefault((a, b), []).append(fidx)
        for obj, m in segments[fidx].items():
            tries += 1
            animal = reference.get(obj)
            if animal is not None and animal in truth and \
                    _iou(np.asarray(m).reshape(truth[animal].shape), truth[animal]) >= IDENTITY_IOU:
                hits += 1
            else:
                per_object[_box(obj)] += 1
        last_truth, last_frame = truth, fidx
    end = {}
    if last_frame is not None:
        end = synth.assign_animals(
            {o: np.asarray(m).reshape(next(iter(last_truth.values())).shape)
             for o, m in segments[last_frame].items()}, last_truth)
    contacts = [(a, b, r[0], r[1]) for (a, b), fr in sorted(touching.items())
                for r in _runs(fr) if r[1] - r[0] + 1 >= 2]
    identity = {"accuracy": hits / tries if tries else 0.0, "hits": hits, "checks": tries,
                "misses_per_box": dict(per_object),
                "reference": {_box(o): a for o, a in sorted(reference.items())}}
    return identity, end, contacts


def _score_chain(info, events, contacts, zero, episodes, pruned) -> dict:
    """The review chain of one clip against the planted truth."""
    sc: dict = {}
    # Vanished masks against the report's zero-area rows.
    want = {(f, _box(e["object"])) for e in events if e["kind"] == "vanish"
            for f in range(e["first"], e["last"] + 1)}
    found = set(map(tuple, zero))
    sc["vanish"] = {"planted": len(want), "reported": len(found), "found": len(want & found)}
    # Overlap episodes against planted swaps and true contact runs.
    ep_runs = [(k, r) for k, v in episodes.items() for r in v]
    swaps = [e for e in events if e["kind"] == "swap"]

    def covers(key, run, boxes, first, last):
        return set(str(key).split("-")) == set(boxes) and run[0] <= last and run[-1] >= first

    swap_found = [any(covers(k, r, (_box(e["wrong_object"]), _box(e["onto_object"])),
                             e["first"], e["last"]) for k, r in ep_runs) for e in swaps]
    ep_true = [any(covers(k, r, (_box(e["wrong_object"]), _box(e["onto_object"])),
                          e["first"], e["last"]) for e in swaps) for k, r in ep_runs]
    sc["episodes"] = {"found": len(ep_runs), "on_planted_swaps": int(sum(ep_true)),
                      "planted_swaps": len(swaps), "planted_swaps_found": int(sum(swap_found)),
                      "true_contact_runs": len(contacts)}
    # The vote: is the box voted in error the truly swapped one?
    vote = info.get("vote") or {}
    sc["vote"] = [{"box_in_error": _box(e["wrong_object"]),
                   "voted": vote.get("box_voted_in_error"),
                   "correct": vote.get("box_voted_in_error") == _box(e["wrong_object"])}
                  for e in swaps]
    # Pruning: the planted small track and only it.
    small = sorted({_box(e["object"]) for e in events if e["kind"] == "small"})
    sc["pruning"] = {"planted": small, "pruned": list(pruned),
                     "exact": sorted(pruned) == small,
                     "planted_pruned": all(b in pruned for b in small)}
    return sc
