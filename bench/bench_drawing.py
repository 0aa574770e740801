"""Drawing benchmark: img_bbx_drawing of 10 pig masks on a 1440 x 1040 frame.

Times the library call against the same picture made with PIL and numpy in
this process: (a) the point-list way (mask pixels collected as coordinates
and drawn with ImageDraw.point, one call per mask), (b) a vectorised numpy
overlay. Both then composite with PIL and draw boxes and labels with
ImageDraw. Prints the median time of each and the ratios.

    PYTHONPATH=build/python /usr/bin/python3 bench/bench_drawing.py
"""

import statistics
import time

import cv2
import numpy as np
from PIL import Image, ImageDraw, ImageFont

import vexo_utils as vu

W, H, N_MASKS, REPEAT = 1440, 1040, 10, 15


def make_inputs():
    rng = np.random.default_rng(0)
    frame = rng.integers(0, 256, size=(H, W, 3), dtype=np.uint8)
    frame = cv2.GaussianBlur(frame, (0, 0), 3)
    masks = {}
    for i in range(N_MASKS):
        m = np.zeros((H, W), np.uint8)
        cx, cy = int(rng.uniform(150, W - 150)), int(rng.uniform(150, H - 150))
        axes = (int(rng.uniform(90, 140)), int(rng.uniform(45, 70)))
        cv2.ellipse(m, (cx, cy), axes, float(rng.uniform(0, 180)), 0, 360, 1, -1)
        masks[f"Box{i}"] = m
    return Image.fromarray(frame), masks


def colour(i):
    return tuple(int(v) for v in np.random.RandomState(42 + i).randint(0, 256, size=3))


def label_font():
    for name in ("arial.ttf", "LiberationSans-Regular.ttf"):
        try:
            return ImageFont.truetype(name, 11)
        except OSError:
            pass
    return ImageFont.load_default()


def boxes_and_labels(img, masks):
    draw = ImageDraw.Draw(img)
    font = label_font()
    for i, (key, m) in enumerate(masks.items()):
        ys, xs = np.nonzero(m)
        x1, y1, x2, y2 = (int(xs.min()), int(ys.min()), int(xs.max()), int(ys.max())) if len(xs) \
            else (0, 0, 0, 0)
        c = colour(i)
        draw.rectangle([x1, y1, x2, y2], outline=c, width=3)
        left, top, right, bottom = draw.textbbox((x1, y1), key, font=font)
        tw, th = right - left, bottom - top
        draw.rectangle([x1, y1 - th - 4, x1 + tw + 4, y1], fill=c)
        draw.text((x1 + 2, y1 - th - 4), key, fill="white", font=font)
    return img


def pil_point_list(image, masks):
    overlay = Image.new("RGBA", image.size, (255, 255, 255, 0))
    draw = ImageDraw.Draw(overlay)
    for i, m in enumerate(masks.values()):
        ys, xs = np.nonzero(m)
        coords = list(zip(xs.tolist(), ys.tolist()))
        if coords:
            draw.point(coords, fill=colour(i) + (128,))
    out = Image.alpha_composite(image.convert("RGBA"), overlay)
    return boxes_and_labels(out, masks)


def pil_numpy(image, masks):
    overlay = np.empty((H, W, 4), np.uint8)
    overlay[...] = (255, 255, 255, 0)
    for i, m in enumerate(masks.values()):
        overlay[m > 0] = colour(i) + (128,)
    out = Image.alpha_composite(image.convert("RGBA"), Image.fromarray(overlay, "RGBA"))
    return boxes_and_labels(out, masks)


def median_ms(fn, *args, repeat=REPEAT):
    """Median wall and CPU milliseconds per call (CPU time is the steadier
    figure on a machine shared with other work)."""
    fn(*args)  # warm-up
    wall, cpu = [], []
    for _ in range(repeat):
        t, c = time.perf_counter(), time.process_time()
        fn(*args)
        wall.append((time.perf_counter() - t) * 1e3)
        cpu.append((time.process_time() - c) * 1e3)
    return statistics.median(wall), statistics.median(cpu)


def main():
    image, masks = make_inputs()
    lib = np.asarray(vu.img_bbx_drawing(image, masks)).astype(int)
    ref = np.asarray(pil_numpy(image, masks)).astype(int)
    tint_diff = np.abs(lib - ref).max(axis=2)
    t_lib = median_ms(vu.img_bbx_drawing, image, masks)
    t_np = median_ms(pil_numpy, image, masks)
    t_pts = median_ms(pil_point_list, image, masks, repeat=5)
    t_tint = median_ms(vu.draw_masks_on_image, image, list(masks.values()))
    print(f"img_bbx_drawing, {N_MASKS} masks on {W} x {H} (median wall / CPU ms per call)")
    rows = [("vexo_utils.img_bbx_drawing", t_lib), ("vexo_utils.draw_masks_on_image", t_tint),
            ("PIL + numpy overlay", t_np), ("PIL point lists", t_pts)]
    for i, (name, (wall, cpu)) in enumerate(rows):
        ratio = f"   ratio {wall / t_lib[0]:5.1f}x wall, {cpu / t_lib[1]:5.1f}x CPU" if i >= 2 else ""
        print(f"  {name:32s} {wall:8.2f} / {cpu:8.2f}{ratio}")
    print(f"  pixels within 1 of the PIL picture: {(tint_diff <= 1).mean() * 100:.3f}%"
          " (the rest are label glyphs)")


if __name__ == "__main__":
    main()
