"""A short end-to-end run of the pipeline on a generated recording."""

import json
import os

import pytest

from vexo_pipeline import run as pipeline


@pytest.fixture(scope="module")
def short_run(tmp_path_factory):
    out = str(tmp_path_factory.mktemp("run"))
    summary = pipeline.run(out, clips=2, seconds=3.0, fps=10.0, resize_height=520)
    return out, summary


def test_summary_covers_every_clip(short_run):
    out, summary = short_run
    with open(os.path.join(out, "summary.json")) as f:
        stored = json.load(f)
    assert stored == json.loads(json.dumps(summary))
    assert len(stored["clips"]) == 2
    first = stored["clips"][0]
    assert first["frames"] > 20 and first["pigs_tracked"] == 10
    assert first["identity_accuracy"] >= 0.8
    assert 0.0 <= stored["identity_accuracy"] <= 1.0
    for stage in ("generate recording", "frame extraction", "initializer", "propagation",
                  "mask refinement", "read tracking output", "report"):
        assert stage in stored["stage_seconds"]
    text = open(os.path.join(out, "summary.txt")).read()
    assert "identity accuracy overall" in text


def test_run_folder_holds_the_outputs(short_run):
    out, _ = short_run
    clip = os.path.join(out, "clips", sorted(os.listdir(os.path.join(out, "clips")))[0])
    window = os.path.join(clip, os.listdir(clip)[0])
    names = set(os.listdir(window))
    assert {"tracking", "heatmap.png", "annotation.png", "initializer.png"} <= names
    tracking = os.listdir(os.path.join(window, "tracking"))
    assert any(n.startswith("output_pp_") for n in tracking)
    first = json.load(open(os.path.join(out, "summary.json")))["clips"][0]
    # The report is written only when some frame needs attention.
    assert ("tracking_question_report.csv" in names) == bool(
        first["overlap_rows"] or first["zero_area_rows"])
