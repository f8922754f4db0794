"""One copy of a sweep's data per host, in a shared-memory segment that workers read in place.

The sweep's payload (prices, weights, strategy) is pickled with protocol 5,
which hands every large contiguous buffer (the price and weight matrices,
dates, Arrow columns) to a callback instead of copying it into the pickle.
Those buffers are written once into a shared-memory segment; the pickle
that is left is small and travels to the workers in place of the data.  A
worker on the same host maps the segment read-only and unpickles with views
of it, so its tables point into the one shared copy and nothing is copied;
the engine reads them as they lie.  A worker that cannot map the segment
(on another host, or where shared memory is short) says so and is sent the
whole payload instead.

The segment is unlinked when the sweep ends, however it ends; if the
sweeping process dies first, the standard library's resource tracker
unlinks it (POSIX).  On Windows a named mapping lives as long as a process
has it open, so nothing is left behind.
"""

from __future__ import annotations

import mmap
import os
import pickle
import secrets
import threading
from dataclasses import dataclass
from typing import Any, Callable, Optional

import numpy as np

__all__ = ["SharedData", "Segment", "export", "attach", "load", "SEGMENT_PREFIX"]

SEGMENT_PREFIX = "orvane-"

# Buffers smaller than this stay in the pickle: a segment entry is not worth it.
_MIN_SHARED = 1 << 12
# Offsets of the buffers in the segment; more than any element's alignment and a cache line.
_ALIGN = 64
_NONCE = 16


@dataclass(frozen=True)
class SharedData:
    """What a worker needs to read a sweep's data from its host's segment; sent instead of the data.

    ``nonce`` opens the segment, so that a namesake elsewhere (or a mapping
    that Windows would create afresh) is never taken for it.
    """

    token: str
    name: str
    size: int
    nonce: bytes
    pickled: bytes
    spans: tuple


def _posix_name(name: str) -> str:
    return "/" + name


class Segment:
    """A shared-memory segment created by the sweeping process; it alone unlinks it."""

    def __init__(self, name: str, size: int, memory: mmap.mmap, tracked: bool) -> None:
        self.name = name
        self.size = size
        self.memory: Optional[mmap.mmap] = memory
        self._tracked = tracked
        self._lock = threading.Lock()

    @classmethod
    def create(cls, size: int) -> Optional["Segment"]:
        """A new segment of ``size`` bytes, or None when the host cannot give one."""
        if os.name == "nt":
            # A named mapping that exists already would be opened, not created: the name is long.
            name = f"{SEGMENT_PREFIX}{os.getpid()}-{secrets.token_hex(16)}"
            try:
                return cls(name, size, mmap.mmap(-1, size, tagname=name), tracked=False)
            except (OSError, ValueError):
                return None
        try:
            import _posixshmem
        except ImportError:
            return None
        for _ in range(3):
            # Short enough for macOS, whose names have at most 31 characters.
            name = f"{SEGMENT_PREFIX}{os.getpid()}-{secrets.token_hex(4)}"
            try:
                fd = _posixshmem.shm_open(_posix_name(name), os.O_CREAT | os.O_EXCL | os.O_RDWR, mode=0o600)
                break
            except FileExistsError:
                continue
            except (OSError, ValueError):
                return None
        else:
            return None
        # Should this process die before it unlinks the segment, the resource tracker will.
        tracked = _track(name, True)
        try:
            # Reserving the pages now fails here when shared memory is short,
            # instead of killing the process with SIGBUS when a page is first written.
            if hasattr(os, "posix_fallocate"):
                os.posix_fallocate(fd, 0, size)
            else:
                os.ftruncate(fd, size)
            memory = mmap.mmap(fd, size)
        except (OSError, ValueError):
            _unlink(name)
            if tracked:
                _track(name, False)
            return None
        finally:
            os.close(fd)
        return cls(name, size, memory, tracked)

    def release(self) -> None:
        """Unlink the segment and drop this process's mapping (workers keep theirs until they let go)."""
        with self._lock:
            memory, self.memory = self.memory, None
        if memory is None:
            return
        if os.name != "nt":
            _unlink(self.name)
            if self._tracked:
                _track(self.name, False)
        try:
            memory.close()
        except BufferError:
            # A view of it is still alive somewhere; the mapping goes when that view does.
            pass


def _track(name: str, register: bool) -> bool:
    """(Un)register a segment with the standard library's resource tracker; False when it cannot."""
    from multiprocessing import resource_tracker

    try:
        if register:
            resource_tracker.register(_posix_name(name), "shared_memory")
        else:
            resource_tracker.unregister(_posix_name(name), "shared_memory")
    except Exception:
        return False
    return True


def _unlink(name: str) -> None:
    try:
        import _posixshmem

        _posixshmem.shm_unlink(_posix_name(name))
    except (OSError, ImportError):
        pass


def _address(raw: memoryview) -> int:
    return int(np.frombuffer(raw, dtype=np.uint8).__array_interface__["data"][0]) if raw.nbytes else 0


def export(
    payload: Any, token: str, dumps: Callable[..., bytes]
) -> Optional[tuple[Segment, SharedData]]:
    """Put the large buffers of ``payload`` in a new segment; None when there are none or no segment can be had.

    ``dumps`` is ``pickle.dumps`` or ``cloudpickle.dumps``; its errors propagate.
    """
    buffers: list[memoryview] = []

    def collect(buffer: pickle.PickleBuffer) -> bool:
        try:
            raw = buffer.raw()
        except BufferError:
            return True
        if raw.nbytes < _MIN_SHARED:
            return True
        buffers.append(raw)
        return False

    pickled = dumps(payload, protocol=5, buffer_callback=collect)
    if not buffers:
        return None
    # The same memory pickled twice (a table and a view of it) is stored once.
    spans: list[tuple[int, int]] = []
    placed: dict[tuple[int, int], int] = {}
    to_write: list[tuple[int, memoryview]] = []
    end = _ALIGN
    for raw in buffers:
        key = (_address(raw), raw.nbytes)
        offset = placed.get(key)
        if offset is None:
            offset = placed[key] = end
            to_write.append((offset, raw))
            end = -(-(offset + raw.nbytes) // _ALIGN) * _ALIGN
        spans.append((offset, raw.nbytes))
    segment = Segment.create(end)
    if segment is None:
        return None
    nonce = secrets.token_bytes(_NONCE)
    try:
        memory = segment.memory
        assert memory is not None
        with memoryview(memory) as view:
            for offset, raw in to_write:
                view[offset:offset + raw.nbytes] = raw
            view[:_NONCE] = nonce
    except BaseException:
        segment.release()
        raise
    finally:
        buffers.clear()
        to_write.clear()
    return segment, SharedData(token, segment.name, end, nonce, pickled, tuple(spans))


def attach(shared: SharedData) -> Optional[mmap.mmap]:
    """Map a sweep's segment read-only, or None when this host does not have it."""
    try:
        if os.name == "nt":
            memory = mmap.mmap(-1, shared.size, tagname=shared.name, access=mmap.ACCESS_READ)
        else:
            import _posixshmem

            fd = _posixshmem.shm_open(_posix_name(shared.name), os.O_RDONLY, mode=0o600)
            try:
                if os.fstat(fd).st_size < shared.size:
                    return None
                memory = mmap.mmap(fd, shared.size, access=mmap.ACCESS_READ)
            finally:
                os.close(fd)
    except (OSError, ImportError, ValueError):
        return None
    if memory[:_NONCE] != shared.nonce:
        memory.close()
        return None
    return memory


def load(shared: SharedData, memory: mmap.mmap) -> Any:
    """Unpickle the payload with its large buffers read in place from ``memory`` (read-only views)."""
    view = memoryview(memory)
    return pickle.loads(shared.pickled, buffers=[view[offset:offset + length] for offset, length in shared.spans])
