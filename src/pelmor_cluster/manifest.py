"""The manifest: what a directory of shards is, written once and refused when it differs.

Records are placed by a hash of their id, so a directory opened with another shard count
or another hash would look for every record in the wrong shard. The manifest says which
count and hash placed them, and the dimension every shard shares.
"""

from __future__ import annotations

import hashlib
import json
import os
from dataclasses import dataclass

MANIFEST = "manifest.json"
FORMAT = "pelmor_cluster"
HASH = "blake2b-64-le"


def shard_of(id: str, shards: int) -> int:
    """The shard of an id: a hash of its UTF-8 bytes, the same in every process and release.

    Python's ``hash()`` is salted per process, so it cannot place records that outlive one.
    """
    digest = hashlib.blake2b(id.encode("utf-8"), digest_size=8).digest()
    return int.from_bytes(digest, "little") % shards


def shard_folder(directory: str, shard: int) -> str:
    return os.path.join(directory, f"shard-{shard:04d}")


@dataclass(frozen=True)
class Manifest:
    shards: int
    dim: int | None

    def to_json(self) -> str:
        return json.dumps(
            {"format": FORMAT, "version": 1, "shards": self.shards, "hash": HASH, "dim": self.dim}
        )


def read(directory: str) -> Manifest | None:
    """The directory's manifest, None for a directory that is missing or empty.

    Raises ValueError for anything else that is not a sharded store of this format.
    """
    # A creation killed before its first rename leaves only the manifest's temporary file.
    if not os.path.isdir(directory) or not set(os.listdir(directory)) - {MANIFEST + ".tmp"}:
        return None
    path = os.path.join(directory, MANIFEST)
    try:
        with open(path, encoding="utf-8") as f:
            doc = json.load(f)
    except FileNotFoundError:
        raise ValueError(f"{directory!r} is not a sharded store: it has no {MANIFEST}") from None
    except (OSError, ValueError) as e:
        raise ValueError(f"{directory!r} is not a sharded store: unreadable {MANIFEST}: {e}") from e
    if not isinstance(doc, dict) or doc.get("format") != FORMAT or doc.get("version") != 1:
        raise ValueError(f"{directory!r} is not a sharded store: {MANIFEST} is of another format")
    shards, dim = doc.get("shards"), doc.get("dim")
    if doc.get("hash") != HASH:
        raise ValueError(f"{directory!r} places records by hash {doc.get('hash')!r}, not {HASH!r}")
    if not isinstance(shards, int) or shards < 1 or not (dim is None or isinstance(dim, int)):
        raise ValueError(f"{directory!r} is not a sharded store: {MANIFEST} is damaged")
    return Manifest(shards, dim)


def write(directory: str, manifest: Manifest) -> None:
    """Replace the manifest whole: written beside it, flushed, then renamed over it."""
    os.makedirs(directory, exist_ok=True)
    path = os.path.join(directory, MANIFEST)
    tmp = path + ".tmp"
    with open(tmp, "w", encoding="utf-8") as f:
        f.write(manifest.to_json())
        f.flush()
        os.fsync(f.fileno())
    os.replace(tmp, path)
    fd = os.open(directory, os.O_RDONLY)
    try:
        os.fsync(fd)
    finally:
        os.close(fd)
