"""Where shards run: the calls a store makes on its shards, and their in-process answer."""

from __future__ import annotations

import importlib
from collections.abc import Iterable, Sequence
from typing import Any, Protocol, TypeVar

from .manifest import shard_folder
from .shard import Shard

T = TypeVar("T")
# One call per shard: (shard, method name, arguments).
Call = tuple[int, str, tuple[Any, ...]]


def progress(items: Iterable[T], total: int, desc: str, enabled: bool) -> Iterable[T]:
    """A tqdm bar over ``items`` when asked for and tqdm is installed; the items otherwise."""
    if not enabled:
        return items
    try:
        tqdm: Any = importlib.import_module("tqdm").tqdm
    except ImportError:
        return items
    return tqdm(items, total=total, desc=desc, unit="shard")  # type: ignore[no-any-return]


class Backend(Protocol):
    def call(self, shard: int, method: str, *args: Any) -> Any: ...

    def fan_out(self, calls: Sequence[Call], desc: str, bar: bool) -> list[Any]:
        """Run every call; the result of each, or the exception it raised, in call order."""
        ...

    def close(self) -> None: ...


class LocalBackend:
    """Every shard in this process, called in turn."""

    def __init__(self, directory: str, shards: int, merge_at: int) -> None:
        self.shards = [Shard(shard_folder(directory, i), merge_at) for i in range(shards)]

    def call(self, shard: int, method: str, *args: Any) -> Any:
        return getattr(self.shards[shard], method)(*args)

    def fan_out(self, calls: Sequence[Call], desc: str, bar: bool) -> list[Any]:
        out: list[Any] = []
        for shard, method, args in progress(calls, len(calls), desc, bar):
            try:
                out.append(getattr(self.shards[shard], method)(*args))
            except Exception as e:  # reported per shard by the caller
                out.append(e)
        return out

    def close(self) -> None:
        self.shards = []
