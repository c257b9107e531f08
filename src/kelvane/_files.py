"""Atomic output files: written under a temporary name, then renamed into place."""

from __future__ import annotations

import os
import secrets
from contextlib import contextmanager
from pathlib import Path
from typing import Iterator


def _new_temporary(path: Path) -> Path:
    """Create an empty, unused ``.<name>.<random>.tmp`` beside `path`.

    Created as open() creates files (mode 0o666 less the umask), so the renamed
    output gets the permissions any other written file would get.
    """
    for _ in range(100):
        tmp = path.with_name(f".{path.name}.{secrets.token_hex(4)}.tmp")
        try:
            os.close(os.open(tmp, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o666))
        except FileExistsError:
            continue
        return tmp
    raise FileExistsError(f"no unused temporary name beside {path}")


@contextmanager
def atomic_target(path: str | Path) -> Iterator[Path]:
    """Yield a temporary path beside `path`; rename it onto `path` when the block succeeds.

    An interrupted or failing write leaves the old file (or none) and no temporary.
    """
    path = Path(path)
    path.parent.mkdir(parents=True, exist_ok=True)
    tmp = _new_temporary(path)
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
