"""Sum blocks: the BLAKE3 of every 64 KiB of a row file's rows, kept at the
end of its codes file (version 3), so that mapped rows are checked on their
first read instead of trusted until ``Index.verify``.

The engine checks each block the first time a search, a copy or ``get``
reads a row of it and keeps the first block found changed; these helpers
give the rows mapped beside their codes file its sums at load and turn a
changed block into the ``ValueError`` naming the row file and its directory.
A codes file of version 2 (saved before sums) keeps none: its rows are
checked by ``Index.verify`` only, as before."""

from __future__ import annotations

import os
from typing import Final

import numpy as np
import numpy.typing as npt

from lumvero_contrib import _native

# Bytes of rows per sum block (src/engine/format/block_sums.h).
SUM_BLOCK_BYTES: Final = 64 << 10
# The codes file versions read: 2 has no sums, 3 ends with them.
CODES_VERSIONS: Final = (2, 3)


def codes_version(codes_file: npt.NDArray[np.uint8]) -> int:
    """The version field of a codes file's bytes (a mapped file map_codes
    accepted)."""
    return int.from_bytes(codes_file[8:12].tobytes(), "little")


def codes_hash(rows: npt.NDArray[np.float32], norms_sq: npt.NDArray[np.float64],
               row_digest: str, like: npt.NDArray[np.uint8] | None = None) -> str:
    """BLAKE3 of the codes file a save writes for the rows of the row file
    whose BLAKE3 is row_digest, in the version of ``like`` (the bytes of the
    codes file it is compared with; None: the version written now): codes,
    scales, bounds, squared norms and sums are a function of the rows, so a
    codes file with other bytes is not theirs. The rows may be mapped (read
    under the fault guard; the caller checks)."""
    version = CODES_VERSIONS[-1] if like is None else codes_version(like)
    return _native.blake3_hex(*_native.codes_file(rows, norms_sq, bytes.fromhex(row_digest),
                                                  version))


def attach(rows: npt.NDArray[np.float32], codes_file: npt.NDArray[np.uint8]) -> bool:
    """Gives mapped rows the sums their codes file keeps (checked against
    the manifest at load); False when it keeps none (version 2)."""
    return _native.attach_sums(rows, codes_file)


def check_unchanged(rows: npt.NDArray[np.float32], source: str) -> None:
    """Raises ValueError when a read of the mapped rows found a sum block
    that differs from its sum: the row file was edited since it was saved.
    Whatever read it is discarded by the caller."""
    block = _native.changed_block(rows)
    if block >= 0:
        raise ValueError(f"row file {os.path.basename(source)} in {os.path.dirname(source)} "
                         f"changed since it was saved (block {block}); run verify() or load a "
                         f"saved copy")
