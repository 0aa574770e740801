"""examples/tutorial.ipynb runs headless in a real Jupyter kernel.

The kernel is Debian's /usr/bin/python3 with ipykernel, started by nbclient
from a kernelspec written into the test's temporary folder. Checked: no cell
fails except the deliberate bad call, the library's console lines land in the
cells that printed them, pictures come out as PNG, and a kernel interrupt
during a long native call (frame extraction, refinement) ends that cell with
KeyboardInterrupt within a second while the kernel stays usable.
"""

import asyncio
import json
import os
import threading
import time

import pytest

nbformat = pytest.importorskip("nbformat")
nbclient = pytest.importorskip("nbclient")
pytest.importorskip("ipykernel")

import vexo_utils as vu  # noqa: E402

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
NOTEBOOK = os.path.join(ROOT, "examples", "tutorial.ipynb")
PY_DIR = os.path.dirname(os.path.dirname(vu.__file__))

# Long native calls for the interrupt checks, run after the tutorial in its
# kernel (they use its variables). Each would take several seconds.
LONG_EXTRACTION = """
many_clips = pd.concat([catalogue] * 40, ignore_index=True)
many_clips["Video Name"] = [f"copy{i}" for i in range(len(many_clips))]
long_proc = vu.VideoProcessor(time_step=0.05, crop=False, output_dir_base=os.path.join(work, "long/"))
print("extraction starts", flush=True)
with vu.console(None):
    long_proc.process_videos_to_frames(many_clips)
"""
LONG_REFINEMENT = """
objects = segments[ann_idx]
many_frames = {f: dict(objects) for f in range(600)}
print("refinement starts", flush=True)
with vu.console(None):
    for _ in range(20):  # long enough on a fast, idle machine too
        vu.Mask_Refinement(custom_pen_json_path=pen_path).process_video_segments(
            many_frames, win_dir, frame_names * 600)
"""


def _kernelspec(tmp_path):
    spec_dir = tmp_path / "jupyter" / "kernels" / "vexo-test"
    spec_dir.mkdir(parents=True)
    env = {"PYTHONPATH": PY_DIR, "MPLBACKEND": "module://matplotlib_inline.backend_inline",
           "PYDEVD_DISABLE_FILE_VALIDATION": "1"}
    (spec_dir / "kernel.json").write_text(json.dumps({
        "argv": ["/usr/bin/python3", "-m", "ipykernel_launcher", "-f", "{connection_file}"],
        "display_name": "vexo test kernel", "language": "python", "env": env}))
    return str(tmp_path / "jupyter")


def _text(cell):
    out = []
    for o in cell.get("outputs", []):
        if o.get("output_type") == "stream":
            out.append(o.get("text", ""))
        elif "data" in o:
            out.append(o["data"].get("text/plain", ""))
    return "".join(out)


def _errors(cell):
    return [o for o in cell.get("outputs", []) if o.get("output_type") == "error"]


def _pngs(cell):
    return [o for o in cell.get("outputs", []) if "image/png" in o.get("data", {})]


def _interrupt_after(client, seconds, started):
    """Interrupts the kernel `seconds` after the cell printed its start line."""
    stamp = {}

    def run():
        deadline = time.monotonic() + 120
        while not started() and time.monotonic() < deadline:
            time.sleep(0.05)
        time.sleep(seconds)
        stamp["at"] = time.monotonic()
        asyncio.run(client.km.interrupt_kernel())

    t = threading.Thread(target=run, daemon=True)
    t.start()
    return t, stamp


def test_tutorial_runs_in_a_kernel(tmp_path, monkeypatch):
    monkeypatch.setenv("JUPYTER_PATH", _kernelspec(tmp_path))
    monkeypatch.setenv("JUPYTER_DATA_DIR", str(tmp_path / "data"))
    monkeypatch.setenv("JUPYTER_RUNTIME_DIR", str(tmp_path / "runtime"))
    monkeypatch.setenv("IPYTHONDIR", str(tmp_path / "ipython"))
    nb = nbformat.read(NOTEBOOK, as_version=4)
    # Committed without outputs.
    assert all(not c.get("outputs") and not c.get("execution_count")
               for c in nb.cells if c.cell_type == "code")
    client = nbclient.NotebookClient(nb, kernel_name="vexo-test", timeout=120,
                                     resources={"metadata": {"path": str(tmp_path)}})
    code = [c for c in nb.cells if c.cell_type == "code"]
    with client.setup_kernel():
        for i, cell in enumerate(nb.cells):
            client.execute_cell(cell, i)
        # The deliberate bad call is the only failing cell, with a clear message.
        failing = [c for c in code if _errors(c)]
        assert len(failing) == 1 and "raises-exception" in failing[0].metadata.get("tags", [])
        assert _errors(failing[0])[0]["ename"] in ("ValueError", "TypeError")
        assert "box1" in " ".join(_errors(failing[0])[0]["evalue"].split()).lower()

        def cell_with(source_part):
            return next(c for c in code if source_part in c.source)

        # Console lines in the cells that produced them.
        assert "Camera61_1_" in _text(cell_with("get_filtered_video_dataframe"))
        extraction = _text(cell_with("process_videos_to_frames"))
        assert "Processing frame 0 (saved as 0000.jpg)" in extraction
        assert "Detected crop region for Camera 61" in extraction
        assert "Processing frame" not in _text(cell_with("get_filtered_video_dataframe"))
        assert "Boxes will be kept" in _text(cell_with("vu.initializer("))
        refine = _text(cell_with("process_video_segments"))
        assert "clean frame" not in refine and "prev_centroids: 10 remembered" in refine
        report = _text(cell_with("generate_tracking_report(frames, track_dir)\nprint"))
        assert "frames read" in report
        assert "lines logged" in _text(cell_with("vu.console(log)"))
        # Pictures: the first frame, the initializer's boxes, a mask, the
        # heatmap and the annotation.
        for part in ("plt.imread", "vu.initializer(", "video_segments_mask_visual",
                     "draw_intersection_heatmap", "retrieve_annotation"):
            assert _pngs(cell_with(part)), part

        # Interrupts during long native calls; the kernel stays usable.
        for source, func in ((LONG_EXTRACTION, "process_videos_to_frames"),
                             (LONG_REFINEMENT, "process_video_segments")):
            cell = nbformat.v4.new_code_cell(source, metadata={"tags": ["raises-exception"]})
            nb.cells.append(cell)
            word = source.split('print("')[1].split('"')[0]
            thread, stamp = _interrupt_after(client, 0.5, lambda: word in _text(cell))
            client.execute_cell(cell, len(nb.cells) - 1)
            ended = time.monotonic()
            thread.join(5)
            errors = _errors(cell)
            assert errors and errors[0]["ename"] == "KeyboardInterrupt", _text(cell)
            assert any(func in line for line in errors[0]["traceback"]), func
            assert "at" in stamp, func
            print(f"{func}: interrupt to end of cell {ended - stamp['at']:.3f} s")
            assert ended - stamp["at"] < 1.0, func
            after = nbformat.v4.new_code_cell("print(vu.calculate_iou([0, 0, 2, 2], [0, 0, 2, 1]))")
            nb.cells.append(after)
            client.execute_cell(after, len(nb.cells) - 1)
            assert _text(after).strip() == "0.5"
