"""Where the library's console lines go, and opt-in progress bars.

By default every line is written to ``sys.stdout`` as it is produced, in order
with the caller's own prints, exactly as the operations document it. Both
settings here are opt-in and only change where text goes, never what a call
computes or returns.
"""

from __future__ import annotations

import contextlib
import logging
import threading

from . import _native

_STDOUT = "stdout"
_lock = threading.Lock()
_console_target = _STDOUT
_bars = None  # the progress display while progress is on


class _LoggerSink:
    """Hands complete lines to a logger at INFO level (text without its line break)."""

    def __init__(self, logger):
        self._logger = logger
        self._pending = ""

    def __call__(self, text):
        *lines, self._pending = (self._pending + text).split("\n")
        for line in lines:
            self._logger.info(line)


def _sink_for(target):
    if target is None:
        return lambda text: None
    if isinstance(target, logging.Logger):
        return _LoggerSink(target)
    write = getattr(target, "write", None)
    if callable(write):
        return write
    raise TypeError("console target: expected 'stdout', None (silence), a logging.Logger or an "
                    f"object with a write(text) method, got {type(target).__name__}")


def set_console(target=_STDOUT):
    """Sends the library's console lines to ``target``; returns the previous target.

    ``target`` is ``"stdout"`` (the default: ``sys.stdout`` at the moment of
    each line, as without this call), ``None`` (silence), a
    ``logging.Logger`` (one INFO record per line, without its line break) or
    any object with a ``write(text)`` method (a file, ``io.StringIO``, ...).

    >>> import io, numpy as np, vexo_utils as vu
    >>> buffer = io.StringIO()
    >>> previous = vu.set_console(buffer)
    >>> vu.find_best_laste_frame({}, max_attempts=0)
    (None, True)
    >>> _ = vu.set_console(previous)
    >>> buffer.getvalue()
    'No valid frame found with all masks area > 10 in the last 0 frames for 10 tracks.\\n'
    """
    global _console_target
    if isinstance(target, str) and target == _STDOUT:
        sink = None
    else:
        sink = _sink_for(target)
    with _lock:
        previous = _console_target
        _native._set_console_sink(sink)
        _console_target = target
    return previous


@contextlib.contextmanager
def console(target):
    """Within the block, the library's console lines go to ``target`` (see set_console).

    >>> import logging, vexo_utils as vu
    >>> with vu.console(None):
    ...     vu.find_best_laste_frame({}, max_attempts=0)
    (None, True)
    """
    previous = set_console(target)
    try:
        yield
    finally:
        set_console(previous)


class _Bars:
    """One tqdm bar per running task; inner tasks (frames of a window) sit
    below the outer ones and disappear when done."""

    def __init__(self, tqdm):
        self._tqdm = tqdm
        self._open = {}

    def __call__(self, task, done, total):
        bar = self._open.get(task)
        if bar is not None and done < bar.n:  # the task runs again (the next window)
            bar.close()
            del self._open[task]
            bar = None
        if bar is None:
            bar = self._tqdm(total=total, desc=task, position=len(self._open),
                             leave=not self._open, dynamic_ncols=True)
            self._open[task] = bar
        elif total != bar.total:  # a window of a clip that ended early
            bar.total = total
        bar.update(done - bar.n)
        if done >= total:
            bar.close()
            del self._open[task]

    def close_all(self):
        for bar in reversed(list(self._open.values())):
            bar.close()
        self._open.clear()


def set_progress(enabled=True):
    """Turns progress bars on or off; returns the previous setting.

    With progress on, frame extraction (per clip, per window and per frame),
    mask refinement (per frame), reading tracking output (per file), the
    tracking report (per frame) and the catalogue (per folder) show
    ``tqdm.auto`` bars: a widget in notebooks where ipywidgets is installed, a
    text bar on stderr otherwise. Console lines are not changed (silence them
    with ``console(None)``). Off by default; off, the loops pay nothing.

    >>> import vexo_utils as vu
    >>> vu.set_progress(False)
    False
    """
    global _bars
    enabled = bool(enabled)
    with _lock:
        previous = _bars is not None
        if enabled == previous:
            return previous
        if enabled:
            try:
                from tqdm.auto import tqdm
            except ImportError as e:
                raise ImportError("progress bars need the Python package 'tqdm' "
                                  "(Debian: python3-tqdm)") from e
            _bars = _Bars(tqdm)
            _native._set_progress_hook(_bars)
        else:
            _native._set_progress_hook(None)
            _bars.close_all()
            _bars = None
    return previous


@contextlib.contextmanager
def progress(enabled=True):
    """Within the block, progress bars are on (or off); see set_progress.

    >>> import vexo_utils as vu
    >>> with vu.progress():
    ...     vu.list_all_files("no such folder")
    []
    """
    previous = set_progress(enabled)
    try:
        yield
    finally:
        set_progress(previous)


def _progress_call(fn, *args):
    """Calls ``fn(*args)``; with progress on, closes the bars a failed or
    interrupted call left open."""
    bars = _bars
    if bars is None:
        return fn(*args)
    try:
        return fn(*args)
    finally:
        bars.close_all()
