import sys
from collections.abc import Sequence
from typing import Protocol, SupportsFloat, SupportsIndex, TypeAlias, final, type_check_only

# Type checkers carry typing_extensions' stub themselves, so this import needs nothing
# installed at run time.
if sys.version_info >= (3, 12):
    from collections.abc import Buffer
else:
    from typing_extensions import Buffer

@type_check_only
class _FloatItems(Protocol):
    """What the element-by-element path reads: a length and items that convert to float.
    NumPy's stubs give arrays `__buffer__` only from Python 3.12 on, so below that an
    array matches this instead of `Buffer`."""

    def __len__(self) -> int: ...
    def __getitem__(self, index: int, /) -> SupportsFloat | SupportsIndex: ...

# An embedding or a query: a one-dimensional buffer of float32 or float64 is read
# straight from memory, any other sequence item by item.
_Floats: TypeAlias = Buffer | _FloatItems

__version__: str

@final
class VectorEntry:
    def __new__(
        cls,
        id: str,
        embedding: _Floats,
        metadata: str = "",
        created_at: str = "",
    ) -> VectorEntry: ...
    @property
    def id(self) -> str: ...
    @id.setter
    def id(self, value: str) -> None: ...
    @property
    def embedding(self) -> list[float]: ...
    @embedding.setter
    def embedding(self, value: _Floats) -> None: ...
    @property
    def metadata(self) -> str: ...
    @metadata.setter
    def metadata(self, value: str) -> None: ...
    @property
    def created_at(self) -> str: ...
    @created_at.setter
    def created_at(self, value: str) -> None: ...
    def __len__(self) -> int: ...

@final
class VectorStore:
    @staticmethod
    def new(snapshot_path: str = "store.snap", wal_path: str = "store.wal") -> VectorStore:
        """Create a fresh empty store (does not read any existing files)."""
    @staticmethod
    def open(snapshot_path: str = "store.snap", wal_path: str = "store.wal") -> VectorStore:
        """Open an existing store (loads snapshot + replays WAL), or create fresh."""
    def upsert(self, entry: VectorEntry) -> None:
        """Insert or replace an entry by ID. O(1) WAL append \u2014 no index rebuild."""
    def upsert_batch(self, entries: Sequence[VectorEntry]) -> None:
        """Batch upsert. Single buffered WAL write for the whole batch."""
    def delete(self, id: str) -> None:
        """Delete by ID. No-op (not an error) if the ID does not exist."""
    def get(self, id: str) -> VectorEntry | None:
        """Point lookup by ID. Returns None if not found."""
    def search(
        self, query: _Floats, top_k: SupportsIndex = 10
    ) -> list[tuple[VectorEntry, float]]:
        """Search top-k nearest neighbours."""
    def compact(self) -> None:
        """Merge WAL into snapshot, truncate WAL file, rebuild HNSW index once."""
    @property
    def len(self) -> int:
        """Number of live entries."""
    @property
    def dim(self) -> int | None:
        """Fixed embedding dimension, or None if the store is empty."""
    @property
    def wal_pending(self) -> int:
        """WAL ops not yet merged into the snapshot."""
    def __len__(self) -> int: ...
    def __bool__(self) -> bool: ...
