"""The shipped example and type stub: the example runs, and callers type-check against the
stub, which matches the module."""
import os
import subprocess
import sys
from pathlib import Path

import pytest

import pelmor_vector_db

ROOT = Path(__file__).resolve().parents[2]
# The stub in the source tree is the one shipped; checking it works for an installed
# package and for a build folder on PYTHONPATH alike.
STUB_ENV = dict(os.environ, MYPYPATH=str(ROOT / "src" / "python"))


def test_quickstart_runs_end_to_end():
    out = subprocess.run(
        [sys.executable, str(ROOT / "examples" / "quickstart.py"), "--records", "3000", "--dim", "48",
         "--queries", "30"],
        capture_output=True, text=True, timeout=600,
    )
    assert out.returncode == 0, out.stderr
    assert "reopened in" in out.stdout
    recall = float(out.stdout.split("recall@10 against brute force: ")[1].split()[0])
    assert recall >= 0.9


def test_stub_is_installed_beside_the_module_and_matches_it():
    assert Path(pelmor_vector_db.__file__).with_name("pelmor_vector_db.pyi").exists()
    pytest.importorskip("mypy")
    out = subprocess.run([sys.executable, "-m", "mypy.stubtest", "pelmor_vector_db"],
                         capture_output=True, text=True, env=STUB_ENV)
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
# supported version is checked apart. The shard layer is checked as installed, by its
# py.typed, from outside the source tree.
@pytest.mark.parametrize("args", [["--python-version", "3.10"], ["--python-version", "3.12"],
                                  ["-p", "pelmor_cluster"]], ids=["3.10", "3.12", "shards"])
def test_typed_callers_pass_strict_mypy(tmp_path, args):
    pytest.importorskip("mypy")
    snippet = tmp_path / "array_calls.py"
    snippet.write_text(ARRAY_CALLS)
    if args[0] != "-p":
        args = [*args, str(ROOT / "examples" / "quickstart.py"), str(snippet)]
    out = subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--cache-dir", str(tmp_path / "cache"), *args],
        capture_output=True, text=True, cwd=tmp_path, env=STUB_ENV,
    )
    assert out.returncode == 0, out.stdout + out.stderr
