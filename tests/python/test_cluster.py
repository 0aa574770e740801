"""The main job on a real local cluster of two worker processes, against the
one-process run of the same settings."""

import json
import os
import re
import signal
import subprocess
import sys
import threading
import time

import pytest

distributed = pytest.importorskip("distributed")

from vexo_pipeline import cluster, run as pipeline, stages  # noqa: E402
from vexo_pipeline import runfolder as rf  # noqa: E402
from vexo_pipeline.runfolder import Settings  # noqa: E402

SMALL = dict(cameras=1, pens=("left", "right"), clips=2, seconds=2.0, fps=10.0, height=200,
             faults="swap,vanish")
TIMING = {"stage_seconds", "tracking_stage_seconds", "total_seconds"}


def _untimed(value):
    if isinstance(value, dict):
        return {k: _untimed(v) for k, v in value.items() if k not in TIMING}
    if isinstance(value, list):
        return [_untimed(v) for v in value]
    return value


def _contents(root):
    """Every file of a run folder but the task logs, with the folder's own
    path taken out and timing fields dropped."""
    out = {}
    for d, dirs, files in os.walk(root):
        rel = os.path.relpath(d, root)
        if rel.split(os.sep)[0] == cluster.LOGS:
            continue
        for f in files:
            data = open(os.path.join(d, f), "rb").read().replace(root.encode(), b"<run>")
            if f.endswith(".html"):
                # Review pages name the run folder and key their ticks by its path.
                data = re.sub(rb"vexo-review:[0-9a-f]+:", b"vexo-review:<run>:", data)
                data = data.replace(os.path.basename(root).encode(), b"<run>")
            if f.endswith(".json"):
                data = _untimed(json.loads(data))
            elif f == "summary.txt":
                data = data.split(b"time per stage")[0]
            out[os.path.normpath(os.path.join(rel, f))] = data
    return out


def _assert_same_run(reference, out):
    want, got = _contents(reference), _contents(out)
    assert sorted(got) == sorted(want)
    assert [f for f in want if got[f] != want[f]] == []
    assert any(f.endswith(".jpg") for f in want) and any(f.endswith("annotation.png") for f in want)
    leftovers = [d for d, dirs, _ in os.walk(out) for x in dirs if x.endswith(".tmp")]
    assert leftovers == []


@pytest.fixture(scope="module")
def reference(tmp_path_factory):
    out = str(tmp_path_factory.mktemp("one_process"))
    pipeline.run(out, Settings(**SMALL))
    return out


@pytest.fixture(scope="module")
def client():
    with cluster.local_cluster(2) as c:
        yield c


def test_cluster_run_equals_the_one_process_run_and_logs_each_task(reference, client, tmp_path):
    out = str(tmp_path / "cluster")
    summary = cluster.run_on(client, out, Settings(**SMALL))
    _assert_same_run(reference, out)
    assert "chains_failed" not in summary
    times = json.load(open(os.path.join(out, "logs", "tasks.json")))
    assert sorted(t["kind"] for t in times) == \
        ["crop", "faults", "frames", "frames", "recording", "tracking", "tracking"]
    assert all(t["built"] for t in times) and len({t["pid"] for t in times}) == 2
    # The library's console lines of a task land in its log, tagged with the clip.
    clip = summary["clips"][0]["clip"]
    lines = open(os.path.join(out, "logs", f"frames-{clip}.log")).read().splitlines()
    assert lines and all(line.startswith(f"[{clip}] ") for line in lines)
    track = open(os.path.join(out, "logs", "tracking-Camera61_left.log")).read()
    assert f"[Camera61_left/{clip}] Using pen JSON path" in track


def test_worker_killed_mid_run_leaves_the_same_outputs(reference, client, tmp_path):
    out = str(tmp_path / "killed")
    done = {}
    runner = threading.Thread(
        target=lambda: done.update(s=cluster.run_on(client, out, Settings(**SMALL))))
    runner.start()
    pids = client.run(os.getpid)
    victim = None
    deadline = time.time() + 60
    while victim is None and time.time() < deadline and runner.is_alive():
        for addr, keys in client.processing().items():
            if any(str(k).startswith("tracking-") for k in keys) and \
                    os.path.isdir(os.path.join(out, "tracking")):
                victim = pids.get(addr)
        time.sleep(0.05)
    assert victim is not None, "no tracking task was seen running"
    os.kill(victim, signal.SIGKILL)
    runner.join(120)
    assert "s" in done and "chains_failed" not in done["s"]
    _assert_same_run(reference, out)
    # The killed attempt's lines stay in the log above those of the retry.
    logs = [open(os.path.join(out, "logs", f)).read() for f in os.listdir(os.path.join(out, "logs"))
            if f.startswith("tracking-")]
    assert max(text.count("started in process") for text in logs) == 2


def test_rerun_after_an_interrupted_run_redoes_only_what_was_unfinished(reference, client,
                                                                         tmp_path):
    out = str(tmp_path / "interrupted")
    args = ["--out", out, "--cameras", "1", "--clips", "2", "--seconds", "2.0", "--height", "200",
            "--faults", "swap,vanish", "--workers", "2"]
    proc = subprocess.Popen([sys.executable, "-m", "vexo_pipeline.run", *args],
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                            start_new_session=True)
    frames = os.path.join(out, "frames", "Camera61")
    deadline = time.time() + 60
    while time.time() < deadline and proc.poll() is None:
        if os.path.isdir(frames) and any(os.path.exists(os.path.join(frames, c, "stage.json"))
                                         for c in os.listdir(frames)):
            break
        time.sleep(0.02)
    os.killpg(proc.pid, signal.SIGKILL)  # the client and its workers
    proc.wait()
    finished = {os.path.relpath(d, out) for d, _, files in os.walk(out) if "stage.json" in files}
    assert finished and not any(p.startswith("tracking") for p in finished)

    cluster.run_on(client, out, Settings(**SMALL))
    times = json.load(open(os.path.join(out, "logs", "tasks.json")))
    folders = {"recording": "recordings/Camera61", "crop": "crops/Camera61"}
    for t in times:
        if t["kind"] == "faults":
            continue
        kind, name = t["task"].split("-", 1)
        folder = folders.get(kind) or (f"frames/Camera61/{name}" if kind == "frames"
                                       else f"tracking/{name}")
        assert t["built"] == (folder not in finished), t
    _assert_same_run(reference, out)


def test_failing_clip_fails_its_chain_only_and_unreachable_scheduler(tmp_path, client, capsys):
    settings = Settings(cameras=2, pens=("left",), clips=2, seconds=1.5, height=200,
                        faults="none")
    out = str(tmp_path / "broken")
    rf.open_run_folder(out, settings)
    # The second clip of the second camera is cut short before the run.
    manifest = stages.make_recording(settings.as_dict(), out, 1)
    with open(manifest["clips"][1]["path"], "r+b") as f:
        f.truncate(2000)
    summary = cluster.run_on(client, out, settings)
    (failed,) = summary["chains_failed"]
    assert failed["chain"] == "Camera62_left" and "failed" in failed["error"]
    by_cam = {}
    for c in summary["clips"]:
        by_cam.setdefault(c["camera"], []).append(c)
    assert all(not c.get("skipped") for c in by_cam["61"])
    assert all(c["skipped"].startswith("chain failed:") and c["flagged"] for c in by_cam["62"])
    assert "chain failed" in open(os.path.join(out, "summary.txt")).read()

    t0 = time.time()
    with pytest.raises(RuntimeError, match="cannot reach the scheduler at 'tcp://127.0.0.1:9'"):
        cluster.connect("tcp://127.0.0.1:9", timeout=2)
    assert pipeline.main(["--out", str(tmp_path / "x"), "--scheduler", "tcp://127.0.0.1:9"]) == 2
    assert "cannot reach the scheduler" in capsys.readouterr().err
    assert time.time() - t0 < 2 * cluster.CONNECT_TIMEOUT + 5
