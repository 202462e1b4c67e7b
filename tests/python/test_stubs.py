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


def test_shard_layer_passes_strict_type_checks(tmp_path):
    pytest.importorskip("mypy")
    # Run away from the source tree, so mypy finds the package as installed, by its py.typed.
    out = subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "-p", "pelmor_cluster", "--cache-dir",
         str(Path(__file__).resolve().parents[2] / ".mypy_cache")],
        capture_output=True, text=True, cwd=tmp_path,
    )
    assert out.returncode == 0, out.stdout + out.stderr
