"""Atomic output files: written under a temporary name, then renamed into place."""

from __future__ import annotations

import os
import tempfile
from contextlib import contextmanager
from pathlib import Path
from typing import Iterator


@contextmanager
def atomic_target(path: str | Path) -> Iterator[Path]:
    """Yield a temporary path beside `path`; rename it onto `path` when the block succeeds.

    An interrupted or failing write leaves the old file (or none) and no temporary.
    """
    path = Path(path)
    path.parent.mkdir(parents=True, exist_ok=True)
    fd, tmp = tempfile.mkstemp(prefix=f".{path.name}.", suffix=".tmp", dir=path.parent)
    os.close(fd)
    try:
        yield Path(tmp)
        os.replace(tmp, path)
    except BaseException:
        Path(tmp).unlink(missing_ok=True)
        raise


def write_atomic(path: str | Path, text: str) -> None:
    """Write `text` to `path` atomically.

    A killed or failing run leaves the whole old file or the whole new one.  There
    is no fsync: that would guard against a machine crash, not an interruption,
    at a cost that dominates small files in large batches.
    """
    with atomic_target(path) as tmp:
        tmp.write_text(text)
