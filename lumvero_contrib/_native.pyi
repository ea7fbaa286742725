# Types of the private native part of lumvero_contrib.Index.
from typing import Any

import numpy as np
import numpy.typing as npt
from typing_extensions import Buffer

def normalize_rows(rows: npt.NDArray[np.float32], /) -> tuple[int, int]: ...
def first_non_finite(rows: npt.NDArray[np.float32], /) -> int: ...
def row_norms_sq(rows: npt.NDArray[np.float32], /) -> npt.NDArray[np.float64]: ...
def blake3_hex(data: Buffer | npt.NDArray[Any], /) -> str: ...
def search(
    runs: list[tuple[npt.NDArray[np.float32], npt.NDArray[np.float64], int]],
    queries: npt.NDArray[np.float32],
    k: int,
    metric_id: int,
    live: npt.NDArray[np.bool_] | None,
    allowed: npt.NDArray[np.int64] | None,
    /,
) -> tuple[npt.NDArray[np.float32], npt.NDArray[np.int64]]: ...
def find_sorted(
    keys: npt.NDArray[np.int64], needles: npt.NDArray[np.int64], /
) -> npt.NDArray[np.int64]: ...
def blas_core() -> str: ...
