"""How many threads the library's own parallel work uses."""

import contextlib

from . import _native


def set_threads(n=None):
    """Limits the threads of the library's parallel work; returns the previous limit.

    ``None`` (or 0) uses every core, the default; 1 keeps all work on the
    calling thread, as a worker process of a cluster that runs one task per
    core wants. The environment variable ``VEXO_NUM_THREADS`` sets the limit
    a process starts with. Results do not depend on it.

    >>> import vexo_utils as vu
    >>> previous = vu.set_threads(1)
    >>> vu.set_threads(previous)
    1
    """
    if n is None:
        n = 0
    if isinstance(n, bool) or not isinstance(n, int):
        raise TypeError(f"set_threads: expected a thread count or None, got {type(n).__name__}")
    if n < 0:
        raise ValueError("set_threads: the thread count must not be negative")
    previous = _native._set_thread_limit(min(n, 4096))
    return previous or None


@contextlib.contextmanager
def threads(n):
    """Within the block, the library's parallel work uses at most ``n`` threads.

    >>> import vexo_utils as vu
    >>> with vu.threads(1):
    ...     vu.calculate_iou([0, 0, 10, 10], [0, 0, 10, 5])
    0.5
    """
    previous = set_threads(n)
    try:
        yield
    finally:
        set_threads(previous)
