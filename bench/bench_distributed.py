"""The default multi-pen main job on local clusters of 1 and 2 worker
processes, in the same run: wall times, the throughput ratio and the
per-task times behind the scaling table of docs/cluster.md.

    PYTHONPATH=build/python MPLBACKEND=Agg python3 bench/bench_distributed.py [--out DIR]

Each cluster runs the job into a fresh run folder (nothing reused). Prints a
JSON report; --json writes it to a file as well.
"""

import argparse
import collections
import json
import os
import shutil
import tempfile
import time

from vexo_pipeline import cluster
from vexo_pipeline.runfolder import Settings


def one(workers: int, root: str, settings: Settings) -> dict:
    out = os.path.join(root, f"workers{workers}")
    shutil.rmtree(out, ignore_errors=True)
    with cluster.local_cluster(workers) as client:
        client.run(lambda: __import__("vexo_pipeline.stages"))  # imports out of the timing
        t0 = time.perf_counter()
        cluster.run_on(client, out, settings)
        wall = time.perf_counter() - t0
    tasks = json.load(open(os.path.join(out, cluster.LOGS, "tasks.json")))
    return {"workers": workers, "wall_seconds": round(wall, 2), "tasks": tasks}


def main() -> None:
    ap = argparse.ArgumentParser()
    ap.add_argument("--out", default=None, help="folder for the two run folders (default: temp)")
    ap.add_argument("--json", default=None, help="also write the report here")
    args = ap.parse_args()
    settings = Settings()
    root = args.out or tempfile.mkdtemp(prefix="bench_distributed_")
    runs = [one(1, root, settings), one(2, root, settings)]
    per_kind = collections.defaultdict(list)
    for t in runs[0]["tasks"]:
        per_kind[t["kind"]].append(t["seconds"])
    report = {
        "job": settings.as_dict(),
        "wall_seconds": {r["workers"]: r["wall_seconds"] for r in runs},
        "throughput_ratio_2_over_1": round(runs[0]["wall_seconds"] / runs[1]["wall_seconds"], 2),
        "per_task_seconds_1_worker": {k: {"count": len(v), "mean": round(sum(v) / len(v), 2),
                                          "max": round(max(v), 2)} for k, v in per_kind.items()},
        "tasks": {r["workers"]: r["tasks"] for r in runs},
        "cpus": os.cpu_count(), "load_average": os.getloadavg(),
    }
    text = json.dumps(report, indent=2)
    print(text)
    if args.json:
        with open(args.json, "w") as f:
            f.write(text + "\n")
    if not args.out:
        shutil.rmtree(root, ignore_errors=True)


if __name__ == "__main__":
    main()
