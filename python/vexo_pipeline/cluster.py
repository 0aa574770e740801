"""The main job on a Dask cluster: the same stages and run folder, as tasks.

    python3 -m vexo_pipeline.run --out /shared/runs/day1 --workers 4
    python3 -m vexo_pipeline.run --out /shared/runs/day1 --scheduler tcp://head:8786

or, from Python, with a client of an existing cluster::

    from distributed import Client
    from vexo_pipeline import cluster
    summary = cluster.run_on(Client("tcp://head:8786"), "/shared/runs/day1")

The task graph, per camera: its recording, its planted faults, its
catalogue and crop region (found once and handed to every task of the
camera, so frames are the same whichever worker cuts them), one frame
extraction task per clip, and one tracking task per pen (camera and side)
that tracks the pen's clips in time order. Pens run in parallel; the
summary is scored on the client. Tasks pass small plain data (paths,
catalogue rows, crop regions, per-clip scores); frames, masks and pictures
stay in the run folder, which every worker must see at the same path.

Each stage is built in a temporary folder and renamed into place with its
settings stamp (``runfolder``), so a task retried after its worker died
leaves the same files as an uninterrupted one, and a rerun reuses finished
tasks and redoes the rest. A task that fails fails the pens that depend on
it, with its error in the summary; other pens go on.

Every task's console lines (the library's and the pipeline's) go to
``logs/<task>.log`` in the run folder, each line tagged with the clip (or
the pen) the task works on; the client logs each task's end. Per-task wall
times are written to ``logs/tasks.json``.
"""

from __future__ import annotations

import contextlib
import logging
import os
import re
import sys
import threading
import time
from typing import Dict, List, Mapping, Optional

import vexo_utils as vu

from . import _vexo_pipeline
from . import run as job
from . import runfolder as rf
from . import stages
from .runfolder import Settings, log

CONNECT_TIMEOUT = 10.0  # seconds to reach a scheduler before giving up
LOGS = "logs"

# A tracking task names the clip it starts on in this line (see stages.track_pen).
_CLIP_LINE = re.compile(r"^(Camera\S+): clip \d+/\d+ (\S+)$")


class _TaggedLog:
    """A text sink that writes complete lines to a task's log file, each as
    ``[tag] line``. In a tracking task the tag follows the clip being tracked."""

    def __init__(self, f, tag: str) -> None:
        self._f = f
        self.tag = tag
        self._pending = ""
        self._lock = threading.Lock()

    def write(self, text: str) -> int:
        with self._lock:
            *lines, self._pending = (self._pending + text).split("\n")
            for line in lines:
                body = line[len("[pipeline] "):] if line.startswith("[pipeline] ") else line
                m = _CLIP_LINE.match(body)
                if m:
                    self.tag = f"{m.group(1)}/{m.group(2)}"
                self._f.write(f"[{self.tag}] {line}\n")
            self._f.flush()
        return len(text)

    def flush(self) -> None:
        with self._lock:
            if self._pending:
                self._f.write(f"[{self.tag}] {self._pending}\n")
                self._pending = ""
            self._f.flush()


@contextlib.contextmanager
def _task_log(out: str, name: str, tag: str):
    """Within the block, the library's console lines and the pipeline's
    progress lines go to ``<out>/logs/<name>.log`` (appended: the lines of
    an attempt whose worker died stay above those of its retry)."""
    os.makedirs(os.path.join(out, LOGS), exist_ok=True)
    with open(os.path.join(out, LOGS, name + ".log"), "a", encoding="utf-8") as f:
        sink = _TaggedLog(f, tag)
        sink.write(f"task {name} started in process {os.getpid()}\n")
        old_err = sys.stderr
        sys.stderr = sink
        try:
            with vu.console(sink):
                yield sink
        finally:
            sink.flush()
            sys.stderr = old_err


def _stamp_id(folder: str):
    try:
        st = os.stat(os.path.join(folder, rf.STAMP_FILE))
    except OSError:
        return None
    return st.st_ino, st.st_mtime_ns


def _task(out: str, name: str, tag: str, folder: Optional[str], fn, *args) -> dict:
    """Runs one stage function as a task: its log, its wall time, whether it
    built its folder now or found it finished, and a clear error naming the
    task when it fails."""
    import cv2

    # One worker process is one core's worth of work.
    cv2.setNumThreads(1)
    vu.set_threads(1)
    _vexo_pipeline._set_thread_limit(1)  # the stand-ins' own copy of the limit
    before = _stamp_id(folder) if folder else None
    t0 = time.perf_counter()
    with _task_log(out, name, tag):
        try:
            value = fn(*args)
        except Exception as e:  # reported with the task's name, pens depending on it fail
            raise RuntimeError(f"{name} failed: {type(e).__name__}: {e} "
                               f"(log: {os.path.join(out, LOGS, name + '.log')})") from e
    built = folder is None or _stamp_id(folder) != before
    return {"task": name, "value": value, "seconds": time.perf_counter() - t0,
            "built": built, "pid": os.getpid()}


# ---- task bodies (module-level so they pickle by reference) -------------------------


def _recording(s: Mapping, out: str, i: int) -> dict:
    cam = stages.camera_name(i)
    return _task(out, f"recording-Camera{cam}", f"Camera{cam}",
                 os.path.join(out, "recordings", f"Camera{cam}"), stages.make_recording, s, out, i)


def _faults(s: Mapping, out: str, i: int, rec: Mapping) -> dict:
    cam = rec["value"]["camera"]
    return _task(out, f"faults-Camera{cam}", f"Camera{cam}", None, stages.plan_camera_faults, s,
                 rec["value"], i)


def _camera(s: Mapping, out: str, rec: Mapping) -> dict:
    manifest = rec["value"]
    cam = manifest["camera"]

    def body():
        rows = job._catalogue(manifest)
        log(f"Camera{cam}: catalogue of {len(rows)} clips")
        return {"rows": rows, "crops": stages.find_crops(s, out, manifest, rows[0])}

    return _task(out, f"crop-Camera{cam}", f"Camera{cam}", os.path.join(out, "crops", f"Camera{cam}"),
                 body)


def _frames(s: Mapping, out: str, cam: str, k: int, camera: Mapping) -> dict:
    row = camera["value"]["rows"][k]
    video = row["Video Name"]
    return _task(out, f"frames-{video}", video, os.path.join(out, "frames", f"Camera{cam}", video),
                 stages.extract_clip, s, out, cam, row, camera["value"]["crops"])


def _track(s: Mapping, out: str, rec: Mapping, plan: Mapping, camera: Mapping, side: str,
           *frames: Mapping) -> dict:
    manifest = rec["value"]
    cam = manifest["camera"]
    truth = {c["video_name"]: c["ground_truth"] for c in manifest["clips"]}
    rows = camera["value"]["rows"]
    crops = camera["value"]["crops"]
    clips = [{"video_name": r["Video Name"], "frames_dir": f["value"][side],
              "ground_truth": truth[r["Video Name"]]} for r, f in zip(rows, frames)]
    name = f"Camera{cam}_{side}"
    return _task(out, f"tracking-{name}", name, os.path.join(out, "tracking", name),
                 stages.track_pen, s, out, cam, side, clips, crops[side]["crop"],
                 crops[side]["pen_file"], plan["value"])


# ---- the client side ---------------------------------------------------------------


def _error_text(exc: BaseException) -> str:
    text = str(exc)
    if type(exc).__name__ == "KilledWorker":
        text = f"its worker died too often ({text})"
    return text or type(exc).__name__


def run_on(client, out: str, settings: Optional[Settings] = None, allow_skipped: bool = True,
           **overrides) -> dict:
    """Runs (or resumes) the main job in `out` on the cluster of the
    ``distributed.Client`` `client` and returns the summary (written as
    summary.json and summary.txt, the same as a one-process run makes).
    `out` must be on storage every worker sees at the same path. Arguments
    as for ``vexo_pipeline.run.run``; a pen whose chain failed has its clips
    marked skipped with the error, and the failures are listed under
    "chains_failed"."""
    from distributed import wait

    settings = job.resolve_settings(settings, overrides)
    out = os.path.abspath(out)
    rf.open_run_folder(out, settings)
    s = settings.as_dict()
    t_start = time.perf_counter()
    tag = f"{os.getpid()}-{time.time_ns()}"  # fresh keys: a rerun is not served old results

    def submit(fn, key, *args):
        return client.submit(fn, *args, key=f"{key}-{tag}", pure=False)

    cameras, chains = [], []
    for i in range(settings.cameras):
        cam = stages.camera_name(i)
        rec = submit(_recording, f"recording-Camera{cam}", s, out, i)
        plan = submit(_faults, f"faults-Camera{cam}", s, out, i, rec)
        camera = submit(_camera, f"crop-Camera{cam}", s, out, rec)
        frames = [submit(_frames, f"frames-Camera{cam}-{k}", s, out, cam, k, camera)
                  for k in range(settings.clips)]
        cameras.append((cam, rec, plan, camera, frames))
        for side in settings.pens:
            chains.append((cam, side, submit(_track, f"tracking-Camera{cam}_{side}", s, out, rec,
                                             plan, camera, side, *frames)))
    everything = [f for c in cameras for f in (c[1], c[2], c[3], *c[4])] + [c[2] for c in chains]
    log(f"{len(everything)} tasks submitted to {client.scheduler.address}")
    wait(everything)

    clip_results: List[dict] = []
    tracking_seconds: Dict[str, float] = {}
    failed: List[dict] = []
    for cam, side, fut in chains:
        try:
            res = fut.result()
        except Exception as e:
            error = _error_text(e)
            log(f"Camera{cam}_{side}: chain failed: {error}")
            failed.append({"chain": f"Camera{cam}_{side}", "error": error})
            clip_results += _failed_clips(cam, side, settings, cameras, error)
            continue
        for k, v in res["value"]["stage_seconds"].items():
            tracking_seconds[k] = tracking_seconds.get(k, 0.0) + v
        clip_results += res["value"]["clips"]

    times = _task_times(everything)
    rf.write_json(os.path.join(out, LOGS, "tasks.json"), times)
    stage_seconds: Dict[str, float] = {}
    for t in times:
        stage_seconds[_STAGE_NAMES[t["kind"]]] = stage_seconds.get(
            _STAGE_NAMES[t["kind"]], 0.0) + t["seconds"]
    for t in times:
        log(f"{t['task']}: {'done' if t['built'] else 'reused'} in {t['seconds']:.2f} s")
    extra = {"chains_failed": failed} if failed else None
    return job.finish(out, settings, clip_results, stage_seconds, tracking_seconds,
                      time.perf_counter() - t_start, allow_skipped, extra)


_STAGE_NAMES = {"recording": "generate recording", "faults": "fault planning",
                "crop": "crop region", "frames": "frame extraction", "tracking": "tracking"}


def _task_times(futures) -> List[dict]:
    times = []
    for f in futures:
        if f.status != "finished":
            continue
        r = f.result()
        times.append({"task": r["task"], "kind": r["task"].split("-", 1)[0],
                      "seconds": round(r["seconds"], 3), "built": r["built"], "pid": r["pid"]})
    return times


def _failed_clips(cam: str, side: str, settings: Settings, cameras, error: str) -> List[dict]:
    """Skipped entries for the clips of a pen whose chain failed, named from
    the catalogue when it was made, else numbered."""
    names = [f"clip {k + 1}" for k in range(settings.clips)]
    for c, _rec, _plan, camera, _frames in cameras:
        if c == cam and camera.status == "finished":
            names = [r["Video Name"] for r in camera.result()["value"]["rows"]]
    return [{"clip": n, "camera": cam, "pen": side, "frames": 0, "planted": [],
             "skipped": f"chain failed: {error}"} for n in names]


def connect(scheduler: str, timeout: float = CONNECT_TIMEOUT):
    """A client of the scheduler at `scheduler`; RuntimeError naming the
    address when it cannot be reached within `timeout` seconds."""
    from distributed import Client

    try:
        return Client(scheduler, timeout=timeout)
    except (OSError, TimeoutError, ValueError) as e:
        raise RuntimeError(f"cannot reach the scheduler at {scheduler!r} within {timeout:g} s "
                           f"({type(e).__name__}: {e})") from e


@contextlib.contextmanager
def local_cluster(workers: int):
    """A client of a cluster of `workers` worker processes on this machine,
    one thread each, closed on exit."""
    from distributed import Client, LocalCluster

    if not 1 <= workers <= 256:
        raise ValueError("workers must be from 1 to 256")
    cluster = LocalCluster(n_workers=workers, threads_per_worker=1, processes=True,
                           dashboard_address=None, silence_logs=logging.ERROR)
    try:
        with Client(cluster) as client:
            yield client
    finally:
        cluster.close()


def run_cli(out: str, settings: Settings, workers: Optional[int] = None,
            scheduler: Optional[str] = None) -> dict:
    """The command line's way in: a local cluster of `workers` processes or
    the cluster at `scheduler`."""
    if workers is not None and scheduler is not None:
        raise ValueError("give either --workers or --scheduler, not both")
    if workers is not None:
        with local_cluster(workers) as client:
            return run_on(client, out, settings)
    client = connect(scheduler)
    try:
        return run_on(client, out, settings)
    finally:
        client.close()
