"""Output files: regular files are written under a temporary name, then renamed into place.

Only regular files (or names not yet taken) get the temporary-file-and-rename
treatment; a symlink is followed and its target replaced (the link stays), and
a special file such as /dev/null or a FIFO is opened and written like any tool
would.  Temporaries are named ``.<name>.kelvane-<pid>-<random>.tmp``; one left
by a process that was killed is removed the next time this tool writes into
that folder.
"""

from __future__ import annotations

import os
import re
import secrets
import stat
from contextlib import contextmanager
from pathlib import Path
from typing import Iterable, Iterator

_TEMPORARY = re.compile(r"^\..+\.kelvane-(\d+)-[0-9a-f]{8}\.tmp$")
_swept: set[Path] = set()


def process_alive(pid: int) -> bool:
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return False
    except OSError:  # exists, owned by someone else
        return True
    return True


def sweep_temporaries(folder: Path) -> None:
    """Remove this tool's temporaries in `folder` whose writing process no longer runs (once per folder)."""
    folder = folder.resolve()
    if folder in _swept:
        return
    _swept.add(folder)
    try:
        names = os.listdir(folder)
    except OSError:
        return
    for name in names:
        m = _TEMPORARY.match(name)
        if m and int(m.group(1)) != os.getpid() and not process_alive(int(m.group(1))):
            try:
                (folder / name).unlink()
            except OSError:
                pass


def _new_temporary(path: Path) -> Path:
    """Create an empty, unused temporary beside `path`.

    Created as open() creates files (mode 0o666 less the umask), so the renamed
    output gets the permissions any other written file would get.
    """
    for _ in range(100):
        tmp = path.with_name(f".{path.name}.kelvane-{os.getpid()}-{secrets.token_hex(4)}.tmp")
        try:
            os.close(os.open(tmp, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o666))
        except FileExistsError:
            continue
        return tmp
    raise FileExistsError(f"no unused temporary name beside {path}")


@contextmanager
def atomic_target(path: str | Path) -> Iterator[Path]:
    """Yield the path to write `path` through; the result appears whole or not at all.

    For a regular file (or a new name) that is a temporary beside it, renamed onto
    it when the block succeeds: an interrupted or failing write leaves the old file
    (or none) and no temporary.  A symlink is followed; a special file (a device,
    a FIFO) is yielded as it is, to be written in place.
    """
    path = Path(os.path.realpath(path))  # through symlinks: the link stays, its target is replaced
    try:
        mode = path.stat().st_mode
    except FileNotFoundError:
        mode = None
    if mode is not None and stat.S_ISDIR(mode):
        raise IsADirectoryError(f"{path} is a folder")
    if mode is not None and not stat.S_ISREG(mode):
        yield path
        return
    path.parent.mkdir(parents=True, exist_ok=True)
    sweep_temporaries(path.parent)
    tmp = _new_temporary(path)
    try:
        yield Path(tmp)
        os.replace(tmp, path)
    except BaseException:
        Path(tmp).unlink(missing_ok=True)
        raise


def write_atomic(path: str | Path, text: str) -> None:
    """Write `text` to `path` atomically (see `atomic_target`).

    A killed or failing run leaves the whole old file or the whole new one.  There
    is no fsync: that would guard against a machine crash, not an interruption,
    at a cost that dominates small files in large batches.
    """
    with atomic_target(path) as target:
        with open(target, "w") as f:  # in place for a special file: no truncation of a device
            f.write(text)


def _identity(path: Path) -> tuple:
    """What makes two names the same file: device and inode when it exists, else the resolved path."""
    try:
        st = path.stat()
        return (st.st_dev, st.st_ino)
    except OSError:
        return (os.path.realpath(path),)


def clashing_outputs(inputs: Iterable[str | Path], outputs: Iterable[tuple[str, str | Path]]) -> str | None:
    """Why the outputs of one run, given as (what, path) pairs, cannot be written; None when they can.

    An output may not be one of the inputs, nor the file of another output of
    the run (symlinks and hard links are followed).  A special file such as
    /dev/null may take several outputs.
    """
    seen: dict[tuple, str] = {_identity(Path(p)): f"the input {p}" for p in inputs}
    for what, p in outputs:
        p = Path(p)
        key = _identity(p)
        if key in seen and (seen[key].startswith("the input") or _regular_or_new(p)):
            return f"{what} {p} is the same file as {seen[key]}"
        seen.setdefault(key, f"{what} {p}")
    return None


def _regular_or_new(p: Path) -> bool:
    try:
        return stat.S_ISREG(p.stat().st_mode)
    except OSError:
        return True
