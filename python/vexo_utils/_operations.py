"""The module-level operations: Python signatures over the native calls.

Each function takes its parameters by position or by name, with the library's
defaults, and hands them on unchanged; the native side checks and converts
them. The examples build their data on the spot (small masks, files in a
temporary folder, the stand-in models of ``vexo_pipeline``).
"""

from . import _native
from ._console import _progress_call

# ---------------------------------------------------------------- video catalogue


def list_all_files(directory, ext=None):
    """File paths below ``directory``, walking top-down.

    The files of a folder come in sorted order, then its sub-folders in sorted
    order, depth-first. With ``ext``, only names ending with it (case-sensitive,
    include the dot: ``".jpg"``). Links to folders are not entered. A folder
    that does not exist gives an empty list.

    >>> import os, tempfile, vexo_utils as vu
    >>> root = tempfile.mkdtemp()
    >>> for name in ("b.jpg", "a.jpg", "notes.txt"):
    ...     open(os.path.join(root, name), "w").close()
    >>> [os.path.basename(p) for p in vu.list_all_files(root, ".jpg")]
    ['a.jpg', 'b.jpg']
    """
    return _native.list_all_files(directory, ext)


# ---------------------------------------------------------------- drawing


def draw_masks_on_image(image, masks):
    """New RGBA PIL image: ``image`` with each mask tinted in its own colour.

    ``image`` is a PIL image or an H x W x 3/4 uint8 RGB(A) array; mask ``i``
    (pixels > 0) is tinted in its index colour (seed 42 + i) at alpha 128;
    where masks overlap, the later mask's tint wins.

    >>> import numpy as np, vexo_utils as vu
    >>> mask = np.zeros((40, 60), np.uint8); mask[10:30, 10:40] = 1
    >>> out = vu.draw_masks_on_image(np.full((40, 60, 3), 200, np.uint8), [mask])
    >>> out.mode, out.size
    ('RGBA', (60, 40))
    """
    return _native.draw_masks_on_image(image, masks)


def img_bbx_drawing(image, mask_dict):
    """``draw_masks_on_image`` for the masks of ``mask_dict``, with boxes and labels.

    Each entry's tight mask box is outlined 3 pixels wide in the entry's colour
    and its key is written in white on a label of that colour above the box's
    top-left corner. Returns an RGBA PIL image.

    >>> import numpy as np, vexo_utils as vu
    >>> mask = np.zeros((60, 80), np.uint8); mask[20:50, 10:40] = 1
    >>> vu.img_bbx_drawing(np.zeros((60, 80, 3), np.uint8), {"Box0": mask}).size
    (80, 60)
    """
    return _native.img_bbx_drawing(image, mask_dict)


def video_segments_mask_visual(video_segments, frame_idx, object_id):
    """Shows ``video_segments[frame_idx][object_id]`` with matplotlib's ``imshow``.

    Size-1 dimensions are removed; the mask is drawn on the current figure and
    nothing is shown until the caller shows the figure.

    >>> import numpy as np, vexo_utils as vu
    >>> segments = {0: {1: np.ones((1, 20, 30), bool)}}
    >>> vu.video_segments_mask_visual(segments, 0, 1)
    """
    return _native.video_segments_mask_visual(video_segments, frame_idx, object_id)


# ---------------------------------------------------------------- pen files and membership


def draw_pen(image_path, json_path, drawout=False):
    """The pen polygon of a pen JSON file, optionally drawn on a frame.

    Returns the first shape's ``"points"`` as a list of (x, y) tuples. With
    ``drawout``, also loads ``image_path`` and returns (RGB PIL image with the
    closed outline drawn in red, 3 pixels wide with rounded joints, polygon).
    Raises ValueError("No shapes found in the JSON file.") when ``"shapes"`` is
    empty.

    >>> import json, os, tempfile, vexo_utils as vu
    >>> pen = os.path.join(tempfile.mkdtemp(), "pen.json")
    >>> with open(pen, "w") as f:
    ...     json.dump({"shapes": [{"points": [[0, 0], [50, 0], [50, 40], [0, 40]]}]}, f)
    >>> vu.draw_pen("unused.jpg", pen)
    [(0, 0), (50, 0), (50, 40), (0, 40)]
    """
    return _native.draw_pen(image_path, json_path, drawout)


def get_pen_json_path(video_dir, custom_pen_json_path=None):
    """Path of the pen polygon file for a clip folder.

    ``custom_pen_json_path`` when given; otherwise the site pen folder's file
    of the camera named in ``video_dir`` (the first backslash-separated
    component containing "Camera", up to its first underscore); None when the
    camera is unknown.

    >>> import vexo_utils as vu
    >>> vu.get_pen_json_path("D:\\\\frames\\\\Camera61_1_20240131080000", "my_pen.json")
    'my_pen.json'
    >>> vu.get_pen_json_path("D:\\\\frames\\\\Camera99_1_20240131080000") is None
    True
    """
    return _native.get_pen_json_path(video_dir, custom_pen_json_path)


def calculate_pen_intersection_ratio(polygon_points, boxes, ratio_threshold):
    """(ratios, in_pen) for boxes against the pen polygon.

    For each [x1, y1, x2, y2] box: the percentage of its area inside the pen
    polygon (exact geometry) and whether it is >= ``ratio_threshold``. An empty
    box list gives two empty lists; a zero-area box raises ValueError.

    >>> import vexo_utils as vu
    >>> pen = [(0, 0), (100, 0), (100, 100), (0, 100)]
    >>> vu.calculate_pen_intersection_ratio(pen, [[50, 50, 150, 150], [10, 10, 20, 20]], 40)
    ([25.0, 100.0], [False, True])
    """
    return _native.calculate_pen_intersection_ratio(polygon_points, boxes, ratio_threshold)


def get_in_pen_mask(frame_idx, test_mask, pen_json_path, frame_names):
    """``test_mask`` (H x W or 1 x H x W) cut to the pen polygon of ``pen_json_path``.

    The polygon is rasterised with truncated vertices at the mask's size; the
    result has the mask's shape and dtype. ``frame_idx`` must index
    ``frame_names`` (the frame itself is not read).

    >>> import json, os, tempfile, numpy as np, vexo_utils as vu
    >>> pen = os.path.join(tempfile.mkdtemp(), "pen.json")
    >>> with open(pen, "w") as f:
    ...     json.dump({"shapes": [{"points": [[0, 0], [20, 0], [20, 30], [0, 30]]}]}, f)
    >>> vu.get_in_pen_mask(0, np.ones((30, 40), np.uint8), pen, ["0000.jpg"]).sum()
    630
    """
    return _native.get_in_pen_mask(frame_idx, test_mask, pen_json_path, frame_names)


# ---------------------------------------------------------------- annotation files


def fix_polygon_scaling(json_path, save_path=None):
    """Repairs polygons normalised with swapped image dimensions.

    Every ``formatted_polygon`` pair (x, y) becomes (x * H/W, y * W/H), written
    with 6 decimals. The file is written to ``save_path`` (or over
    ``json_path``) through a temporary file renamed into place, keys in the
    order read, indented by 4 spaces. Prints "Error loading image: ..." and
    writes nothing when the frame image cannot be opened.

    >>> import json, os, tempfile, numpy as np, vexo_pipeline, vexo_utils as vu
    >>> from PIL import Image
    >>> folder = tempfile.mkdtemp(); frame = os.path.join(folder, "0000.jpg")
    >>> Image.new("RGB", (80, 40)).save(frame)
    >>> mask = np.zeros((40, 80), np.uint8); mask[10:20, 10:30] = 1
    >>> path = vexo_pipeline.write_tracking_frame(folder, 0, frame, {1: mask})
    >>> vu.fix_polygon_scaling(path, os.path.join(folder, "fixed.json"))
    >>> sorted(json.load(open(os.path.join(folder, "fixed.json"))))
    ['detections', 'image_path']
    """
    return _native.fix_polygon_scaling(json_path, save_path)


def retrieve_annotation(json_path, save_path=None, box_drawing=False, object_ids="all"):
    """Renders a per-frame tracking JSON file onto its frame.

    Each selected detection's polygons are filled in a random colour (Python's
    ``random`` module, 0..254) at alpha 100 and, with ``box_drawing``, its last
    xyxy box and a "Box <object_id - 1>" label are drawn. ``object_ids`` is
    "all" or a collection of object_id values. Returns an RGBA PIL image, also
    saved to ``save_path`` when given and not empty.

    >>> import os, tempfile, numpy as np, vexo_pipeline, vexo_utils as vu
    >>> from PIL import Image
    >>> folder = tempfile.mkdtemp(); frame = os.path.join(folder, "0000.jpg")
    >>> Image.new("RGB", (80, 60)).save(frame)
    >>> mask = np.zeros((60, 80), np.uint8); mask[20:40, 10:50] = 1
    >>> path = vexo_pipeline.write_tracking_frame(folder, 0, frame, {1: mask})
    >>> vu.retrieve_annotation(path, box_drawing=True).size
    (80, 60)
    """
    return _native.retrieve_annotation(json_path, save_path, box_drawing, object_ids)


# ---------------------------------------------------------------- tracking output reader


def process_json_and_generate_masks(json_path, height, width):
    """Reads one per-frame tracking file.

    Returns (image_path, masks, ids): ``masks`` is an N x height x width uint8
    array of 0/1 masks rasterised from the detections' polygons, ``ids`` the
    detections' object_id minus 1 (-1 when absent).

    >>> import os, tempfile, numpy as np, vexo_pipeline, vexo_utils as vu
    >>> folder = tempfile.mkdtemp()
    >>> mask = np.zeros((40, 60), np.uint8); mask[10:30, 10:40] = 1
    >>> path = vexo_pipeline.write_tracking_frame(folder, 0, "0000.jpg", {1: mask, 2: mask.T[:40, :60]})
    >>> image_path, masks, ids = vu.process_json_and_generate_masks(path, 40, 60)
    >>> image_path, masks.shape, masks.dtype, ids
    ('0000.jpg', (2, 40, 60), dtype('uint8'), [0, 1])
    """
    return _native.process_json_and_generate_masks(json_path, height, width)


def get_vexo_annotation_data(video_dir, last_or_not=False, ixx=0,
                             save_dir_base="D:\\ToBeLabeled_20pigs\\VEXO2_output_2hr"):
    """Reads a clip's tracking output folder (``save_dir_base``; ``video_dir`` is not used).

    With ``ixx <= 0`` returns (last record, {annotation index: record}) where
    each record is a dict with frame_index, masks_dict, mask_areas, json_path,
    image_path and intersections_df. With ``0 < ixx <`` file count returns the
    one-entry map {ixx: record} twice (no intersections_df); with ``ixx >=``
    file count two empty dicts. When no file is found prints a message and
    returns (None, None).

    >>> import os, tempfile, numpy as np, vexo_pipeline, vexo_utils as vu
    >>> from PIL import Image
    >>> folder = tempfile.mkdtemp(); image = os.path.join(folder, "f.jpg")
    >>> Image.new("RGB", (60, 40)).save(image)
    >>> a = np.zeros((40, 60), np.uint8); a[5:20, 5:30] = 1
    >>> b = np.zeros((40, 60), np.uint8); b[10:35, 20:50] = 1
    >>> for frame in range(3):
    ...     _ = vexo_pipeline.write_tracking_frame(folder, frame, image, {1: a, 2: b})
    >>> last, frames = vu.get_vexo_annotation_data("clip", save_dir_base=folder)
    >>> sorted(frames), last["mask_areas"]
    ([0, 1, 2], {'Box0': 375, 'Box1': 750})
    >>> last["intersections_df"].round(1)
          Box0  Box1
    Box0   0.0  26.7
    Box1  13.3   0.0
    """
    return _progress_call(_native.get_vexo_annotation_data, video_dir, last_or_not, ixx,
                          save_dir_base)


# ---------------------------------------------------------------- mask overlap measures


def calculate_masks_intersection(mask1, mask2):
    """Percentage of ``mask1``'s area covered by ``mask2`` (0.0 when mask1 is empty).

    >>> import numpy as np, vexo_utils as vu
    >>> a = np.zeros((10, 10), bool); a[:, :4] = True
    >>> b = np.zeros((10, 10), bool); b[:, 3:] = True
    >>> vu.calculate_masks_intersection(a, b)
    25.0
    """
    return _native.calculate_masks_intersection(mask1, mask2)


def calculate_masks_intersection_new(mask1, mask2, mask_area_1, mask_area_2):
    """(percentage of mask1 covered by mask2, percentage of mask2 covered by mask1).

    The given areas are the denominators; each result is 0.0 when its area is
    not above 0.

    >>> import numpy as np, vexo_utils as vu
    >>> a = np.zeros((10, 10), bool); a[:, :4] = True
    >>> b = np.zeros((10, 10), bool); b[:, 3:] = True
    >>> vu.calculate_masks_intersection_new(a, b, a.sum(), b.sum())
    (25.0, 14.285714285714285)
    """
    return _native.calculate_masks_intersection_new(mask1, mask2, mask_area_1, mask_area_2)


def intersection_between_masks(masks_dict, processed_mask_areas=None):
    """Square DataFrame of overlap percentages between the masks of one frame.

    Rows and columns are labelled by box key in dict order: cell (A, B) is the
    percentage of A's area covered by B. A pair is measured only when the later
    mask's area exceeds 1. Without areas, they are counted from the masks.

    >>> import numpy as np, vexo_utils as vu
    >>> a = np.zeros((10, 10), np.uint8); a[:, :4] = 1
    >>> b = np.zeros((10, 10), np.uint8); b[:, 3:] = 1
    >>> vu.intersection_between_masks({"Box0": a, "Box1": b})
               Box0  Box1
    Box0   0.000000  25.0
    Box1  14.285714   0.0
    """
    return _native.intersection_between_masks(masks_dict, processed_mask_areas)


# ---------------------------------------------------------------- diagnostics


def calculate_iou(box1, box2):
    """Intersection over union of two boxes (x1, y1, x2, y2) as continuous rectangles.

    A float in 0..1, or the integer 0 when the union area is not positive.

    >>> import vexo_utils as vu
    >>> vu.calculate_iou([0, 0, 10, 10], [5, 0, 15, 10])
    0.3333333333333333
    """
    return _native.calculate_iou(box1, box2)


def cluster_masks_and_print(masks_dict, eps=100, min_samples=1):
    """Groups the masks of one frame by DBSCAN over the centroids of their largest blobs.

    Neighbours lie within ``eps`` pixels (inclusive); a point counts toward its
    own ``min_samples``. Returns {"Noise": [...], "Cluster 0": [...], ...},
    clusters numbered by their first mask in dict order; empty masks are left
    out. Prints nothing. Raises ValueError when no mask has a centroid.

    >>> import numpy as np, vexo_utils as vu
    >>> def square(x, y):
    ...     m = np.zeros((200, 300), np.uint8); m[y:y + 10, x:x + 10] = 1; return m
    >>> vu.cluster_masks_and_print({"Box0": square(0, 0), "Box1": square(20, 0),
    ...                             "Box2": square(280, 180)}, eps=50)
    {'Noise': [], 'Cluster 0': ['Box0', 'Box1'], 'Cluster 1': ['Box2']}
    """
    return _native.cluster_masks_and_print(masks_dict, eps, min_samples)


def compute_motion_score_in_polygon(video_frames, masks_dict):
    """Mean Farneback optical-flow magnitude inside each mask.

    The flow runs from the first to the sixth frame image of ``video_frames``
    (read as grey). Returns {key: score} in dict order; an empty mask scores
    the integer 0.

    >>> import os, tempfile, numpy as np, vexo_utils as vu
    >>> from PIL import Image
    >>> folder = tempfile.mkdtemp(); frames = []
    >>> for i in range(6):
    ...     frames.append(os.path.join(folder, f"{i:04d}.png"))
    ...     Image.new("L", (64, 48), 10 * i).save(frames[-1])
    >>> vu.compute_motion_score_in_polygon(frames, {"Box0": np.zeros((48, 64), np.uint8)})
    {'Box0': 0}
    """
    return _native.compute_motion_score_in_polygon(video_frames, masks_dict)


def draw_intersection_heatmap(intersections_df):
    """Shows a square overlap table as an annotated heatmap with matplotlib.

    A 7 x 5 inch figure, "Reds" colour scale fixed to 0..100 with a colour bar,
    ".2f" cell labels, "Mask i" ticks, title "Intersection Heatmap %". Returns
    after ``pyplot.show()``; under a non-interactive backend the figure stays
    the current pyplot figure.

    >>> import numpy as np, vexo_utils as vu
    >>> a = np.zeros((10, 10), np.uint8); a[:, :4] = 1
    >>> vu.draw_intersection_heatmap(vu.intersection_between_masks({"Box0": a, "Box1": a}))
    """
    return _native.draw_intersection_heatmap(intersections_df)


# ---------------------------------------------------------------- detection


def process_gdino_results(gdino_results, target_label="pig"):
    """(boxes, scores, labels) from entry 0 of the detector's post-processed output.

    Numpy arrays in reading order (stable sort by y_min, then x_min), reduced
    to the detections whose label equals ``target_label`` exactly, or all of
    them when none does.

    >>> import numpy as np, vexo_utils as vu
    >>> results = [{"boxes": np.array([[50.0, 40, 90, 80], [10, 5, 40, 30]]),
    ...             "scores": np.array([0.9, 0.8]), "labels": ["pig", "pig"]}]
    >>> boxes, scores, labels = vu.process_gdino_results(results)
    >>> boxes.tolist(), scores.tolist(), list(labels)
    ([[10.0, 5.0, 40.0, 30.0], [50.0, 40.0, 90.0, 80.0]], [0.8, 0.9], ['pig', 'pig'])
    """
    return _native.process_gdino_results(gdino_results, target_label)


def initializer(video_dir, frame_names, processor, grounding_model, device, image_predictor,
                start_index=0, step=10, gdino_thr=0.25, close_set_num=10,
                custom_pen_json_path=None):
    """Finds the first frame in which exactly ``close_set_num`` pigs are told apart.

    Walks ``frame_names`` from ``start_index`` at stride ``step``; on each frame
    detects pigs with the prompt "pig.", keeps boxes at least 40 percent inside
    the pen and of plausible size, segments them with ``image_predictor`` and
    drops the lower-confidence box of every pair overlapping by more than 8
    percent. Returns (masks K x H x W as image_predictor gave them, labels,
    frame index, annotated RGBA image) for the first frame left with exactly
    ``close_set_num`` boxes, or four Nones.

    >>> import glob, os, tempfile, vexo_utils as vu
    >>> from vexo_pipeline import make_detector, StandinImagePredictor, synth
    >>> root = tempfile.mkdtemp()
    >>> _ = synth.generate_recording(root, clips=1, seconds=1, fps=5, animals_per_pen=4)
    >>> clip = glob.glob(os.path.join(root, "*", "*.mp4"))[0]
    >>> proc = vu.VideoProcessor(resize_dim=(None, 240), time_step=1, output_dir_base=root)
    >>> with vu.console(None):
    ...     proc.crop_video_to_frames(clip, os.path.join(root, "frames"), 0, 1, "61")
    >>> frames = sorted(glob.glob(os.path.join(root, "frames", "*.jpg")))
    >>> pen = synth.write_pen_file(os.path.join(root, "pen.json"), resize_height=240)
    >>> processor, model = make_detector()
    >>> masks, labels, index, image = vu.initializer(
    ...     root, frames, processor, model, "cpu", StandinImagePredictor(),
    ...     close_set_num=4, custom_pen_json_path=pen)  # doctest: +ELLIPSIS
    Using pen JSON path: .../pen.json
    Boxes will be kept: [0 1 2 3], totally 4 keys
    ann_frame_idx [0] works!!!
    [...]
    >>> len(masks), index
    (4, 0)
    """
    return _native.initializer(video_dir, frame_names, processor, grounding_model, device,
                               image_predictor, start_index, step, gdino_thr, close_set_num,
                               custom_pen_json_path)


def enhance_dark_text(image_pil, gamma=1.5):
    """Grey, contrast-enhanced copy of an RGB image in which dark marks stand out.

    Luminance, a gamma curve (1 / gamma power) through a 256-entry table, then
    histogram equalisation. Returns a PIL image of mode "L"; ``gamma`` must be
    positive.

    >>> import vexo_utils as vu
    >>> from PIL import Image
    >>> out = vu.enhance_dark_text(Image.new("RGB", (32, 16), (200, 180, 170)))
    >>> out.mode, out.size
    ('L', (32, 16))
    """
    return _native.enhance_dark_text(image_pil, gamma)


def generate_sam2_image_features(image, masks, image_predictor):
    """Appearance vector of each mask of an N x H x W stack (or list).

    ``set_image`` with the frame, then for each mask the frame crop over the
    mask's extent (its last row and column left out), dark-text enhanced with
    gamma 10 and black outside the mask, resized bilinearly to 256 x 256 and
    passed through ``image_predictor.model.image_encoder``; the spatial mean of
    "vision_features" is the vector (a tensor on the encoder's device, or a
    float32 numpy array without torch). Masks under 10 pixels or within a
    single row or column give None.

    >>> import numpy as np, vexo_utils as vu
    >>> from vexo_pipeline import StandinImagePredictor
    >>> mask = np.zeros((60, 80), np.uint8); mask[10:40, 10:50] = 1
    >>> image = np.full((60, 80, 3), 120, np.uint8)
    >>> features = vu.generate_sam2_image_features(image, [mask, mask * 0],
    ...                                            StandinImagePredictor(use_torch=False))
    >>> features[0].shape, features[1]
    ((64,), None)
    """
    return _native.generate_sam2_image_features(image, masks, image_predictor)


def cal_masks_iou_scores(masks_new, masks_old):
    """N_new x N_old float64 array of intersection / (union + 1e-06) between two lists of masks.

    >>> import numpy as np, vexo_utils as vu
    >>> a = np.zeros((10, 10), np.uint8); a[:, :5] = 1
    >>> vu.cal_masks_iou_scores([a], [a, 1 - a]).round(3)
    array([[1., 0.]])
    """
    return _native.cal_masks_iou_scores(masks_new, masks_old)


def cal_centroid_distance(masks_new, masks_old):
    """N_new x N_old float64 array of centroid similarity.

    1 - d / (max d + 1e-06) with d the distance between mask centroids; pairs
    with an empty mask take the largest distance + 1 (all NaN when no pair has
    two non-empty masks).

    >>> import numpy as np, vexo_utils as vu
    >>> a = np.zeros((10, 10), np.uint8); a[:, :5] = 1
    >>> vu.cal_centroid_distance([a], [a, 1 - a]).round(3)
    array([[1., 0.]])
    """
    return _native.cal_centroid_distance(masks_new, masks_old)


def cosine_scores_cal(image_features_new, image_features_old):
    """N_new x N_old float64 array of cosine similarities between two lists of vectors.

    Rows and columns of None entries hold -inf; zero vectors score 0.

    >>> import numpy as np, vexo_utils as vu
    >>> vu.cosine_scores_cal([np.array([1.0, 0.0])], [np.array([2.0, 0.0]), None])
    array([[  1., -inf]])
    """
    return _native.cosine_scores_cal(image_features_new, image_features_old)


# ---------------------------------------------------------------- clip to clip


def find_best_laste_frame(laste_frame, min_area=10, max_attempts=10, remove_stack_obs=[]):
    """Walks back from the last frame record of a clip to a usable frame.

    Looks at most ``max_attempts`` frames back and returns (record, False) for
    the first frame whose masks all exceed ``min_area`` pixels, number at least
    10 minus the named boxes of ``remove_stack_obs`` and overlap each other
    below 50 %; (None, True) when there is none. Boxes named in
    ``remove_stack_obs`` are first deleted from every record's masks_dict, in
    place (the default list is never changed).

    >>> import numpy as np, vexo_utils as vu
    >>> def pigs(n):
    ...     out = {}
    ...     for i in range(n):
    ...         m = np.zeros((50, 250), np.uint8); m[10:30, 25 * i:25 * i + 20] = 1
    ...         out[f"Box{i}"] = m
    ...     return out
    >>> frames = {0: {"masks_dict": pigs(10)}, 1: {"masks_dict": pigs(9)}}
    >>> record, failed = vu.find_best_laste_frame(frames)
    Switched to frame key 0 due to small mask area in later frames.
    >>> failed, len(record["masks_dict"])
    (False, 10)
    """
    return _native.find_best_laste_frame(laste_frame, min_area, max_attempts, remove_stack_obs)


def matcher(laste_frame, frame_names, ann_frame_idx=0, image_predictor=None,
            remove_stack_box=None, min_area=10, max_attempts=10, display_func=None):
    """Carries the pigs' numbers into a new clip.

    Picks a usable frame near the end of ``laste_frame`` (find_best_laste_frame,
    boxes of ``remove_stack_box`` deleted from every record), prompts
    ``image_predictor`` on ``frame_names[ann_frame_idx]`` with the boxes of its
    masks and returns (N x H x W masks in prompt order, ["pig"] * N, kept box
    names, the chosen record, False) when the new masks overlap at most 10 %,
    number as many as the prompts and each have at least ``min_area`` pixels;
    else (None, None, None, None, True). ``display_func``, when given,
    receives the prompts drawn on the new frame.

    >>> import os, tempfile, numpy as np, vexo_utils as vu
    >>> from PIL import Image
    >>> from vexo_pipeline import StandinImagePredictor
    >>> masks = {}
    >>> for i in range(10):
    ...     m = np.zeros((50, 250), np.uint8); m[10:30, 25 * i:25 * i + 20] = 1
    ...     masks[f"Box{i}"] = m
    >>> frame = os.path.join(tempfile.mkdtemp(), "0000.jpg")
    >>> Image.new("RGB", (250, 50)).save(frame)
    >>> predictor = StandinImagePredictor(script=[np.stack(list(masks.values()))[:, None]])
    >>> new_masks, labels, kept, record, failed = vu.matcher(
    ...     {0: {"masks_dict": masks}}, [frame], image_predictor=predictor)
    Switched to frame key 0 due to small mask area in later frames.
    ann_frame_idx [0] works for mask finding!!!
    >>> failed, new_masks.shape, kept[:3]
    (False, (10, 50, 250), ['Box0', 'Box1', 'Box2'])
    """
    return _native.matcher(laste_frame, frame_names, ann_frame_idx, image_predictor,
                           remove_stack_box, min_area, max_attempts, display_func)


# ---------------------------------------------------------------- tracking post-processing


def find_continuous_frames(frames_df, group_by="Box ID", n_consecutive=3):
    """Runs of consecutive "Frame ID" values per value of the column ``group_by``.

    Returns {group value: [run, ...]} with groups in ascending order (text
    order for text), each run an ascending list of consecutive frame numbers at
    least ``n_consecutive`` long; a repeated frame starts a new run. Rows with
    a null group value are ignored and groups without a kept run are left out.

    >>> import pandas as pd, vexo_utils as vu
    >>> df = pd.DataFrame({"Frame ID": [1, 2, 3, 7, 8, 4],
    ...                    "Box ID": ["Box1", "Box1", "Box1", "Box1", "Box1", "Box2"]})
    >>> vu.find_continuous_frames(df)
    {'Box1': [[1, 2, 3]]}
    """
    return _native.find_continuous_frames(frames_df, group_by, n_consecutive)


def process_overlap_frames(overlap_frames_dataframe, vexo_annotation_data, image_predictor,
                           n_consecutive=2):
    """Names the pig most likely tracked in error during overlap episodes.

    Episodes are runs of consecutive "Frame ID" values per "Box Pair" of the
    overlap table (the first result of generate_tracking_report), at least
    ``n_consecutive`` long (``n_consecutive + 2`` when several pairs are
    listed). The test frame is where the earliest episode begins, or ends when
    it starts at frame 0 (reverse tracking). Each pig of the episodes is
    compared between up to five window frames and the frame next to the test
    frame by appearance (generate_sam2_image_features), mask IoU and box IoU;
    each window frame votes for the pig with the largest mismatch.

    Returns (test_frame, most_frequent_box, {box pair: runs}, votes). Raises
    ValueError when there is no episode or no window frame, KeyError for a
    missing record or mask.

    >>> import os, tempfile, numpy as np, vexo_pipeline, vexo_utils as vu
    >>> from PIL import Image
    >>> folder = tempfile.mkdtemp(); frame = os.path.join(folder, "f.jpg")
    >>> Image.new("RGB", (80, 40), (90, 90, 90)).save(frame)
    >>> a = np.zeros((40, 80), np.uint8); a[5:30, 5:40] = 1
    >>> for i in range(12):
    ...     b = np.zeros((40, 80), np.uint8); b[5:30, 40 - (i in (6, 7, 8)) * 30:75] = 1
    ...     _ = vexo_pipeline.write_tracking_frame(folder, i, frame, {1: a, 2: b})
    >>> with vu.console(None):
    ...     last, frames = vu.get_vexo_annotation_data("", save_dir_base=folder)
    ...     overlap, *_ = vu.generate_tracking_report(frames, folder)
    >>> predictor = vexo_pipeline.StandinImagePredictor(use_torch=False)
    >>> test_frame, worst, episodes, votes = vu.process_overlap_frames(
    ...     overlap, frames, predictor)
    Box pairs with overlap episodes: ['Box0-Box1']
    Box Pair: Box0-Box1
    First frame with a single boxpair: 6
    First frame with multiple boxpairs: nan
    reverse_track: False
    Most frequent box with errors: Box1
    >>> test_frame, episodes
    (6, {'Box0-Box1': [[6, 7, 8]]})
    """
    return _native.process_overlap_frames(overlap_frames_dataframe, vexo_annotation_data,
                                          image_predictor, n_consecutive)


def generate_tracking_report(vexo_annotation_data, save_dir_base, intersection_thrr=80):
    """Reports the frames of a clip that need review.

    Scans every record of ``vexo_annotation_data`` ({annotation index: frame
    record} with "mask_areas" and "intersections_df") for masks of area 0 and
    overlap cells strictly above ``intersection_thrr``. When anything is found,
    writes save_dir_base/tracking_question_report.csv (high-overlap rows first,
    then zero-area rows; written to a temporary file and renamed into place)
    and prints progress lines.

    Returns (overlap_frames_data, zero_area_frames, overlap_frames,
    box_keys_df): the DataFrame of all high-overlap rows, the list of
    zero-area row dicts, the keys of the frames with overlap, and the DataFrame
    of the last such frame's rows. Both tables have the columns Frame ID
    (int64), Box Pair (str), Intersection Value (float64, rounded to two
    decimals), Mask Area1, Mask Area2 (int64), Report type (str), Box ID and
    Mask Areas (None).

    >>> import os, tempfile, numpy as np, vexo_pipeline, vexo_utils as vu
    >>> from PIL import Image
    >>> folder = tempfile.mkdtemp(); image = os.path.join(folder, "f.jpg")
    >>> Image.new("RGB", (60, 40)).save(image)
    >>> a = np.zeros((40, 60), np.uint8); a[5:30, 5:40] = 1
    >>> _ = vexo_pipeline.write_tracking_frame(folder, 0, image, {1: a, 2: a})
    >>> with vu.console(None):
    ...     last, frames = vu.get_vexo_annotation_data("", save_dir_base=folder)
    >>> overlap, zero, keys, last_rows = vu.generate_tracking_report(frames, folder)  # doctest: +ELLIPSIS
    Generating tracking question report...
    <BLANKLINE>
    Tracking question report saved to .../tracking_question_report.csv
    >>> overlap[["Frame ID", "Box Pair", "Intersection Value"]]
       Frame ID   Box Pair  Intersection Value
    0         0  Box0-Box1               100.0
    1         0  Box1-Box0               100.0
    >>> os.path.exists(os.path.join(folder, "tracking_question_report.csv"))
    True
    """
    return _progress_call(_native.generate_tracking_report, vexo_annotation_data, save_dir_base,
                          intersection_thrr)


def find_boxes_with_small_area_from_last_video(laste_frame, min_frame_id=500, area_threshold=100,
                                               min_count=100):
    """Boxes to drop before the next clip.

    Those whose "mask_areas" entry is at most ``area_threshold`` in more than
    ``min_count`` of the records with a key above ``min_frame_id``; returned in
    order of their first small occurrence.

    >>> import vexo_utils as vu
    >>> frames = {i: {"mask_areas": {"Box0": 5000, "Box1": 40 if i > 2 else 900}}
    ...           for i in range(10)}
    >>> vu.find_boxes_with_small_area_from_last_video(frames, min_frame_id=0, min_count=3)
    ['Box1']
    """
    return _native.find_boxes_with_small_area_from_last_video(laste_frame, min_frame_id,
                                                              area_threshold, min_count)
