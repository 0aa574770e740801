"""Short end-to-end runs of the main job on generated recordings with planted faults."""

import json
import os

import cv2
import pytest

from vexo_pipeline import faults, run as pipeline, stages
from vexo_pipeline.runfolder import Settings

SHORT = dict(cameras=1, pens=("left",), clips=2, seconds=3.5, fps=10.0, height=260,
             faults="swap,vanish")


@pytest.fixture(scope="module")
def short_run(tmp_path_factory):
    out = str(tmp_path_factory.mktemp("run"))
    summary = pipeline.run(out, Settings(**SHORT))
    return out, summary


def test_summary_finds_the_planted_swap_and_vanish(short_run):
    out, summary = short_run
    with open(os.path.join(out, "summary.json")) as f:
        stored = json.load(f)
    assert stored == json.loads(json.dumps(summary))
    # The plan in the ground truth holds one swap and one vanish, on two pens.
    plan = faults.load_plan(os.path.join(out, "recordings", "Camera61"))
    assert sorted(p["kind"] for p in plan) == ["swap", "vanish"]
    clips = {(c["clip"], c["pen"]): c for c in stored["clips"]}
    assert len(clips) == 2 and stored["clips_skipped"] == []
    for p in plan:
        c = clips[(p["clip"], p["pen"])]
        (planted,) = c["planted"]
        assert planted["kind"] == p["kind"]
        assert (planted["first_frame"], planted["last_frame"]) == (p["first"], p["last"])
        if p["kind"] == "vanish":
            want = [[f, planted["box"]] for f in range(p["first"], p["last"] + 1)]
            assert c["report"]["zero_area"] == want
            assert c["report"]["csv"].endswith("tracking_question_report.csv")
        else:
            # The report rows of the pair lead to an episode over the hijacked
            # frames, and the vote names the pig whose track jumped.
            pair = {planted["box_in_error"], planted["onto_box"]}
            runs = [r for k, v in c["episodes"]["found"].items() if set(k.split("-")) == pair
                    for r in v]
            assert runs and all(p["first"] <= f <= p["last"] for r in runs for f in r)
            assert c["vote"]["box_voted_in_error"] == planted["box_in_error"]
            assert max(c["vote"]["scores"], key=c["vote"]["scores"].get) == \
                planted["box_in_error"]
            assert c["flagged"] and c["identity"]["accuracy"] < 0.95
        assert c["flagged_by_review_chain"]
    sc = stored["scoring"]
    assert sc["vanished_masks"]["recall"] == 1.0 and sc["vanished_masks"]["precision"] == 1.0
    assert sc["vote"] == {"planted_swaps": 1, "swapped_pig_named": 1, "accuracy": 1.0}
    assert sc["overlap_episodes"]["recall"] == 1.0
    # Fault-free clips are not flagged by the review chain.
    assert sc["flagged"]["fault_free_flagged_by_chain"] == 0
    text = open(os.path.join(out, "summary.txt")).read()
    assert "identity accuracy overall" in text and "FLAGGED" in text


def test_summary_points_at_files_of_the_run_folder(short_run):
    out, summary = short_run
    for c in summary["clips"]:
        assert {"heatmap", "annotation", "tracking"} <= set(c["images"])
        assert ("initializer" in c["images"]) == (c["seeded_by"] == "initializer")
        for rel in list(c["images"].values()) + [c["frames_dir"]]:
            assert not os.path.isabs(rel) and os.path.exists(os.path.join(out, rel)), rel
    assert any("episode" in c["images"] for c in summary["clips"])
    for stage in ("generate recording", "crop region", "frame extraction", "tracking"):
        assert stage in summary["stage_seconds"]
    for stage in ("initializer", "matcher", "propagation", "mask refinement", "report"):
        assert stage in summary["tracking_stage_seconds"]
    # The run ends with the review pages: the run page and one page per clip.
    assert os.path.isfile(os.path.join(out, "index.html"))
    assert len(os.listdir(os.path.join(out, "review"))) == len(summary["clips"])
    # Stages were moved into place whole: no temporary folders are left.
    for root, dirs, _ in os.walk(out):
        assert not [d for d in dirs if d.endswith(".tmp")], root


def test_rerun_reuses_or_redoes_by_the_recorded_settings(short_run, tmp_path, capsys):
    out, first = short_run
    # Same settings: every stage is reused and the summary comes out the same.
    again = pipeline.run(out, Settings(**SHORT))
    err = capsys.readouterr().err
    assert "tracking reused" in err and "generating" not in err and "extracting" not in err
    assert again["clips"] == first["clips"]
    # Another frame height: frames and tracking are redone at the new size,
    # the recording is kept, and the reason names the setting.
    changed = pipeline.run(out, Settings(**dict(SHORT, height=200)))
    err = capsys.readouterr().err
    assert "setting height changed from 260 to 200" in err
    assert "height changed from 260 to 200" in err.split("extracting frames", 1)[1]
    assert "generating" not in err
    frame_dir = os.path.join(out, changed["clips"][0]["frames_dir"])
    img = cv2.imread(os.path.join(frame_dir, sorted(os.listdir(frame_dir))[0]))
    assert img.shape[0] == 200
    assert changed["settings"]["height"] == 200
    with open(os.path.join(out, "settings.json")) as f:
        assert json.load(f)["settings"]["height"] == 200

    # A folder this pipeline did not make is refused, naming the file it lacks.
    foreign = tmp_path / "old"
    foreign.mkdir()
    (foreign / "summary.json").write_text("{}")
    assert pipeline.main(["--out", str(foreign), "--cameras", "1"]) == 2
    assert "settings.json" in capsys.readouterr().err
    assert pipeline.main(["--out", str(tmp_path / "x"), "--pens", "middle"]) == 2
    assert "pens" in capsys.readouterr().err


def test_untrackable_clip_is_reported_and_fails_the_run(tmp_path, monkeypatch, capsys):
    monkeypatch.setattr(stages.vu, "initializer", lambda *a, **k: (None, None, None, None))
    args = ["--out", str(tmp_path / "r"), "--cameras", "1", "--pens", "left", "--clips", "1",
            "--seconds", "1.5", "--height", "200", "--faults", "none"]
    assert pipeline.main(args) == 1
    err = capsys.readouterr().err
    assert "could not be tracked" in err and "--allow-skipped" in err
    summary = json.load(open(tmp_path / "r" / "summary.json"))
    (clip,) = summary["clips"]
    assert clip["skipped"] and clip["flagged"]
    # Allowed skips: the same run (reused) exits 0.
    assert pipeline.main(args + ["--allow-skipped"]) == 0


def test_matcher_failure_at_a_day_boundary_falls_back_to_the_initializer(tmp_path):
    # Two days of one clip each: the herd sleeps where it lay and spreads out
    # as the second day begins. On one pen the segmenter misses a pig there;
    # the other pen's matcher carries the ids across the night.
    out = str(tmp_path / "run")
    summary = pipeline.run(out, Settings(cameras=1, clips=2, days=2, seconds=3.0, height=200,
                                         faults="matcher"))
    (planted,) = faults.load_plan(os.path.join(out, "recordings", "Camera61"))
    day2 = {c["pen"]: c for c in summary["clips"] if c["clip"] == planted["clip"]}
    assert planted["clip_index"] == 1 and planted["clip"].split("_")[-1].startswith("20240201")
    hit, other = day2[planted["pen"]], day2[{"left": "right", "right": "left"}[planted["pen"]]]
    assert hit["matcher"]["failed"] and hit["matcher"]["fallback"] == "initializer"
    assert hit["seeded_by"] == "initializer" and hit["pigs_tracked"] == 10
    assert "initializer" in hit["images"] and "matcher failed" in " ".join(hit["flag_reasons"])
    assert not other["matcher"]["failed"] and other["seeded_by"] == "matcher"
    assert hit["identity"]["accuracy"] >= 0.99 and other["identity"]["accuracy"] >= 0.99
    assert summary["scoring"]["matcher"] == {"planted_failures": 1, "failed": 1,
                                             "initializer_fallback_tracked": 1}
    text = open(os.path.join(out, "summary.txt")).read()
    assert "matcher: 1 of 1 planted failures seen, 1 tracked after the initializer fallback" in text
    (row,) = [line.split() for line in text.splitlines()
              if line.startswith(planted["clip"]) and line.split()[2] == planted["pen"]]
    assert row[4] == "fallback"
