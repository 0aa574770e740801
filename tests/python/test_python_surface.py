"""The package's Python surface: signatures, stubs, docstring examples, records.

Independent oracles: the native module's own parameter lists (its pybind11
signature lines), the stub file parsed with ``ast``, Debian's mypy and jedi,
and the standard library's dataclass, pickle and copy machinery.
"""

import ast
import copy
import dataclasses
import doctest
import inspect
import os
import pickle
import re
import subprocess
import sys

import numpy as np
import pytest

import vexo_utils as vu
from vexo_utils import _native

PKG_DIR = os.path.dirname(vu.__file__)
STUB = os.path.join(PKG_DIR, "__init__.pyi")
ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))

CLASSES = ("VideoMetadata", "VideoProcessor", "Mask_Refinement")
CONTROL = ("console", "set_console", "progress", "set_progress", "threads", "set_threads")


def public_callables():
    """(label, python callable, native callable or None) for every operation,
    constructor and method."""
    out = []
    for name in vu.__all__:
        if name in CLASSES:
            cls, native = getattr(vu, name), getattr(_native, name)
            out.append((name, cls, native.__init__))
            for attr, fn in vars(cls).items():
                if callable(fn) and not attr.startswith("_"):
                    out.append((f"{name}.{attr}", fn, getattr(native, attr)))
        elif name not in CONTROL:
            out.append((name, getattr(vu, name), getattr(_native, name)))
    return out


def native_params(fn):
    """[(name, default text or None)] from a pybind11 signature line."""
    first = fn.__doc__.splitlines()[0]
    inner = re.match(r"\w+\((.*)\) -> .*$", first).group(1)
    out = []
    for part in re.split(r", (?=\w+: )", inner):
        name, _, rest = part.partition(": ")
        if name == "self":
            continue
        default = rest.split(" = ", 1)[1] if " = " in rest else None
        out.append((name, default))
    return out


def test_every_callable_has_the_native_parameters_and_defaults():
    items = public_callables()
    assert len(items) == 35 + 4 + 5  # 32 operations, 3 constructors, 4 + 5 methods
    for label, fn, native in items:
        sig = inspect.signature(fn)
        params = [p for p in sig.parameters.values() if p.name != "self"]
        assert all(p.kind is p.POSITIONAL_OR_KEYWORD for p in params), label
        got = [(p.name, None if p.default is p.empty else repr(p.default)) for p in params]
        want = native_params(native)
        # pybind11 writes the list default of Mask_Refinement as a list too.
        assert got == want, label
    # Misspelt keywords are named in the error.
    with pytest.raises(TypeError, match="'bx1'"):
        vu.calculate_iou(bx1=[0, 0, 1, 1], box2=[0, 0, 1, 1])
    with pytest.raises(TypeError, match="'res_dim'"):
        vu.VideoProcessor(res_dim=(None, 10))
    assert vu.__version__ == "0.1.0"


def _stub_tree():
    with open(STUB) as f:
        return ast.parse(f.read())


def _stub_params(fn_node):
    args = fn_node.args
    names = [a.arg for a in args.args if a.arg != "self"]
    n_defaults = len(args.defaults)
    with_default = set(names[len(names) - n_defaults:]) if n_defaults else set()
    return [(n, n in with_default) for n in names]


def _runtime_params(fn):
    return [(p.name, p.default is not p.empty)
            for p in inspect.signature(fn).parameters.values() if p.name != "self"]


def test_stubs_match_the_runtime_both_ways():
    tree = _stub_tree()
    funcs = {n.name: n for n in tree.body if isinstance(n, ast.FunctionDef)}
    classes = {n.name: n for n in tree.body if isinstance(n, ast.ClassDef)}
    stub_public = {n for n in list(funcs) + list(classes) if not n.startswith("_")}
    assert stub_public == set(vu.__all__)
    assert "__version__" in {t.id for n in tree.body if isinstance(n, ast.AnnAssign)
                             for t in [n.target]}
    for name, node in funcs.items():
        assert _stub_params(node) == _runtime_params(getattr(vu, name)), name
    for name, node in classes.items():
        if name.startswith("_"):
            continue
        cls = getattr(vu, name)
        methods = {m.name: m for m in node.body if isinstance(m, ast.FunctionDef)}
        runtime_methods = {a for a, v in vars(cls).items()
                           if callable(v) and not a.startswith("_")} | {"__init__"}
        assert set(methods) == runtime_methods, name
        for m, mnode in methods.items():
            assert _stub_params(mnode) == _runtime_params(getattr(cls, m)), f"{name}.{m}"
        attrs = [a.target.id for a in node.body if isinstance(a, ast.AnnAssign)]
        instance = cls(".", []) if name == "VideoMetadata" else cls()
        assert all(hasattr(instance, a) for a in attrs), name
        if dataclasses.is_dataclass(cls):
            assert attrs == [f.name for f in dataclasses.fields(cls)], name
    assert os.path.exists(os.path.join(PKG_DIR, "py.typed"))


MYPY_INI = """[mypy]
strict = True
cache_dir = {cache}
[mypy-pandas.*]
ignore_missing_imports = True
[mypy-PIL.*]
ignore_missing_imports = True
"""


def test_mypy_strict_accepts_the_typed_example_and_rejects_misuse(tmp_path):
    pytest.importorskip("mypy")
    ini = tmp_path / "mypy.ini"
    ini.write_text(MYPY_INI.format(cache=tmp_path / "cache"))
    bad = tmp_path / "misuse.py"
    bad.write_text("import vexo_utils as vu\n"
                   "x: str = vu.calculate_iou([0, 0, 1, 1], [0, 0, 1, 1])\n"
                   "vu.VideoProcessor(res_dim=None)\n"
                   "vu.Mask_Refinement().get_main_blob(None)\n")
    env = dict(os.environ, MYPYPATH=os.path.dirname(PKG_DIR))

    def run(path):
        return subprocess.run([sys.executable, "-m", "mypy", "--config-file", str(ini), str(path)],
                              capture_output=True, text=True, env=env, timeout=240)

    good = run(os.path.join(ROOT, "examples", "typed_usage.py"))
    assert good.returncode == 0, good.stdout + good.stderr
    wrong = run(bad)
    assert wrong.returncode == 1
    for line in (2, 3, 4):
        assert f"misuse.py:{line}: error" in wrong.stdout, wrong.stdout


def test_jedi_completes_keywords(tmp_path):
    jedi = pytest.importorskip("jedi")
    src = "import vexo_utils\nvexo_utils.VideoProcessor(res"
    names = [c.name for c in jedi.Script(src, path=str(tmp_path / "t.py")).complete(2, 29)]
    assert "resize_dim=" in names
    src = "import vexo_utils\nvexo_utils.matcher(laste_frame, frame_names, disp"
    line = src.splitlines()[1]
    names = [c.name for c in jedi.Script(src, path=str(tmp_path / "t.py")).complete(2, len(line))]
    assert "display_func=" in names


def test_docstring_examples_run(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    monkeypatch.setenv("TMPDIR", str(tmp_path))
    import tempfile
    monkeypatch.setattr(tempfile, "tempdir", str(tmp_path))
    finder = doctest.DocTestFinder()
    runner = doctest.DocTestRunner(optionflags=doctest.ELLIPSIS | doctest.NORMALIZE_WHITESPACE)
    tests = [t for t in finder.find(vu, "vexo_utils") if t.examples]
    documented = {t.name.split(".")[1] for t in tests if t.name.count(".") >= 1}
    # Every operation, class and control function carries an example.
    assert set(vu.__all__) <= documented, set(vu.__all__) - documented
    for t in tests:
        runner.run(t)
    assert runner.failures == 0, f"{runner.failures} failing examples (see the output above)"


# ---------------------------------------------------------------- records


def test_records_behave_as_dataclasses(tmp_path):
    meta = vu.VideoMetadata("root", ["a", "b"], top_n=4)
    proc = vu.VideoProcessor(resize_dim=(None, 64), camera_crop_coords={"61": (1, 2, 3, 4)})
    for rec, first in ((meta, "base_dir"), (proc, "resize_dim")):
        fields = [f.name for f in dataclasses.fields(rec)]
        assert fields[0] == first and list(type(rec).__match_args__) == fields
        assert repr(rec).startswith(type(rec).__name__ + "(" + first + "=")
        assert pickle.loads(pickle.dumps(rec)) == rec
        deep = copy.deepcopy(rec)
        assert deep == rec and deep is not rec
        assert dataclasses.asdict(rec) == {f: getattr(rec, f) for f in fields}
        assert type(rec).__hash__ is None
    assert dataclasses.replace(meta, top_n=1) == vu.VideoMetadata("root", ["a", "b"], top_n=1)
    assert dataclasses.replace(meta, top_n=1) != meta
    assert copy.deepcopy(proc).camera_crop_coords is not proc.camera_crop_coords
    # Defaults: a fresh cache per record, explicit None as omission.
    a, b = vu.VideoProcessor(), vu.VideoProcessor(camera_crop_coords=None)
    assert a.camera_crop_coords == {} and a.camera_crop_coords is not b.camera_crop_coords
    assert vu.VideoMetadata("r", []).match_pattern == r"Camera(\d+)_(\d+)_([\d]{8})([\d]{6})\.mp4"
    # Methods read the fields at call time; a cache set to None is rejected.
    frame = np.zeros((30, 40, 3), np.uint8)
    frame[:, 10:14] = (0, 140, 255)
    assert proc.find_orange_region(frame) == (10, 0, 14, 30)
    proc.camera_crop_coords = None
    with pytest.raises(TypeError, match="camera_crop_coords"):
        proc.crop_video_to_frames(str(tmp_path / "none.mp4"), str(tmp_path / "out"))


def test_crop_cache_is_filled_in_place(tmp_path):
    from vexo_pipeline import synth

    synth.generate_recording(str(tmp_path), clips=1, seconds=1, fps=5)
    clip = vu.list_all_files(str(tmp_path), ".mp4")[0]
    cache = {}
    proc = vu.VideoProcessor(time_step=1, camera_crop_coords=cache)
    with vu.console(None):
        proc.crop_video_to_frames(clip, str(tmp_path / "w"), 0, 0.01, "61")
    assert cache is proc.camera_crop_coords and list(cache) == ["61"]
    assert cache["61"] == synth.crop_region("right")


def test_mask_refinement_repr_and_unknown_attributes():
    ref = vu.Mask_Refinement(0.5, [0.2, 0.4], 50, None)
    ref.prev_centroids[3] = (1.0, 2.0)
    assert repr(ref) == ("Mask_Refinement(min_area_ratio=0.5, max_distance_ratios=[0.2, 0.4], "
                         "max_prev_dist=50, custom_pen_json_path=None, "
                         "prev_centroids: 1 remembered)")
    with pytest.raises(AttributeError, match="'max_prev_dist'") as info:
        ref.max_prev_dist = 10
    assert info.value.name == "max_prev_dist"
    assert ref.MAX_PREV_DIST == 50
    ref.MAX_PREV_DIST = 10  # the real settings stay writable
    ref.prev_centroids = {}
    assert ref.MAX_PREV_DIST == 10 and repr(ref).endswith("0 remembered)")
    assert isinstance(ref, _native.Mask_Refinement)


# ---------------------------------------------------------------- console and progress


def _extract(tmp_path, name):
    """Frame extraction of a tiny generated clip into its own folder (two windows)."""
    from vexo_pipeline import synth

    rec = tmp_path / "rec"
    if not rec.exists():
        synth.generate_recording(str(rec), clips=1, seconds=2, fps=5)
    subs = sorted(p.name for p in rec.iterdir() if p.is_dir())
    df = vu.VideoMetadata(str(rec), subs, filter_start="00:00:00", filter_end="23:59:59",
                          sample_step=0).get_filtered_video_dataframe()
    out = tmp_path / name
    vu.VideoProcessor(resize_dim=(None, 64), time_step=1 / 60,
                      output_dir_base=str(out) + "/").process_videos_to_frames(df)
    return out


def test_console_targets_and_progress_leave_output_unchanged(tmp_path, capsys):
    import io
    import logging

    _extract(tmp_path, "plain")
    plain = capsys.readouterr()
    assert "Processing frame 0 (saved as 0000.jpg)" in plain.out
    # Progress bars go to stderr; stdout stays byte for byte the same.
    pytest.importorskip("tqdm")
    with vu.progress():
        _extract(tmp_path, "bars")
    bars = capsys.readouterr()
    assert bars.out == plain.out.replace(str(tmp_path / "plain"), str(tmp_path / "bars"))
    assert "frames" in bars.err and "windows" in bars.err
    assert vu.set_progress(False) is False

    buffer = io.StringIO()
    with vu.console(buffer):
        _extract(tmp_path, "buffer")
    assert capsys.readouterr().out == ""
    assert buffer.getvalue() == plain.out.replace(str(tmp_path / "plain"), str(tmp_path / "buffer"))

    records = []
    logger = logging.getLogger("vexo-test")
    handler = logging.Handler(logging.INFO)
    handler.emit = lambda r: records.append((r.levelno, r.getMessage()))
    logger.addHandler(handler)
    logger.setLevel(logging.INFO)
    previous = vu.set_console(logger)
    try:
        vu.find_best_laste_frame({}, max_attempts=0)
    finally:
        assert vu.set_console(previous) is logger
    assert records == [(logging.INFO, "No valid frame found with all masks area > 10 in the "
                                      "last 0 frames for 10 tracks.")]
    with vu.console(None):
        vu.find_best_laste_frame({}, max_attempts=0)
    assert capsys.readouterr().out == ""
    vu.find_best_laste_frame({}, max_attempts=0)
    assert capsys.readouterr().out.startswith("No valid frame")
    with pytest.raises(TypeError, match="console target"):
        vu.set_console(42)


def test_progress_hook_counts_what_the_loops_do(tmp_path):
    import json

    from vexo_pipeline import write_tracking_frame

    events = []
    _native._set_progress_hook(lambda task, done, total: events.append((task, done, total)))
    try:
        with vu.console(None):
            out = _extract(tmp_path, "frames")
            windows = sorted(out.glob("*/*/*min/right_cropped_frames"),
                             key=lambda p: float(p.parent.name.split("min")[0]))
            names = sorted(str(p) for p in windows[0].glob("*.jpg"))
            h, w = 40, 60
            pen = tmp_path / "pen.json"
            pen.write_text(json.dumps({"shapes": [{"points": [[0, 0], [w, 0], [w, h], [0, h]]}]}))
            a = np.zeros((1, h, w), bool)
            a[0, 5:20, 5:25] = True
            segments = {f: {1: a.copy(), 2: np.roll(a, 30, axis=2)} for f in range(len(names))}
            vu.Mask_Refinement(custom_pen_json_path=str(pen)).process_video_segments(
                segments, str(windows[0]), names)
            track = tmp_path / "track"
            for f, objs in segments.items():
                write_tracking_frame(str(track), f, names[f], objs)
            last, frames = vu.get_vexo_annotation_data("", save_dir_base=str(track))
            vu.generate_tracking_report(frames, str(track))
    finally:
        _native._set_progress_hook(None)

    def runs(task):
        """[(final total, [done, ...])] per run of `task`."""
        found = []
        for t, done, total in events:
            if t == task:
                if done == 0 or not found:
                    found.append([total, []])
                found[-1][0] = total
                found[-1][1].append(done)
        return found

    assert [t for t, _ in runs("clips")] == [1]
    assert [t for t, _ in runs("windows")] == [len(windows)] == [2]
    assert [t for t, _ in runs("frames")] == [len(list(p.glob("*.jpg"))) for p in windows]
    assert [t for t, _ in runs("catalogue")] == [1]
    assert [t for t, _ in runs("refinement")] == [2 * len(names)]
    assert [t for t, _ in runs("tracking files")] == [len(names)]
    assert [t for t, _ in runs("report")] == [len(names)]
    for task in ("clips", "windows", "frames", "catalogue", "refinement", "tracking files",
                 "report"):
        for total, seen in runs(task):
            assert seen[0] == 0 and seen == sorted(seen) and seen[-1] == total, task
    # Off again: nothing more is reported.
    count = len(events)
    with vu.console(None):
        vu.get_vexo_annotation_data("", save_dir_base=str(track))
    assert len(events) == count


def test_thread_limit_changes_no_result(tmp_path):
    """One thread or all cores: the same refined masks and clip reading."""
    import json

    h, w = 60, 90
    pen = tmp_path / "pen.json"
    pen.write_text(json.dumps({"shapes": [{"points": [[2, 2], [w - 3, 2], [w - 3, h - 3],
                                                      [2, h - 3]]}]}))
    rng = np.random.default_rng(1)
    clip = {f: {o: rng.random((1, h, w)) < 0.2 for o in range(1, 5)} for f in range(6)}
    outs = []
    for n in (1, None):
        with vu.console(None), vu.threads(n):
            segs = {f: {o: m.copy() for o, m in objs.items()} for f, objs in clip.items()}
            vu.Mask_Refinement(custom_pen_json_path=str(pen)).process_video_segments(
                segs, "", [str(f) for f in clip])
        outs.append(segs)
    assert all(np.array_equal(outs[0][f][o], outs[1][f][o]) for f in clip for o in clip[f])
    assert vu.set_threads(2) is None and vu.set_threads(None) == 2
    for bad, err in ((-1, ValueError), (1.5, TypeError), (True, TypeError)):
        with pytest.raises(err):
            vu.set_threads(bad)
