"""Frame extraction: VideoProcessor.process_videos_to_frames against the plain
OpenCV-Python loop doing the same seeks, reads, crops, resizes and JPEG writes.

A 2-minute 2560 x 1440 clip (10 fps by default) is generated once and kept in
the work folder; it is cut into 0.1-minute windows, right of the orange
marker, scaled to a height of 720. Both ways run alternately; the best time of
each is reported, and their output files are compared byte for byte.

    PYTHONPATH=build/python /usr/bin/python3 bench/bench_video.py [--fps 10] [--runs 3] [--frame-skip 1]
"""

import argparse
import contextlib
import filecmp
import math
import os
import resource
import shutil
import subprocess
import sys
import tempfile
import time

import cv2
import numpy as np
import pandas as pd

import vexo_utils as vu

W, H = 2560, 1440
MARKER = (1500, 1600)  # orange marker columns


def make_clip(path, fps, seconds):
    """Scaled-up test pattern with moving parts and an orange marker bar."""
    if shutil.which("ffmpeg"):
        src = f"testsrc2=size=640x360:rate={fps}:duration={seconds}"
        vf = (f"scale={W}:{H}:flags=bilinear,"
              f"drawbox=x={MARKER[0]}:y=0:w={MARKER[1] - MARKER[0]}:h={H}:color=0xFF8C00:t=fill")
        subprocess.run(["ffmpeg", "-hide_banner", "-loglevel", "error", "-y", "-f", "lavfi", "-i", src,
                        "-vf", vf, "-c:v", "mpeg4", "-q:v", "5", "-g", "30", "-motion_est", "zero",
                        "-pix_fmt", "yuv420p", path], check=True)
        return
    writer = cv2.VideoWriter(path, cv2.VideoWriter_fourcc(*"mp4v"), fps, (W, H))
    yy, xx = np.mgrid[0:H // 8, 0:W // 8]
    for i in range(int(fps * seconds)):
        small = ((xx * 3 + yy * 2 + i * 4) % 256).astype(np.uint8)
        frame = cv2.resize(cv2.merge([small, small[::-1], 255 - small]), (W, H))
        cv2.circle(frame, (300 + (i * 7) % 1000, 700), 120, (90, 90, 200), -1)
        frame[:, MARKER[0]:MARKER[1]] = (0, 140, 255)
        writer.write(frame)
    writer.release()


def python_loop(df, base, time_step, resize_height, left_crop, frame_skip):
    """The same extraction written directly against OpenCV-Python."""
    cache = {}
    for _, row in df.iterrows():
        cap = cv2.VideoCapture(row["File Path"])
        fps_real, count = cap.get(cv2.CAP_PROP_FPS), cap.get(cv2.CAP_PROP_FRAME_COUNT)
        cap.release()
        print("Video FPS:", fps_real)
        print("Total frames:", count)
        duration = count / fps_real / 60
        start = 0
        while start < duration:
            end = start + time_step
            if duration < end:
                end = duration
            side = "left" if left_crop else "right"
            out = f"{base}/{row['Date']}/{row['Video Name']}/{start}min_to_{end}min/{side}_cropped_frames"
            os.makedirs(out)
            cap = cv2.VideoCapture(row["File Path"])
            fps = int(cap.get(cv2.CAP_PROP_FPS))
            sf, ef = round(fps * 60 * start), round(fps * 60 * end)
            cap.set(cv2.CAP_PROP_POS_FRAMES, sf)
            ok, first = cap.read()
            cam = row["Camera Number"]
            if cam not in cache:
                hsv = cv2.cvtColor(first, cv2.COLOR_BGR2HSV)
                mask = cv2.inRange(hsv, (10, 150, 150), (25, 255, 255))
                contours, _ = cv2.findContours(mask, cv2.RETR_EXTERNAL, cv2.CHAIN_APPROX_SIMPLE)
                top = sorted(contours, key=cv2.contourArea, reverse=True)[:2]
                best = max(top, key=lambda c: cv2.moments(c)["m10"] / (cv2.moments(c)["m00"] + 1e-5))
                x, y, w, h = cv2.boundingRect(best)
                if left_crop:
                    cache[cam] = (380 if x + w >= 2300 else 120, 0, x - 45, 1440)
                else:
                    cache[cam] = (x - 50, 0, 2560 if x + w >= 2300 else 2300, 1440)
            x1, y1, x2, y2 = cache[cam]
            saved, n = 0, sf
            while n < ef:
                ok, frame = cap.read()
                if not ok:
                    break
                if n % frame_skip != 0 and n != ef - 1:
                    n += 1
                    continue
                print(f"Processing frame {n} (saved as {saved:04d}.jpg)")
                img = frame[y1:y2, x1:x2]
                nw = math.ceil(resize_height * (img.shape[1] / img.shape[0]))
                img = cv2.resize(img, (nw, resize_height), interpolation=cv2.INTER_AREA)
                cv2.imwrite(os.path.join(out, f"{saved:04d}.jpg"), img)
                saved += 1
                n += 1
            cap.release()
            start += time_step


def cpu_seconds():
    r = resource.getrusage(resource.RUSAGE_SELF)
    return r.ru_utime + r.ru_stime


def same_tree(a, b):
    fa, fb = vu.list_all_files(a), vu.list_all_files(b)
    rel = lambda files, root: [os.path.relpath(f, root) for f in files]
    if rel(fa, a) != rel(fb, b):
        return False, len(fa)
    return all(filecmp.cmp(x, y, shallow=False) for x, y in zip(fa, fb)), len(fa)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--fps", type=int, default=10)
    ap.add_argument("--seconds", type=int, default=120)
    ap.add_argument("--runs", type=int, default=3)
    ap.add_argument("--frame-skip", type=int, default=1)
    ap.add_argument("--work", default=os.path.join(tempfile.gettempdir(), "vexo_bench_video"))
    args = ap.parse_args()

    os.makedirs(args.work, exist_ok=True)
    clip_dir = os.path.join(args.work, "clips")
    os.makedirs(clip_dir, exist_ok=True)
    clip = os.path.join(clip_dir, f"Camera61_1_20240131{args.fps:02d}{args.seconds:04d}.mp4")
    if not os.path.exists(clip):
        t = time.perf_counter()
        make_clip(clip + ".tmp.mp4", args.fps, args.seconds)
        os.rename(clip + ".tmp.mp4", clip)
        print(f"generated {clip} in {time.perf_counter() - t:.1f} s")
    df = pd.DataFrame({"Camera Number": ["61"], "Date": ["20240131"], "Time": ["06:15:00"],
                       "File Path": [clip], "Video Name": ["Camera61_1_20240131061500"]})

    lib_dir, py_dir = os.path.join(args.work, "lib"), os.path.join(args.work, "py")
    times = {"library": [], "opencv-python": []}
    cpu = {"library": [], "opencv-python": []}
    with open(os.devnull, "w") as null:
        for _ in range(args.runs):
            for name, out in (("library", lib_dir), ("opencv-python", py_dir)):
                shutil.rmtree(out, ignore_errors=True)
                t, c = time.perf_counter(), cpu_seconds()
                with contextlib.redirect_stdout(null):
                    if name == "library":
                        vu.VideoProcessor(resize_dim=(640, 720), frame_skip=args.frame_skip,
                                          time_step=0.1,
                                          output_dir_base=out).process_videos_to_frames(df)
                    else:
                        python_loop(df, out, 0.1, 720, False, args.frame_skip)
                times[name].append(time.perf_counter() - t)
                cpu[name].append(cpu_seconds() - c)
    same, n_files = same_tree(lib_dir, py_dir)
    lib, ref = min(times["library"]), min(times["opencv-python"])
    frames = args.fps * args.seconds
    print(f"clip: {W} x {H}, {args.fps} fps, {args.seconds} s ({frames} frames), "
          f"0.1-minute windows, frame_skip {args.frame_skip}, crop right of the marker, height 720; "
          f"{n_files} files written")
    print(f"library (process_videos_to_frames): {lib:.2f} s  ({frames / lib:.1f} frames/s)  "
          f"runs {['%.2f' % t for t in times['library']]}, cpu {['%.1f' % t for t in cpu['library']]}")
    print(f"plain OpenCV-Python loop:           {ref:.2f} s  ({frames / ref:.1f} frames/s)  "
          f"runs {['%.2f' % t for t in times['opencv-python']]}, "
          f"cpu {['%.1f' % t for t in cpu['opencv-python']]}")
    pairs = sorted(r / l for r, l in zip(times["opencv-python"], times["library"]))
    print(f"ratio (OpenCV-Python / library): {ref / lib:.2f}x best against best, "
          f"{pairs[len(pairs) // 2]:.2f}x median of the {len(pairs)} back-to-back pairs")
    print(f"output files byte-identical: {same}")
    shutil.rmtree(lib_dir, ignore_errors=True)
    shutil.rmtree(py_dir, ignore_errors=True)
    return 0 if same else 1


if __name__ == "__main__":
    sys.exit(main())
