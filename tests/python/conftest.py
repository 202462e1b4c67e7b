import os

import pytest

import pelmor_vector_db as pv


@pytest.fixture
def paths(tmp_path):
    """Snapshot and log paths inside a fresh folder; neither file exists yet."""
    return str(tmp_path / "store.snap"), str(tmp_path / "store.wal")


def read_bytes(path):
    with open(path, "rb") as f:
        return f.read()


def write_bytes(path, data):
    with open(path, "wb") as f:
        f.write(data)


def entry(id, embedding, metadata="", created_at=""):
    return pv.VectorEntry(id, embedding, metadata, created_at)


def wal_upsert(id, embedding_text, metadata="", created_at=""):
    return (
        '{"op":"upsert","data":{"id":"%s","embedding":[%s],"metadata":"%s","created_at":"%s"}}\n'
        % (id, embedding_text, metadata, created_at)
    ).encode()


def wal_delete(id):
    return ('{"op":"delete","data":{"id":"%s"}}\n' % id).encode()


def state(store):
    """Everything a caller can observe of a store's records."""
    return {
        "len": store.len,
        "dim": store.dim,
        "wal_pending": store.wal_pending,
    }


def files_in(folder):
    return sorted(os.listdir(folder))


@pytest.fixture(scope="session")
def ray_cluster():
    """One local Ray cluster for the whole run: starting one takes seconds."""
    ray = pytest.importorskip("ray")
    ray.init(num_cpus=2, include_dashboard=False, log_to_driver=False)
    yield ray
    ray.shutdown()
