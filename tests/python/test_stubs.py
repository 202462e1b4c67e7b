import os
import subprocess
import sys
from pathlib import Path

import pytest

import pelmor_vector_db


def test_stub_is_installed_beside_the_module():
    stub = Path(pelmor_vector_db.__file__).with_name("pelmor_vector_db.pyi")
    assert stub.exists()


def test_stub_matches_the_runtime():
    pytest.importorskip("mypy")
    # The stub in the source tree is the one shipped; checking it works for an installed
    # package and for a build folder on PYTHONPATH alike.
    env = dict(os.environ, MYPYPATH=str(Path(__file__).resolve().parents[2] / "src" / "python"))
    out = subprocess.run(
        [sys.executable, "-m", "mypy.stubtest", "pelmor_vector_db"], capture_output=True, text=True,
        env=env,
    )
    assert out.returncode == 0, out.stdout + out.stderr


# Each place that takes floats, given NumPy arrays the way callers hold them, and a list.
ARRAY_CALLS = """
import numpy as np
import numpy.typing as npt

import pelmor_vector_db as pv

narrow: npt.NDArray[np.float32] = np.zeros(4, dtype=np.float32)
wide: npt.NDArray[np.float64] = np.ones(8)
entry = pv.VectorEntry("a", narrow)
entry.embedding = wide[::2]
store = pv.VectorStore.new("a.snap", "a.wal")
found: list[tuple[pv.VectorEntry, float]] = store.search(wide, top_k=3)
store.search(narrow)
store.search([0.5, 1, 2.0])
"""


# NumPy's stubs declare an array's buffer only for Python 3.12 and later, so the oldest
# supported version is checked apart.
@pytest.mark.parametrize("target", ["3.10", "3.12"])
def test_typed_callers_pass_strict_mypy(tmp_path, target):
    pytest.importorskip("mypy")
    root = Path(__file__).resolve().parents[2]
    snippet = tmp_path / "array_calls.py"
    snippet.write_text(ARRAY_CALLS)
    out = subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--python-version", target, "--cache-dir",
         str(tmp_path / "cache"), str(root / "examples" / "quickstart.py"), str(snippet)],
        capture_output=True, text=True, cwd=tmp_path,
        env=dict(os.environ, MYPYPATH=str(root / "src" / "python")),
    )
    assert out.returncode == 0, out.stdout + out.stderr


def test_shard_layer_passes_strict_type_checks(tmp_path):
    pytest.importorskip("mypy")
    # Run away from the source tree, so mypy finds the package as installed, by its py.typed.
    out = subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "-p", "pelmor_cluster", "--cache-dir",
         str(Path(__file__).resolve().parents[2] / ".mypy_cache")],
        capture_output=True, text=True, cwd=tmp_path,
    )
    assert out.returncode == 0, out.stdout + out.stderr
