"""Tracking quality report, continuous frame runs and small-area pruning."""

import os
import subprocess
import sys
import textwrap

import numpy as np
import pandas as pd
import pytest

import vexo_utils as vu
from _tracking_fixtures import record, rect, write_clip

COLUMNS = ["Frame ID", "Box Pair", "Intersection Value", "Mask Area1", "Mask Area2",
           "Report type", "Box ID", "Mask Areas"]
REPORT = "tracking_question_report.csv"


def test_clean_clip_writes_nothing(tmp_path, capsys):
    s = (60, 80)
    data = write_clip(tmp_path / "clip", {
        0: {1: rect(s, 0, 10, 0, 10), 2: rect(s, 20, 30, 20, 30)},
        1: {1: rect(s, 0, 10, 0, 10), 2: rect(s, 5, 15, 5, 15)},  # 25 percent each way
    })
    capsys.readouterr()
    full, zeros, frames, last = vu.generate_tracking_report(data, str(tmp_path))
    assert list(full.columns) == COLUMNS and len(full) == 0
    assert list(last.columns) == COLUMNS and len(last) == 0
    assert zeros == [] and frames == []
    assert not (tmp_path / REPORT).exists()
    assert capsys.readouterr().out == ""


def test_overlap_and_zero_area_rows_from_a_real_clip(tmp_path, capsys):
    s = (60, 80)
    a = rect(s, 10, 20, 10, 30)                   # 200 pixels
    b = rect(s, 10, 20, 12, 32)                   # 200 pixels, 180 shared: 90 percent both ways
    empty = np.zeros(s, np.uint8)
    frames = {n: {1: rect(s, 0, 5, 0, 5), 2: rect(s, 40, 50, 40, 50)} for n in range(6)}
    frames[4] = {1: a, 2: b, 3: rect(s, 40, 50, 60, 70)}
    frames[2] = {1: empty, 2: rect(s, 40, 50, 40, 50)}
    data = write_clip(tmp_path / "clip", frames)
    capsys.readouterr()
    out_dir = tmp_path / "report"
    out_dir.mkdir()
    full, zeros, over, last = vu.generate_tracking_report(data, str(out_dir), 80)
    path = os.path.join(str(out_dir), REPORT)
    assert capsys.readouterr().out == (
        "Generating tracking question report...\n\n"
        f"Tracking question report saved to {path}\n")
    assert over == [4]
    assert list(full["Box Pair"]) == ["Box0-Box1", "Box1-Box0"]
    assert list(full["Intersection Value"]) == [90.0, 90.0]
    assert list(full["Frame ID"]) == [4, 4] and list(full.index) == [0, 1]
    assert full.dtypes.tolist() == [np.int64, object, np.float64, np.int64, np.int64, object,
                                    object, object]
    assert full["Box ID"].isna().all() and full["Mask Areas"].isna().all()
    pd.testing.assert_frame_equal(last, full)
    assert zeros == [{"Frame ID": 2, "Box Pair": None, "Intersection Value": None,
                      "Mask Area1": None, "Mask Area2": None, "Report type": "Zero area detected",
                      "Box ID": "Box0", "Mask Areas": 0}]
    with open(path) as f:
        text = f.read()
    assert text == (
        ",".join(COLUMNS) + "\n"
        "4,Box0-Box1,90.0,200,200,High overlap mask detected,,\n"
        "4,Box1-Box0,90.0,200,200,High overlap mask detected,,\n"
        "2,,,,,Zero area detected,Box0,0\n")
    back = pd.read_csv(path)
    assert list(back.columns) == COLUMNS and len(back) == 3
    assert back["Report type"].tolist() == ["High overlap mask detected"] * 2 + [
        "Zero area detected"]
    assert back["Mask Area1"].iloc[:2].tolist() == [200, 200]
    assert pd.isna(back["Box Pair"].iloc[2]) and back["Mask Areas"].iloc[2] == 0


def test_threshold_is_strict_and_values_round_to_two_decimals(tmp_path):
    data = {
        0: record({"Box0": 10, "Box1": 10}, [[0, 80.0], [80.0, 0]]),
        1: record({"Box0": 10, "Box1": 10}, [[0, 256 / 3], [2.675, 0]]),
        2: record({"Box0": 10, "Box1": 10, "Box2": 5}, [[0, 0, 100.0], [0, 0, 0], [0, 0, 0]]),
        7: record({"Box3": 10, "Box4": 12}, [[0, 81.005], [99.999, 0]]),
    }
    full, zeros, over, last = vu.generate_tracking_report(data, str(tmp_path))
    assert over == [1, 2, 7]
    assert full["Box Pair"].tolist() == ["Box0-Box1", "Box0-Box2", "Box3-Box4", "Box4-Box3"]
    assert full["Intersection Value"].tolist() == [85.33, 100.0, 81.0, 100.0]
    assert full["Mask Area2"].tolist() == [10, 5, 12, 10]
    assert last["Frame ID"].tolist() == [7, 7] and list(last.index) == [0, 1]
    lines = (tmp_path / REPORT).read_text().splitlines()
    assert lines[1] == "1,Box0-Box1,85.33,10,10,High overlap mask detected,,"
    assert lines[2] == "2,Box0-Box2,100.0,10,5,High overlap mask detected,,"
    assert zeros == []


def test_only_zero_area_rows_and_a_fresh_file_replaces_the_old(tmp_path):
    (tmp_path / REPORT).write_text("old content that is longer than the new report\n" * 50)
    data = {0: record({"Box0": 0, "Box1": 0.0}), 1: record({"Box0": 5})}
    full, zeros, over, last = vu.generate_tracking_report(data, str(tmp_path))
    assert len(full) == 0 and over == [] and len(last) == 0
    assert [z["Box ID"] for z in zeros] == ["Box0", "Box1"]
    assert (tmp_path / REPORT).read_text() == (
        ",".join(COLUMNS) + "\n0,,,,,Zero area detected,Box0,0\n"
        "0,,,,,Zero area detected,Box1,0.0\n")
    assert [p.name for p in tmp_path.iterdir()] == [REPORT]


def test_report_failures(tmp_path, capsys):
    with pytest.raises(KeyError, match="intersections_df"):
        vu.generate_tracking_report({0: {"mask_areas": {"Box0": 0}}}, str(tmp_path))
    assert capsys.readouterr().out == ""
    bad = record({"Box0": 10}, [[0, 90], [90, 0]], keys=["Box0", "Box1"])
    with pytest.raises(KeyError, match="Box1"):
        vu.generate_tracking_report({3: bad}, str(tmp_path))
    assert capsys.readouterr().out.startswith("Generating tracking question report")
    assert not (tmp_path / REPORT).exists()
    with pytest.raises(FileNotFoundError):
        vu.generate_tracking_report({0: record({"Box0": 0})}, str(tmp_path / "missing"))
    with pytest.raises(TypeError):
        vu.generate_tracking_report([], str(tmp_path))
    with pytest.raises(TypeError):
        vu.generate_tracking_report({0: record({"Box0": 0})}, None)


def test_failed_write_keeps_the_previous_report(tmp_path):
    # The child may write only a few hundred bytes per file: the new report
    # cannot be completed, and the report already there must survive whole.
    old = ",".join(COLUMNS) + "\n0,,,,,Zero area detected,Box0,0\n"
    (tmp_path / REPORT).write_text(old)
    script = textwrap.dedent(f"""
        import resource, signal, sys
        import vexo_utils as vu
        sys.path.insert(0, {os.path.dirname(__file__)!r})
        from _tracking_fixtures import record
        data = {{n: record({{"Box0": 0, "Box1": 0}}) for n in range(200)}}
        signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
        resource.setrlimit(resource.RLIMIT_FSIZE, (300, 300))
        try:
            vu.generate_tracking_report(data, {str(tmp_path)!r})
        except OSError as e:
            print("failed:", e)
    """)
    res = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True,
                         env=dict(os.environ), timeout=60)
    assert "failed:" in res.stdout, res.stdout + res.stderr
    assert (tmp_path / REPORT).read_text() == old
    assert [p.name for p in tmp_path.iterdir()] == [REPORT]


# ---------------------------------------------------------------- frame runs


def runs(frames, groups, n=3, col="Box ID"):
    return vu.find_continuous_frames(pd.DataFrame({"Frame ID": frames, col: groups}), col, n)


def test_runs_split_at_gaps_and_repeats():
    assert runs([1, 2, 3, 5, 6], ["A"] * 5) == {"A": [[1, 2, 3]]}
    assert runs([7, 5, 6], ["A"] * 3) == {"A": [[5, 6, 7]]}
    assert runs([4, 4, 5, 6], ["A"] * 4) == {"A": [[4, 5, 6]]}
    assert runs([4, 4, 5, 6], ["A"] * 4, n=1) == {"A": [[4], [4, 5, 6]]}
    assert runs([1, 3, 5], ["A"] * 3, n=1) == {"A": [[1], [3], [5]]}
    assert runs([1, 2], ["A"] * 2) == {}
    assert vu.find_continuous_frames(pd.DataFrame({"Frame ID": [], "Box ID": []})) == {}


def test_groups_in_value_order_and_nulls_ignored():
    res = runs([1, 2, 1, 2, 1, 2, 3], ["Box2-Box5", "Box2-Box5", "Box10-Box3", "Box10-Box3",
                                       None, None, np.nan], n=2, col="Box Pair")
    assert list(res) == ["Box10-Box3", "Box2-Box5"]
    num = runs([1, 2, 1, 2, 5, 6], [10, 10, 9, 9, np.nan, np.nan], n=2, col="g")
    assert list(num) == [9.0, 10.0] and num[9.0] == [[1, 2]]
    ints = runs([1, 2, 1, 2], [10, 10, 9, 9], n=2, col="g")
    assert list(ints) == [9, 10] and all(type(k) is int for k in ints)
    # The frame column is always "Frame ID", whatever the group is.
    df = pd.DataFrame({"Frame ID": [3, 4, 5], "Box ID": ["A", "A", "A"], "Other": [9, 9, 9]})
    assert vu.find_continuous_frames(df, "Box ID", 3) == {"A": [[3, 4, 5]]}
    assert vu.find_continuous_frames(df, "Frame ID", 1) == {3: [[3]], 4: [[4]], 5: [[5]]}


def test_run_failures():
    with pytest.raises(KeyError, match="Frame ID"):
        vu.find_continuous_frames(pd.DataFrame({"Box ID": ["A"]}))
    with pytest.raises(KeyError, match="Box Pair"):
        vu.find_continuous_frames(pd.DataFrame({"Frame ID": [1], "Box ID": ["A"]}), "Box Pair")
    with pytest.raises(TypeError):
        runs([1, 2], ["A", 3])
    with pytest.raises(ValueError):
        runs([1.5, 2], ["A", "A"])
    with pytest.raises(TypeError):
        vu.find_continuous_frames({"Frame ID": [1]})


# ---------------------------------------------------------------- pruning


def areas_map(per_key):
    return {k: {"mask_areas": dict(v)} for k, v in per_key.items()}


def test_small_boxes_boundaries():
    data = areas_map({k: {"Box7": 100, "Box2": 101} for k in range(500, 602)})
    # Keys 501..601 are considered: 101 records, Box7 small in all of them.
    assert vu.find_boxes_with_small_area_from_last_video(data) == ["Box7"]
    assert vu.find_boxes_with_small_area_from_last_video(data, min_frame_id=501) == []
    assert vu.find_boxes_with_small_area_from_last_video(data, 501, 100, 99) == ["Box7"]
    assert vu.find_boxes_with_small_area_from_last_video(data, 500, 99, 0) == []
    assert vu.find_boxes_with_small_area_from_last_video(data, 500, 101, 100) == ["Box7", "Box2"]
    later = areas_map({1: {"Box2": 50, "Box7": 500}, 2: {"Box7": 1, "Box2": 1}, 3: {"Box7": 0}})
    assert vu.find_boxes_with_small_area_from_last_video(later, 0, 100, 1) == ["Box2", "Box7"]
    assert vu.find_boxes_with_small_area_from_last_video({}) == []
    assert vu.find_boxes_with_small_area_from_last_video(later, 3, 100, 0) == []


def test_small_boxes_failures():
    # Records at or below min_frame_id are not read at all.
    data = {1: {}, 2: {"mask_areas": {"Box1": 0}}}
    assert vu.find_boxes_with_small_area_from_last_video(data, 1, 100, 0) == ["Box1"]
    with pytest.raises(KeyError, match="mask_areas"):
        vu.find_boxes_with_small_area_from_last_video(data, 0, 100, 0)
    with pytest.raises(TypeError):
        vu.find_boxes_with_small_area_from_last_video({"a": {"mask_areas": {}}}, 0)
