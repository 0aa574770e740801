"""Static review pages: the frames a person should look at, opened from disk.

    python3 -m vexo_pipeline.review runs/demo
    python3 -m vexo_pipeline.review clips/c1/tracking --frames frames/c1 --out review_c1

A run folder gets ``index.html`` at its top (a table of clips) and one page
per clip under ``review/``. A clip page groups the tracking report's rows
into runs of consecutive frames (per overlapping pair, per vanished box),
shows each run's frames rendered with their boxes (the two pigs of an
overlapping pair, or the vanished pig where it was last seen, outlined),
the overlap episodes with the vote, the heatmap, the matcher's prompt
picture and the pruned boxes. Each run has a "checked" box kept in the
browser's local storage.

Everything is built in a private folder first and renamed into place, so a
failed build leaves the previous pages as they were and a rerun replaces them
whole. All text taken from files and folder names is escaped.
"""

from __future__ import annotations

import argparse
import contextlib
import csv
import dataclasses
import glob
import hashlib
import io
import json
import math
import os
import random
import re
import shutil
import sys
import tempfile
import time
import urllib.parse
from typing import Dict, List, Optional, Sequence, Tuple

REVIEW_DIR = "review"
INDEX_NAME = "index.html"
THUMB_WIDTH = 320
# Pictures a clip folder may hold, in the order the page shows them.
# Each: key, caption, where a summary entry names it, file name in the clip folder.
CLIP_PICTURES = (
    ("episode", "Overlap episode", ("paths.episode", "images.episode"), "episode.png"),
    ("heatmap", "Overlap heatmap", ("paths.heatmap", "images.heatmap"), "heatmap.png"),
    ("prompts", "Matcher prompts",
     ("paths.prompts", "paths.matcher_prompts", "images.matcher_prompts"), "matcher_prompts.png"),
    ("initializer", "First-frame detection", ("paths.initializer", "images.initializer"),
     "initializer.png"),
    ("annotation", "Annotated frame", ("paths.annotation", "images.annotation"),
     "annotation.png"),
)
REPORT_NAME = "tracking_question_report.csv"
ZERO_AREA = "Zero area detected"
HIGH_OVERLAP = "High overlap mask detected"
MARK_COLOUR = (255, 221, 0)
MARK_EDGE = (0, 0, 0)
_FRAME_FILE = re.compile(r"_(\d+)\.json$")


def _log(msg: str) -> None:
    print(f"[review] {msg}", file=sys.stderr, flush=True)


# ---------------------------------------------------------------------------
# Reading what a run or clip folder holds


@dataclasses.dataclass
class ClipSource:
    """Where one clip's outputs are, and what the run's summary says of it."""

    clip_id: str
    tracking_dir: str
    clip_dir: str
    frames_dir: Optional[str] = None
    entry: dict = dataclasses.field(default_factory=dict)
    pictures: Dict[str, str] = dataclasses.field(default_factory=dict)
    report: Optional[str] = None  # the report CSV, when the summary names it

    @property
    def key(self) -> str:
        """Names the clip apart from the same clip of another camera or pen."""
        parts = [_pick(self.entry, "camera"), _pick(self.entry, "side", "pen"), self.clip_id]
        return " ".join(str(p) for p in parts if p is not None)


def _has_frame_files(folder: str) -> bool:
    for _, _, files in os.walk(folder):
        if any(_FRAME_FILE.search(f) for f in files):
            return True
    return False


def _pick(entry, *paths, default=None):
    """The first of `paths` ("a" or "a.b" for a nested field) present and not
    null in `entry`; summaries of older and newer runs name fields apart."""
    for path in paths:
        v = entry
        for part in path.split("."):
            v = v.get(part) if isinstance(v, dict) else None
        if v is not None:
            return v
    return default


def _inside(root: str, rel) -> Optional[str]:
    """`rel` joined to `root` when it is a relative path that stays inside it."""
    if not isinstance(rel, str) or not rel or os.path.isabs(rel):
        return None
    path = os.path.normpath(os.path.join(root, rel))
    root_n = os.path.normpath(root)
    if os.path.commonpath([root_n, path]) != root_n:
        return None
    return path


def _clip_pictures(clip_dir: str, entry: dict, run_dir: str) -> Dict[str, str]:
    found: Dict[str, str] = {}
    for key, _, fields, name in CLIP_PICTURES:
        for p in (_inside(run_dir, _pick(entry, *fields)), os.path.join(clip_dir, name)):
            if p and os.path.isfile(p):
                found[key] = p
                break
    return found


def read_summary(run_dir: str) -> dict:
    """The run's summary.json, or an empty summary when there is none.

    A summary that is not valid JSON or not an object raises ValueError
    naming the file."""
    path = os.path.join(run_dir, "summary.json")
    if not os.path.isfile(path):
        return {}
    try:
        with open(path, encoding="utf-8") as f:
            data = json.load(f)
    except (ValueError, UnicodeDecodeError) as e:
        raise ValueError(f"{path}: not a readable summary ({e})") from None
    if not isinstance(data, dict):
        raise ValueError(f"{path}: expected a JSON object")
    return data


def find_run_clips(run_dir: str, summary: dict) -> List[ClipSource]:
    """The clips of a run folder: those of its summary in summary order, then
    any other clip folder (one holding a ``tracking`` folder) under it."""
    clips: List[ClipSource] = []
    seen = set()
    entries = summary.get("clips") if isinstance(summary.get("clips"), list) else []
    for entry in entries:
        if not isinstance(entry, dict):
            continue
        cid = str(_pick(entry, "clip_id", "clip", default=f"clip {len(clips) + 1}"))
        tracking = _inside(run_dir, _pick(entry, "paths.tracking", "images.tracking"))
        clip_dir = _inside(run_dir, _pick(entry, "paths.clip"))
        if tracking is None:
            guess = _inside(run_dir, os.path.join("clips", *cid.split("/")))
            clip_dir = clip_dir or guess
            tracking = os.path.join(clip_dir, "tracking") if clip_dir else None
        if clip_dir is None and tracking is not None:
            clip_dir = os.path.dirname(tracking)
        frames = _inside(run_dir, _pick(entry, "paths.frames", "frames_dir"))
        src = ClipSource(cid, tracking or "", clip_dir or run_dir, frames, entry)
        src.report = _inside(run_dir, _pick(entry, "paths.report", "report.csv"))
        src.pictures = _clip_pictures(src.clip_dir, entry, run_dir)
        clips.append(src)
        if tracking:
            seen.add(os.path.normpath(tracking))
    found = []
    candidates = [t for t in glob.glob(os.path.join(glob.escape(run_dir), "**", "tracking"),
                                       recursive=True) if os.path.isdir(t)]
    # Deepest first: a folder holding clips' tracking folders, or inside one, is no clip.
    for tracking in sorted(candidates, key=lambda t: (-t.count(os.sep), t)):
        t = os.path.normpath(tracking)
        if any(os.path.commonpath([t, k]) in (t, k) for k in seen):
            continue
        if os.path.relpath(t, run_dir).split(os.sep)[0] == REVIEW_DIR or not _has_frame_files(t):
            continue
        seen.add(t)
        found.append(t)
    for tracking in sorted(found):
        clip_dir = os.path.dirname(tracking)
        rel = os.path.relpath(clip_dir, run_dir)
        if rel.split(os.sep)[0] == "clips" and rel != "clips":
            rel = os.path.relpath(clip_dir, os.path.join(run_dir, "clips"))
        src = ClipSource(rel.replace(os.sep, "/"), tracking, clip_dir)
        src.pictures = _clip_pictures(clip_dir, {}, run_dir)
        clips.append(src)
    return clips


@dataclasses.dataclass
class ReportRow:
    frame: int
    kind: str  # "overlap" or "vanished"
    boxes: Tuple[str, ...]
    value: Optional[float] = None


def read_report(path: str) -> List[ReportRow]:
    """Rows of a tracking question report CSV. Rows that do not parse are
    skipped; a file without the needed columns raises ValueError."""
    rows: List[ReportRow] = []
    with open(path, newline="", encoding="utf-8", errors="replace") as f:
        reader = csv.DictReader(f)
        need = {"Frame ID", "Report type"}
        if not reader.fieldnames or not need <= set(reader.fieldnames):
            raise ValueError(f"{path}: not a tracking question report (columns "
                             f"'Frame ID' and 'Report type' are needed)")
        for r in reader:
            try:
                frame = int(float(r.get("Frame ID") or ""))
            except ValueError:
                continue
            kind = (r.get("Report type") or "").strip()
            if kind == HIGH_OVERLAP:
                parts = tuple(p for p in (r.get("Box Pair") or "").split("-") if p)
                if len(parts) != 2:
                    continue
                try:
                    value = float(r.get("Intersection Value") or "nan")
                except ValueError:
                    value = None
                rows.append(ReportRow(frame, "overlap", parts, value))
            elif kind == ZERO_AREA:
                box = (r.get("Box ID") or "").strip()
                if box:
                    rows.append(ReportRow(frame, "vanished", (box,)))
    return rows


def report_from_frames(frames) -> List[ReportRow]:
    """The report rows the library finds in the frame records (for a clip
    folder without its CSV); the library's lines are kept off the console."""
    import vexo_utils as vu

    with tempfile.TemporaryDirectory() as tmp, contextlib.redirect_stdout(io.StringIO()):
        overlap_df, zero_rows, _, _ = vu.generate_tracking_report(frames, tmp)
    rows = [ReportRow(int(r["Frame ID"]), "overlap", tuple(str(r["Box Pair"]).split("-")),
                      float(r["Intersection Value"]))
            for _, r in overlap_df.iterrows()]
    rows += [ReportRow(int(r["Frame ID"]), "vanished", (str(r["Box ID"]),)) for r in zero_rows]
    return rows


@dataclasses.dataclass
class FrameRun:
    """One stretch of consecutive frames a person should look at."""

    kind: str
    boxes: Tuple[str, ...]
    frames: List[int]
    values: Dict[int, float]
    run_id: str = ""
    shown: List[dict] = dataclasses.field(default_factory=list)

    @property
    def title(self) -> str:
        a, b = self.frames[0], self.frames[-1]
        if self.kind == "pruned":
            return f"{' and '.join(self.boxes)} pruned: small at the end of the clip (frame {b})"
        what = " and ".join(self.boxes) + (" overlap" if self.kind == "overlap" else " vanished")
        span = f"frame {a}" if a == b else f"frames {a}\u2013{b}"
        return f"{what}, {span} ({len(self.frames)} frame{'s' if len(self.frames) != 1 else ''})"


def group_runs(rows: Sequence[ReportRow]) -> List[FrameRun]:
    """Report rows as runs of consecutive frames: one group per unordered
    overlapping pair and one per vanished box (the library's
    find_continuous_frames keeps every run, single frames included)."""
    import pandas as pd
    import vexo_utils as vu

    runs: List[FrameRun] = []
    for kind in ("overlap", "vanished"):
        sel = [r for r in rows if r.kind == kind]
        if not sel:
            continue
        groups = {"-".join(sorted(r.boxes)): tuple(sorted(r.boxes)) for r in sel}
        table = pd.DataFrame({"Frame ID": [r.frame for r in sel],
                              "Group": ["-".join(sorted(r.boxes)) for r in sel]})
        table = table.drop_duplicates()
        values: Dict[Tuple[str, int], float] = {}
        for r in sel:
            if r.value is not None and not math.isnan(r.value):
                k = ("-".join(sorted(r.boxes)), r.frame)
                values[k] = max(values.get(k, r.value), r.value)
        found = vu.find_continuous_frames(table, group_by="Group", n_consecutive=1)
        for key, key_runs in found.items():
            for frames in key_runs:
                runs.append(FrameRun(kind, groups[key], list(frames),
                                     {f: values[(key, f)] for f in frames if (key, f) in values}))
    runs.sort(key=lambda r: (r.frames[0], r.kind, r.boxes))
    return runs


def frames_to_show(run: FrameRun, last_index: int, limit: int) -> List[Tuple[int, str]]:
    """(frame, role) pairs: the frame before the run, up to `limit` frames of
    it spread evenly (first and last always), and the frame after."""
    frames = run.frames
    if len(frames) > limit:
        step = (len(frames) - 1) / max(limit - 1, 1)
        picked = sorted({frames[round(i * step)] for i in range(limit)})
    else:
        picked = list(frames)
    out = []
    if frames[0] - 1 >= 0:
        out.append((frames[0] - 1, "before"))
    out += [(f, "run") for f in picked]
    if frames[-1] + 1 <= last_index:
        out.append((frames[-1] + 1, "after"))
    return out


# ---------------------------------------------------------------------------
# Rendering pictures


def _slug(text: str, limit: int = 48) -> str:
    safe = re.sub(r"[^A-Za-z0-9._-]+", "_", text).strip("._") or "clip"
    digest = hashlib.sha1(text.encode("utf-8", "surrogatepass")).hexdigest()[:8]
    return f"{safe[:limit]}-{digest}"


def _save_jpeg(img, path: str, quality: int = 85) -> None:
    if img.mode != "RGB":
        img = img.convert("RGB")
    img.save(path, "JPEG", quality=quality)


def _thumbnail(img, path: str) -> Tuple[int, int]:
    thumb = img.copy()
    thumb.thumbnail((THUMB_WIDTH, THUMB_WIDTH * 4))
    _save_jpeg(thumb, path, quality=80)
    return thumb.size


@contextlib.contextmanager
def _fixed_colours(seed: int = 0):
    """retrieve_annotation draws its colours from the process-wide generator;
    one seed per picture gives each detection slot the same colour in every
    frame, and the caller's generator state is put back afterwards."""
    state = random.getstate()
    random.seed(seed)
    try:
        yield
    finally:
        random.setstate(state)


def _last_box(det: dict) -> Optional[Tuple[float, float, float, float]]:
    boxes = det.get("xyxy") if isinstance(det, dict) else None
    if not isinstance(boxes, list) or not boxes:
        return None
    b = boxes[-1]
    if not isinstance(b, list) or len(b) != 4:
        return None
    try:
        vals = tuple(float(v) for v in b)
    except (TypeError, ValueError):
        return None
    return vals if all(math.isfinite(v) for v in vals) else None


def _box_key(det: dict) -> str:
    oid = det.get("object_id", 0) if isinstance(det, dict) else 0
    try:
        return f"Box{int(oid) - 1}"
    except (TypeError, ValueError):
        return "Box?"


def boxes_of(json_path: str) -> Dict[str, Tuple[float, float, float, float]]:
    """BoxKey -> last xyxy box of each detection of a per-frame file."""
    with open(json_path, encoding="utf-8") as f:
        doc = json.load(f)
    out = {}
    for det in doc.get("detections", []) if isinstance(doc, dict) else []:
        box = _last_box(det)
        if box is not None:
            out[_box_key(det)] = box
    return out


def render_frame(json_path: str, marked: Dict[str, Tuple[float, float, float, float]],
                 full_path: str, thumb_path: str) -> Tuple[int, int]:
    """The library's rendering of one per-frame file with its boxes, the
    `marked` boxes outlined on top; saves the full picture and a thumbnail
    and returns the thumbnail's size."""
    from PIL import ImageDraw

    import vexo_utils as vu

    with _fixed_colours():
        img = vu.retrieve_annotation(json_path, box_drawing=True).convert("RGB")
    if marked:
        draw = ImageDraw.Draw(img)
        # The second box of a pair sits a little further out, so two boxes
        # that nearly coincide still show as two outlines.
        for k, (x1, y1, x2, y2) in enumerate(marked.values()):
            for pad, colour, width in ((7, MARK_EDGE, 6), (6, MARK_COLOUR, 4)):
                pad += 6 * k
                draw.rectangle((x1 - pad, y1 - pad, x2 + pad, y2 + pad), outline=colour,
                               width=width)
    _save_jpeg(img, full_path, quality=88)
    return _thumbnail(img, thumb_path)


# ---------------------------------------------------------------------------
# Clip data for the pages


def _url(path: str, start: str) -> str:
    rel = os.path.relpath(path, start)
    return "/".join(urllib.parse.quote(p) for p in rel.split(os.sep))


def _fmt(v, digits: int = 3) -> str:
    if v is None:
        return "\u2013"
    if isinstance(v, bool):
        return "yes" if v else "no"
    if isinstance(v, float):
        return f"{v:.{digits}f}"
    if isinstance(v, (list, tuple)):
        return ", ".join(_fmt(x, digits) for x in v) if v else "none"
    return str(v)


def _resolve_images(tracking_dir: str, frames_dir: Optional[str], work: str) -> str:
    """The tracking folder to read: itself when its frame images are where the
    files say, else a copy in `work` whose image paths point into `frames_dir`
    (by file name)."""
    if not frames_dir:
        return tracking_dir
    files = [os.path.join(d, f) for d, _, fs in os.walk(tracking_dir) for f in fs
             if _FRAME_FILE.search(f)]
    copy = os.path.join(work, "tracking")
    moved = False
    for path in files:
        with open(path, encoding="utf-8") as f:
            doc = json.load(f)
        image = doc.get("image_path") if isinstance(doc, dict) else None
        if isinstance(image, str) and not os.path.isfile(image):
            local = os.path.join(frames_dir, os.path.basename(image.replace("\\", "/")))
            if os.path.isfile(local):
                doc["image_path"] = local
                moved = True
        dst = os.path.join(copy, os.path.relpath(path, tracking_dir))
        os.makedirs(os.path.dirname(dst), exist_ok=True)
        with open(dst, "w", encoding="utf-8") as f:
            json.dump(doc, f)
    return copy if moved else tracking_dir


def _clip_summary(src: ClipSource, n_frames: int, pigs: int, rows: Sequence[ReportRow],
                  notes: List[str]) -> dict:
    """The numbers of a clip's table row and summary line, taken from the run
    summary where it has them and from the clip's files otherwise."""
    e = src.entry
    episodes = _pick(e, "episodes.count", "episodes", "overlap_episodes")
    if isinstance(episodes, dict):
        episodes = _pick(episodes, "found", default=episodes)
        episodes = sum(len(v) if isinstance(v, list) else 1 for v in episodes.values())
    elif isinstance(episodes, list):
        episodes = len(episodes)
    overlap_rows = sum(1 for r in rows if r.kind == "overlap")
    vanished_rows = sum(1 for r in rows if r.kind == "vanished")
    failed = _pick(e, "matcher.failed", "matcher_failed")
    # Boxes found small at the end of this clip (dropped before the next one),
    # and boxes the previous clip's pruning kept out of this one.
    pruned, left_out = _pruned(e)
    pigs_tracked = _pick(e, "pigs_tracked", "pigs", default=pigs or None)
    carried = _pick(e, "carried_over", "identities_carried")
    if carried is None and e.get("seeded_by") in ("matcher", "initializer"):
        carried = pigs_tracked if e["seeded_by"] == "matcher" else 0
    info = {
        "camera": _pick(e, "camera"),
        "side": _pick(e, "side", "pen"),
        "frames": n_frames or _pick(e, "frames", default=0),
        "pigs": pigs_tracked,
        "carried": carried,
        "overlap_rows": _pick(e, "report.overlap_rows", default=overlap_rows),
        "vanished_rows": _pick(e, "report.zero_area_rows", "zero_area_rows",
                               default=vanished_rows),
        "episodes": episodes,
        "vote": _pick(e, "vote.box", "vote.box_voted_in_error", "box_voted_in_error"),
        "accuracy": _pick(e, "identity.accuracy", "identity_accuracy", "accuracy"),
        "matcher_failed": failed,
        "pruned": pruned,
        "left_out": left_out,
        "skipped": e.get("skipped") or None,
    }
    why = _pick(e, "flag_reasons", "why")
    if isinstance(why, str):
        why = [why]
    if not isinstance(why, list):
        why = []
        if info["skipped"]:
            skipped = info["skipped"]
            why.append(f"not tracked ({skipped})" if isinstance(skipped, str) else "not tracked")
        if vanished_rows:
            why.append("vanished masks")
        if info["episodes"]:
            why.append("overlap episodes")
        elif info["episodes"] is None and overlap_rows:
            why.append("overlapping masks")
        if failed:
            why.append("matcher failed")
        if info["pruned"] or info["left_out"]:
            why.append("pruned boxes")
    flagged = e.get("flagged")
    info["why"] = [str(w) for w in why] + notes
    info["flagged"] = bool(info["why"]) if flagged is None else bool(flagged) or bool(notes)
    return info


def _pruned(entry: dict) -> Tuple[List[str], List[str]]:
    """Boxes found small at the end of this clip (dropped before the next
    one), and boxes the previous clip's pruning kept out of this one."""
    def boxes(v):
        return [str(b) for b in v] if isinstance(v, list) else [] if v is None else [str(v)]

    return (boxes(_pick(entry, "pruning.pruned_boxes", "pruned_boxes")),
            boxes(_pick(entry, "matcher.boxes_left_out", "small_boxes_removed")))


def _episodes(entry: dict) -> List[dict]:
    """Episodes (pair, frame span) from the clip's summary entry."""
    eps = _pick(entry, "episodes.found", "episodes")
    out = []
    for pair, runs in eps.items() if isinstance(eps, dict) else []:
        for run in runs if isinstance(runs, list) else []:
            if isinstance(run, list) and run:
                out.append({"pair": str(pair), "frames": f"{_fmt(run[0])}\u2013{_fmt(run[-1])}",
                            "length": len(run)})
    return out


def _vote(entry: dict) -> dict:
    """The box voted in error, the votes per box and the votes in order."""
    scores = _pick(entry, "vote.scores")
    if isinstance(scores, dict):
        scores = [(str(k), _fmt(v)) for k, v in scores.items()]
    elif isinstance(scores, list):
        scores = [(str(i), _fmt(v)) for i, v in enumerate(scores)]
    else:
        scores = []
    votes = _pick(entry, "vote.votes", "vote.worst_boxes")
    return {"box": _pick(entry, "vote.box", "vote.box_voted_in_error", "box_voted_in_error"),
            "scores": scores, "votes": _fmt(votes) if votes else None,
            "test_frame": _pick(entry, "vote.test_frame", "episodes.test_frame")}


class _PageBuilder:
    def __init__(self, out_dir: str, stage: str, max_frames_per_run: int):
        self.out_dir = out_dir            # where index.html goes
        self.stage = stage                # private folder that becomes review/
        self.final = os.path.join(out_dir, REVIEW_DIR)
        self.max_frames = max_frames_per_run
        self.store_key = "vexo-review:" + hashlib.sha1(
            os.path.abspath(out_dir).encode("utf-8", "surrogatepass")).hexdigest()[:10]
        self.env = _environment()
        self.images = 0
        self.slugs: set = set()

    def picture(self, src_path: str, clip_stage: str, clip_final: str, name: str) -> Optional[dict]:
        from PIL import Image, UnidentifiedImageError

        thumb = os.path.join(clip_stage, "img", name + "-thumb.jpg")
        try:
            with Image.open(src_path) as im:
                im.load()
                size = _thumbnail(im, thumb)
        except (OSError, UnidentifiedImageError, ValueError, Image.DecompressionBombError):
            return None
        self.images += 1
        return {"thumb": _url(os.path.join(clip_final, "img", name + "-thumb.jpg"), clip_final),
                "full": _url(src_path, clip_final), "w": size[0], "h": size[1]}

    def clip(self, src: ClipSource, work: str) -> dict:
        import vexo_utils as vu

        slug = _slug(src.key)
        while slug in self.slugs:  # the same clip listed twice
            slug = _slug(slug)
        self.slugs.add(slug)
        clip_stage = os.path.join(self.stage, slug)
        clip_final = os.path.join(self.final, slug)
        os.makedirs(os.path.join(clip_stage, "img"))
        notes: List[str] = []
        frames = {}
        if src.tracking_dir and os.path.isdir(src.tracking_dir):
            try:
                tracking = _resolve_images(src.tracking_dir, src.frames_dir,
                                           os.path.join(work, slug))
                with contextlib.redirect_stdout(io.StringIO()):
                    _, frames = vu.get_vexo_annotation_data(src.frames_dir or "",
                                                            save_dir_base=tracking)
                frames = frames or {}
            except (OSError, ValueError, KeyError, TypeError, IndexError) as e:
                notes.append(f"tracking output unreadable: {e}")
                frames = {}
        elif not src.entry.get("skipped"):
            notes.append("no tracking output")
        pigs = max((len(fd["mask_areas"]) for fd in frames.values()), default=0)

        rows: List[ReportRow] = []
        report_path = next((p for p in (src.report, os.path.join(src.clip_dir, REPORT_NAME),
                                        os.path.join(src.tracking_dir or src.clip_dir,
                                                     REPORT_NAME)) if p and os.path.isfile(p)),
                           None)
        if report_path:
            try:
                rows = read_report(report_path)
            except (OSError, ValueError) as e:
                notes.append(str(e))
        elif frames:
            try:
                rows = report_from_frames(frames)
            except (ValueError, KeyError, TypeError) as e:
                notes.append(f"report not computed: {e}")
        runs = group_runs(rows)
        last = max(frames.keys(), default=-1)
        if last >= 0:
            runs += [FrameRun("pruned", (b,), [last], {}) for b in _pruned(src.entry)[0]]
        rendered: Dict[Tuple[int, Tuple[str, ...]], Optional[dict]] = {}
        box_cache: Dict[int, Dict[str, tuple]] = {}

        def boxes_at(idx: int) -> Dict[str, tuple]:
            if idx not in box_cache:
                try:
                    box_cache[idx] = boxes_of(frames[idx]["json_path"])
                except (OSError, ValueError, AttributeError):
                    box_cache[idx] = {}
            return box_cache[idx]

        def last_seen(idx: int, box: str) -> Optional[tuple]:
            for k in range(idx, max(idx - 30, -1), -1):
                if k in frames and box in boxes_at(k) and frames[k]["mask_areas"].get(box, 0) > 0:
                    return boxes_at(k)[box]
            return None

        for run in runs:
            run.run_id = re.sub(r"[^A-Za-z0-9@_-]+", "_", f"{run.kind}_{'-'.join(run.boxes)}"
                                f"@{run.frames[0]}-{run.frames[-1]}")
            shown = [(last, "run")] if run.kind == "pruned" else \
                frames_to_show(run, last, self.max_frames)
            for idx, role in shown:
                if idx not in frames:
                    continue
                here = boxes_at(idx)
                marked = {b: here[b] for b in run.boxes if b in here}
                ghost = False
                if run.kind != "overlap" and not marked:
                    seen = last_seen(idx, run.boxes[0])
                    if seen is not None:
                        marked, ghost = {run.boxes[0]: seen}, True
                key = (idx, tuple(sorted(marked)), ghost)
                if key not in rendered:
                    name = f"f{idx:06d}-" + ("-".join(sorted(marked)) or "plain") + \
                        ("-seen" if ghost else "")
                    name = re.sub(r"[^A-Za-z0-9_-]+", "_", name)
                    full = os.path.join(clip_stage, "img", name + ".jpg")
                    try:
                        w, h = render_frame(frames[idx]["json_path"], marked, full,
                                            os.path.join(clip_stage, "img", name + "-thumb.jpg"))
                        self.images += 1
                        rendered[key] = {"thumb": f"img/{name}-thumb.jpg", "full": f"img/{name}.jpg",
                                         "w": w, "h": h}
                    except (OSError, ValueError, KeyError, TypeError) as e:
                        notes.append(f"frame {idx} not rendered: {e}")
                        rendered[key] = None
                if rendered[key] is None:
                    continue
                cap = f"frame {idx}"
                if role != "run":
                    cap += f" ({role})"
                if idx in run.values:
                    cap += f" \u00b7 {run.values[idx]:.1f}%"
                if ghost:
                    cap += " \u00b7 last seen box"
                run.shown.append(dict(rendered[key], caption=cap, role=role))

        pictures = []
        for key, label, _, _ in CLIP_PICTURES:
            if key in src.pictures:
                pic = self.picture(src.pictures[key], clip_stage, clip_final, key)
                if pic is None:
                    notes.append(f"{label.lower()} picture unreadable")
                else:
                    pictures.append(dict(pic, label=label))

        info = _clip_summary(src, len(frames), pigs, rows, notes)
        line = [f"{_fmt(info['frames'])} frames", f"{_fmt(info['pigs'])} pigs"]
        if info["carried"] is not None:
            line.append(f"{info['carried']} identities carried")
        line += [f"{_fmt(info['vanished_rows'])} vanished-mask rows",
                 f"{_fmt(info['overlap_rows'])} overlap rows"]
        if info["episodes"] is not None:
            line.append(f"{_fmt(info['episodes'])} episodes")
        if info["vote"]:
            line.append(f"voted in error: {info['vote']}")
        if info["accuracy"] is not None:
            line.append(f"identity accuracy {_fmt(info['accuracy'])}")
        clip = {"id": src.clip_id, "slug": slug, "info": info, "runs": runs, "line": line,
                "episodes": _episodes(src.entry), "vote": _vote(src.entry),
                "pictures": pictures, "notes": notes,
                "href": _url(os.path.join(clip_final, INDEX_NAME), self.out_dir),
                "checks": [f"{self.store_key}:{slug}:{r.run_id}" for r in runs]}
        return clip

    def write_clip_page(self, clip: dict, title: str) -> None:
        html = self.env.get_template("clip.html").render(
            clip=clip, title=title, store_key=f"{self.store_key}:{clip['slug']}",
            index_href=_url(os.path.join(self.out_dir, INDEX_NAME),
                            os.path.join(self.final, clip["slug"])),
            fmt=_fmt)
        with open(os.path.join(self.stage, clip["slug"], INDEX_NAME), "w", encoding="utf-8") as f:
            f.write(html)

    def index_html(self, title: str, clips: List[dict], summary: dict) -> str:
        overall = summary.get("identity_accuracy")
        return self.env.get_template("run.html").render(
            title=title, clips=clips, fmt=_fmt,
            overall=overall if isinstance(overall, (int, float)) else None,
            flagged=sum(1 for c in clips if c["info"]["flagged"]))


def _environment():
    import jinja2

    here = os.path.join(os.path.dirname(os.path.abspath(__file__)), "templates")
    return jinja2.Environment(loader=jinja2.FileSystemLoader(here),
                              autoescape=jinja2.select_autoescape(["html"], default=True),
                              undefined=jinja2.StrictUndefined, trim_blocks=True,
                              lstrip_blocks=True)


def _umask() -> int:
    mask = os.umask(0)
    os.umask(mask)
    return mask


def _write_atomic(path: str, text: str) -> None:
    folder = os.path.dirname(path) or "."
    fd, tmp = tempfile.mkstemp(prefix="." + os.path.basename(path) + ".", dir=folder)
    try:
        with os.fdopen(fd, "w", encoding="utf-8") as f:
            f.write(text)
        os.chmod(tmp, 0o666 & ~_umask())
        os.replace(tmp, path)
    except BaseException:
        with contextlib.suppress(OSError):
            os.unlink(tmp)
        raise


def _swap_into_place(stage: str, final: str) -> None:
    """Renames the finished `stage` folder to `final`, replacing what was there."""
    old = None
    if os.path.lexists(final):
        old = tempfile.mkdtemp(prefix=".review-old-", dir=os.path.dirname(final))
        os.rmdir(old)
        os.rename(final, old)
    os.chmod(stage, 0o777 & ~_umask())
    try:
        os.rename(stage, final)
    except OSError:
        if old:
            os.rename(old, final)
        raise
    if old:
        shutil.rmtree(old, ignore_errors=True)


def build_review(path: str, frames_dir: Optional[str] = None, out_dir: Optional[str] = None,
                 max_frames_per_run: int = 8) -> str:
    """Writes the review pages and returns the path of their index.html.

    `path` is a run folder (one holding summary.json or clip folders with a
    ``tracking`` folder), or one clip's tracking output folder; for the latter
    `frames_dir` names the folder of its frame images when the files' image
    paths no longer lead there, and the clip's report CSV and pictures are
    looked for in the tracking folder and its parent. `out_dir` receives
    index.html and review/ (default: the run folder, or the tracking folder's
    parent)."""
    if not isinstance(path, (str, os.PathLike)):
        raise TypeError(f"path: expected a folder path, got {type(path).__name__}")
    path = os.fspath(path)
    if not os.path.isdir(path):
        raise FileNotFoundError(f"review: no folder '{path}'")
    if frames_dir is not None:
        frames_dir = os.fspath(frames_dir)
        if not os.path.isdir(frames_dir):
            raise FileNotFoundError(f"review: no frames folder '{frames_dir}'")
    if not isinstance(max_frames_per_run, int) or isinstance(max_frames_per_run, bool) or \
            max_frames_per_run < 1:
        raise ValueError("max_frames_per_run: expected a positive integer")
    run_mode = os.path.isfile(os.path.join(path, "summary.json")) or \
        os.path.isdir(os.path.join(path, "clips"))
    if run_mode:
        summary = read_summary(path)
        clips = find_run_clips(path, summary)
        out_dir = os.fspath(out_dir) if out_dir is not None else path
        title = os.path.basename(os.path.abspath(path))
    elif _has_frame_files(path):
        summary = {}
        parent = os.path.dirname(os.path.abspath(path))
        clip_dir = parent if os.path.isfile(os.path.join(parent, REPORT_NAME)) or \
            not os.path.isfile(os.path.join(path, REPORT_NAME)) else path
        src = ClipSource(os.path.basename(clip_dir if clip_dir == parent else path) or path,
                         path, clip_dir, frames_dir)
        src.pictures = _clip_pictures(clip_dir, {}, clip_dir)
        clips = [src]
        out_dir = os.fspath(out_dir) if out_dir is not None else parent
        title = src.clip_id
    else:
        raise ValueError(f"review: '{path}' holds neither a run (summary.json, clips/) nor "
                         "per-frame tracking files")
    os.makedirs(out_dir, exist_ok=True)
    stage = tempfile.mkdtemp(prefix=".review-new-", dir=out_dir)
    builder = _PageBuilder(out_dir, stage, max_frames_per_run)
    try:
        with tempfile.TemporaryDirectory(prefix=".review-work-", dir=out_dir) as work:
            pages = []
            for src in clips:
                pages.append(builder.clip(src, work))
            # Two clips with the same name would share a page: keep the first.
            for clip in pages:
                builder.write_clip_page(clip, title)
            index = builder.index_html(title, pages, summary)
        _swap_into_place(stage, builder.final)
    except BaseException:
        shutil.rmtree(stage, ignore_errors=True)
        raise
    index_path = os.path.join(out_dir, INDEX_NAME)
    _write_atomic(index_path, index)
    return index_path


def page_sizes(out_dir: str) -> Dict[str, int]:
    """Bytes of index.html and of each clip folder of review/ (pages and images)."""
    sizes = {INDEX_NAME: os.path.getsize(os.path.join(out_dir, INDEX_NAME))}
    root = os.path.join(out_dir, REVIEW_DIR)
    for name in sorted(os.listdir(root)):
        total = 0
        for d, _, files in os.walk(os.path.join(root, name)):
            total += sum(os.path.getsize(os.path.join(d, f)) for f in files)
        sizes[name] = total
    return sizes


def main(argv: Optional[List[str]] = None) -> int:
    ap = argparse.ArgumentParser(description="Write static review pages for a run folder or "
                                 "one clip's tracking output folder.")
    ap.add_argument("path", help="run folder, or a clip's tracking output folder")
    ap.add_argument("--frames", help="folder of the clip's frame images (clip folder only)")
    ap.add_argument("--out", help="folder for index.html and review/ (default: the run folder)")
    ap.add_argument("--max-frames", type=int, default=8,
                    help="frames shown per run of report rows (default 8)")
    args = ap.parse_args(argv)
    t0 = time.perf_counter()
    try:
        index = build_review(args.path, frames_dir=args.frames, out_dir=args.out,
                             max_frames_per_run=args.max_frames)
    except (OSError, ValueError, TypeError) as e:
        print(f"review: {e}", file=sys.stderr)
        return 1
    _log(f"pages written to {index} in {time.perf_counter() - t0:.2f} s")
    return 0


if __name__ == "__main__":
    sys.exit(main())
