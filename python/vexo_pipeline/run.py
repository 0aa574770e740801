"""The end-to-end pipeline on a generated recording.

Clip by clip: catalogue, frame extraction, first-frame initialisation on the
first clip, propagation, mask refinement, per-frame tracking files, reading
them back, the tracking report, overlap episodes, small-area pruning, and the
matcher that carries identities into the next clip. Everything the library
prints goes to stdout unchanged; the pipeline's own progress goes to stderr.

    python3 -m vexo_pipeline.run --out runs/demo --clips 3 --seconds 8
"""

from __future__ import annotations

import argparse
import contextlib
import glob
import io
import json
import os
import sys
import time
from typing import Dict, List, Optional

import numpy as np

import vexo_utils as vu

from . import standins, synth
from ._vexo_pipeline import write_tracking_frame


def log(msg: str) -> None:
    print(f"[pipeline] {msg}", file=sys.stderr, flush=True)


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


def window_start_minutes(folder: str) -> float:
    """Window start in minutes from a frame folder name "<a>min_to_<b>min/..."."""
    part = os.path.basename(os.path.dirname(folder))
    return float(part.split("min_to_")[0])


def mask_iou(a: np.ndarray, b: np.ndarray) -> float:
    a = a.astype(bool)
    b = b.astype(bool)
    union = np.logical_or(a, b).sum()
    return float(np.logical_and(a, b).sum() / union) if union else 0.0


def save_figure(path: str) -> None:
    import matplotlib.pyplot as plt

    fig = plt.gcf()
    fig.savefig(path, dpi=80, bbox_inches="tight")
    plt.close(fig)


def run(out: str, clips: int = 2, seconds: float = 8.0, fps: float = 10.0,
        resize_height: int = 520, pigs: int = 10, seed: int = 0) -> dict:
    os.makedirs(out, exist_ok=True)
    clock = StageClock()
    rec_root = os.path.join(out, "recordings")
    frames_root = os.path.join(out, "frames") + "/"
    camera = "61"

    log(f"generating {clips} clips of {seconds} s at {fps} fps into {rec_root}")
    with clock.stage("generate recording"):
        manifest = synth.generate_recording(rec_root, clips=clips, seconds=seconds, fps=fps,
                                            camera=camera, animals_per_pen=pigs, seed=seed)
    crop = synth.crop_region("right")
    pen_path = os.path.join(out, "pen_polygon.json")
    synth.write_pen_file(pen_path, side="right", crop=crop, resize_height=resize_height)

    with clock.stage("catalogue"):
        sub_dirs = sorted(d for d in os.listdir(rec_root)
                          if d.isdigit() and os.path.isdir(os.path.join(rec_root, d)))
        meta = vu.VideoMetadata(rec_root, sub_dirs, filter_start="00:00:00",
                                filter_end="23:59:59", sample_step=0, camera_number=camera)
        # Clips are listed in folder order; track them in recording order.
        catalogue = meta.get_filtered_video_dataframe().sort_values(["Date", "Time"])
    log(f"catalogue: {len(catalogue)} clips")

    window = seconds / 60.0
    processor = vu.VideoProcessor(resize_dim=(None, resize_height), frame_skip=1,
                                  time_step=window, output_dir_base=frames_root,
                                  crop=True, left_crop=False)
    log("extracting frames")
    with clock.stage("frame extraction"):
        processor.process_videos_to_frames(catalogue)

    detector_proc, detector = standins.make_detector()
    predictor = standins.StandinImagePredictor()

    summary: dict = {"clips": [], "stage_seconds": clock.seconds}
    own_animal: Dict[int, int] = {}  # object id -> generated animal it started on
    prev_frames = None
    hits_total = tries_total = 0

    for row_idx, row in catalogue.reset_index(drop=True).iterrows():
        video_name = row["Video Name"]
        gt = synth.ground_truth_for(manifest, video_name)
        windows = sorted(glob.glob(os.path.join(frames_root, row["Date"], video_name,
                                                "*min_to_*min", "right_cropped_frames")),
                         key=window_start_minutes)
        for win_dir in windows:
            frame_names = sorted(glob.glob(os.path.join(win_dir, "*.jpg")))
            if not frame_names:
                continue
            name = f"{video_name}/{os.path.basename(os.path.dirname(win_dir))}"
            log(f"clip {name}: {len(frame_names)} frames")
            clip_out = os.path.join(out, "clips", video_name,
                                    os.path.basename(os.path.dirname(win_dir)))
            track_dir = os.path.join(clip_out, "tracking")
            os.makedirs(clip_out, exist_ok=True)
            info: dict = {"clip": name, "frames": len(frame_names), "carried_over": 0,
                          "matcher_failed": None, "overlap_episodes": 0,
                          "box_voted_in_error": None, "small_boxes_removed": []}

            # Seed masks: the matcher from the previous clip, else the initializer.
            seeds: Optional[Dict[int, np.ndarray]] = None
            ann_idx = 0
            if prev_frames is not None:
                small = vu.find_boxes_with_small_area_from_last_video(prev_frames)
                info["small_boxes_removed"] = list(small)
                shown = []
                with clock.stage("matcher"):
                    masks, labels, kept, old, failed = vu.matcher(
                        prev_frames, frame_names, 0, predictor, small,
                        display_func=lambda img: shown.append(img))
                if shown:
                    shown[-1].save(os.path.join(clip_out, "matcher_prompts.png"))
                info["matcher_failed"] = bool(failed)
                if not failed:
                    seeds = {int(k[3:]) + 1: np.asarray(m) for k, m in zip(kept, masks)}
                    info["carried_over"] = len(seeds)
            if seeds is None:
                with clock.stage("initializer"):
                    masks, labels, ann_idx, image = vu.initializer(
                        win_dir, frame_names, detector_proc, detector, "cpu", predictor,
                        start_index=0, step=5, close_set_num=pigs, custom_pen_json_path=pen_path)
                if masks is None:
                    log(f"clip {name}: no frame with {pigs} separable pigs; skipped")
                    info["skipped"] = True
                    summary["clips"].append(info)
                    continue
                image.save(os.path.join(clip_out, "initializer.png"))
                seeds = {i + 1: np.asarray(m).reshape(np.asarray(m).shape[-2:])
                         for i, m in enumerate(masks)}

            with clock.stage("propagation"):
                segments = synth.propagate_masks(frame_names, seeds, ann_frame_idx=ann_idx)
            with clock.stage("mask refinement"):
                refiner = vu.Mask_Refinement(custom_pen_json_path=pen_path)
                refiner.process_video_segments(segments, win_dir, frame_names)
            with clock.stage("tracking files"):
                for fidx, objs in segments.items():
                    write_tracking_frame(track_dir, fidx, frame_names[fidx], objs)
            with clock.stage("read tracking output"):
                last, frames = vu.get_vexo_annotation_data(win_dir, save_dir_base=track_dir)
            with clock.stage("report"):
                overlap_df, zero_rows, overlap_keys, _ = vu.generate_tracking_report(
                    frames, clip_out)
            info["zero_area_rows"] = len(zero_rows)
            info["overlap_rows"] = int(len(overlap_df))
            if len(overlap_df):
                with clock.stage("overlap episodes"):
                    try:
                        test_frame, worst, episodes, votes = vu.process_overlap_frames(
                            overlap_df, frames, predictor)
                        info["overlap_episodes"] = sum(len(v) for v in episodes.values())
                        info["box_voted_in_error"] = worst
                    except (ValueError, KeyError, IndexError) as e:
                        log(f"clip {name}: overlap episodes not examined ({e})")
            with clock.stage("rendering"):
                vu.draw_intersection_heatmap(last["intersections_df"])
                save_figure(os.path.join(clip_out, "heatmap.png"))
                json_paths = sorted(glob.glob(os.path.join(track_dir, "output_pp_*.json")))
                if json_paths:
                    vu.retrieve_annotation(json_paths[len(json_paths) // 2],
                                           save_path=os.path.join(clip_out, "annotation.png"),
                                           box_drawing=True)

            # Identity accuracy against the generator's ground truth.
            with clock.stage("scoring"):
                offset = int(round(window_start_minutes(win_dir) * gt.fps * 60))
                h, w = np.asarray(next(iter(next(iter(segments.values())).values()))).shape[-2:]
                hits = tries = 0
                for fidx, objs in segments.items():
                    truth = gt.masks(synth.video_frame_of_label(offset + fidx), crop=crop,
                                     size=(w, h), pen="right")
                    if not own_animal:
                        first = {oid: np.asarray(m)[0] for oid, m in objs.items()}
                        own_animal.update({k: v for k, v in synth.assign_animals(first, truth).items()
                                           if v is not None})
                    for oid, m in objs.items():
                        tries += 1
                        animal = own_animal.get(oid)
                        if animal is not None and animal in truth and \
                                mask_iou(np.asarray(m)[0], truth[animal]) >= 0.5:
                            hits += 1
                info["pigs_tracked"] = len(seeds)
                info["identity_accuracy"] = hits / tries if tries else 0.0
                hits_total += hits
                tries_total += tries
            prev_frames = frames
            summary["clips"].append(info)
            log(f"clip {name}: identity accuracy {info['identity_accuracy']:.3f}")

    summary["identity_accuracy"] = hits_total / tries_total if tries_total else 0.0
    summary["stage_seconds"] = {k: round(v, 3) for k, v in clock.seconds.items()}
    with open(os.path.join(out, "summary.json"), "w") as f:
        json.dump(summary, f, indent=2)
    with open(os.path.join(out, "summary.txt"), "w") as f:
        f.write(render_summary(summary))
    log(f"summary written to {os.path.join(out, 'summary.txt')}")
    return summary


def render_summary(summary: dict) -> str:
    lines = ["vexo pipeline summary", ""]
    for c in summary["clips"]:
        lines.append(f"clip {c['clip']}")
        if c.get("skipped"):
            lines.append("  skipped: no frame with every pig separable")
            continue
        lines.append(f"  frames: {c['frames']}, pigs tracked: {c.get('pigs_tracked', 0)}, "
                     f"identities carried over: {c['carried_over']}")
        lines.append(f"  overlap rows: {c['overlap_rows']}, overlap episodes: "
                     f"{c['overlap_episodes']}, box voted in error: {c['box_voted_in_error']}")
        lines.append(f"  identity accuracy: {c['identity_accuracy']:.3f}")
    lines.append("")
    lines.append(f"identity accuracy overall: {summary['identity_accuracy']:.3f}")
    lines.append("time per stage (s):")
    for k, v in summary["stage_seconds"].items():
        lines.append(f"  {k}: {v:.2f}")
    return "\n".join(lines) + "\n"


def main(argv: Optional[List[str]] = None) -> int:
    ap = argparse.ArgumentParser(description="Run the vexo pipeline on a generated recording.")
    ap.add_argument("--out", default="runs/demo", help="run folder (default runs/demo)")
    ap.add_argument("--clips", type=int, default=3, help="number of clips (default 3)")
    ap.add_argument("--seconds", type=float, default=8.0, help="clip length in seconds")
    ap.add_argument("--fps", type=float, default=10.0, help="frame rate of the clips")
    ap.add_argument("--height", type=int, default=520, help="height of the saved frames")
    ap.add_argument("--seed", type=int, default=0)
    args = ap.parse_args(argv)
    summary = run(args.out, clips=args.clips, seconds=args.seconds, fps=args.fps,
                  resize_height=args.height, seed=args.seed)
    sys.stderr.write(render_summary(summary))
    return 0


if __name__ == "__main__":
    sys.exit(main())
