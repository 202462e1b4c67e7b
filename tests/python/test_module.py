import importlib.util
import subprocess
import sys

import pelmor_vector_db


def test_version():
    assert pelmor_vector_db.__version__ == "0.1.0"


def test_module_docstring_is_empty():
    assert pelmor_vector_db.__doc__ == ""


def test_public_attributes():
    public = {name for name in dir(pelmor_vector_db) if not name.startswith("__")}
    assert public == {"VectorEntry", "VectorStore"}
    assert "__version__" in dir(pelmor_vector_db)


def test_a_second_module_object_shares_the_types():
    found = importlib.util.find_spec("pelmor_vector_db")
    again = importlib.util.module_from_spec(found)
    found.loader.exec_module(again)
    assert again is not pelmor_vector_db
    assert again.VectorEntry is pelmor_vector_db.VectorEntry
    assert again.__version__ == "0.1.0"
    entry = again.VectorEntry("a", [1])
    assert isinstance(entry, pelmor_vector_db.VectorEntry)


def test_import_emits_no_warnings():
    subprocess.run([sys.executable, "-W", "error", "-c", "import pelmor_vector_db"], check=True)
