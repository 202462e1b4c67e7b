import pelmor_vector_db


def test_version():
    assert pelmor_vector_db.__version__ == "0.1.0"


def test_module_docstring_is_empty():
    assert pelmor_vector_db.__doc__ == ""
