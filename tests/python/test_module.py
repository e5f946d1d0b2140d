import sys

import pytest

import velmora

ORDER = ["Graph", "Query", "Edge", "Node", "Term", "Type", "Constant"]
NO_CONSTRUCTOR = ["Query", "Edge", "Node", "Term", "Type"]


def registered():
    return [name for name in ORDER if hasattr(velmora, name)]


def test_module_doc_is_empty():
    assert velmora.__doc__ == ""


def test_all_lists_the_registered_classes_in_order():
    assert velmora.__all__ == registered()
    assert registered(), "at least one class is registered"


def test_no_attributes_beyond_classes_and_all():
    standard = {"__name__", "__doc__", "__package__", "__loader__", "__spec__", "__file__"}
    extra = set(vars(velmora)) - standard - {"__all__"} - set(ORDER)
    assert extra == set()


@pytest.mark.parametrize("name", ORDER)
def test_classes_live_in_builtins(name):
    cls = getattr(velmora, name)
    assert cls.__module__ == "builtins"
    assert cls.__qualname__ == name


@pytest.mark.parametrize("name", NO_CONSTRUCTOR)
def test_classes_without_constructor_refuse_instances(name):
    with pytest.raises(TypeError) as info:
        getattr(velmora, name)()
    assert str(info.value) == f"cannot create 'builtins.{name}' instances"


def test_second_initialisation_raises_import_error(run_python):
    result = run_python(
        """
        import ctypes, velmora
        lib = ctypes.PyDLL(velmora.__file__)
        lib.PyInit_velmora.restype = ctypes.py_object
        try:
            lib.PyInit_velmora()
        except ImportError as e:
            print("ImportError:", e)
        """
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == (
        "ImportError: PyO3 modules compiled for CPython 3.8 or older may only be "
        "initialized once per interpreter process"
    )


def test_import_prints_nothing(run_python):
    result = run_python("import velmora, time; time.sleep(0.2)")
    assert result.returncode == 0
    assert result.stdout == "" and result.stderr == ""
