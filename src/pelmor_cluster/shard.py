"""One shard: a main store searched through its index, and a buffer of recent writes.

The main store's index is rebuilt in full after any change to it, so single writes go to
a second store, the buffer, instead. The buffer is never searched through an index: its
records are mirrored here as float32 rows and searched exactly. When the buffer passes
its bound, or on ``merge``, its writes are applied to the main store and it is emptied.

The buffer store holds two kinds of record, told apart by the first character of their
metadata, which this layer owns: ``+`` and the caller's metadata for an upsert, ``-``
alone (with a zero embedding) for a tombstone, the delete of a record that lives in the
main store. A tombstone has to be a record: the buffer's own delete would only remove its
copy, and the main store's record would come back.

A merge applies the buffer to the main store first and empties the buffer after. Until
the buffer is empty every record in it overrides the main store's, and applying it again
gives the same main store, so a merge cut short anywhere by a kill leaves a shard that
reads the same and finishes the merge the next time.

Two processes may write to one shard, as to one store: both keep their writes, and each
reads what it opened plus its own writes. A merge, though, writes what this process's
buffer holds and deletes it from the buffer store, which would undo the other process's
newer writes; so every write holds the shard's lock (an advisory lock on its folder) and
notes whether the shard's files changed since this process last wrote them. Once they
have, this shard no longer merges: its buffer grows past its bound, and ``compact``
refuses until the store is reopened.
"""

from __future__ import annotations

import fcntl
import json
import os
from collections.abc import Iterable, Iterator, Sequence
from contextlib import contextmanager
from typing import cast

import numpy as np
import numpy.typing as npt
from pelmor_vector_db import VectorEntry, VectorStore

from .distance import approximate_distances, cosine_distances, error_bound, norms

F32 = npt.NDArray[np.float32]
# What a write carries: id, embedding (validated float32), metadata, created_at.
Record = tuple[str, F32, str, str]
# What a search yields: distance, id, record.
Hit = tuple[float, str, VectorEntry]


def as_floats(row: F32) -> Sequence[float]:
    """The module reads a float32 array straight from its buffer, where it takes a sequence."""
    return cast("Sequence[float]", row)


UPSERT = "+"
TOMBSTONE = "-"
FILES = ("main.snap", "main.wal", "buffer.snap", "buffer.wal")
# What tells one version of a file from another: inode, size and change time, or None.
Stamp = tuple[int, int, int] | None


class FilesChangedError(OSError):
    """Another process wrote this shard since this one read it; merging would undo that."""

    def __init__(self, folder: str) -> None:
        super().__init__(
            f"{folder}: shard files were changed by another writer since this store read "
            "them; reopen the store to pick up the changes, then compact"
        )


def stamp(path: str) -> Stamp:
    try:
        st = os.stat(path)
    except FileNotFoundError:
        return None
    return (st.st_ino, st.st_size, st.st_mtime_ns)


class Buffer:
    """The buffer store's live records, as rows for exact search and tombstones by id."""

    def __init__(self) -> None:
        self.rows: F32 = np.zeros((0, 0), dtype=np.float32)
        self.row_norms: F32 = np.zeros(0, dtype=np.float32)
        self.ids: list[str] = []
        self.fields: list[tuple[str, str]] = []
        self.slot: dict[str, int] = {}
        self.tombstones: set[str] = set()
        # Ids of the buffer (upserted or tombstoned) that the main store also holds.
        self.in_main: set[str] = set()

    def __len__(self) -> int:
        return len(self.slot) + len(self.tombstones)

    def put(self, id: str, row: F32, metadata: str, created_at: str) -> None:
        self.tombstones.discard(id)
        i = self.slot.get(id)
        if i is None:
            i = len(self.ids)
            self._reserve(i + 1, row.shape[0])
            self.slot[id] = i
            self.ids.append(id)
            self.fields.append((metadata, created_at))
        else:
            self.fields[i] = (metadata, created_at)
        self.rows[i] = row
        self.row_norms[i] = norms(row[np.newaxis, :])[0]

    def drop(self, id: str) -> None:
        """Forget an upserted row, moving the last row into its place."""
        i = self.slot.pop(id)
        last = len(self.ids) - 1
        if i != last:
            moved = self.ids[last]
            self.rows[i] = self.rows[last]
            self.row_norms[i] = self.row_norms[last]
            self.ids[i] = moved
            self.fields[i] = self.fields[last]
            self.slot[moved] = i
        self.ids.pop()
        self.fields.pop()

    def entry(self, i: int) -> VectorEntry:
        metadata, created_at = self.fields[i]
        return VectorEntry(self.ids[i], as_floats(self.rows[i]), metadata, created_at)

    def search(self, query: F32, query_norm: np.float32, top_k: int) -> list[Hit]:
        n = len(self.ids)
        if n == 0 or top_k == 0:
            return []
        rows, row_norms = self.rows[:n], self.row_norms[:n]
        near = np.arange(n)
        if n > top_k:
            approx = approximate_distances(rows, row_norms, query, query_norm)
            kth = np.partition(approx, top_k - 1)[top_k - 1]
            near = np.flatnonzero(approx <= kth + error_bound(query.shape[0]))
        d = cosine_distances(rows[near], row_norms[near], query, query_norm)
        ranked = sorted(zip(d.tolist(), near.tolist()), key=lambda h: (h[0], self.ids[h[1]]))
        return [(dist, self.ids[i], self.entry(i)) for dist, i in ranked[:top_k]]

    def _reserve(self, count: int, dim: int) -> None:
        if count <= self.rows.shape[0]:
            return
        cap = max(64, 2 * self.rows.shape[0], count)
        rows = np.zeros((cap, dim), dtype=np.float32)
        row_norms = np.zeros(cap, dtype=np.float32)
        n = len(self.ids)
        if n:
            rows[:n] = self.rows[:n]
            row_norms[:n] = self.row_norms[:n]
        self.rows, self.row_norms = rows, row_norms


class Shard:
    """The stores of one shard folder. Not thread-safe, like the stores it owns."""

    def __init__(self, folder: str, merge_at: int) -> None:
        os.makedirs(folder, exist_ok=True)
        self.folder = folder
        self.merge_at = merge_at
        self._paths = [os.path.join(folder, name) for name in FILES]
        # Set for good once another process is seen to have written the shard.
        self.foreign = False
        self._seen: list[Stamp] | None = None
        with self._writing():
            self.main = VectorStore.open(*self._paths[:2])
            self.buffer_store = VectorStore.open(*self._paths[2:])
            self.buffer = Buffer()
            self._load_buffer()

    # Reads.

    def __len__(self) -> int:
        return self.main.len - len(self.buffer.in_main) + len(self.buffer.slot)

    def buffered(self) -> int:
        return len(self.buffer)

    def get(self, id: str) -> VectorEntry | None:
        b = self.buffer
        if id in b.slot:
            return b.entry(b.slot[id])
        if id in b.tombstones:
            return None
        return self.main.get(id)

    def search(self, query: F32, query_norm: np.float32, top_k: int) -> list[Hit]:
        """Up to ``top_k`` hits from the main store and up to ``top_k`` from the buffer.

        The main store cannot leave out the records the buffer overrides, so it is asked
        for that many more (the store answers at most 100: a buffer that overrides most
        of a query's 100 nearest main records can make the answer short).
        """
        if top_k == 0:
            return []
        b = self.buffer
        hits = b.search(query, query_norm, top_k)
        if self.main.len > 0:
            for entry, distance in self.main.search(
                as_floats(query), min(100, top_k + len(b.in_main))
            ):
                id = entry.id
                if id not in b.slot and id not in b.tombstones:
                    hits.append((distance, id, entry))
        return hits

    # Writes. Each is in the buffer store's or the main store's log before it returns.

    def upsert(self, records: Sequence[Record]) -> None:
        """Write records in order; a part of ``merge_at`` or more goes to the main store."""
        with self._writing():
            self._upsert(records)

    def _upsert(self, records: Sequence[Record]) -> None:
        if len(records) >= self.merge_at and not self.foreign:
            self._merge()
            self.main.upsert_batch(
                [VectorEntry(id, as_floats(row), m, c) for id, row, m, c in records]
            )
            return
        tagged = [VectorEntry(id, as_floats(row), UPSERT + m, c) for id, row, m, c in records]
        if len(tagged) == 1:
            self.buffer_store.upsert(tagged[0])
        else:
            self.buffer_store.upsert_batch(tagged)
        for id, row, metadata, created_at in records:
            self._note_in_main(id)
            self.buffer.put(id, row, metadata, created_at)
        if len(self.buffer) > self.merge_at and not self.foreign:
            self._merge()

    def delete(self, id: str) -> None:
        with self._writing():
            self._delete(id)

    def _delete(self, id: str) -> None:
        b = self.buffer
        if id in b.tombstones:
            return
        in_main = id in b.in_main if id in b.slot else self.main.get(id) is not None
        if in_main:
            # Only the main store's copy is left to hide: a tombstone does it until the merge.
            dim = self.main.dim
            assert dim is not None
            zeros = as_floats(np.zeros(dim, dtype=np.float32))
            self.buffer_store.upsert(VectorEntry(id, zeros, TOMBSTONE))
            if id in b.slot:
                b.drop(id)
            b.tombstones.add(id)
            b.in_main.add(id)
        elif id in b.slot:
            self.buffer_store.delete(id)
            b.drop(id)
        if len(b) > self.merge_at and not self.foreign:
            self._merge()

    def compact(self) -> None:
        """Merge the buffer; or fold the main store's log when only big batches wrote it."""
        with self._writing():
            if self.foreign:
                raise FilesChangedError(self.folder)
            if len(self.buffer):
                self._merge()
            elif self.main.wal_pending:
                self.main.compact()

    def _merge(self) -> None:
        """Apply the buffer to the main store, then empty the buffer store."""
        b = self.buffer
        if len(b) == 0:
            return
        if b.slot:
            self.main.upsert_batch([b.entry(i) for i in range(len(b.ids))])
        for id in b.tombstones:
            self.main.delete(id)
        self.main.compact()
        for id in [*b.ids, *b.tombstones]:
            self.buffer_store.delete(id)
        self.buffer_store.compact()
        self.buffer = Buffer()

    @contextmanager
    def _writing(self) -> Iterator[None]:
        """Hold the shard's lock, and note whether another process wrote since we last did."""
        fd = os.open(self.folder, os.O_RDONLY)
        try:
            fcntl.flock(fd, fcntl.LOCK_EX)
            if self._seen is not None and self._stamps() != self._seen:
                self.foreign = True
            try:
                yield
            finally:
                self._seen = self._stamps()
        finally:
            os.close(fd)  # and with it the lock

    def _stamps(self) -> list[Stamp]:
        return [stamp(p) for p in self._paths]

    # Recovery.

    def _note_in_main(self, id: str) -> None:
        b = self.buffer
        if id not in b.slot and id not in b.tombstones and self.main.get(id) is not None:
            b.in_main.add(id)

    def _load_buffer(self) -> None:
        for id in _logged_ids(*self._paths[2:]):
            entry = self.buffer_store.get(id)
            if entry is None:
                continue
            self._note_in_main(id)
            tag = entry.metadata[:1]
            if tag == TOMBSTONE:
                self.buffer.tombstones.add(id)
            elif tag == UPSERT:
                row = np.asarray(entry.embedding, dtype=np.float32)
                self.buffer.put(id, row, entry.metadata[1:], entry.created_at)
            else:
                raise ValueError(f"buffer record {id!r} has no write tag: not a shard's buffer")


def _logged_ids(snapshot_path: str, wal_path: str) -> Iterable[str]:
    """Every id the buffer's files name, in order of first appearance.

    A superset of its live records: the store itself says which are live. A line that does
    not parse is the log's cut-off end, which the store's own open already accepted.
    """
    seen: dict[str, None] = {}
    try:
        with open(snapshot_path, encoding="utf-8") as f:
            for e in json.load(f)["entries"]:
                seen[e["id"]] = None
    except FileNotFoundError:
        pass
    try:
        with open(wal_path, encoding="utf-8") as f:
            for line in f:
                try:
                    seen[json.loads(line)["data"]["id"]] = None
                except ValueError:
                    break
    except FileNotFoundError:
        pass
    return seen.keys()
