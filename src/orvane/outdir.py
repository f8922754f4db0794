"""An output folder that shows either the previous run's files or the new run's, never a mix.

The files of a run are written into a fresh folder beside the target and
moved in only when all of them are complete, with interrupting signals held
back during the move; the previous run's files that the new run did not
write are removed in the same step.  Files other than the run's own are
left alone.
"""

from __future__ import annotations

import contextlib
import os
import shutil
import signal
import tempfile
from typing import Iterable, Iterator, Optional

__all__ = ["OutputFolder", "check_output_folder"]

# Signals that would stop the process half-way through the move.
_HELD = tuple(s for s in (getattr(signal, n, None) for n in ("SIGINT", "SIGTERM", "SIGHUP")) if s is not None)


def check_output_folder(path: str) -> Optional[str]:
    """Why ``path`` cannot be an output folder, or None when it can."""
    if os.path.exists(path) and not os.path.isdir(path):
        return f"--out {path} is a file, not a folder; name a folder for the outputs"
    parent = os.path.dirname(os.path.abspath(path))
    while not os.path.exists(parent):
        parent = os.path.dirname(parent)
    if not os.path.isdir(parent):
        return f"--out {path} lies under {parent}, which is a file"
    return None


@contextlib.contextmanager
def _signals_held() -> Iterator[None]:
    """Hold back interrupting signals (on the main thread, where they are delivered)."""
    if not hasattr(signal, "pthread_sigmask"):
        yield
        return
    try:
        old = signal.pthread_sigmask(signal.SIG_BLOCK, _HELD)
    except (OSError, ValueError):
        yield
        return
    try:
        yield
    finally:
        # A signal that came meanwhile is delivered now, after the move.
        signal.pthread_sigmask(signal.SIG_SETMASK, old)


class OutputFolder:
    """Write a run's files beside ``path``, then put them in ``path`` in one step.

    ``names`` are every file a run may write: those of a previous run that
    the new one does not write are removed when it commits.

    Use as a context manager: :meth:`file` gives the path to write each
    file to, :meth:`commit` moves them in; leaving the block without a
    commit (an error, an interrupt) deletes what was written.
    """

    def __init__(self, path: str, names: Iterable[str]) -> None:
        self.path = path
        self.names = tuple(names)
        self._staging: Optional[str] = None
        self._written: list = []

    def __enter__(self) -> "OutputFolder":
        target = os.path.abspath(self.path)
        parent = os.path.dirname(target)
        os.makedirs(parent, exist_ok=True)
        self._staging = tempfile.mkdtemp(prefix=f".{os.path.basename(target)}.partial-", dir=parent)
        return self

    def __exit__(self, *exc: object) -> None:
        if self._staging is not None:
            shutil.rmtree(self._staging, ignore_errors=True)
            self._staging = None

    def file(self, name: str) -> str:
        """Where to write the file ``name`` of this run."""
        if name not in self.names:
            raise ValueError(f"{name!r} is not one of the output files {self.names}")
        assert self._staging is not None, "use OutputFolder as a context manager"
        self._written.append(name)
        return os.path.join(self._staging, name)

    def commit(self) -> dict:
        """Move the written files into the folder; returns their final paths by name."""
        staging = self._staging
        assert staging is not None, "use OutputFolder as a context manager"
        target = self.path
        with _signals_held():
            try:
                # A new folder: one rename moves every file at once.
                os.rename(staging, target)
                self._staging = None
            except OSError:
                if not os.path.isdir(target):
                    raise
                for name in self._written:
                    os.replace(os.path.join(staging, name), os.path.join(target, name))
                for name in self.names:
                    stale = os.path.join(target, name)
                    if name not in self._written and os.path.lexists(stale):
                        os.remove(stale)
        return {name: os.path.join(target, name) for name in self._written}
