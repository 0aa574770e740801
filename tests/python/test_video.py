"""Clip catalogue, file listing, and windowed frame extraction on small generated clips."""

import _thread
import os
import sys

import cv2
import numpy as np
import pandas as pd
import pytest

import vexo_utils as vu

COLUMNS = ["Camera Number", "Date", "Time", "File Path", "Video Name"]

# ---------------------------------------------------------------- clips

W, H = 320, 128
MARKER = (200, 216)  # orange bar columns: region left 120..155, right 150..end


def write_clip(path, n_frames, fps=1.0, size=(W, H), marker=MARKER):
    """Each frame carries its index in eight horizontal bands (bit b in rows
    16b..16b+15, bright when set), so any column crop still tells which source
    frame a saved image holds."""
    w, h = size
    writer = cv2.VideoWriter(str(path), cv2.VideoWriter_fourcc(*"mp4v"), fps, (w, h))
    assert writer.isOpened()
    for i in range(n_frames):
        frame = np.full((h, w, 3), 40, np.uint8)
        for b in range(min(8, h // 16)):
            if (i >> b) & 1:
                frame[16 * b:16 * b + 16] = 200
        if marker:
            frame[:, marker[0]:marker[1]] = (0, 140, 255)
        writer.write(frame)
    writer.release()
    return str(path)


def frame_index(jpg_path):
    img = cv2.imread(jpg_path, cv2.IMREAD_GRAYSCALE)
    col = img[:, 2].astype(float)  # a column away from the marker
    return sum(1 << b for b in range(8) if col[16 * b + 4:16 * b + 12].mean() > 120)


@pytest.fixture(scope="module")
def clips(tmp_path_factory):
    d = tmp_path_factory.mktemp("clips")
    return {
        # 24 frames at 1 fps: 0.4 minutes, windows of 6 frames
        "short": write_clip(d / "Camera61_1_20240131061500.mp4", 24),
        "plain": write_clip(d / "plain.mp4", 8, marker=None),
        # default window 10..12 minutes at 1 fps: frames 600..720
        "long": write_clip(d / "long.mp4", 730, size=(256, 16), marker=(200, 216)),
        "ntsc": write_clip(d / "ntsc.mp4", 200, fps=29.97, size=(256, 16), marker=(200, 216)),
    }


def catalogue(path, name="Camera61_1_20240131061500", cam="61", date="20240131"):
    return pd.DataFrame({"Camera Number": [cam], "Date": [date], "Time": ["06:15:00"],
                         "File Path": [path], "Video Name": [name]})


def saved_files(folder):
    return sorted(os.listdir(folder))


# ---------------------------------------------------------------- catalogue


def touch(path):
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_bytes(b"")


def test_catalogue_names_times_and_labels(tmp_path, capsys):
    for name in ["Camera61_1_20240131060000.mp4",        # start bound is exclusive
                 "Camera61_1_20240131060001.mp4",
                 "Camera62_7_20240201165959.mp4",
                 "Camera61_1_20240131170000.mp4",        # end bound is exclusive
                 "Camera61_1_20240131061500.mp4.bak",    # does not end with .mp4
                 "xCamera61_1_20240131061500.mp4",       # pattern must match at the start
                 "Camera061_1_20240131120000.mp4_copy.mp4",  # name may go on after the match
                 "notes.txt"]:
        touch(tmp_path / "day1" / name)
    meta = vu.VideoMetadata(str(tmp_path), ["day1", "missing"], sample_step=0)
    df = meta.get_filtered_video_dataframe()
    assert list(df.columns) == COLUMNS

    # Expected rows follow the folder's own listing order, not sorted.
    matched = [n for n in os.listdir(tmp_path / "day1")
               if n.endswith(".mp4") and n.startswith("Camera")]
    times = {"Camera61_1_20240131060001.mp4": "06:00:01",
             "Camera62_7_20240201165959.mp4": "16:59:59",
             "Camera061_1_20240131120000.mp4_copy.mp4": "12:00:00"}
    expect = [(i, n) for i, n in enumerate(matched) if n in times]
    assert list(df.index) == [i for i, _ in expect]
    assert list(df["Video Name"]) == [n[:-4] for _, n in expect]
    assert list(df["Time"]) == [times[n] for _, n in expect]
    assert list(df["File Path"]) == [os.path.join(str(tmp_path), "day1", n) for _, n in expect]
    row = df[df["Video Name"] == "Camera061_1_20240131120000.mp4_copy"].iloc[0]
    assert (row["Camera Number"], row["Date"]) == ("061", "20240131")
    assert capsys.readouterr().out == repr(list(df["File Path"])) + "\n"


def test_catalogue_sampling_camera_filter_and_limit(tmp_path, capsys):
    # One clip per sub-folder fixes the collection order; cameras interleave.
    subs = []
    for i in range(9):
        cam = 61 if i % 2 == 0 else 62
        sub = f"s{i}"
        touch(tmp_path / sub / f"Camera{cam}_1_20240131{7 + i:02d}0000.mp4")
        subs.append(sub)

    def cams_and_labels(**kw):
        df = vu.VideoMetadata(str(tmp_path), subs, **kw).get_filtered_video_dataframe()
        return list(zip(df.index, df["Camera Number"]))

    # Time filter drops 15:00 (filter_end 14:30) -> 8 rows; every third of them.
    assert cams_and_labels(filter_end="14:30:00") == [(0, "61"), (3, "62"), (6, "61")]
    # Sampling runs across all cameras before the camera filter.
    assert cams_and_labels(filter_end="14:30:00", camera_number="61") == [(0, "61"), (6, "61")]
    assert cams_and_labels(sample_step=2, camera_number="62") == []
    assert cams_and_labels(sample_step=-4) == [(8, "61"), (4, "61"), (0, "61")]
    assert [l for l, _ in cams_and_labels(sample_step=0, top_n=0)] == list(range(9))
    assert [l for l, _ in cams_and_labels(sample_step=0, top_n=-1)] == list(range(9))
    assert cams_and_labels(sample_step=0, top_n=2, camera_number="62") == [(1, "62"), (3, "62")]
    capsys.readouterr()

    empty = vu.VideoMetadata(str(tmp_path), subs, filter_start="23:00:00")
    df = empty.get_filtered_video_dataframe()
    assert list(df.columns) == COLUMNS and len(df) == 0
    assert capsys.readouterr().out == "[]\n"


def test_catalogue_bad_settings(tmp_path):
    touch(tmp_path / "afile")
    with pytest.raises(OSError):
        vu.VideoMetadata(str(tmp_path), ["afile"]).get_filtered_video_dataframe()
    with pytest.raises(TypeError):
        vu.VideoMetadata(str(tmp_path), "day1").get_filtered_video_dataframe()
    with pytest.raises(ValueError):
        vu.VideoMetadata(str(tmp_path), [], match_pattern="Camera(").get_filtered_video_dataframe()
    with pytest.raises(TypeError):
        vu.VideoMetadata(str(tmp_path), [], camera_number=61).get_filtered_video_dataframe()
    touch(tmp_path / "d" / "Camera61_1_20240131080000.mp4")
    with pytest.raises(IndexError):
        vu.VideoMetadata(str(tmp_path), ["d"], match_pattern=r"Camera(\d+)").get_filtered_video_dataframe()


def test_list_all_files_order_filter_and_links(tmp_path):
    for rel in ["b.jpg", "a.jpg", "sub/c.jpg", "sub/z/d.jpg", "a2/e.png", "x.JPG"]:
        touch(tmp_path / "root" / rel)
    os.symlink(tmp_path / "root" / "sub", tmp_path / "root" / "linked")
    root = str(tmp_path / "root")
    j = os.path.join
    assert vu.list_all_files(root, ".jpg") == [j(root, "a.jpg"), j(root, "b.jpg"), j(root, "sub", "c.jpg"),
                                               j(root, "sub", "z", "d.jpg")]
    assert vu.list_all_files(directory=root) == [
        j(root, "a.jpg"), j(root, "b.jpg"), j(root, "x.JPG"), j(root, "a2", "e.png"),
        j(root, "sub", "c.jpg"), j(root, "sub", "z", "d.jpg")]
    assert vu.list_all_files(str(tmp_path / "nope")) == []
    assert vu.list_all_files(j(root, "a.jpg")) == []


# ---------------------------------------------------------------- duration, marker


def test_video_duration(clips, capsys):
    p = vu.VideoProcessor()
    assert p.get_video_duration(clips["short"]) == 0.4
    assert capsys.readouterr().out == (
        "Video FPS: 1.0\nTotal frames: 24.0\nVideo duration: 24.00 seconds\n")
    missing = os.path.join(os.path.dirname(clips["short"]), "missing.mp4")
    r = p.get_video_duration(video_path=missing)
    assert r == 0 and type(r) is int
    assert capsys.readouterr().out == f"Error: Could not open video {missing}\n"


def test_find_orange_region_blob_choice():
    p = vu.VideoProcessor()
    orange = (0, 140, 255)
    frame = np.zeros((200, 400, 3), np.uint8)
    assert p.find_orange_region(frame) is None
    frame[10:110, 20:80] = orange      # largest, left
    frame[50:70, 300:310] = orange     # second largest, right: the marker
    assert p.find_orange_region(frame) == (300, 50, 310, 70)
    frame[0:5, 390:395] = orange       # third and rightmost: does not compete
    assert p.find_orange_region(frame) == (300, 50, 310, 70)
    # Hue just outside the orange band is ignored.
    frame2 = np.zeros((50, 50, 3), np.uint8)
    frame2[:] = cv2.cvtColor(np.uint8([[[26, 200, 200]]]), cv2.COLOR_HSV2BGR)[0, 0]
    assert p.find_orange_region(frame2) is None
    wide = np.zeros((200, 800, 3), np.uint8)
    wide[:, ::2] = frame
    assert p.find_orange_region(wide[:, ::2]) == (300, 50, 310, 70)  # a strided view
    for bad in (None, frame[:, :, 0], frame.astype(np.float32), [[1, 2, 3]]):
        with pytest.raises((TypeError, ValueError)):
            p.find_orange_region(bad)


# ---------------------------------------------------------------- frame extraction


def test_windows_folders_frames_and_cache(clips, tmp_path, capsys):
    base = str(tmp_path / "out") + "/"
    p = vu.VideoProcessor(output_dir_base=base, left_crop=True)
    p.process_videos_to_frames(catalogue(clips["short"]))
    out = capsys.readouterr().out.splitlines()
    root = base + "/20240131/Camera61_1_20240131061500/"
    windows = ["0min_to_0.1min", "0.1min_to_0.2min", "0.2min_to_0.30000000000000004min",
               "0.30000000000000004min_to_0.4min"]
    assert sorted(os.listdir(root)) == sorted(windows)
    for k, w in enumerate(windows):
        folder = root + w + "/left_cropped_frames"
        files = saved_files(folder)
        # Six frame labels per window; the last window runs out of clip.
        assert files == [f"{i:04d}.jpg" for i in range(6 if k < 3 else 5)]
        # Label n holds source frame n + 1: the window's first frame is read
        # for the crop region and not saved.
        assert [frame_index(os.path.join(folder, f)) for f in files] == [
            6 * k + 1 + i for i in range(len(files))]
        assert cv2.imread(os.path.join(folder, files[0])).shape == (128, 35, 3)
        assert f"Cropped frames from {w.split('min_to_')[0]} to {w.split('min_to_')[1][:-3]} " \
               f"minutes saved to {folder}." in out
    assert p.camera_crop_coords == {"61": (120, 0, 155, 1440)}
    assert out[:5] == ["Video FPS: 1.0", "Total frames: 24.0", "Video duration: 24.00 seconds",
                       "cv2 crop region for Camera 61: x1=200, y1=0, x2=216, y2=128",
                       "Detected crop region for Camera 61: x1=120, y1=0, x2=155, y2=1440"]
    assert out[5:7] == ["Processing frame 0 (saved as 0000.jpg)",
                        "Processing frame 1 (saved as 0001.jpg)"]
    assert sum(l.startswith("cv2 crop region") for l in out) == 1
    assert sum(l.startswith("Detected crop region") for l in out) == 4
    assert "Processing frame 18 (saved as 0000.jpg)" in out and out[-1] == "Dim: (128, 35, 3)"

    # A second run skips every window; the cache is not consulted again.
    p.process_videos_to_frames(catalogue(clips["short"]))
    out = capsys.readouterr().out.splitlines()
    assert out[3:] == [f"Skipping {root}{w}/left_cropped_frames, already exists." for w in windows]


def test_right_crop_resize_and_cached_region(clips, tmp_path, capsys):
    p = vu.VideoProcessor(resize_dim=(999, 64), output_dir_base=str(tmp_path), time_step=0.2)
    df = pd.concat([catalogue(clips["short"], name="a"), catalogue(clips["short"], name="b")])
    p.process_videos_to_frames(df)
    out = capsys.readouterr().out.splitlines()
    assert p.camera_crop_coords == {"61": (150, 0, 2300, 1440)}
    assert sum(l.startswith("cv2 crop region") for l in out) == 1
    folder = f"{tmp_path}/20240131/b/0.2min_to_0.4min/right_cropped_frames"
    # 170 x 128 crop scaled to height 64: width ceil(64 * 170 / 128) = 85.
    assert cv2.imread(folder + "/0000.jpg").shape == (64, 85, 3)
    assert "Dim: (64, 85, 3)" in out

    # A region already in the cache is used as given, for any camera key.
    q = vu.VideoProcessor(camera_crop_coords={None: [-100, 8, 10_000, 40]})
    q.crop_video_to_frames(clips["short"], str(tmp_path / "neg"), 0, 0.05)
    out = capsys.readouterr().out.splitlines()
    assert out[0] == "Detected crop region for Camera None: x1=-100, y1=8, x2=10000, y2=40"
    # Negative bounds count from the far edge, bounds beyond it are clipped.
    assert cv2.imread(str(tmp_path / "neg" / "0000.jpg")).shape == (32, 100, 3)


def test_frame_skip_and_last_frame_of_window(clips, tmp_path, capsys):
    p = vu.VideoProcessor(frame_skip=5)
    out_dir = str(tmp_path / "w")
    # 1 fps: frames 0..15 of the window (end frame 15); 0, 5, 10 and 14 are saved.
    p.crop_video_to_frames(clips["short"], out_dir, start_min=0, end_min=0.25, camera_number="61",
                           crop=False)
    lines = capsys.readouterr().out.splitlines()
    assert [l for l in lines if l.startswith("Processing")] == [
        "Processing frame 0 (saved as 0000.jpg)", "Processing frame 5 (saved as 0001.jpg)",
        "Processing frame 10 (saved as 0002.jpg)", "Processing frame 14 (saved as 0003.jpg)"]
    files = saved_files(out_dir)
    assert [frame_index(os.path.join(out_dir, f)) for f in files] == [1, 6, 11, 15]
    assert lines[-2:] == [f"Cropped frames from 0 to 0.25 minutes saved to {out_dir}.",
                          "Dim: (128, 320, 3)"]
    assert p.camera_crop_coords == {}  # no crop, no region


def test_default_window_and_fractional_fps(clips, tmp_path, capsys):
    p = vu.VideoProcessor()
    out_dir = str(tmp_path / "d")
    p.crop_video_to_frames(clips["long"], out_dir)  # minutes 10 to 12, cropping on
    out = capsys.readouterr().out.splitlines()
    assert out[0] == "cv2 crop region for Camera None: x1=200, y1=0, x2=216, y2=16"
    assert out[2] == "Processing frame 600 (saved as 0000.jpg)"
    assert len(saved_files(out_dir)) == 120 and out[-1] == "Dim: (16, 106, 3)"
    assert p.camera_crop_coords == {None: (150, 0, 2300, 1440)}

    # 29.97 fps: frame numbers use 29 frames per second, the duration 29.97.
    assert p.get_video_duration(clips["ntsc"]) == pytest.approx(200 / 29.97 / 60)
    capsys.readouterr()
    p.crop_video_to_frames(clips["ntsc"], str(tmp_path / "n"), 0.1, 0.11, crop=False)
    lines = [l for l in capsys.readouterr().out.splitlines() if l.startswith("Processing")]
    assert lines[0] == "Processing frame 174 (saved as 0000.jpg)"   # 29 * 6
    assert lines[-1] == "Processing frame 190 (saved as 0016.jpg)"  # round(29 * 6.6) - 1


def test_windows_that_save_nothing(clips, tmp_path, capsys):
    p = vu.VideoProcessor(output_dir_base=str(tmp_path), time_step=0.1)
    # No orange marker: every window reports it, stays empty, and counts as done.
    p.process_videos_to_frames(catalogue(clips["plain"], cam="70"))
    out = capsys.readouterr().out.splitlines()
    assert out.count("No orange region detected. Exiting.") == 2
    root = f"{tmp_path}/20240131/Camera61_1_20240131061500"
    assert sorted(os.listdir(root)) == ["0.1min_to_0.13333333333333333min", "0min_to_0.1min"]
    assert os.listdir(root + "/0min_to_0.1min/right_cropped_frames") == []
    assert p.camera_crop_coords == {}

    p.crop_video_to_frames(clips["short"], str(tmp_path / "e"), 0.2, 0.2, crop=False)
    assert capsys.readouterr().out.splitlines()[-2:] == [
        f"Cropped frames from 0.2 to 0.2 minutes saved to {tmp_path / 'e'}.",
        "Dim: no frame was saved in this window"]
    p.crop_video_to_frames(clips["short"], str(tmp_path / "f"), 1, 2)
    assert capsys.readouterr().out == "Error: Could not read the first frame.\n"
    p.crop_video_to_frames(str(tmp_path / "none.mp4"), str(tmp_path / "g"))
    assert capsys.readouterr().out == "Error: Could not open video.\n"
    assert os.path.isdir(tmp_path / "g")

    df = catalogue(str(tmp_path / "none.mp4"))
    p.process_videos_to_frames(df)
    assert capsys.readouterr().out == f"Error: Could not open video {tmp_path / 'none.mp4'}\n"


class FailingStdout:
    """Stands in for sys.stdout and, on the n-th "Processing frame" line,
    raises `exc` or (when it is a callable) calls it."""

    def __init__(self, fail_at, exc):
        self.count, self.fail_at, self.exc, self.text = 0, fail_at, exc, []

    def write(self, s):
        if s.startswith("Processing frame"):
            self.count += 1
            if self.count == self.fail_at:
                if isinstance(self.exc, BaseException):
                    raise self.exc
                self.exc()
        self.text.append(s)

    def flush(self):
        pass


def test_interrupted_window_is_redone(clips, tmp_path, monkeypatch, capsys):
    base = str(tmp_path)
    root = f"{base}/20240131/Camera61_1_20240131061500"
    p = vu.VideoProcessor(output_dir_base=base, time_step=0.2)
    # Ctrl-C while the second window (frames 12..23) writes its fourth frame.
    fake = FailingStdout(12 + 4, KeyboardInterrupt())
    monkeypatch.setattr(sys, "stdout", fake)
    with pytest.raises(KeyboardInterrupt):
        p.process_videos_to_frames(catalogue(clips["short"]))
    monkeypatch.undo()
    first = f"{root}/0min_to_0.2min/right_cropped_frames"
    second = f"{root}/0.2min_to_0.4min/right_cropped_frames"
    assert len(saved_files(first)) == 12
    assert not os.path.exists(second)  # the partial window is not marked done
    # and leaves nothing behind: no staging folder, lock or empty parent
    assert sorted(os.listdir(root)) == ["0min_to_0.2min"]
    assert os.listdir(f"{root}/0min_to_0.2min") == ["right_cropped_frames"]

    # The next run skips the finished window and redoes the interrupted one.
    p.process_videos_to_frames(catalogue(clips["short"]))
    out = capsys.readouterr().out.splitlines()
    assert f"Skipping {first}, already exists." in out
    assert f"Cropped frames from 0.2 to 0.4 minutes saved to {second}." in out
    assert os.listdir(f"{root}/0.2min_to_0.4min") == ["right_cropped_frames"]
    files = saved_files(second)
    assert [frame_index(os.path.join(second, f)) for f in files] == list(range(13, 24))

    # A real Ctrl-C (signal flag set while frames are being written) stops the
    # window at the next frame; the window is not marked done.
    r = vu.VideoProcessor(output_dir_base=str(tmp_path / "r"), time_step=0.2)
    monkeypatch.setattr(sys, "stdout", FailingStdout(3, _thread.interrupt_main))
    with pytest.raises(KeyboardInterrupt):
        r.process_videos_to_frames(catalogue(clips["short"]))
    monkeypatch.undo()
    r_root = f"{tmp_path}/r/20240131/Camera61_1_20240131061500/0min_to_0.2min"
    assert not os.path.exists(r_root)

    # A failure of the host while writing also leaves the window to be redone.
    q = vu.VideoProcessor(output_dir_base=str(tmp_path / "q"), time_step=0.2)
    monkeypatch.setattr(sys, "stdout", FailingStdout(2, RuntimeError("disk full")))
    with pytest.raises(RuntimeError, match="disk full"):
        q.process_videos_to_frames(catalogue(clips["short"]))
    monkeypatch.undo()
    assert not os.path.exists(f"{tmp_path}/q/20240131/Camera61_1_20240131061500/0min_to_0.2min/"
                              "right_cropped_frames")


def test_stale_staging_folder_is_replaced(clips, tmp_path, capsys):
    base = str(tmp_path)
    root = f"{base}/20240131/Camera61_1_20240131061500/0min_to_0.4min"
    os.makedirs(root + "/.right_cropped_frames.partial")
    for name in ("0000.jpg", "0099.jpg"):
        open(f"{root}/.right_cropped_frames.partial/{name}", "wb").close()
    p = vu.VideoProcessor(output_dir_base=base, time_step=1)
    p.process_videos_to_frames(catalogue(clips["short"]))
    assert os.listdir(root) == ["right_cropped_frames"]
    assert len(saved_files(root + "/right_cropped_frames")) == 23
    assert "Cropped frames from 0 to 0.4 minutes saved to " + root + "/right_cropped_frames." in \
        capsys.readouterr().out


def test_extraction_rejects_bad_settings(clips, tmp_path):
    df = catalogue(clips["short"])
    with pytest.raises(ZeroDivisionError):
        vu.VideoProcessor(frame_skip=0, output_dir_base=str(tmp_path)).process_videos_to_frames(df)
    for bad in (0, -0.1, float("nan")):
        with pytest.raises(ValueError):
            vu.VideoProcessor(time_step=bad, output_dir_base=str(tmp_path)).process_videos_to_frames(df)
    with pytest.raises(TypeError):
        vu.VideoProcessor(time_step="0.1").process_videos_to_frames(df)
    with pytest.raises(TypeError):
        vu.VideoProcessor(output_dir_base=None).process_videos_to_frames(df)
    with pytest.raises(KeyError):
        vu.VideoProcessor(output_dir_base=str(tmp_path)).process_videos_to_frames(df.drop(columns="Date"))
    with pytest.raises(TypeError):
        vu.VideoProcessor(output_dir_base=str(tmp_path)).process_videos_to_frames(
            catalogue(clips["short"], date=20240131))
    p = vu.VideoProcessor(camera_crop_coords={"61": (1, 2, 3)})
    with pytest.raises(TypeError):
        p.crop_video_to_frames(clips["short"], str(tmp_path / "x"), 0, 0.1, "61")
    with pytest.raises(TypeError):
        vu.VideoProcessor(camera_crop_coords=[]).crop_video_to_frames(clips["short"], str(tmp_path))
    with pytest.raises(ValueError):
        vu.VideoProcessor(resize_dim=(10, 0)).crop_video_to_frames(clips["short"], str(tmp_path), 0, 0.1)
    with pytest.raises(IndexError):
        vu.VideoProcessor(resize_dim=(10,)).crop_video_to_frames(clips["short"], str(tmp_path), 0, 0.1)
    # A crop that keeps no pixels fails on the first frame to be written.
    empty = vu.VideoProcessor(camera_crop_coords={None: (500, 0, 600, 100)})
    with pytest.raises(ValueError, match="no pixels"):
        empty.crop_video_to_frames(clips["short"], str(tmp_path / "y"), 0, 0.1)
    with pytest.raises(TypeError):
        vu.VideoProcessor().crop_video_to_frames(clips["short"], str(tmp_path), 0, 0.1, None, True, 1)
