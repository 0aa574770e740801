"""Table-driven hostile-input sweep.

Each test_hostile_<subsystem>.py module defines ``operations(fx)``, a list of
``Op`` entries: an operation, one set of valid arguments, and for each
parameter a list of bad values. Every (operation, parameter, bad value) triple
is one case: the valid call with that one argument replaced.

The cases of a module run in a child interpreter, so a crash (segfault,
abort) or a hang costs one case instead of the whole pytest run: the parent
restarts the child after the case that killed it and reports it. The child
runs under an address-space limit, so an attempt to allocate an absurd amount
of memory fails (and is reported) instead of taking the machine down.

A case passes when the call either returns normally (allowed only where the
table says the value may be accepted) or raises one of the expected exception
types with a message that names the problem in plain words: no C++ type
names, library-internal exception texts or empty messages.

Run one module by hand:
    python tests/python/_hostile.py tests/python/test_hostile_core.py
"""

from __future__ import annotations

import importlib.util
import json
import os
import re
import subprocess
import sys
import tempfile
import time
from dataclasses import dataclass, field
from typing import Any, Callable, Dict, List, Optional, Sequence, Tuple

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))

# Exceptions a bad argument may raise. Model-object parameters also allow
# AttributeError (a missing method), as calling the object directly would.
CLEAR = ("TypeError", "ValueError", "KeyError", "IndexError", "OSError", "FileNotFoundError",
         "IsADirectoryError", "NotADirectoryError", "PermissionError", "UnicodeDecodeError",
         "JSONDecodeError", "EmptyDataError", "ParserError", "ZeroDivisionError", "LinAlgError")

# Texts that show an internal failure rather than a message for the caller.
LEAKS = re.compile(
    r"std::|basic_string|bad_alloc|bad_array_new_length|vector::|json\.exception|"
    r"Unable to cast|unable to convert|terminate called|nlohmann|pybind11|"
    r"cv::Mat|_InputArray|error: \(-\d+|Assertion failed|NULL result without error|"
    r"returned a result with an exception set|bad_optional_access|stoi|stod|stoll",
    re.IGNORECASE)

# Under the address sanitizer everything runs several times slower (calls
# into torch up to 40x): a slow case there means a hang, not a slow path.
UNDER_ASAN = "asan" in os.environ.get("LD_PRELOAD", "")
SLOW_CASE_SECONDS = 60.0 if UNDER_ASAN else 10.0


@dataclass
class Bad:
    """One bad value: a label, a factory (called fresh for every case) and
    whether the operation must raise ("raise") or may also accept it ("any")."""

    label: str
    make: Callable[[], Any]
    expect: str = "raise"
    allow: Tuple[str, ...] = ()


@dataclass
class Op:
    name: str
    call: Callable[..., Any]
    good: Dict[str, Callable[[], Any]]
    bad: Dict[str, Sequence[Bad]]
    allow: Tuple[str, ...] = ()  # extra exception types for every case of this op
    positional: bool = False  # call with positional arguments (methods with self bound)
    # Post-check after every case: (arguments, result) -> problem text or None.
    after: Optional[Callable[[Dict[str, Any], Dict[str, Any]], Optional[str]]] = None
    # Runs before every case: arguments -> state handed to `after` as args["_before"].
    before: Optional[Callable[[Dict[str, Any]], Any]] = None


@dataclass
class Case:
    op: Op
    param: Optional[str]
    bad: Optional[Bad]

    @property
    def id(self) -> str:
        if self.param is None:
            return f"{self.op.name}[valid]"
        return f"{self.op.name}[{self.param}={self.bad.label}]"


def expand(ops: Sequence[Op]) -> List[Case]:
    cases: List[Case] = []
    for op in ops:
        cases.append(Case(op, None, None))
        for param, bads in op.bad.items():
            assert param in op.good, f"{op.name}: unknown parameter {param}"
            for b in bads:
                cases.append(Case(op, param, b))
    ids = [c.id for c in cases]
    dup = {i for i in ids if ids.count(i) > 1}
    assert not dup, f"duplicate case ids: {sorted(dup)}"
    return cases


# ------------------------------------------------------------------ bad values

def _noncontig(a):
    big = np.zeros(tuple(2 * s for s in a.shape), a.dtype)
    big[tuple(slice(None, None, 2) for _ in a.shape)] = a
    return big[tuple(slice(None, None, 2) for _ in a.shape)]


def huge_view(shape, dtype=np.uint8):
    """A read-only array of an enormous shape that occupies one element."""
    return np.lib.stride_tricks.as_strided(np.zeros(1, dtype), shape=shape,
                                           strides=(0,) * len(shape))


class _Opaque:
    """An object of no useful kind."""

    def __repr__(self):
        return "<opaque>"


def scalar_bads(kind: str) -> List[Bad]:
    """Bad values for a scalar parameter of `kind` "int", "real" or "str"."""
    out = [Bad("None", lambda: None), Bad("object", _Opaque), Bad("list", lambda: [1, 2])]
    if kind in ("int", "real"):
        out += [Bad("str", lambda: "12")]
        out += [Bad("nan", lambda: float("nan"), "any" if kind == "real" else "raise"),
                Bad("inf", lambda: float("inf"), "any" if kind == "real" else "raise")]
    if kind == "int":
        out += [Bad("float", lambda: 2.5), Bad("huge_int", lambda: 10 ** 30)]
    if kind == "str":
        out += [Bad("int", lambda: 7), Bad("bytes", lambda: b"x"),
                Bad("lone_surrogate", lambda: "a\ud800b")]
    return out


def path_bads(fx, kind: str = "json") -> List[Bad]:
    """Bad values for a path parameter naming a file to read."""
    out = scalar_bads("str") + [
        Bad("missing", lambda: os.path.join(fx.root, "does", "not", "exist." + kind)),
        Bad("directory", lambda: fx.root),
        Bad("nul_byte", lambda: fx.file("x.json", "{}") + "\0.png"),
        Bad("empty_file", lambda: fx.file(f"empty.{kind}", "")),
        Bad("binary", lambda: fx.file(f"binary.{kind}", b"\x00\xff\xfe\x89PNG\x00" * 40)),
    ]
    return out


def json_bads(fx, docs: Dict[str, Any]) -> List[Bad]:
    """Bad JSON files: malformed text plus well-formed documents of the wrong shape
    (`docs`: label -> JSON value or raw text)."""
    out = path_bads(fx, "json") + [
        Bad("malformed", lambda: fx.file("malformed.json", '{"image_path": "a.png", ')),
        Bad("not_utf8", lambda: fx.file("latin1.json", b'{"image_path": "\xe9\xff"}')),
        Bad("deep_nesting", lambda: fx.file("deep.json", "[" * 100000 + "]" * 100000)),
        Bad("top_array", lambda: fx.file("array.json", "[1, 2, 3]")),
        Bad("top_null", lambda: fx.file("null.json", "null")),
    ]
    for label, doc in docs.items():
        text = doc if isinstance(doc, str) else json.dumps(doc)
        out.append(Bad(label, (lambda t=text, n=label: fx.file(f"{n}.json", t))))
    return out


def mask_bads(shape=(40, 50), accepts=("bool", "float64", "int8"), extra=()) -> List[Bad]:
    """Bad values for a 2-D mask parameter. Masks in `accepts` may be read."""
    h, w = shape

    def may(label):
        return "any" if label in accepts else "raise"

    base = np.zeros(shape, np.uint8)
    base[5:15, 5:20] = 1
    out = [
        Bad("None", lambda: None),
        Bad("str", lambda: "mask"),
        Bad("object", _Opaque),
        Bad("int64", lambda: base.astype(np.int64), may("int64")),
        Bad("float64", lambda: base.astype(np.float64), may("float64")),
        Bad("bool", lambda: base.astype(bool), may("bool")),
        Bad("int8", lambda: base.astype(np.int8), may("int8")),
        Bad("complex", lambda: base.astype(np.complex64)),
        Bad("object_dtype", lambda: base.astype(object)),
        Bad("str_dtype", lambda: np.full(shape, "a")),
        Bad("float16", lambda: base.astype(np.float16), may("float16")),
        Bad("big_endian_f8", lambda: base.astype(">f8"), may("float64")),
        Bad("1d", lambda: base.reshape(-1)),
        Bad("0d", lambda: np.array(1, np.uint8)),
        Bad("4d", lambda: base.reshape(1, 1, h, w)),
        Bad("3d_stack", lambda: np.stack([base, base])),
        Bad("empty", lambda: np.zeros((0, 0), np.uint8), "any"),
        Bad("empty_rows", lambda: np.zeros((0, w), np.uint8), "any"),
        Bad("noncontig", lambda: _noncontig(base), "any"),
        Bad("reversed", lambda: base[::-1, ::-1], "any"),
        Bad("fortran", lambda: np.asfortranarray(base), "any"),
        Bad("nan", lambda: np.where(base > 0, np.nan, 0.0)),
        Bad("inf", lambda: np.where(base > 0, np.inf, 0.0)),
        Bad("wrong_size", lambda: np.zeros((h + 3, w - 2), np.uint8)),
        Bad("huge_view", lambda: huge_view((1 << 20, 1 << 21)), allow=("MemoryError",)),
        Bad("ragged_list", lambda: [[1, 0], [1]]),
    ]
    for b in out:
        if b.label in accepts:
            b.expect = "any"
    return out + list(extra)


def image_bads(shape=(40, 50)) -> List[Bad]:
    """Bad values for an image parameter (PIL image or H x W x C uint8 array)."""
    h, w = shape
    img = np.zeros((h, w, 3), np.uint8)
    return [
        Bad("None", lambda: None),
        Bad("str", lambda: "image.png"),
        Bad("object", _Opaque),
        Bad("float64", lambda: img.astype(np.float64)),
        Bad("int64", lambda: img.astype(np.int64)),
        Bad("bool", lambda: img.astype(bool)),
        Bad("1d", lambda: img.reshape(-1)),
        Bad("4d", lambda: img.reshape(1, h, w, 3)),
        Bad("5_channels", lambda: np.zeros((h, w, 5), np.uint8)),
        Bad("0_channels", lambda: np.zeros((h, w, 0), np.uint8)),
        Bad("empty", lambda: np.zeros((0, 0, 3), np.uint8)),
        Bad("noncontig", lambda: _noncontig(img), "any"),
        Bad("wrong_size", lambda: np.zeros((h + 7, w + 1, 3), np.uint8)),
        Bad("huge_view", lambda: huge_view((1 << 20, 1 << 20, 3)), allow=("MemoryError",)),
    ]


def pil_mode(mode, shape=(40, 50)):
    from PIL import Image

    return Image.new(mode, (shape[1], shape[0]))


def inside(b: Bad, wrap: Callable[[Any], Any], prefix: str = "value_") -> Bad:
    """The bad value `b` placed inside a container built by `wrap`."""
    return Bad(prefix + b.label, lambda: wrap(b.make()), b.expect, b.allow)


def mask_dict_bads(shape=(40, 50), accepts=("bool", "float64", "int8")) -> List[Bad]:
    """Bad values for a {box key: mask} parameter."""
    m = np.zeros(shape, np.uint8)
    m[2:6, 2:6] = 1
    out = [Bad("None", lambda: None), Bad("list", lambda: [m]), Bad("str", lambda: "Box0"),
           Bad("object", _Opaque),
           Bad("int_keys", lambda: {0: m.copy(), 1: m.copy()}, "any"),
           Bad("mixed_shapes", lambda: {"Box0": m.copy(), "Box1": np.zeros((7, 9), np.uint8)}),
           Bad("empty", lambda: {}, "any")]
    for b in mask_bads(shape, accepts):
        if b.label in ("wrong_size",):
            continue
        out.append(inside(b, lambda v: {"Box0": m.copy(), "Box1": v}))
    return out


# ------------------------------------------------------------------ fixtures

class Fixtures:
    """Files made on demand under one temporary root."""

    def __init__(self, root: str):
        self.root = root
        self._cache: Dict[str, Any] = {}

    def file(self, name: str, content) -> str:
        path = os.path.join(self.root, name)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        mode = "wb" if isinstance(content, bytes) else "w"
        with open(path, mode) as f:
            f.write(content)
        return path

    def once(self, key: str, make: Callable[[], Any]):
        if key not in self._cache:
            self._cache[key] = make()
        return self._cache[key]


def snapshot(paths: Sequence[str]) -> Dict[str, Optional[bytes]]:
    out = {}
    for p in paths:
        try:
            with open(p, "rb") as f:
                out[p] = f.read()
        except (OSError, ValueError):  # missing, a folder, or not a valid path at all
            out[p] = None
    return out


def stray_temp_files(folder: str, known: Sequence[str]) -> List[str]:
    """Files in `folder` that were not there before (temporary leftovers)."""
    return sorted(set(os.listdir(folder)) - set(known))


# ------------------------------------------------------------------ child side

def _load(module_path: str):
    sys.path.insert(0, os.path.dirname(os.path.abspath(module_path)))
    name = os.path.splitext(os.path.basename(module_path))[0]
    loader_info = importlib.util.spec_from_file_location(name, module_path)
    mod = importlib.util.module_from_spec(loader_info)
    loader_info.loader.exec_module(mod)
    return mod


def _limit_memory():
    if UNDER_ASAN:
        return  # the sanitizer reserves a huge shadow address space
    import resource

    limit = 8 << 30
    resource.setrlimit(resource.RLIMIT_AS, (limit, limit))


def _describe(exc: BaseException) -> Dict[str, Any]:
    return {"outcome": "raise", "type": type(exc).__name__,
            "mro": [c.__name__ for c in type(exc).__mro__], "msg": str(exc)[:600]}


def _run_case(case: Case) -> Dict[str, Any]:
    try:
        kwargs = {k: make() for k, make in case.op.good.items()}
        if case.param is not None:
            kwargs[case.param] = case.bad.make()
    except Exception as exc:  # noqa: BLE001 - a broken table entry, reported as such
        return {"outcome": "fixture", "msg": f"{type(exc).__name__}: {exc}", "seconds": 0.0}
    state = case.op.before(kwargs) if case.op.before else None
    t0 = time.perf_counter()
    try:
        if case.op.positional:
            case.op.call(*kwargs.values())
        else:
            case.op.call(**kwargs)
        res = {"outcome": "ok"}
    except BaseException as exc:  # noqa: BLE001 - every kind is reported
        if isinstance(exc, (KeyboardInterrupt, SystemExit)):
            raise
        res = _describe(exc)
    res["seconds"] = time.perf_counter() - t0
    if case.op.after is not None:
        problem = case.op.after(dict(kwargs, _before=state), res)
        if problem:
            res["after"] = problem
    return res


def child_main(module_path: str, out_path: str, skip: int) -> None:
    _limit_memory()
    import io

    mod = _load(module_path)
    with tempfile.TemporaryDirectory(prefix="hostile_") as root:
        fx = Fixtures(root)
        cases = expand(mod.operations(fx))
        with open(out_path, "a") as out:
            for i, case in enumerate(cases):
                if i < skip:
                    continue
                out.write(json.dumps({"start": i, "id": case.id}) + "\n")
                out.flush()
                saved = sys.stdout
                sys.stdout = io.StringIO()  # the library's messages are not wanted here
                try:
                    res = _run_case(case)
                finally:
                    sys.stdout = saved
                res.update({"done": i, "id": case.id})
                out.write(json.dumps(res) + "\n")
                out.flush()


# ------------------------------------------------------------------ parent side

def run_module(module_path: str,
               timeout: float = 300.0 if UNDER_ASAN else 120.0) -> Dict[str, Dict[str, Any]]:
    """Runs every case of a module in child interpreters; returns id -> result."""
    results: Dict[str, Dict[str, Any]] = {}
    env = dict(os.environ)
    env.setdefault("MPLBACKEND", "Agg")
    env["PYTHONFAULTHANDLER"] = "1"
    if UNDER_ASAN:
        # Absurd allocations must fail as they do without the sanitizer
        # (MemoryError), not end the process.
        # No address-space limit is possible there, so single allocations
        # beyond 8 GiB are refused instead.
        env["ASAN_OPTIONS"] = (env.get("ASAN_OPTIONS", "") +
                               ":allocator_may_return_null=1:max_allocation_size_mb=8192")
    with tempfile.TemporaryDirectory(prefix="hostile_run_") as tmp:
        out_path = os.path.join(tmp, "results.jsonl")
        skip = 0
        while True:
            open(out_path, "w").close()
            t0 = time.time()
            try:
                proc = subprocess.run(
                    [sys.executable, os.path.abspath(__file__), "--child", module_path, out_path,
                     str(skip)], env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                    timeout=timeout)
                hung, rc, err = False, proc.returncode, proc.stderr.decode(errors="replace")
            except subprocess.TimeoutExpired as e:
                hung, rc, err = True, None, (e.stderr or b"").decode(errors="replace")
            last_start = None
            with open(out_path) as f:
                for line in f:
                    rec = json.loads(line)
                    if "start" in rec:
                        last_start = rec
                    else:
                        results[rec["id"]] = rec
                        last_start = None
            if not hung and rc == 0:
                return results
            if last_start is None:
                raise RuntimeError(f"sweep child failed outside any case (rc={rc}):\n{err[-3000:]}")
            results[last_start["id"]] = {
                "outcome": "hang" if hung else "crash", "rc": rc, "stderr": err[-2000:],
                "seconds": time.time() - t0}
            skip = last_start["start"] + 1


def problem(case: Case, res: Optional[Dict[str, Any]]) -> Optional[str]:
    """Why a case's result is not acceptable, or None."""
    if res is None:
        return "not run"
    if res["outcome"] == "fixture":
        return f"the case's arguments could not be made: {res['msg']}"
    if res["outcome"] in ("crash", "hang"):
        return f"{res['outcome']} (rc={res.get('rc')}): {res.get('stderr', '')[-800:]}"
    if res.get("after"):
        return res["after"]
    if res["seconds"] > SLOW_CASE_SECONDS:
        return f"took {res['seconds']:.1f} s"
    if case.param is None:
        if res["outcome"] != "ok":
            return f"valid call failed: {res['type']}: {res['msg']}"
        return None
    if res["outcome"] == "ok":
        return None if case.bad.expect == "any" else "accepted the bad value"
    allowed = set(CLEAR) | set(case.op.allow) | set(case.bad.allow)
    if not allowed.intersection(res["mro"]):
        return f"unclear exception type {res['type']}: {res['msg']}"
    msg = res["msg"].strip()
    if not msg and res["type"] != "KeyError":
        return f"{res['type']} without a message"
    if LEAKS.search(msg):
        return f"internal text in message: {res['type']}: {msg}"
    return None


def check_module(module_path: str, fx_root: Optional[str] = None) -> Tuple[int, List[str]]:
    """(number of cases, list of failure descriptions)."""
    mod = _load(module_path)
    with tempfile.TemporaryDirectory() as root:
        cases = expand(mod.operations(Fixtures(root)))
    results = run_module(module_path)
    failures = []
    for c in cases:
        p = problem(c, results.get(c.id))
        if p:
            failures.append(f"{c.id}: {p}")
    return len(cases), failures


if __name__ == "__main__":
    if len(sys.argv) > 1 and sys.argv[1] == "--child":
        child_main(sys.argv[2], sys.argv[3], int(sys.argv[4]))
    else:
        total = 0
        for path in sys.argv[1:]:
            n, fails = check_module(path)
            total += n
            print(f"{path}: {n} cases, {len(fails)} failures")
            for f in fails:
                print("  " + f)
        print(f"total cases: {total}")
