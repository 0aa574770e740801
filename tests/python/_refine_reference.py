"""Clip builder and a plain numpy/OpenCV version of the mask refinement, used
as the reference the library's refinement must agree with (tests) and as the
baseline it is timed against (benchmark)."""

import json

import cv2
import numpy as np


def write_pen(path, height, width, margin=30):
    """An irregular pen outline inset from the frame edges."""
    pts = [[margin, margin + 10], [width // 2, margin], [width - margin, margin + 5],
           [width - margin - 10, height - margin], [margin + 5, height - margin - 8]]
    with open(path, "w") as f:
        json.dump({"shapes": [{"label": "pen", "points": pts}]}, f)
    return path


def make_clip(frames, pigs, height, width, seed=0, dtype=bool):
    """{frame: {object id: 1 x H x W mask}}: each pig a body ellipse that
    wanders, with up to three fragments nearby or anywhere, now and then an
    empty mask or a jump across the pen."""
    rng = np.random.default_rng(seed)
    pos = rng.uniform([60, 60], [width - 60, height - 60], size=(pigs, 2))
    axes = rng.uniform([18, 12], [34, 22], size=(pigs, 2))
    clip = {}
    for f in range(frames):
        objs = {}
        for p in range(pigs):
            pos[p] = np.clip(pos[p] + rng.normal(0, 3, 2), [40, 40], [width - 40, height - 40])
            m = np.zeros((height, width), np.uint8)
            r = rng.random()
            if r < 0.02:
                objs[p + 1] = m[None].astype(dtype)
                continue
            centre = pos[p] if r > 0.03 else rng.uniform([0, 0], [width, height])
            cv2.ellipse(m, (int(centre[0]), int(centre[1])), (int(axes[p, 0]), int(axes[p, 1])),
                        float(rng.uniform(0, 180)), 0, 360, 1, -1)
            for _ in range(int(rng.integers(0, 4))):
                if rng.random() < 0.7:
                    off = rng.uniform(-70, 70, 2)
                    c = centre + off
                else:
                    c = rng.uniform([0, 0], [width, height])
                ax = rng.uniform(2, 16, 2)
                cv2.ellipse(m, (int(c[0]), int(c[1])), (int(ax[0]), int(ax[1])),
                            float(rng.uniform(0, 180)), 0, 360, 1, -1)
            objs[p + 1] = m[None].astype(dtype)
        clip[f] = objs
    return clip


def copy_clip(clip):
    return {f: {o: m.copy() for o, m in objs.items()} for f, objs in clip.items()}


def blob_distance(a, b):
    ca, _ = cv2.findContours(a, cv2.RETR_EXTERNAL, cv2.CHAIN_APPROX_SIMPLE)
    cb, _ = cv2.findContours(b, cv2.RETR_EXTERNAL, cv2.CHAIN_APPROX_SIMPLE)
    if not ca or not cb:
        return np.inf
    pa = np.vstack([c.reshape(-1, 2) for c in ca]).astype(np.float64)
    pb = np.vstack([c.reshape(-1, 2) for c in cb]).astype(np.float64)
    d = pa[:, None, :] - pb[None, :, :]
    return float(np.sqrt((d ** 2).sum(-1)).min())


def plain_refine(video_segments, pen_json_path, frame_names, prev_centroids,
                 min_area_ratio=0.3, ratios=(0.5, 1.5), max_prev_dist=200, messages=None):
    """The refinement done mask by mask in numpy/OpenCV, the pen file read and
    drawn for every mask, with OpenCV's component analysis (whose label
    order decides ties between equal areas)."""
    first = next(iter(video_segments))
    for f, objs in video_segments.items():
        for oid, mask in objs.items():
            if not np.any(mask):
                continue
            frame_names[f]
            with open(pen_json_path) as fh:
                pts = json.load(fh)["shapes"][0]["points"]
            pen = np.zeros(mask.shape[-2:], np.uint8)
            cv2.fillPoly(pen, [np.array(pts).astype(np.int32)], 1)
            in_pen = (np.logical_and(mask, pen.astype(bool))).astype(mask.dtype)
            if not np.any(in_pen):
                objs[oid] = in_pen
                continue
            m8 = (in_pen.astype(np.uint8) * 255).reshape(mask.shape[-2:])
            n, labels, stats, cents = cv2.connectedComponentsWithStats(m8, connectivity=8)
            areas = stats[1:, cv2.CC_STAT_AREA]
            prev = prev_centroids.get(oid)
            cand = (np.argsort(-areas, kind="stable")[:5] + 1).tolist()
            if prev is None:
                best = cand[0]
            else:
                dists = [np.sqrt(((cents[c] - np.asarray(prev)) ** 2).sum()) for c in cand]
                best = cand[int(np.argmin(dists))]
            main_area = stats[best, cv2.CC_STAT_AREA]
            radius = np.sqrt(main_area / np.pi)
            min_area = main_area * min_area_ratio
            max_dist = radius * (ratios[0] if main_area >= 1000 else ratios[1])
            cleaned = np.zeros(labels.shape, bool)
            main_mask = (labels == best).astype(np.uint8)
            for lab in range(1, n):
                comp = (labels == lab).astype(np.uint8)
                d_main = blob_distance(main_mask, comp)
                d_prev = 0 if prev is None else np.sqrt(((cents[lab] - np.asarray(prev)) ** 2).sum())
                if d_prev <= max_prev_dist and (
                        lab == best or (stats[lab, cv2.CC_STAT_AREA] >= min_area
                                        and d_main <= max_dist)):
                    cleaned[labels == lab] = True
            if not cleaned.any():
                if f == first:
                    cleaned = mask.astype(bool)
                else:
                    if messages is not None:
                        messages.append(f"clean frame{f}--obj_id{oid}")
            if cleaned.ndim == 2:
                cleaned = cleaned[None]
            objs[oid] = cleaned
            if cleaned.any():
                mo = cv2.moments(cleaned.reshape(cleaned.shape[-2:]).astype(np.uint8))
                if mo["m00"] != 0:
                    prev_centroids[oid] = (mo["m10"] / mo["m00"], mo["m01"] / mo["m00"])
            elif messages is not None:
                messages.append(f"frame {f}--obj_id{oid}-- no mask")
    return video_segments
