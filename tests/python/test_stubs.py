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
    out = subprocess.run(
        [sys.executable, "-m", "mypy.stubtest", "pelmor_vector_db"], capture_output=True, text=True
    )
    assert out.returncode == 0, out.stdout + out.stderr
