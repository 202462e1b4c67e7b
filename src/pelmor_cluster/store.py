"""``ShardedStore``: records spread over shards, each a pair of stores, behind one surface."""

from __future__ import annotations

import math
import operator
from collections.abc import Sequence
from typing import Any, SupportsFloat, SupportsIndex

import numpy as np
from pelmor_vector_db import VectorEntry

from . import manifest
from .backends import Backend, Call, LocalBackend, RayBackend
from .distance import norms
from .shard import F32, Hit, Record

DEFAULT_SHARDS = 4
# A merge rebuilds one shard's index (about 1.5 s for 5,000 records of 384 floats on two
# busy cores), so 2,048 writes share it at under a millisecond each. A full buffer is 3 MiB
# at that size and searched in about 0.3 ms; a larger one would make reopening slower (the
# buffer's log is read back whole) more than it would spare merges.
DEFAULT_MERGE_AT = 2048
# The largest result a store gives; a sharded store gives no more.
MAX_TOP_K = 100
# Batches and merges this long show a progress bar when tqdm is installed.
LONG = 10_000


class ShardWriteError(OSError):
    """Some shards failed to write their part of a batch; ``failures`` maps shard to error."""

    def __init__(self, failures: dict[int, BaseException]) -> None:
        self.failures = failures
        detail = "; ".join(f"shard {s}: {e}" for s, e in sorted(failures.items()))
        super().__init__(f"shards {sorted(failures)} failed: {detail}")


class ShardedStore:
    """A store whose records are spread over shards by a stable hash of their id.

    Each shard keeps a main store, searched through its index, and a buffer store of its
    recent writes, searched exactly until they are merged into the main store. A write is
    in a store's log before it returns.
    """

    def __init__(self, directory: str, shards: int, dim: int | None, backend: Backend) -> None:
        self._directory = directory
        self._shards = shards
        self._dim = dim
        self._backend = backend

    @staticmethod
    def open(
        directory: str,
        shards: int | None = None,
        *,
        dim: int | None = None,
        merge_at: int = DEFAULT_MERGE_AT,
        ray: bool = False,
        ray_address: str | None = None,
        max_restarts: int = -1,
    ) -> ShardedStore:
        """Open the sharded store in ``directory``, or create it there with ``shards`` shards.

        A missing or empty directory becomes a new store of ``shards`` (default 4) shards;
        ``dim`` fixes its dimension ahead of the first record. An existing one is refused
        with ValueError, and left untouched, when it is not a sharded store, or when
        ``shards`` or ``dim`` differ from what it holds.

        ``merge_at`` bounds each shard's buffer. ``ray=True`` runs each shard on a Ray
        actor that is restarted up to ``max_restarts`` times (-1: always) after a crash;
        Ray is started, or joined at ``ray_address``, unless it is running already.
        """
        if shards is not None and shards < 1:
            raise ValueError(f"shards must be at least 1, not {shards}")
        if merge_at < 1:
            raise ValueError(f"merge_at must be at least 1, not {merge_at}")
        found = manifest.read(directory)
        if found is None:
            found = manifest.Manifest(shards or DEFAULT_SHARDS, dim)
            manifest.write(directory, found)
        elif shards is not None and shards != found.shards:
            raise ValueError(f"{directory!r} holds {found.shards} shards, not {shards}")
        elif dim is not None and found.dim is not None and dim != found.dim:
            raise ValueError(f"{directory!r} holds records of dimension {found.dim}, not {dim}")
        backend: Backend
        if ray:
            backend = RayBackend(directory, found.shards, merge_at, ray_address, max_restarts)
        else:
            backend = LocalBackend(directory, found.shards, merge_at)
        return ShardedStore(directory, found.shards, found.dim, backend)

    # Reads.

    @property
    def dim(self) -> int | None:
        """The embedding dimension, or None before the first record."""
        return self._dim

    @property
    def shards(self) -> int:
        return self._shards

    @property
    def len(self) -> int:
        """Number of live records."""
        return sum(self._all("__len__"))

    @property
    def buffered(self) -> int:
        """Writes held in the shards' buffers, not yet merged."""
        return sum(self._all("buffered"))

    def __len__(self) -> int:
        return self.len

    def __bool__(self) -> bool:
        return self.len > 0

    def __repr__(self) -> str:
        dim = "None" if self._dim is None else f"Some({self._dim})"
        return (
            f"ShardedStore(len={self.len}, dim={dim}, shards={self._shards}, "
            f"buffered={self.buffered})"
        )

    def get(self, id: str) -> VectorEntry | None:
        """The record of ``id``, or None."""
        return self._backend.call(self._shard_of(id), "get", id)  # type: ignore[no-any-return]

    def search(
        self, query: Sequence[SupportsFloat | SupportsIndex] | F32, top_k: SupportsIndex = 10
    ) -> list[tuple[VectorEntry, float]]:
        """The ``top_k`` (at most 100) records nearest to ``query`` by cosine distance.

        Nearest first; equal distances in order of id.
        """
        q = _row(query, "query")
        if q.shape[0] == 0:
            raise ValueError("Embedding must not be empty")
        if self._dim is not None and q.shape[0] != self._dim:
            raise ValueError(f"Dimension mismatch: store is {self._dim}D, got {q.shape[0]}D")
        k = operator.index(top_k)
        if k < 0:
            raise OverflowError("can't convert negative int to unsigned")
        k = min(k, MAX_TOP_K)
        if k == 0 or self._dim is None:
            return []
        q_norm = norms(q[np.newaxis, :])[0]
        calls: list[Call] = [(s, "search", (q, q_norm, k)) for s in range(self._shards)]
        hits: list[Hit] = []
        for part in self._backend.fan_out(calls, "search", False):
            if isinstance(part, BaseException):
                raise part
            hits.extend(part)
        hits.sort(key=_rank)
        return [(entry, d) for d, _, entry in hits[:k]]

    # Writes.

    def upsert(self, entry: VectorEntry) -> None:
        """Insert or replace a record by id."""
        record = self._validate([entry], "entry")[0]
        self._fix_dim(record[1].shape[0])
        self._backend.call(self._shard_of(record[0]), "upsert", [record])

    def upsert_batch(self, entries: Sequence[VectorEntry]) -> None:
        """Insert or replace records, in order.

        The whole batch is checked (types, empty embeddings, dimension, finite values)
        before any shard writes. Each shard then writes its part as one batch, all of it or
        none of it. When some shards fail (an I/O error), the others' parts stay written and
        ShardWriteError names the shards that failed; writing the batch again is harmless.
        """
        if isinstance(entries, (str, bytes)) or not isinstance(entries, Sequence):
            raise TypeError(
                f"argument 'entries': '{type(entries).__name__}' object is not an instance of "
                "'Sequence'"
            )
        records = self._validate(entries, "entries")
        if not records:
            return
        self._fix_dim(records[0][1].shape[0])
        parts: dict[int, list[Record]] = {}
        for r in records:
            parts.setdefault(self._shard_of(r[0]), []).append(r)
        calls: list[Call] = [(s, "upsert", (part,)) for s, part in sorted(parts.items())]
        self._check(calls, self._backend.fan_out(calls, "upsert_batch", len(records) >= LONG))

    def delete(self, id: str) -> None:
        """Delete a record by id; an unknown id is no error and writes nothing."""
        self._backend.call(self._shard_of(id), "delete", id)

    def compact(self) -> None:
        """Merge every shard's buffer into its main store and fold the stores' logs."""
        calls: list[Call] = [(s, "compact", ()) for s in range(self._shards)]
        bar = self._shards > 1 and self.buffered >= LONG
        self._check(calls, self._backend.fan_out(calls, "merge", bar))

    def close(self) -> None:
        """Let the shards go (on Ray, end their actors). Every write is already durable."""
        self._backend.close()

    # Helpers.

    def _all(self, method: str) -> list[Any]:
        calls: list[Call] = [(s, method, ()) for s in range(self._shards)]
        out = self._backend.fan_out(calls, method, False)
        for r in out:
            if isinstance(r, BaseException):
                raise r
        return out

    def _check(self, calls: list[Call], results: list[Any]) -> None:
        failures = {c[0]: r for c, r in zip(calls, results) if isinstance(r, BaseException)}
        if failures:
            raise ShardWriteError(failures)

    def _shard_of(self, id: str) -> int:
        if not isinstance(id, str):
            raise TypeError(
                f"argument 'id': '{type(id).__name__}' object is not an instance of 'str'"
            )
        return manifest.shard_of(id, self._shards)

    def _fix_dim(self, dim: int) -> None:
        """Record the dimension the first record sets, before that record is written."""
        if self._dim is None:
            manifest.write(self._directory, manifest.Manifest(self._shards, dim))
            self._dim = dim

    def _validate(self, entries: Sequence[VectorEntry], argument: str) -> list[Record]:
        """Records of the entries, or the error the store would raise for the first bad one."""
        records: list[Record] = []
        dim = self._dim
        for e in entries:
            if not isinstance(e, VectorEntry):
                raise TypeError(
                    f"argument '{argument}': '{type(e).__name__}' object is not an instance of "
                    "'VectorEntry'"
                )
            row = np.asarray(e.embedding, dtype=np.float32)
            if row.shape[0] == 0:
                raise ValueError("Embedding must not be empty")
            if dim is None:
                dim = row.shape[0]
            elif row.shape[0] != dim:
                raise ValueError(f"Dimension mismatch: store is {dim}D, got {row.shape[0]}D")
            if not np.isfinite(row).all():
                raise ValueError("Embedding must contain only finite values")
            e.id.encode("utf-8")  # an id the files cannot hold fails here, before any write
            records.append((e.id, row, e.metadata, e.created_at))
        return records


def _row(values: Any, argument: str) -> F32:
    try:
        row = np.asarray(values, dtype=np.float32)
    except (TypeError, ValueError) as e:
        raise TypeError(f"argument '{argument}': {e}") from None
    if row.ndim != 1:
        raise TypeError(f"argument '{argument}': expected a sequence of floats")
    return row


def _rank(hit: Hit) -> tuple[float, str]:
    d = hit[0]
    return (math.inf if math.isnan(d) else d, hit[1])


__all__ = ["DEFAULT_MERGE_AT", "DEFAULT_SHARDS", "ShardWriteError", "ShardedStore"]
