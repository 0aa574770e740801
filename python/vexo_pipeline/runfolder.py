"""The run folder: recorded settings, stage stamps and stages moved into place.

Every stage writes into ``<folder>.tmp`` and renames it to ``<folder>`` once
complete, with a ``stage.json`` stamp inside that lists the settings the
stage's output depends on. A rerun reuses a stage whose stamp matches the
current settings and redoes (and says why) one whose stamp differs or is
missing, so a folder in place is never half-written and never stale.
"""

from __future__ import annotations

import json
import os
import shutil
import sys
from dataclasses import asdict, dataclass, fields
from typing import Dict, List, Mapping, Optional, Tuple

SETTINGS_FILE = "settings.json"
STAMP_FILE = "stage.json"
FORMAT = "vexo-pipeline-run/2"


@dataclass
class Settings:
    """What a run is made of. Each stage depends on a subset (see DEPENDS)."""

    cameras: int = 2
    pens: Tuple[str, ...] = ("left", "right")
    clips: int = 4  # per camera
    days: int = 2  # the clips are spread over this many days (at most one day per clip)
    seconds: float = 6.0
    fps: float = 10.0
    pigs: int = 10
    seed: int = 0
    height: int = 520
    faults: str = "swap,vanish,fragment,small,matcher"
    propagation: str = "simulated"
    flag_below: float = 0.95  # identity accuracy under which a clip is flagged

    def validate(self) -> None:
        if not 1 <= self.cameras <= 9:
            raise ValueError("cameras must be from 1 to 9")
        if not self.pens or any(p not in ("left", "right") for p in self.pens) or \
                len(set(self.pens)) != len(self.pens):
            raise ValueError("pens: expected 'left', 'right' or both")
        if not 1 <= self.clips <= 1000:
            raise ValueError("clips must be from 1 to 1000")
        if not 1 <= self.days <= 366:
            raise ValueError("days must be from 1 to 366")
        if not 0.5 <= self.seconds <= 600:
            raise ValueError("seconds must be from 0.5 to 600")
        if not 1 <= self.fps <= 60:
            raise ValueError("fps must be from 1 to 60")
        if self.pigs != 10:
            # The matcher carries the ten box names Box0 .. Box9 of a pen.
            raise ValueError("pigs: the pens hold ten pigs each")
        if self.seed < 0:
            raise ValueError("seed must not be negative")
        if not 120 <= self.height <= 1440:
            raise ValueError("height must be from 120 to 1440")
        if self.propagation not in ("simulated", "image"):
            raise ValueError("propagation: expected 'simulated' or 'image'")
        if not 0 <= self.flag_below <= 1:
            raise ValueError("flag_below must be from 0 to 1")
        from .faults import parse_kinds

        parse_kinds(self.faults)

    def clips_per_day(self) -> List[int]:
        """Clips of each day: the camera's clips spread over the days, the
        earlier days taking one more when they do not divide evenly."""
        days = min(self.days, self.clips)
        return [self.clips // days + (d < self.clips % days) for d in range(days)]

    def as_dict(self) -> dict:
        d = asdict(self)
        d["pens"] = list(self.pens)
        return d

    @classmethod
    def from_dict(cls, d: Mapping) -> "Settings":
        known = {f.name for f in fields(cls)}
        kw = {k: v for k, v in d.items() if k in known}
        if "pens" in kw:
            kw["pens"] = tuple(kw["pens"])
        return cls(**kw)


# Settings each stage's output depends on.
RECORDING = ("clips", "days", "seconds", "fps", "pigs", "seed")
DEPENDS: Dict[str, Tuple[str, ...]] = {
    "recording": RECORDING,
    "faults": RECORDING + ("faults",),
    "crop": RECORDING + ("height",),
    "frames": RECORDING + ("height",),
    "tracking": RECORDING + ("height", "faults", "propagation"),
}


def log(msg: str) -> None:
    print(f"[pipeline] {msg}", file=sys.stderr, flush=True)


def depends(settings: Mapping, stage: str, **extra) -> dict:
    d = {k: settings[k] for k in DEPENDS[stage]}
    d.update(extra)
    return d


def read_json(path: str) -> Optional[dict]:
    try:
        with open(path, encoding="utf-8") as f:
            return json.load(f)
    except (OSError, ValueError):
        return None


def write_json(path: str, data) -> None:
    """Writes JSON next to `path` and renames it into place."""
    tmp = path + ".tmp"
    with open(tmp, "w", encoding="utf-8") as f:
        json.dump(data, f, indent=2)
        f.write("\n")
    os.replace(tmp, path)


def stale_reason(folder: str, want: Mapping) -> Optional[str]:
    """None when `folder` holds a complete stage made with `want`, else why
    it must be (re)made."""
    stamp = read_json(os.path.join(folder, STAMP_FILE))
    if stamp is None:
        return "not made yet" if not os.path.exists(folder) else "incomplete"
    had = stamp.get("depends", {})
    for k, v in want.items():
        if had.get(k) != v:
            return f"{k} changed from {had.get(k)!r} to {v!r}"
    return None


def begin(folder: str) -> str:
    """An empty temporary folder for building `folder`."""
    tmp = folder + ".tmp"
    if os.path.exists(tmp):
        shutil.rmtree(tmp)
    os.makedirs(tmp)
    return tmp


def commit(tmp: str, folder: str, want: Mapping, result=None) -> None:
    """Stamps the stage built in `tmp` and moves it to `folder`."""
    write_json(os.path.join(tmp, STAMP_FILE), {"depends": dict(want), "result": result})
    if os.path.exists(folder):
        shutil.rmtree(folder)
    os.replace(tmp, folder)


def stamped_result(folder: str):
    stamp = read_json(os.path.join(folder, STAMP_FILE)) or {}
    return stamp.get("result")


def open_run_folder(out: str, settings: Settings) -> List[str]:
    """Creates or checks the run folder and records the settings. Returns
    the settings that differ from the recorded ones (a rerun). A non-empty
    folder that was not made by this pipeline is refused."""
    path = os.path.join(out, SETTINGS_FILE)
    changed: List[str] = []
    if os.path.isdir(out) and os.listdir(out):
        old = read_json(path)
        if old is None or old.get("format") != FORMAT:
            raise RuntimeError(
                f"run folder {out!r} holds files but no {SETTINGS_FILE} of this pipeline "
                f"(an older or foreign run): choose an empty or new --out folder")
        before = old.get("settings", {})
        now = settings.as_dict()
        changed = [k for k in now if before.get(k) != now[k]]
        for k in changed:
            log(f"rerun: setting {k} changed from {before.get(k)!r} to {now[k]!r}; "
                f"stages that depend on it are redone")
    os.makedirs(out, exist_ok=True)
    write_json(path, {"format": FORMAT, "settings": settings.as_dict()})
    return changed
