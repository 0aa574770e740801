"""The end-to-end pipeline on generated recordings, scored on known truth.

For every camera: a generated recording (two pens of ten pigs each), the
planted tracking faults, the crop region of each pen found once, and the
frames of every clip; then, for every pen, its clips tracked in time order
(see ``stages``). The summary scores the library's review chain against the
planted truth, per clip and overall, and flags the clips a person should
look at. Everything the library prints goes to stdout unchanged; the
pipeline's own progress goes to stderr. The run ends with the review pages
(``index.html`` at the top of the run folder, see ``review``).

    python3 -m vexo_pipeline.run --out runs/demo

The run folder records its settings; a rerun reuses what its settings left
unchanged and redoes the rest (see ``runfolder``).
"""

from __future__ import annotations

import argparse
import os
import sys
import time
from typing import Dict, List, Mapping, Optional

import vexo_utils as vu

from . import review
from . import runfolder as rf
from . import stages
from .runfolder import Settings, log


def _catalogue(manifest: Mapping):
    meta = vu.VideoMetadata(manifest["root"], list(manifest["sub_dirs"]), filter_start="00:00:00",
                            filter_end="23:59:59", sample_step=0,
                            camera_number=manifest["camera"])
    # Clips are listed in folder order; track them in recording order.
    df = meta.get_filtered_video_dataframe().sort_values(["Date", "Time"])
    return [dict(r) for _, r in df.iterrows()]


def resolve_settings(settings: Optional[Settings], overrides: dict) -> Settings:
    """The run's settings: `settings` (or the defaults) with the keyword
    overrides applied (``resize_height`` is taken for ``height``), checked."""
    if "resize_height" in overrides:
        overrides["height"] = overrides.pop("resize_height")
    settings = settings or Settings()
    if overrides:
        settings = Settings.from_dict({**settings.as_dict(), **overrides})
    settings.validate()
    return settings


def run(out: str, settings: Optional[Settings] = None, allow_skipped: bool = True,
        **overrides) -> dict:
    """Runs (or resumes) the main job in `out` and returns the summary, also
    written as summary.json and summary.txt. Keyword overrides name Settings
    fields (``resize_height`` is taken for ``height``). With
    ``allow_skipped`` false, a clip that could not be tracked raises
    RuntimeError after the summary is written."""
    settings = resolve_settings(settings, overrides)
    rf.open_run_folder(out, settings)
    s = settings.as_dict()
    clock = stages.StageClock()
    t_start = time.perf_counter()

    cameras = []
    for i in range(settings.cameras):
        with clock.stage("generate recording"):
            manifest = stages.make_recording(s, out, i)
        with clock.stage("fault planning"):
            plan = stages.plan_camera_faults(s, manifest, i)
        with clock.stage("catalogue"):
            rows = _catalogue(manifest)
        log(f"Camera{manifest['camera']}: catalogue of {len(rows)} clips")
        with clock.stage("crop region"):
            crops = stages.find_crops(s, out, manifest, rows[0])
        cameras.append((manifest, plan, rows, crops))

    for manifest, _plan, rows, crops in cameras:
        for k, row in enumerate(rows):
            log(f"Camera{manifest['camera']}: frames of clip {k + 1}/{len(rows)}")
            with clock.stage("frame extraction"):
                row["frames_dirs"] = stages.extract_clip(s, out, manifest["camera"], row, crops)

    clip_results: List[dict] = []
    tracking_seconds: Dict[str, float] = {}
    for manifest, plan, rows, crops in cameras:
        truth = {c["video_name"]: c["ground_truth"] for c in manifest["clips"]}
        for side in settings.pens:
            clips = [{"video_name": r["Video Name"], "frames_dir": r["frames_dirs"][side],
                      "ground_truth": truth[r["Video Name"]]} for r in rows]
            with clock.stage("tracking"):
                res = stages.track_pen(s, out, manifest["camera"], side, clips,
                                       crops[side]["crop"], crops[side]["pen_file"], plan)
            for k, v in res["stage_seconds"].items():
                tracking_seconds[k] = tracking_seconds.get(k, 0.0) + v
            clip_results += res["clips"]

    return finish(out, settings, clip_results, clock.seconds, tracking_seconds,
                  time.perf_counter() - t_start, allow_skipped)


def finish(out: str, settings: Settings, clip_results: List[dict],
           stage_seconds: Mapping[str, float], tracking_seconds: Mapping[str, float],
           total_seconds: float, allow_skipped: bool = True, extra: Optional[dict] = None) -> dict:
    """Scores the clips, writes summary.json and summary.txt into `out` and
    returns the summary (``extra`` fields are added to it). With
    ``allow_skipped`` false, skipped clips raise RuntimeError afterwards."""
    summary = summarize(settings, clip_results)
    summary.update(extra or {})
    summary["stage_seconds"] = {k: round(v, 3) for k, v in stage_seconds.items()}
    summary["tracking_stage_seconds"] = {k: round(v, 3) for k, v in tracking_seconds.items()}
    summary["total_seconds"] = round(total_seconds, 3)
    rf.write_json(os.path.join(out, "summary.json"), summary)
    text = render_summary(summary)
    tmp = os.path.join(out, "summary.txt.tmp")
    with open(tmp, "w", encoding="utf-8") as f:
        f.write(text)
    os.replace(tmp, os.path.join(out, "summary.txt"))
    log(f"summary written to {os.path.join(out, 'summary.txt')}")
    t_review = time.perf_counter()
    index = review.build_review(out)
    log(f"review pages written to {index} in {time.perf_counter() - t_review:.1f} s")
    skipped = [c["clip"] + " (" + c["pen"] + ")" for c in clip_results if c.get("skipped")]
    if skipped and not allow_skipped:
        raise RuntimeError(f"{len(skipped)} clip(s) could not be tracked: {', '.join(skipped)}; "
                           "pass --allow-skipped to accept a run with skipped clips")
    return summary


# ---- the summary -----------------------------------------------------------------


def _flags(c: Mapping, threshold: float) -> Dict[str, List[str]]:
    truth, chain = [], []
    if c.get("skipped"):
        chain.append(f"not tracked: {c['skipped']}")
        return {"truth": truth, "review_chain": chain}
    acc = c["identity"]["accuracy"]
    if acc < threshold:
        truth.append(f"identity accuracy {acc:.3f} below {threshold}")
    rep = c["report"]
    if rep["zero_area_rows"]:
        boxes = sorted({b for _, b in rep["zero_area"]})
        chain.append(f"{rep['zero_area_rows']} vanished mask(s) reported ({', '.join(boxes)})")
    if c["episodes"]["count"]:
        voted = (c.get("vote") or {}).get("box_voted_in_error")
        chain.append(f"{c['episodes']['count']} overlap episode(s), box voted in error {voted}")
    if c["pruning"]["pruned_boxes"]:
        chain.append(f"pruned {', '.join(c['pruning']['pruned_boxes'])}")
    if c.get("matcher") and c["matcher"]["failed"]:
        chain.append("matcher failed; initializer fallback")
    return {"truth": truth, "review_chain": chain}


def _ratio(num: float, den: float) -> Optional[float]:
    return num / den if den else None


def summarize(settings: Settings, clips: List[dict]) -> dict:
    """Per-clip results with flags, and the overall scoring of the review chain."""
    out_clips = []
    totals = dict(vanish_planted=0, vanish_found=0, zero_reported=0, episodes=0,
                  episodes_on_swaps=0, swaps=0, swaps_found=0, contact_runs=0, votes_right=0,
                  small_planted=0, small_pruned=0, pruned_other=0, outside_planted=0,
                  outside_left=0, matcher_planted=0, matcher_failed=0, fallback_ok=0)
    identity = {"faulty": [0, 0], "fault_free": [0, 0], "carried_faulty": [0, 0],
                "carried_fault_free": [0, 0]}
    flags = {"clips": 0, "faulty": 0, "faulty_flagged": 0, "fault_free_flagged_by_chain": 0}
    for c in clips:
        c = dict(c)
        f = _flags(c, settings.flag_below)
        c["flag_reasons"] = f["truth"] + f["review_chain"]
        c["flagged"] = bool(c["flag_reasons"])
        c["flagged_by_review_chain"] = bool(f["review_chain"])
        out_clips.append(c)
        faulty = bool(c.get("planted"))
        flags["clips"] += c["flagged"]
        flags["faulty"] += faulty
        flags["faulty_flagged"] += faulty and c["flagged_by_review_chain"]
        flags["fault_free_flagged_by_chain"] += (not faulty) and c["flagged_by_review_chain"]
        if c.get("matcher") and c["matcher"]["planted_failure"]:
            totals["matcher_planted"] += 1
            totals["matcher_failed"] += c["matcher"]["failed"]
            totals["fallback_ok"] += c["matcher"]["failed"] and not c.get("skipped")
        if c.get("skipped"):
            continue
        sc = c["scores"]
        totals["vanish_planted"] += sc["vanish"]["planted"]
        totals["vanish_found"] += sc["vanish"]["found"]
        totals["zero_reported"] += sc["vanish"]["reported"]
        e = sc["episodes"]
        totals["episodes"] += e["found"]
        totals["episodes_on_swaps"] += e["on_planted_swaps"]
        totals["swaps"] += e["planted_swaps"]
        totals["swaps_found"] += e["planted_swaps_found"]
        totals["contact_runs"] += e["true_contact_runs"]
        totals["votes_right"] += sum(v["correct"] for v in sc["vote"])
        totals["small_planted"] += len(sc["pruning"]["planted"])
        totals["small_pruned"] += sum(b in sc["pruning"]["pruned"] for b in sc["pruning"]["planted"])
        totals["pruned_other"] += sum(b not in sc["pruning"]["planted"]
                                      for b in sc["pruning"]["pruned"])
        totals["outside_planted"] += c["refinement"]["planted_outside_pixels"]
        totals["outside_left"] += c["refinement"]["left_after_refinement"]
        key = "faulty" if faulty else "fault_free"
        hits, checks = c["identity"]["hits"], c["identity"]["checks"]
        identity[key][0] += hits
        identity[key][1] += checks
        if c["seeded_by"] == "matcher":
            identity["carried_" + key][0] += hits
            identity["carried_" + key][1] += checks
    all_hits = identity["faulty"][0] + identity["fault_free"][0]
    all_checks = identity["faulty"][1] + identity["fault_free"][1]
    t = totals
    scoring = {
        "vanished_masks": {"planted": t["vanish_planted"], "found": t["vanish_found"],
                           "reported": t["zero_reported"],
                           "recall": _ratio(t["vanish_found"], t["vanish_planted"]),
                           "precision": _ratio(t["vanish_found"], t["zero_reported"])},
        "overlap_episodes": {"found": t["episodes"], "on_planted_swaps": t["episodes_on_swaps"],
                             "precision": _ratio(t["episodes_on_swaps"], t["episodes"]),
                             "planted_swaps": t["swaps"], "planted_swaps_found": t["swaps_found"],
                             "recall": _ratio(t["swaps_found"], t["swaps"]),
                             "true_contact_runs": t["contact_runs"]},
        "vote": {"planted_swaps": t["swaps"], "swapped_pig_named": t["votes_right"],
                 "accuracy": _ratio(t["votes_right"], t["swaps"])},
        "pruning": {"planted_small_tracks": t["small_planted"], "pruned": t["small_pruned"],
                    "other_boxes_pruned": t["pruned_other"]},
        "refinement": {"planted_outside_pixels": t["outside_planted"],
                       "left_after_refinement": t["outside_left"],
                       "removed_share": (1 - t["outside_left"] / t["outside_planted"])
                       if t["outside_planted"] else None},
        "matcher": {"planted_failures": t["matcher_planted"], "failed": t["matcher_failed"],
                    "initializer_fallback_tracked": t["fallback_ok"]},
        "identity_accuracy": {k: _ratio(h, n) for k, (h, n) in identity.items()},
        "flagged": flags,
    }
    scoring["identity_accuracy"]["overall"] = _ratio(all_hits, all_checks)
    return {
        "format": rf.FORMAT,
        "settings": settings.as_dict(),
        "clips": out_clips,
        "clips_tracked": sum(not c.get("skipped") for c in out_clips),
        "clips_skipped": [c["clip"] + " " + c["pen"] for c in out_clips if c.get("skipped")],
        "identity_accuracy": scoring["identity_accuracy"]["overall"] or 0.0,
        "scoring": scoring,
    }


def _fmt(v, pattern=".3f") -> str:
    return "-" if v is None else format(v, pattern)


def render_summary(summary: Mapping) -> str:
    lines = ["vexo pipeline summary", ""]
    head = (f"{'clip':<27} {'cam':>3} {'pen':<5} {'frames':>6} {'seeded':<11} {'vanished':>8} "
            f"{'overlap':>7} {'episodes':>8} {'voted':<6} {'pruned':<10} {'identity':>8}  flag")
    lines.append(head)
    lines.append("-" * len(head))
    for c in summary["clips"]:
        cam = c["camera"]
        if c.get("skipped"):
            lines.append(f"{c['clip']:<27} {cam:>3} {c['pen']:<5} {c['frames']:>6} "
                         f"skipped: {c['skipped']}")
            continue
        vote = (c.get("vote") or {}).get("box_voted_in_error") or "-"
        seeded = c["seeded_by"]
        if c.get("matcher") and c["matcher"]["failed"]:
            seeded = "fallback"
        pruned = ",".join(c["pruning"]["pruned_boxes"]) or "-"
        lines.append(
            f"{c['clip']:<27} {cam:>3} {c['pen']:<5} {c['frames']:>6} {seeded:<11} "
            f"{c['report']['zero_area_rows']:>8} {c['report']['overlap_rows']:>7} "
            f"{c['episodes']['count']:>8} {vote:<6} {pruned:<10} "
            f"{c['identity']['accuracy']:>8.3f}  {'FLAGGED' if c['flagged'] else ''}")
    flagged = [c for c in summary["clips"] if c["flagged"]]
    if flagged:
        lines += ["", "flagged for review:"]
        for c in flagged:
            planted = ", ".join(p["kind"] for p in c.get("planted", [])) or "none"
            lines.append(f"  {c['clip']} {c['pen']} (planted: {planted}): "
                         + "; ".join(c["flag_reasons"]))
    sc = summary["scoring"]
    v, e, vo = sc["vanished_masks"], sc["overlap_episodes"], sc["vote"]
    p, r, m, ia = sc["pruning"], sc["refinement"], sc["matcher"], sc["identity_accuracy"]
    lines += [
        "",
        "review chain against the planted truth:",
        f"  vanished masks: {v['found']} of {v['planted']} planted found by the report "
        f"(recall {_fmt(v['recall'])}, precision {_fmt(v['precision'])})",
        f"  overlap episodes: {e['found']} found, {e['on_planted_swaps']} on planted swaps "
        f"(precision {_fmt(e['precision'])}); {e['planted_swaps_found']} of "
        f"{e['planted_swaps']} planted swaps found; {e['true_contact_runs']} true contact runs",
        f"  vote: swapped pig named in {vo['swapped_pig_named']} of {vo['planted_swaps']} "
        f"planted swaps",
        f"  pruning: {p['pruned']} of {p['planted_small_tracks']} planted small tracks pruned, "
        f"{p['other_boxes_pruned']} other boxes pruned",
        f"  refinement: {r['planted_outside_pixels']} planted pixels outside the pen, "
        f"{r['left_after_refinement']} left after refinement",
        f"  matcher: {m['failed']} of {m['planted_failures']} planted failures seen, "
        f"{m['initializer_fallback_tracked']} tracked after the initializer fallback",
        f"  identity accuracy: clips without planted faults {_fmt(ia['fault_free'])}, "
        f"with planted faults {_fmt(ia['faulty'])}; carried-over ids without faults "
        f"{_fmt(ia['carried_fault_free'])}, with faults {_fmt(ia['carried_faulty'])}",
        f"  clips flagged: {sc['flagged']['clips']}; planted-fault clips flagged by the review "
        f"chain {sc['flagged']['faulty_flagged']} of {sc['flagged']['faulty']}; fault-free "
        f"clips flagged by it {sc['flagged']['fault_free_flagged_by_chain']}",
        "",
        f"identity accuracy overall: {summary['identity_accuracy']:.3f}",
        "time per stage (s):",
    ]
    for k, val in summary.get("stage_seconds", {}).items():
        lines.append(f"  {k}: {val:.2f}")
    for k, val in summary.get("tracking_stage_seconds", {}).items():
        lines.append(f"    {k}: {val:.2f}")
    return "\n".join(line.rstrip() for line in lines) + "\n"


def main(argv: Optional[List[str]] = None) -> int:
    d = Settings()
    ap = argparse.ArgumentParser(
        description="Run the vexo pipeline on generated recordings and score it on their truth.")
    ap.add_argument("--out", default="runs/demo", help="run folder (default runs/demo)")
    ap.add_argument("--cameras", type=int, default=d.cameras, help="cameras (default 2)")
    ap.add_argument("--pens", default=",".join(d.pens),
                    help="pens to track: left,right (default both)")
    ap.add_argument("--clips", type=int, default=d.clips, help="clips per camera (default 4)")
    ap.add_argument("--days", type=int, default=d.days,
                    help="days the clips are spread over (default 2); every later day begins "
                         "with the herd spreading out")
    ap.add_argument("--seconds", type=float, default=d.seconds, help="clip length in seconds")
    ap.add_argument("--fps", type=float, default=d.fps, help="frame rate of the clips")
    ap.add_argument("--height", type=int, default=d.height, help="height of the saved frames")
    ap.add_argument("--seed", type=int, default=d.seed)
    ap.add_argument("--faults", default=d.faults,
                    help="planted faults, a comma list of swap, vanish, fragment, small, "
                         "matcher (kinds may repeat), or none")
    ap.add_argument("--propagation", default=d.propagation, choices=("simulated", "image"),
                    help="simulated segmenter with planted faults, or the image-based one")
    ap.add_argument("--flag-below", type=float, default=d.flag_below,
                    help="identity accuracy under which a clip is flagged (default 0.95)")
    ap.add_argument("--allow-skipped", action="store_true",
                    help="exit 0 even when a clip could not be tracked")
    where = ap.add_mutually_exclusive_group()
    where.add_argument("--workers", type=int, default=None, metavar="N",
                       help="run as tasks on a local cluster of N worker processes")
    where.add_argument("--scheduler", default=None, metavar="ADDRESS",
                       help="run as tasks on the cluster of the scheduler at ADDRESS "
                            "(tcp://host:8786); the run folder must be on shared storage")
    args = ap.parse_args(argv)
    try:
        settings = Settings(cameras=args.cameras,
                            pens=tuple(p.strip() for p in args.pens.split(",") if p.strip()),
                            clips=args.clips, days=args.days, seconds=args.seconds,
                            fps=args.fps,
                            height=args.height, seed=args.seed, faults=args.faults,
                            propagation=args.propagation, flag_below=args.flag_below)
        if args.workers is None and args.scheduler is None:
            summary = run(args.out, settings, allow_skipped=True)
        else:
            from . import cluster

            summary = cluster.run_cli(args.out, settings, args.workers, args.scheduler)
    except (ValueError, RuntimeError) as e:
        print(f"error: {e}", file=sys.stderr)
        return 2
    sys.stderr.write(render_summary(summary))
    if summary["clips_skipped"] and not args.allow_skipped:
        print(f"error: {len(summary['clips_skipped'])} clip(s) could not be tracked: "
              f"{', '.join(summary['clips_skipped'])}; pass --allow-skipped to accept them",
              file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
