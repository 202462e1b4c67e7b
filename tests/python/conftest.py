import os
import struct
import subprocess
import sys

import numpy as np
import pytest

import pelmor_vector_db as pv

# The reliability helpers, for the tests that drive them.
sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "reliability"))
from workload import read as read_bytes  # noqa: E402  (None when there is no file)


@pytest.fixture
def paths(tmp_path):
    """Snapshot and log paths inside a fresh folder; neither file exists yet."""
    return str(tmp_path / "store.snap"), str(tmp_path / "store.wal")


@pytest.fixture
def store(paths):
    return pv.VectorStore.new(*paths)


def write_bytes(path, data):
    with open(path, "wb") as f:
        f.write(data)


def wal_upsert(id, embedding_text, metadata="", created_at=""):
    return (
        '{"op":"upsert","data":{"id":"%s","embedding":[%s],"metadata":"%s","created_at":"%s"}}\n'
        % (id, embedding_text, metadata, created_at)
    ).encode()


def wal_delete(id):
    return ('{"op":"delete","data":{"id":"%s"}}\n' % id).encode()


def bits(values):
    """The exact bit patterns, so that -0.0 and 0.0 differ and NaN compares."""
    return struct.pack(f"<{len(values)}d", *values)


@pytest.fixture(scope="session")
def fault_library(tmp_path_factory):
    """The preloaded fault library, compiled once for the run."""
    from workload import build_fault_library

    return build_fault_library(str(tmp_path_factory.mktemp("lib")))


@pytest.fixture(scope="session")
def ray_cluster():
    """One local Ray cluster for the whole run: starting one takes seconds."""
    ray = pytest.importorskip("ray")
    ray.init(num_cpus=2, include_dashboard=False, log_to_driver=False)
    yield ray
    ray.shutdown()


def f32_distance(a, b):
    """The store's cosine distance, reproduced step by step in float32: sequential sums,
    no fused operations, 2.0 for a zero vector, clamped to [0, 2] unless NaN."""
    a, b = np.asarray(a, np.float32), np.asarray(b, np.float32)
    with np.errstate(all="ignore"):
        dot, na, nb = np.float32(-0.0), np.float32(-0.0), np.float32(-0.0)
        for x, y in zip(a, b):
            dot += x * y
            na += x * x
            nb += y * y
        denom = np.sqrt(na) * np.sqrt(nb)
        if denom == 0:
            return 2.0
        r = np.float32(1.0) - dot / denom
    return float(r) if np.isnan(r) else float(min(max(r, 0.0), 2.0))


def run_python(code, *args, **kwargs):
    """Runs `code` in a child interpreter; a crash or a hang there fails only one test."""
    kwargs.setdefault("timeout", 240)
    return subprocess.run([sys.executable, "-c", code, *map(str, args)], capture_output=True,
                          text=True, **kwargs)
