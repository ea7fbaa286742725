"""Reading files we wrote earlier, which anyone may have edited since: regular
files only (a named pipe or a device is refused instead of blocking or
reading for ever), names confined to their folder, strict JSON types."""
import io
import os
import stat
import sys
from typing import TypeGuard

__all__ = ["open_regular", "check_regular", "confined", "is_int", "is_hex64", "fsync_dir",
           "read_small"]


def _kind(mode: int) -> str:
    if stat.S_ISDIR(mode):
        return "is a directory"
    if stat.S_ISFIFO(mode):
        return "is not a regular file (a named pipe)"
    if stat.S_ISSOCK(mode):
        return "is not a regular file (a socket)"
    if stat.S_ISCHR(mode) or stat.S_ISBLK(mode):
        return "is not a regular file (a device)"
    return "is not a regular file"


def open_regular(path: str | os.PathLike[str]) -> io.BufferedReader:
    """Opens a regular file for reading in binary mode.

    The file is opened without blocking, so a named pipe or a device is
    refused instead of waiting forever for a writer.

    Arguments:
        path: The file to open.

    Returns:
        The open file (the caller closes it).

    Raises:
        ValueError: ``"{path}: is a directory"`` or
            ``"{path}: is not a regular file (...)"``.
        OSError: The file cannot be opened (missing, no permission).

    Examples:
        >>> with open_regular("shards/manifest.json") as f:  # doctest: +SKIP
        ...     head = f.read(12)
    """
    name = os.fspath(path)
    fd = os.open(name, os.O_RDONLY | os.O_NONBLOCK | os.O_CLOEXEC)
    try:
        mode = os.fstat(fd).st_mode
        if not stat.S_ISREG(mode):
            raise ValueError(f"{name}: {_kind(mode)}")
        os.set_blocking(fd, True)
        return os.fdopen(fd, "rb")
    except BaseException:
        os.close(fd)
        raise


def check_regular(path: str | os.PathLike[str]) -> None:
    """Raises ``ValueError`` for an existing path that is not a regular file
    (after following symlinks); a missing path is left to whoever opens it."""
    try:
        mode = os.stat(path).st_mode
    except OSError:
        return
    if not stat.S_ISREG(mode):
        raise ValueError(f"{os.fspath(path)}: {_kind(mode)}")


def confined(folder: str, file: str, label: str, where: str = "the manifest's folder") -> str:
    """The real path of ``file`` named relative to ``folder`` (itself a real
    path); refused when absolute or when it leads out of the folder, by
    ``..`` or through a symlink. ``where`` names the folder in messages
    (names that cannot be absolute, such as an Index's, pass their own)."""
    if os.path.isabs(file):
        raise ValueError(f"{label} is an absolute path; shard files are named relative to the "
                         f"manifest's folder")
    real = os.path.realpath(os.path.join(folder, file))
    if real == folder or os.path.commonpath([folder, real]) != folder:
        raise ValueError(f"{label} lies outside {where}")
    return real


def is_int(v: object) -> TypeGuard[int]:
    """A JSON integer: bools are not numbers here."""
    return isinstance(v, int) and not isinstance(v, bool)


def is_hex64(v: object) -> TypeGuard[str]:
    """A BLAKE3 digest as written: 64 lowercase hexadecimal digits."""
    return isinstance(v, str) and len(v) == 64 and all(c in "0123456789abcdef" for c in v)


def fsync_dir(path: str | os.PathLike[str]) -> None:
    """Flushes a directory's entries (new, renamed and removed names) to disk."""
    fd = os.open(path, os.O_RDONLY | os.O_DIRECTORY | os.O_CLOEXEC)
    try:
        os.fsync(fd)
    finally:
        os.close(fd)


def read_small(path: str | os.PathLike[str], limit: int) -> bytes:
    """A regular file's bytes, at most limit of them.

    Raises:
        ValueError: Not a regular file, or larger than limit.
        OSError: It cannot be read (FileNotFoundError when missing).
    """
    with open_regular(path) as f:
        data = f.read(limit + 1)
    if len(data) > limit:
        raise ValueError(f"{os.fspath(path)}: larger than {limit} bytes")
    return data


# The package's own folder: warnings point at the first frame outside it.
_PACKAGE = os.path.dirname(os.path.dirname(os.path.abspath(__file__))) + os.sep


def caller_stacklevel() -> int:
    """The ``stacklevel`` that makes a warning raised by the function calling
    this one name the caller's own code: the first frame outside
    lumvero_contrib, however deep the call."""
    frame = sys._getframe(1)  # the function that warns: stacklevel 1
    level = 1
    while frame.f_back is not None and frame.f_code.co_filename.startswith(_PACKAGE):
        frame = frame.f_back
        level += 1
    return level
