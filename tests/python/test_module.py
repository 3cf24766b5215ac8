"""The module object and the surface of its two classes."""

import gc
import importlib
import sys
import weakref

import pytest

import vornak
from vornak import RawReader, Spectrum

DISALLOW_INSTANTIATION = 1 << 7
IMMUTABLETYPE = 1 << 8
BASETYPE = 1 << 10
HAVE_GC = 1 << 14


def test_module_contents():
    assert vornak.__all__ == ["RawReader", "Spectrum"]
    assert vornak.__doc__ == ""
    standard = {"__name__", "__doc__", "__package__", "__loader__", "__spec__", "__file__"}
    assert set(vars(vornak)) - standard == {"__all__", "RawReader", "Spectrum"}


def test_reimport_gives_same_classes():
    first = sys.modules.pop("vornak")
    try:
        second = importlib.import_module("vornak")
        assert second is not first
        assert second.RawReader is first.RawReader
        assert second.Spectrum is first.Spectrum
        assert second.__all__ == ["RawReader", "Spectrum"]
    finally:
        sys.modules["vornak"] = first


@pytest.mark.parametrize("cls, name, signature, extra_flags", [
    (RawReader, "RawReader", "(path)", 0),
    (Spectrum, "Spectrum", None, DISALLOW_INSTANTIATION),
])
def test_class_surface(cls, name, signature, extra_flags):
    assert (cls.__module__, cls.__name__, cls.__qualname__) == ("builtins", name, name)
    assert cls.__bases__ == (object,)
    assert cls.__text_signature__ == signature
    assert not cls.__doc__
    assert cls.__flags__ & (DISALLOW_INSTANTIATION | IMMUTABLETYPE | BASETYPE | HAVE_GC) == extra_flags
    with pytest.raises(TypeError):
        type("Derived", (cls,), {})


def test_read_spectrum_surface():
    method = RawReader.read_spectrum
    assert method.__text_signature__ == "($self, scan_index)"
    assert method.__doc__ is None
    assert {n for n in vars(RawReader) if not n.startswith("__")} == {"scan_count", "read_spectrum"}
    assert {n for n in vars(Spectrum) if not n.startswith("__")} == {
        "mz", "intensity", "ms_level", "retention_time_sec"}
    for absent in ("__len__", "__iter__", "__getitem__", "__enter__", "close", "__reduce__"):
        assert absent not in vars(RawReader)


def test_spectrum_cannot_be_made_from_python():
    with pytest.raises(TypeError):
        Spectrum()
    with pytest.raises(TypeError):
        Spectrum.__new__(Spectrum)


def test_instances_are_sealed(demo):
    reader = RawReader(demo)
    spectrum = reader.read_spectrum(0)
    for instance, attributes in [(reader, ["scan_count", "other"]),
                                 (spectrum, ["mz", "intensity", "ms_level", "retention_time_sec",
                                             "other"])]:
        assert not gc.is_tracked(instance)
        assert not hasattr(instance, "__dict__")
        with pytest.raises(TypeError):
            weakref.ref(instance)
        for attribute in attributes:
            with pytest.raises(AttributeError):
                setattr(instance, attribute, 1)
            with pytest.raises(AttributeError):
                delattr(instance, attribute)


def test_subinterpreters_are_refused():
    # The class objects belong to the whole process; a second interpreter must not get them.
    interpreters = pytest.importorskip("_interpreters")
    interpreter = interpreters.create()
    try:
        failure = interpreters.run_string(interpreter, "import vornak")
    finally:
        interpreters.destroy(interpreter)
    assert failure is not None
    assert failure.type.__name__ == "ImportError"
