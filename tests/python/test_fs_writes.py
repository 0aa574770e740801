"""How the writing operations treat the file system: concurrent extraction
runs, write-protected files, modes, owners and links, kills mid-write,
leftovers, damaged clips, and the OSError subclasses of failures."""

import errno
import json
import os
import shutil
import signal
import stat
import subprocess
import sys
import tempfile
import textwrap
import time

import cv2
import numpy as np
import pandas as pd
import pytest
from PIL import Image

import vexo_utils as vu

NOBODY = 65534


def write_clip(path, n_frames, fps=10.0, size=(64, 32), noise=False):
    """A clip whose frames carry their index as grey level (or are noise,
    for large frame files)."""
    writer = cv2.VideoWriter(str(path), cv2.VideoWriter_fourcc(*"mp4v"), fps, size)
    assert writer.isOpened()
    rng = np.random.default_rng(1)
    for i in range(n_frames):
        if noise:
            writer.write(rng.integers(0, 256, (size[1], size[0], 3), np.uint8))
        else:
            writer.write(np.full((size[1], size[0], 3), (i * 7) % 256, np.uint8))
    writer.release()
    return str(path)


def catalogue(path, name="Camera61_1_20240131061500"):
    return pd.DataFrame({"Camera Number": ["61"], "Date": ["20240131"], "Time": ["06:15:00"],
                         "File Path": [path], "Video Name": [name]})


def run_python(code, *args, timeout=120):
    env = dict(os.environ)
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code), *map(str, args)],
                          env=env, capture_output=True, text=True, timeout=timeout)


def frames_below(base):
    out = {}
    for root, dirs, files in os.walk(base):
        if root.endswith("_cropped_frames"):
            out[os.path.relpath(root, base)] = sorted(files)
    return out


def hidden_below(base):
    return [os.path.join(r, n) for r, ds, fs in os.walk(base) for n in ds + fs
            if n.startswith(".")]


# ---------------------------------------------------------------- concurrent runs

CONCURRENT = """
import os, sys, time, pandas as pd, vexo_utils as vu
clip, base, me, rounds = sys.argv[1], sys.argv[2], sys.argv[3], int(sys.argv[4])
df = pd.DataFrame({"Camera Number": ["61"], "Date": ["20240131"], "Time": ["06:15:00"],
                   "File Path": [clip], "Video Name": ["Camera61_1_20240131061500"]})
sys.stdout = open(os.devnull, "w")
for r in range(rounds):
    # Both processes start each round together.
    open(f"{base}/ready_{r}_{me}", "w").close()
    while len([n for n in os.listdir(base) if n.startswith(f"ready_{r}_")]) < 2:
        time.sleep(0.001)
    vu.VideoProcessor(output_dir_base=f"{base}/r{r}", time_step=0.05,
                      crop=False).process_videos_to_frames(df)
"""


def test_two_processes_on_one_clip_lose_no_frame(tmp_path):
    clip = write_clip(tmp_path / "clip.mp4", 120)  # 12 s: four windows of 30 frames
    expect_dir = tmp_path / "expect"
    vu.VideoProcessor(output_dir_base=str(expect_dir), time_step=0.05,
                      crop=False).process_videos_to_frames(catalogue(clip))
    expected = frames_below(expect_dir)
    assert len(expected) == 4 and all(len(f) >= 29 for f in expected.values())

    rounds = 20
    base = tmp_path / "runs"
    base.mkdir()
    procs = [subprocess.Popen([sys.executable, "-c", CONCURRENT, clip, str(base), str(i),
                               str(rounds)], stderr=subprocess.PIPE, text=True)
             for i in range(2)]
    errs = [p.communicate(timeout=300)[1] for p in procs]
    assert [p.returncode for p in procs] == [0, 0], errs
    for r in range(rounds):
        got = frames_below(base / f"r{r}")
        assert got == expected, f"round {r}"
        assert hidden_below(base / f"r{r}") == [], f"round {r}"


# ---------------------------------------------------------------- permissions, modes, links


@pytest.fixture
def shared_dir():
    """A folder outside pytest's private tree, so a child that drops to an
    unprivileged user can reach it."""
    d = tempfile.mkdtemp(prefix="vexo_fs_")
    os.chmod(d, 0o777)
    yield d
    shutil.rmtree(d, ignore_errors=True)


def annotation_doc(folder):
    img = os.path.join(folder, "frame.png")
    Image.new("RGB", (40, 100)).save(img)
    return {"image_path": img, "detections": [
        {"object_id": 1, "formatted_polygon": ["0 0.1 0.2 0.3 0.04 0.2 0.2"],
         "xyxy": [[1, 2, 10, 20]]}]}


REPAIRED = "0 0.250000 0.080000 0.750000 0.016000 0.500000 0.080000"

UNPRIVILEGED = """
import errno, json, os, stat, sys, vexo_utils as vu
d = sys.argv[1]
os.setgid(65534); os.setgroups([]); os.setuid(65534)
out = {}
def attempt(name, fn, *args, **kw):
    try:
        fn(*args, **kw)
        out[name] = "ok"
    except OSError as e:
        out[name] = [type(e).__name__, e.errno, e.filename]
# 0444 file in a writable folder: refused, named, untouched.
attempt("ro_fix", vu.fix_polygon_scaling, f"{d}/ro.json")
attempt("ro_render", vu.retrieve_annotation, f"{d}/rw.json", save_path=f"{d}/ro.png")
# 0600 file: repaired, mode kept.
attempt("private_fix", vu.fix_polygon_scaling, f"{d}/private.json")
out["private_mode"] = oct(stat.S_IMODE(os.stat(f"{d}/private.json").st_mode))
# Through a link: the link stays, its target is repaired.
attempt("link_fix", vu.fix_polygon_scaling, f"{d}/link.json")
# A writable file in a read-only folder: the folder is named.
attempt("folder_fix", vu.fix_polygon_scaling, f"{d}/locked/f.json")
out["left"] = sorted(n for n in os.listdir(d) if n.startswith("."))
print(json.dumps(out))
"""


def test_write_protection_modes_and_links_as_unprivileged_user(shared_dir):
    if os.geteuid() != 0:
        pytest.skip("switching to an unprivileged user needs root")
    d = shared_dir
    doc = annotation_doc(d)
    os.chmod(doc["image_path"], 0o644)
    for name, mode in [("ro.json", 0o444), ("rw.json", 0o644), ("private.json", 0o600),
                       ("real.json", 0o644)]:
        with open(f"{d}/{name}", "w") as f:
            json.dump(doc, f)
        os.chown(f"{d}/{name}", NOBODY, NOBODY)
        os.chmod(f"{d}/{name}", mode)
    Image.new("RGB", (4, 4)).save(f"{d}/ro.png")
    os.chown(f"{d}/ro.png", NOBODY, NOBODY)
    os.chmod(f"{d}/ro.png", 0o444)
    os.symlink("real.json", f"{d}/link.json")
    os.lchown(f"{d}/link.json", NOBODY, NOBODY)
    os.mkdir(f"{d}/locked")
    with open(f"{d}/locked/f.json", "w") as f:
        json.dump(doc, f)
    os.chown(f"{d}/locked/f.json", NOBODY, NOBODY)
    os.chmod(f"{d}/locked", 0o555)
    ro_before = open(f"{d}/ro.json").read()
    png_before = open(f"{d}/ro.png", "rb").read()

    r = run_python(UNPRIVILEGED, d)
    assert r.returncode == 0, r.stderr
    out = json.loads(r.stdout.splitlines()[-1])
    assert out["ro_fix"] == ["PermissionError", errno.EACCES, f"{d}/ro.json"]
    assert out["ro_render"] == ["PermissionError", errno.EACCES, f"{d}/ro.png"]
    assert open(f"{d}/ro.json").read() == ro_before
    assert open(f"{d}/ro.png", "rb").read() == png_before
    assert out["private_fix"] == "ok" and out["private_mode"] == "0o600"
    assert out["link_fix"] == "ok"
    assert os.path.islink(f"{d}/link.json")
    with open(f"{d}/real.json") as f:
        assert json.load(f)["detections"][0]["formatted_polygon"] == [REPAIRED]
    assert out["folder_fix"] == ["PermissionError", errno.EACCES, f"{d}/locked"]
    assert out["left"] == []

    # As root, a repaired file keeps its owner and group as well.
    os.chmod(f"{d}/private.json", 0o640)
    vu.fix_polygon_scaling(f"{d}/private.json")
    st = os.stat(f"{d}/private.json")
    assert (st.st_uid, st.st_gid, stat.S_IMODE(st.st_mode)) == (NOBODY, NOBODY, 0o640)


# ---------------------------------------------------------------- kills and leftovers

CROP = """
import os, sys, vexo_utils as vu
sys.stdout = open(os.devnull, "w")
vu.VideoProcessor().crop_video_to_frames(sys.argv[1], sys.argv[2], 0, 1, None, False)
"""


def test_killed_extraction_leaves_no_cut_off_frame(tmp_path):
    clip = write_clip(tmp_path / "big.mp4", 300, size=(1280, 720))
    cut_off = 0
    for k in range(6):
        out = tmp_path / f"k{k}"
        p = subprocess.Popen([sys.executable, "-c", CROP, clip, str(out)])
        # Kill once some frames are written.
        deadline = time.time() + 60
        while time.time() < deadline and len(os.listdir(out) if out.exists() else []) < 3 + 4 * k:
            time.sleep(0.005)
        p.send_signal(signal.SIGKILL)
        p.wait()
        for name in os.listdir(out):
            if name.endswith(".jpg"):
                data = open(out / name, "rb").read()
                cut_off += not (data.endswith(b"\xff\xd9") and
                                cv2.imread(str(out / name)) is not None)
    assert cut_off == 0


def test_stale_temporaries_and_staging_are_removed(tmp_path):
    dead = subprocess.Popen([sys.executable, "-c", "pass"])
    dead.wait()  # its pid names temporaries of a writer that is gone
    doc = annotation_doc(str(tmp_path))
    target = tmp_path / "a.json"
    target.write_text(json.dumps(doc))
    stale = [tmp_path / f".a.json.tmp{dead.pid}_1", tmp_path / f".a.json.tmp{dead.pid}_22"]
    live = tmp_path / f".a.json.tmp{os.getpid()}_3"  # this process: never touched
    other = tmp_path / f".b.json.tmp{dead.pid}_4"    # another target
    for p in stale + [live, other]:
        p.write_bytes(b"x" * 1000)
    vu.fix_polygon_scaling(str(target))
    assert sorted(n for n in os.listdir(tmp_path) if n.startswith(".")) == sorted(
        [live.name, other.name])

    # Frames: a window folder with the temporary of a killed frame write, and
    # a window staged by a dead run; listings do not show either, and the
    # next run removes both.
    clip = write_clip(tmp_path / "c.mp4", 60)
    window = tmp_path / "out/20240131/Camera61_1_20240131061500/0min_to_0.05min"
    (window / ".right_cropped_frames.partial.99999999_1").mkdir(parents=True)
    (window / ".right_cropped_frames.partial.99999999_1/0000.jpg").write_bytes(b"\xff\xd8cut")
    (window / ".right_cropped_frames.lock").write_bytes(b"")
    assert vu.list_all_files(str(tmp_path / "out")) == []
    direct = tmp_path / "direct"
    direct.mkdir()
    (direct / f".0000.jpg.tmp{dead.pid}_5").write_bytes(b"\xff\xd8cut")
    assert vu.list_all_files(str(direct)) == []
    vu.VideoProcessor().crop_video_to_frames(clip, str(direct), 0, 0.05, None, False)
    assert sorted(os.listdir(direct)) == [f"{i:04d}.jpg" for i in range(30)]
    vu.VideoProcessor(output_dir_base=str(tmp_path / "out"), time_step=0.05,
                      crop=False).process_videos_to_frames(catalogue(clip))
    assert hidden_below(tmp_path / "out") == []
    vu.VideoProcessor(output_dir_base=str(tmp_path / "fresh"), time_step=0.05,
                      crop=False).process_videos_to_frames(catalogue(clip))
    assert frames_below(tmp_path / "out") == frames_below(tmp_path / "fresh")


# ---------------------------------------------------------------- damaged clips


def rewrite_timescales(path, divide):
    """Divides the time scale of the movie (mvhd) and of every track (mdhd)."""
    data = bytearray(open(path, "rb").read())
    for box in (b"mvhd", b"mdhd"):
        at = data.find(box)
        while at >= 0:
            version = data[at + 4]
            off = at + 4 + 4 + (16 if version == 1 else 8)
            scale = int.from_bytes(data[off:off + 4], "big")
            data[off:off + 4] = max(1, scale // divide).to_bytes(4, "big")
            at = data.find(box, at + 4)
    open(path, "wb").write(bytes(data))


def test_damaged_time_scale_skips_the_clip_quickly(tmp_path, capsys):
    clip = write_clip(tmp_path / "Camera61_1_20240131061500.mp4", 20, fps=1.0)
    rewrite_timescales(clip, 1024)
    fps = cv2.VideoCapture(clip).get(cv2.CAP_PROP_FPS)
    assert 0 < fps < 1
    t0 = time.perf_counter()
    vu.VideoProcessor(output_dir_base=str(tmp_path / "out"),
                      crop=False).process_videos_to_frames(catalogue(clip))
    assert time.perf_counter() - t0 < 5
    out = capsys.readouterr().out.splitlines()
    assert out[-1].startswith(f"Error: Video {clip} has a frame rate of ")
    assert "Skipping it." in out[-1]
    assert not (tmp_path / "out").exists()
    vu.VideoProcessor().crop_video_to_frames(clip, str(tmp_path / "one"), 0, 1, None, False)
    assert capsys.readouterr().out.startswith("Error: Could not use the frame rate")
    assert os.listdir(tmp_path / "one") == []


# ---------------------------------------------------------------- errors that say why


def test_errors_are_os_error_subclasses_with_errno_and_path(tmp_path):
    clip = write_clip(tmp_path / "c.mp4", 30)
    in_the_way = tmp_path / "base"
    in_the_way.write_text("a file")
    with pytest.raises(NotADirectoryError) as e:
        vu.VideoProcessor(output_dir_base=str(in_the_way), time_step=0.05,
                          crop=False).process_videos_to_frames(catalogue(clip))
    assert (e.value.errno, e.value.filename) == (errno.ENOTDIR, str(in_the_way))
    assert ".partial" not in str(e.value)
    (tmp_path / "b2").mkdir()
    (tmp_path / "b2/20240131").write_text("a file")
    with pytest.raises(NotADirectoryError) as e:
        vu.VideoProcessor(output_dir_base=str(tmp_path / "b2"), time_step=0.05,
                          crop=False).process_videos_to_frames(catalogue(clip))
    assert e.value.filename == str(tmp_path / "b2/20240131")
    (tmp_path / "j.json").write_text(json.dumps(annotation_doc(str(tmp_path))))
    with pytest.raises(IsADirectoryError) as e:
        vu.fix_polygon_scaling(str(tmp_path / "j.json"), str(tmp_path))
    assert e.value.errno == errno.EISDIR
    with pytest.raises(FileNotFoundError) as e:
        vu.fix_polygon_scaling(str(tmp_path / "missing.json"))
    assert e.value.errno == errno.ENOENT


@pytest.fixture
def tiny_tmpfs():
    if os.geteuid() != 0:
        pytest.skip("mounting a tmpfs needs root")
    d = tempfile.mkdtemp(prefix="vexo_full_")
    r = subprocess.run(["mount", "-t", "tmpfs", "-o", "size=3m", "tmpfs", d],
                       capture_output=True)
    if r.returncode != 0:
        os.rmdir(d)
        pytest.skip("cannot mount a tmpfs here: " + r.stderr.decode(errors="replace").strip())
    yield d
    subprocess.run(["umount", d])
    os.rmdir(d)


def test_full_disk_is_no_space_left(tiny_tmpfs, tmp_path):
    clip = write_clip(tmp_path / "noise.mp4", 100, size=(320, 240), noise=True)
    with pytest.raises(OSError) as e:
        vu.VideoProcessor(output_dir_base=tiny_tmpfs, time_step=1,
                          crop=False).process_videos_to_frames(catalogue(clip))
    assert e.value.errno == errno.ENOSPC
    assert "No space left on device" in str(e.value)
    assert e.value.filename.endswith(".jpg") and ".partial" not in e.value.filename
    # Nothing half-made stays behind, and a small rewrite still works.
    assert hidden_below(tiny_tmpfs) == []
    doc = annotation_doc(tiny_tmpfs)
    with open(f"{tiny_tmpfs}/a.json", "w") as f:
        json.dump(doc, f)
    with open(f"{tiny_tmpfs}/fill", "wb", buffering=0) as f:
        try:
            while True:
                f.write(b"\0" * 65536)
        except OSError:
            pass
    before = open(f"{tiny_tmpfs}/a.json").read()
    with pytest.raises(OSError) as e:
        vu.fix_polygon_scaling(f"{tiny_tmpfs}/a.json")
    assert (e.value.errno, e.value.filename) == (errno.ENOSPC, f"{tiny_tmpfs}/a.json")
    assert open(f"{tiny_tmpfs}/a.json").read() == before
    assert [n for n in os.listdir(tiny_tmpfs) if n.startswith(".")] == []
