"""The binding table of the recorder and how an importer binds it."""

import ctypes
import datetime
import importlib.util
import types

import pytest

import orvane.core.excursion as excursion
from orvane.core import _recorder_probe as probe

_get_name = ctypes.pythonapi.PyCapsule_GetName
_get_name.restype = ctypes.c_char_p
_get_name.argtypes = [ctypes.py_object]

SIGNATURES = [
    ("entry", "PyArrayObject *"),
    ("position", "PyArrayObject *"),
    ("start_analysis",
     "void (PyArrayObject *, PyArrayObject *, std::map<int,int> , int, double, double, int, int)"),
    ("record_date", "void (int)"),
    ("record_entry", "void (int, double, int)"),
    ("record_exit", "void (int, int)"),
    ("end_analysis", "PyObject *(std::map<int,double>  &)"),
]


def test_table_holds_the_seven_entries_in_order():
    table = excursion._capi
    assert [(name, _get_name(cap).decode()) for name, cap in table.items()] == SIGNATURES


def test_native_variables_are_not_module_attributes():
    public = {k for k in vars(excursion) if not k.startswith("__")}
    assert public == {"_capi", "org_np", "trades", "trade_positions", "excursion"}


def fake(table, name="fake.recorder"):
    module = types.ModuleType(name)
    if table is not None:
        module._capi = table
    return module


def test_binding_a_copy_of_the_table_works():
    probe.bind(fake(dict(excursion._capi)))


@pytest.mark.parametrize(
    "missing, kind", [("entry", "variable"), ("position", "variable"), ("start_analysis", "function"),
                      ("end_analysis", "function")],
)
def test_missing_entry(missing, kind):
    table = dict(excursion._capi)
    del table[missing]
    with pytest.raises(ImportError) as info:
        probe.bind(fake(table))
    assert str(info.value) == f"fake.recorder does not export expected C {kind} {missing}"


def test_module_without_a_table_lacks_the_first_entry():
    with pytest.raises(ImportError, match="^fake.recorder does not export expected C variable entry$"):
        probe.bind(fake(None))


def test_wrong_function_signature():
    table = dict(excursion._capi)
    table["record_date"] = table["record_exit"]
    with pytest.raises(TypeError) as info:
        probe.bind(fake(table))
    assert str(info.value) == ("C function fake.recorder.record_date has wrong signature "
                               "(expected void (int), got void (int, int))")


def test_wrong_variable_signature():
    table = dict(excursion._capi)
    table["position"] = datetime.datetime_CAPI
    with pytest.raises(TypeError) as info:
        probe.bind(fake(table))
    assert str(info.value) == ("C variable fake.recorder.position has wrong signature "
                               "(expected PyArrayObject *, got datetime.datetime_CAPI)")


def test_entries_are_checked_in_table_order():
    table = dict(excursion._capi)
    del table["record_exit"]
    table["record_entry"] = table["record_date"]
    with pytest.raises(TypeError, match="record_entry has wrong signature"):
        probe.bind(fake(table))


def test_module_cannot_be_initialised_twice():
    spec = importlib.util.spec_from_file_location("orvane.core.excursion", excursion.__file__)
    second = importlib.util.module_from_spec(spec)
    with pytest.raises(RuntimeError) as info:
        spec.loader.exec_module(second)
    assert str(info.value) == ("Module 'excursion' has already been imported. "
                               "Re-initialisation is not supported.")
    # The first module keeps working.
    assert excursion._capi is not None and probe.entry() is not None
