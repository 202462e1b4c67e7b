"""Exact cosine distance over float32 rows, bit-identical to the store's own.

The store adds products one at a time in index order, in float32, without fused
multiply-adds; a running sum (``cumsum``) is the one NumPy reduction that keeps that
order, where ``dot`` and ``sum`` reassociate. Equal distances are what let results from
the exact buffer and from a store's index be ranked against each other.

A running sum costs several times a matrix product, so a search ranks every row by the
product first and computes the store's distance only for the rows the product's rounding
error could put among the nearest.
"""

from __future__ import annotations

import numpy as np
import numpy.typing as npt

F32 = npt.NDArray[np.float32]

_ZERO = np.float32(0.0)
_ONE = np.float32(1.0)
_TWO = np.float32(2.0)


def sequential_sum(products: F32) -> F32:
    """Row sums of a 2-D float32 array, each added left to right in float32."""
    if products.shape[1] == 0:
        return np.full(products.shape[0], -0.0, dtype=np.float32)
    return np.cumsum(products, axis=1, dtype=np.float32)[:, -1]


def norms(rows: F32) -> F32:
    """The Euclidean norm of each row, formed as the store forms it."""
    return np.sqrt(sequential_sum(rows * rows))


def cosine_distances(rows: F32, row_norms: F32, query: F32, query_norm: np.float32) -> F32:
    """Distance of every row to the query in [0, 2]; a zero vector on either side gives 2."""
    return _from_dots(sequential_sum(rows * query), row_norms, query_norm)


def approximate_distances(rows: F32, row_norms: F32, query: F32, query_norm: np.float32) -> F32:
    """Distances within ``error_bound`` of ``cosine_distances``, from a vectorised product."""
    # Not ``rows @ query``: a BLAS product runs on threads of its own, which wait
    # milliseconds for a core on a busy machine.
    dot: F32 = np.einsum("ij,j->i", rows, query)
    return _from_dots(dot, row_norms, query_norm)


def _from_dots(dot: F32, row_norms: F32, query_norm: np.float32) -> F32:
    """1 - dot / (|row| |query|), clamped to [0, 2]; a zero norm on either side gives 2."""
    denom = row_norms * query_norm
    zero = denom == _ZERO
    with np.errstate(divide="ignore", invalid="ignore"):
        r = _ONE - dot / np.where(zero, _ONE, denom)
    r = np.minimum(np.maximum(r, _ZERO), _TWO)
    r[zero] = _TWO
    return r.astype(np.float32, copy=False)


def error_bound(dim: int) -> float:
    """How far the two distance functions can differ for rows of ``dim`` values.

    Each dot product of ``dim`` float32 terms is off by at most ``dim`` units of rounding
    relative to its terms' norms, whatever the order of its additions; the norms, the
    division and the subtraction add a few more. Four times that, plus a little, is safe.
    """
    return 4.0 * (dim + 4) * 2.0**-24 + 1e-6
