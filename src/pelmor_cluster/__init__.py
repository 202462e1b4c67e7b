"""A sharded layer over ``pelmor_vector_db`` stores, in this process or on Ray actors.

store = ShardedStore.open("vectors", shards=4)
store.upsert(VectorEntry("doc-1", embedding))
"""

try:
    import numpy  # noqa: F401
except ImportError as e:
    raise ImportError("pelmor_cluster needs NumPy: pip install 'pelmor_vector_db[cluster]'") from e

from .store import DEFAULT_MERGE_AT, DEFAULT_SHARDS, ShardedStore, ShardWriteError

__all__ = ["DEFAULT_MERGE_AT", "DEFAULT_SHARDS", "ShardWriteError", "ShardedStore"]
