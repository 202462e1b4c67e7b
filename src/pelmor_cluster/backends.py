"""Where shards run: in this process, or each on a Ray actor of its own.

Both backends answer the same calls with the same values. Records cross to a Ray actor
as plain tuples, because the module's records do not pickle.
"""

from __future__ import annotations

import importlib
import os
from collections.abc import Iterable, Iterator, Sequence
from typing import Any, Protocol, TypeVar

from pelmor_vector_db import VectorEntry

from .manifest import shard_folder
from .shard import Shard

T = TypeVar("T")
Plain = tuple[str, list[float], str, str]
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


def plain(entry: VectorEntry) -> Plain:
    # A list of floats pickles in a fraction of the time of a small array.
    return (entry.id, entry.embedding, entry.metadata, entry.created_at)


class ShardActor:
    """A shard behind a Ray actor; a restarted actor reopens the shard's files."""

    def __init__(self, folder: str, merge_at: int) -> None:
        self.shard = Shard(folder, merge_at)

    def run(self, method: str, *args: Any) -> Any:
        result = getattr(self.shard, method)(*args)
        if method == "search":
            return [(d, id, plain(e)) for d, id, e in result]
        if method == "get":
            return None if result is None else plain(result)
        return result

    def pid(self) -> int:
        return os.getpid()


def _entry(p: Plain) -> VectorEntry:
    return VectorEntry(*p)


def _from_plain(method: str, result: Any) -> Any:
    if method == "search":
        return [(d, id, _entry(p)) for d, id, p in result]
    if method == "get":
        return None if result is None else _entry(result)
    return result


class RayBackend:
    """One actor per shard, spread over the cluster's nodes.

    Every node must see ``directory`` at the same path (a shared file system): an actor
    restarted after a crash may come back on another node and reopens the files there.
    An actor's call that was cut short by its crash is run again after the restart; every
    shard call gives the same result when repeated.
    """

    def __init__(
        self, directory: str, shards: int, merge_at: int, address: str | None, max_restarts: int
    ) -> None:
        ray: Any = importlib.import_module("ray")
        if not ray.is_initialized():
            ray.init(address=address)
        actor = ray.remote(ShardActor).options(
            max_restarts=max_restarts,
            max_task_retries=max_restarts,
            scheduling_strategy="SPREAD",
            num_cpus=0,
        )
        self._ray = ray
        # An actor's worker does not run in the caller's working directory.
        folder = os.path.abspath(directory)
        self.actors: list[Any] = [
            actor.remote(shard_folder(folder, i), merge_at) for i in range(shards)
        ]
        ray.get([a.pid.remote() for a in self.actors])  # opened, or the open's error here

    def call(self, shard: int, method: str, *args: Any) -> Any:
        return _from_plain(method, self._ray.get(self.actors[shard].run.remote(method, *args)))

    def fan_out(self, calls: Sequence[Call], desc: str, bar: bool) -> list[Any]:
        refs = [self.actors[s].run.remote(m, *a) for s, m, a in calls]
        if bar:
            for _ in progress(_completions(self._ray, refs), len(refs), desc, bar):
                pass
        try:
            # One wait for all is the common case; only a failure needs them one by one.
            return [_from_plain(c[1], r) for c, r in zip(calls, self._ray.get(refs))]
        except Exception:  # noqa: BLE001, S110 - told apart per shard below
            pass
        out: list[Any] = []
        for (_, method, _), ref in zip(calls, refs):
            try:
                out.append(_from_plain(method, self._ray.get(ref)))
            except Exception as e:  # reported per shard by the caller
                out.append(e)
        return out

    def pids(self) -> list[int]:
        return list(self._ray.get([a.pid.remote() for a in self.actors]))

    def close(self) -> None:
        for a in self.actors:
            self._ray.kill(a, no_restart=True)
        self.actors = []


def _completions(ray: Any, refs: list[Any]) -> Iterator[None]:
    pending = list(refs)
    while pending:
        _, pending = ray.wait(pending, num_returns=1)
        yield None
