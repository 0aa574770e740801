"""Review pages: built from a clip with known faults, opened in headless chromium."""

import json
import os
import re
import shutil

import cv2
import numpy as np
import pandas as pd
import pytest
from PIL import Image

import vexo_utils as vu
from vexo_pipeline import review, write_tracking_frame

from _browser import Browser, BrowserUnavailable

H, W, N = 150, 200, 14
HOSTILE = "pen <script>console.error('x')"
# Pig 0 and pig 1 lie on top of each other in frames 4-7; pig 2's mask
# vanishes in frames 9-10.
OVERLAP, VANISHED = range(4, 8), (9, 10)


def _masks(f):
    yy, xx = np.mgrid[:H, :W]

    def blob(cx, cy, rx=22, ry=14):
        return ((xx - cx) / rx) ** 2 + ((yy - cy) / ry) ** 2 <= 1

    near = 36 if f not in OVERLAP else 42
    masks = {1: blob(40 + 2 * f, 40), 2: blob(near + 2 * f, 44), 3: blob(150, 110)}
    if f in VANISHED:
        masks[3] = np.zeros((H, W), bool)
    return {k: m[None] for k, m in masks.items()}


def make_clip(clip_dir, frames_dir):
    """A tracked clip as the main job leaves it: frames, per-frame files,
    the report CSV and a heatmap."""
    os.makedirs(frames_dir)
    names = []
    for f in range(N):
        img = np.full((H, W, 3), 90, np.uint8)
        for m in _masks(f).values():
            img[m[0]] = (170, 150, 200)
        path = os.path.join(frames_dir, f"{f:04d}.jpg")
        cv2.imwrite(path, img)
        names.append(path)
    track = os.path.join(clip_dir, "tracking")
    for f, path in enumerate(names):
        write_tracking_frame(track, f, path, _masks(f))
    last, frames = vu.get_vexo_annotation_data(frames_dir, save_dir_base=track)
    vu.generate_tracking_report(frames, clip_dir)
    Image.new("RGB", (120, 90), (200, 40, 40)).save(os.path.join(clip_dir, "heatmap.png"))
    return track


@pytest.fixture(scope="module")
def run_dir(tmp_path_factory):
    root = tmp_path_factory.mktemp("review")
    run = root / "run"
    make_clip(str(run / "clips" / HOSTILE), str(run / "frames" / HOSTILE))
    return str(run)


@pytest.fixture(scope="module")
def browser():
    try:
        b = Browser()
    except BrowserUnavailable as e:
        pytest.skip(f"headless chromium cannot start: {e}")
    yield b
    b.close()


def expected_runs(csv_path):
    """Independent oracle: runs of consecutive frames per unordered pair or
    vanished box, straight from the CSV with pandas."""
    df = pd.read_csv(csv_path)
    pair = df["Box Pair"].fillna("").map(lambda p: "-".join(sorted(p.split("-"))) if p else "")
    df["g"] = np.where(df["Report type"] == "High overlap mask detected", pair, df["Box ID"])
    out = []
    for g, sub in df.drop_duplicates(["g", "Frame ID"]).groupby("g"):
        frames = np.sort(sub["Frame ID"].to_numpy())
        for run in np.split(frames, np.where(np.diff(frames) != 1)[0] + 1):
            out.append((tuple(g.split("-")), run.tolist()))
    return sorted(out, key=lambda r: (r[1][0], r[0]))


def test_pages_group_the_report_into_runs_and_mark_the_pigs(run_dir):
    index = review.build_review(run_dir)
    clip_dir = os.path.join(run_dir, "clips", HOSTILE)
    runs = review.group_runs(review.read_report(os.path.join(clip_dir, review.REPORT_NAME)))
    assert [(r.boxes, r.frames) for r in runs] == expected_runs(
        os.path.join(clip_dir, review.REPORT_NAME))
    assert [(r.kind, r.boxes, r.frames) for r in runs] == [
        ("overlap", ("Box0", "Box1"), list(OVERLAP)), ("vanished", ("Box2",), list(VANISHED))]

    text = open(index, encoding="utf-8").read()
    assert "&lt;script&gt;" in text and HOSTILE not in text
    (page,) = [os.path.join(d, "index.html") for d in
               sorted(os.scandir(os.path.join(run_dir, "review")), key=lambda d: d.name)]
    html = open(page, encoding="utf-8").read()
    for r in runs:
        assert r.title.replace("\u2013", "&ndash;") in html or r.title in html
    # Every picture the page names exists; thumbnails are small.
    pics = re.findall(r'(?:src|href)="(img/[^"]+)"', html)
    assert len(pics) >= 2 * (len(OVERLAP) + 2 + len(VANISHED) + 2)
    for rel in pics:
        with Image.open(os.path.join(os.path.dirname(page), rel)) as im:
            assert im.width <= review.THUMB_WIDTH if rel.endswith("-thumb.jpg") else im.width == W

    # The overlap pair is outlined in the marking colour around both boxes;
    # the vanished pig is outlined where it was last seen.
    img_dir = os.path.join(os.path.dirname(page), "img")
    boxes = review.boxes_of(os.path.join(clip_dir, "tracking", "output_pp_5.json"))
    marked = np.asarray(Image.open(os.path.join(img_dir, "f000005-Box0-Box1.jpg")))
    for k, key in enumerate(("Box0", "Box1")):
        x1, y1, x2, y2 = (int(v) for v in boxes[key])
        edge = marked[y1 - 5 - 6 * k, x1 + 3 : x2 - 3].astype(int)
        assert (np.abs(edge - review.MARK_COLOUR) < 60).all(axis=1).mean() > 0.8
    seen = review.boxes_of(os.path.join(clip_dir, "tracking", "output_pp_8.json"))["Box2"]
    ghost = np.asarray(Image.open(os.path.join(img_dir, "f000009-Box2-seen.jpg")))
    x1, y1, x2, y2 = (int(v) for v in seen)
    assert (np.abs(ghost[y2 + 5, x1 + 3 : x2 - 3].astype(int) - review.MARK_COLOUR) < 60).all(
        axis=1).mean() > 0.8


def test_pages_open_in_a_browser_with_every_image_and_a_lasting_tick(run_dir, browser,
                                                                      tmp_path):
    index = review.build_review(run_dir)
    clip_page = browser_href = None
    browser.open(index, width=1100)
    assert browser.problems() == []
    assert browser.evaluate("document.querySelector('h1').textContent") == "Review of run"
    # On a laptop-sized window every column of the clips table, the flag
    # reason last, is in view without scrolling the table sideways.
    assert browser.evaluate("(s => s.scrollWidth - s.clientWidth)"
                            "(document.querySelector('.scroll'))") <= 0
    link = browser.evaluate("document.querySelector('td.clip a').textContent")
    assert link == HOSTILE  # shown as text, not run as markup
    assert browser.evaluate("document.scripts.length") == 1
    browser.screenshot(str(tmp_path / "run_page.png"))
    browser_href = browser.evaluate("document.querySelector('td.clip a').href")
    clip_page = browser_href[len("file://"):]
    from urllib.parse import unquote

    clip_page = unquote(clip_page)
    assert os.path.isfile(clip_page)

    for width, mobile, shot in ((1280, False, "clip_page.png"), (390, True, "clip_phone.png")):
        browser.open(clip_page, width=width, mobile=mobile)
        assert browser.problems() == []
        images = browser.evaluate(
            "Array.from(document.images).map(i => [i.getAttribute('src'), i.complete, "
            "i.naturalWidth])")
        assert len(images) > 10
        assert [i for i in images if not (i[1] and i[2] > 0)] == []
        assert browser.evaluate("document.scripts.length") == 1
        assert HOSTILE in browser.evaluate("document.querySelector('h1').textContent")
        # Nothing is wider than a phone's screen except inside a scroll box.
        assert browser.evaluate("document.documentElement.scrollWidth") <= width
        browser.screenshot(str(tmp_path / shot))
    assert all(os.path.getsize(tmp_path / n) > 10_000 for n in
               ("run_page.png", "clip_page.png", "clip_phone.png"))

    # A tick survives a reload and is counted on the run page.
    browser.evaluate("document.querySelector('input[data-check]').click()")
    browser.open(clip_page)
    assert browser.evaluate("document.querySelector('input[data-check]').checked") is True
    assert browser.evaluate("document.querySelectorAll('input[data-check]:checked').length") == 1
    browser.open(index)
    assert browser.evaluate("document.querySelector('td[data-checks]').textContent") == "1 / 2"


def test_rerun_replaces_pages_whole_and_a_failed_build_keeps_the_old(run_dir, monkeypatch):
    review.build_review(run_dir)
    stale = os.path.join(run_dir, "review", "stale.txt")
    open(stale, "w").close()
    review.build_review(run_dir)
    assert not os.path.exists(stale)
    before = {p: open(os.path.join(d, p), "rb").read()
              for d, _, fs in os.walk(run_dir) for p in fs if "review" in d or p == "index.html"}

    calls = []

    def failing(*args):
        calls.append(args)
        if len(calls) == 3:
            raise RuntimeError("disk full")
        return real(*args)

    real = review.render_frame
    monkeypatch.setattr(review, "render_frame", failing)
    with pytest.raises(RuntimeError, match="disk full"):
        review.build_review(run_dir)
    after = {p: open(os.path.join(d, p), "rb").read()
             for d, _, fs in os.walk(run_dir) for p in fs if "review" in d or p == "index.html"}
    assert after == before
    assert not [n for n in os.listdir(run_dir) if n.startswith(".")]


def test_one_clip_folder_with_moved_frames_and_no_report(tmp_path):
    clip = tmp_path / "clip"
    track = make_clip(str(clip), str(tmp_path / "frames"))
    os.remove(clip / review.REPORT_NAME)
    moved = tmp_path / "elsewhere # 100%"
    shutil.move(str(tmp_path / "frames"), str(moved))
    out = tmp_path / "pages"
    index = review.build_review(track, frames_dir=str(moved), out_dir=str(out))
    assert index == str(out / "index.html")
    (page,) = [d.path for d in os.scandir(out / "review")]
    html = open(os.path.join(page, "index.html"), encoding="utf-8").read()
    assert "Could not be shown" not in html
    assert "Box0 and Box1 overlap" in html and "Box2 vanished" in html
    assert "Overlap heatmap" in html
    # The tracking folder itself is left as it was.
    with open(os.path.join(track, "output_pp_0.json")) as f:
        assert json.load(f)["image_path"].startswith(str(tmp_path / "frames"))


@pytest.mark.parametrize("setup, error", [
    (lambda p: None, ValueError),                                    # nothing to review
    (lambda p: open(p / "summary.json", "w").write("{"), ValueError),  # broken summary
    (lambda p: open(p / "summary.json", "w").write("[1]"), ValueError),
])
def test_unusable_folders_raise_clear_errors(tmp_path, setup, error):
    setup(tmp_path)
    with pytest.raises(error, match="review|summary"):
        review.build_review(str(tmp_path))
    assert not (tmp_path / "index.html").exists()


def test_bad_arguments(tmp_path):
    with pytest.raises(FileNotFoundError, match="no folder"):
        review.build_review(str(tmp_path / "missing"))
    with pytest.raises(TypeError):
        review.build_review(3)
    (tmp_path / "clips").mkdir()
    with pytest.raises(ValueError, match="max_frames_per_run"):
        review.build_review(str(tmp_path), max_frames_per_run=0)
    with pytest.raises(FileNotFoundError, match="frames folder"):
        review.build_review(str(tmp_path), frames_dir=str(tmp_path / "nope"))


def _text(path):
    html = open(path, encoding="utf-8").read()
    return re.sub(r"\s+", " ", re.sub(r"<[^>]+>", " ", html)).replace("&ndash;", "\u2013")


def test_main_job_summary_fields_reach_the_pages(tmp_path):
    run = tmp_path / "run"
    clip = run / "tracking" / "61_left" / "C1"
    make_clip(str(clip), str(run / "frames" / "C1"))
    shutil.copy(clip / "heatmap.png", clip / "episode.png")
    rel = lambda p: os.path.relpath(p, run)  # noqa: E731
    entries = [
        {"clip": "C1", "camera": "61", "pen": "left", "frames": N,
         "images": {"tracking": rel(clip / "tracking"), "episode": rel(clip / "episode.png")},
         "report": {"zero_area_rows": 2, "overlap_rows": 8, "csv": rel(clip / review.REPORT_NAME)},
         "episodes": {"found": {"Box0-Box1": [[4, 5, 6, 7]]}, "count": 1, "test_frame": 4},
         "vote": {"box_voted_in_error": "Box1", "scores": {"Box1": 4, "Box0": 1},
                  "votes": ["Box1", "Box0", "Box1", "Box1", "Box1"]},
         "pruning": {"pruned_boxes": ["Box2"]},
         "matcher": {"failed": True, "boxes_left_out": ["Box7"]},
         "identity": {"accuracy": 0.9}, "pigs_tracked": 3,
         "flag_reasons": ["identity accuracy 0.900 below 0.95"], "flagged": True},
        # Not tracked, and naming a folder outside the run: nothing is read there.
        {"clip": "C2", "camera": "61", "pen": "left", "skipped": "no frame with 3 pigs",
         "images": {"tracking": "../outside"}, "flagged": True,
         "flag_reasons": ["skipped: no frame with 3 pigs"]},
    ]
    (run / "summary.json").write_text(json.dumps({"clips": entries, "identity_accuracy": 0.9}))
    (tmp_path / "outside").mkdir()
    shutil.copytree(clip / "tracking", tmp_path / "outside" / "tracking")

    index = review.build_review(str(run))
    rows = _text(index)
    assert "2 clips" in rows and "2 flagged" in rows and "0.900" in rows
    assert "identity accuracy 0.900 below 0.95" in rows and "skipped: no frame with 3 pigs" in rows
    pages = sorted(os.scandir(run / "review"), key=lambda d: d.name)
    assert [p.name.split("-")[0] for p in pages] == ["61_left_C1", "61_left_C2"]
    c1 = _text(os.path.join(pages[0].path, "index.html"))
    for part in ("camera 61, pen left", "3 pigs",
                 "Box0-Box1 4\u20137 4", "voted in error: Box1", "(test frame 4)",
                 "Box1 4", "Box0 1", "Box2 pruned: small at the end of the clip (frame 13)",
                 "Left out of this clip", "Box7", "the matcher failed", "Overlap episode",
                 "Overlap heatmap"):
        assert part in c1, part
    c2 = _text(os.path.join(pages[1].path, "index.html"))
    assert "0 frames" in c2 and "Frames to review (0 runs)" in c2
    assert not os.listdir(os.path.join(pages[1].path, "img"))
