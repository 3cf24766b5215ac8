"""RawReader: argument binding, opening, scan access and its text form."""

import os
import pathlib
import shutil

import pytest

from vornak import RawReader

NEW = "RawReader.__new__()"
READ = "RawReader.read_spectrum()"
NO_NOTES = None


def three_scans():
    return [{"scan_id": n, "retention_time_min": n / 10} for n in (1, 2, 3)]


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        if isinstance(self.value, Exception):
            raise self.value
        return self.value


class IntWithIndex(int):
    """An int is taken as it is; its __index__ is not consulted."""

    def __index__(self):
        return 0


@pytest.mark.parametrize("args, kwargs, message", [
    ((), {}, f"{NEW} missing 1 required positional argument: 'path'"),
    (("a", "b"), {}, f"{NEW} takes 1 positional arguments but 2 were given"),
    (("a", "b", "c"), {"x": 1}, f"{NEW} takes 1 positional arguments but 3 were given"),
    (("a",), {"path": "a"}, f"{NEW} got multiple values for argument 'path'"),
    (("a",), {"path": "a", "x": 1}, f"{NEW} got multiple values for argument 'path'"),
    (("a",), {"x": 1, "path": "a"}, f"{NEW} got an unexpected keyword argument 'x'"),
    ((), {"x": 1}, f"{NEW} got an unexpected keyword argument 'x'"),
    ((), {"path": "a", "scan_index": 1}, f"{NEW} got an unexpected keyword argument 'scan_index'"),
    ((None,), {}, "'None' is not an instance of 'str'"),
    ((b"/tmp",), {}, "'bytes' object is not an instance of 'str'"),
    ((pathlib.Path("/tmp"),), {}, "'PosixPath' object is not an instance of 'str'"),
    ((), {"path": 7}, "'int' object is not an instance of 'str'"),
])
def test_bad_args_new(args, kwargs, message):
    with pytest.raises(TypeError) as caught:
        RawReader(*args, **kwargs)
    assert str(caught.value) == message
    binding = message.startswith(NEW)
    assert getattr(caught.value, "__notes__", NO_NOTES) == (
        NO_NOTES if binding else ["while processing 'path'"])


def test_unencodable_path():
    with pytest.raises(UnicodeEncodeError) as caught:
        RawReader("/tmp/\udc80.d")
    assert caught.value.__notes__ == ["while processing 'path'"]


@pytest.mark.parametrize("args, kwargs, error, message", [
    ((), {}, TypeError, f"{READ} missing 1 required positional argument: 'scan_index'"),
    ((0, 1), {}, TypeError, f"{READ} takes 1 positional arguments but 2 were given"),
    ((0,), {"scan_index": 0}, TypeError, f"{READ} got multiple values for argument 'scan_index'"),
    ((), {"index": 0}, TypeError, f"{READ} got an unexpected keyword argument 'index'"),
    ((0,), {"path": 0}, TypeError, f"{READ} got an unexpected keyword argument 'path'"),
    ((-1,), {}, OverflowError, None),
    ((2 ** 64,), {}, OverflowError, None),
    ((Index(-1),), {}, OverflowError, None),
    ((1.0,), {}, TypeError, None),
    (("0",), {}, TypeError, None),
    ((None,), {}, TypeError, None),
    ((Index(ValueError("no index")),), {}, ValueError, "no index"),
])
def test_bad_args_read_spectrum(make_acquisition, args, kwargs, error, message):
    reader = RawReader(make_acquisition(three_scans()))
    with pytest.raises(error) as caught:
        reader.read_spectrum(*args, **kwargs)
    binding = message is not None and message.startswith(READ)
    if message is not None:
        assert str(caught.value) == message
    assert getattr(caught.value, "__notes__", NO_NOTES) == (
        NO_NOTES if binding else ["while processing 'scan_index'"])


@pytest.mark.parametrize("index, expected_rt", [
    (0, 6.0), (2, 18.0), (True, 12.0), (False, 6.0), (Index(2), 18.0), (IntWithIndex(2), 18.0),
])
def test_index_conversion(make_acquisition, index, expected_rt):
    reader = RawReader(make_acquisition(three_scans()))
    assert reader.read_spectrum(index).retention_time_sec == pytest.approx(expected_rt)
    assert reader.read_spectrum(scan_index=index).retention_time_sec == pytest.approx(expected_rt)


@pytest.mark.parametrize("index", [3, 4, 2 ** 63, 2 ** 64 - 1])
def test_index_out_of_range(make_acquisition, index):
    reader = RawReader(make_acquisition(three_scans()))
    with pytest.raises(RuntimeError) as caught:
        reader.read_spectrum(index)
    assert str(caught.value) == f"scan {index} out of range"
    assert not hasattr(caught.value, "__notes__")
    assert reader.scan_count == 3


def test_single_scan(make_acquisition):
    path = make_acquisition([{"scan_id": 5, "retention_time_min": 1.5, "ms_level": 2}])
    reader = RawReader(path=path)
    assert reader.scan_count == 1
    assert repr(reader) == f"RawReader('{path}', 1 scans)"
    assert reader.read_spectrum(0).ms_level == 2
    with pytest.raises(RuntimeError, match=r"^scan 1 out of range$"):
        reader.read_spectrum(1)


def test_str_subclass_path(make_acquisition):
    class Text(str):
        pass

    path = make_acquisition(three_scans())
    assert RawReader(Text(path)).scan_count == 3


@pytest.mark.parametrize("name", ["it's.d", 'quote".d', "spaces and é.d", "back\\slash.d"])
def test_repr_shows_path_unchanged(make_acquisition, name):
    path = make_acquisition(three_scans(), name=name)
    assert repr(RawReader(path)) == "RawReader('" + path + "', 3 scans)"
    assert repr(RawReader(path + "/")) == "RawReader('" + path + "/', 3 scans)"


def test_open_errors(tmp_path, make_acquisition):
    # Each library error arrives as a RuntimeError carrying its display text and nothing else.
    (tmp_path / "empty.d").mkdir()
    (tmp_path / "no_index.d" / "AcqData").mkdir(parents=True)
    cases = [
        (str(tmp_path / "empty.d"), "parse error: AcqData directory not found"),
        (str(tmp_path / "missing.d"), "parse error: AcqData directory not found"),
        (str(tmp_path / "no_index.d"),
         f"I/O error: {os.strerror(2)} (os error 2)"),
        (make_acquisition({"magic": 1, "scans": [{"scan_id": 1}]}),
         "parse error: Invalid MSScan magic: 1"),
        (make_acquisition({"scan_index_bytes": {"hex": "0101"}}),
         "parse error: MSScan.bin too small for header"),
    ]
    for path, message in cases:
        with pytest.raises(RuntimeError) as caught:
            RawReader(path)
        assert type(caught.value) is RuntimeError
        assert str(caught.value) == message
        assert not hasattr(caught.value, "__notes__")


def test_reader_keeps_everything_in_memory(make_acquisition, tmp_path):
    path = make_acquisition([
        {"scan_id": 1, "blocks": [{"kind": "peak", "format_id": 3, "mz": [100.5, 200.25],
                                   "intensity": [3.0, 4.0]}]},
        {"scan_id": 2, "ms_level": 2},
    ])
    reader = RawReader(path)
    shutil.rmtree(path)
    spectrum = reader.read_spectrum(0)
    assert (spectrum.mz, spectrum.intensity) == ([100.5, 200.25], [3.0, 4.0])
    assert reader.scan_count == 2
    del reader
    assert spectrum.mz == [100.5, 200.25]


def test_demo_acquisition(demo):
    reader = RawReader(demo)
    assert reader.scan_count == 12
    spectra = [reader.read_spectrum(i) for i in range(reader.scan_count)]
    assert {s.ms_level for s in spectra} == {1, 2}
    assert all(len(s) == len(s.mz) == len(s.intensity) > 0 for s in spectra)
    times = [s.retention_time_sec for s in spectra]
    assert times == sorted(times)
    assert reader.read_spectrum(0) is not reader.read_spectrum(0)
    assert reader.read_spectrum(0) != reader.read_spectrum(0)


@pytest.mark.parametrize("folder, scan_count", [
    ("example1.d", 1333),
    ("MJA5_1000_090919_001.d", 1065),
    ("Propellant_Std_1ug_1_200124-0002.d", 1809),
    ("magenta.D", 3),
])
def test_real_acquisitions(realdata, folder, scan_count):
    path = str(realdata / folder)
    reader = RawReader(path)
    assert reader.scan_count == scan_count
    assert repr(reader) == f"RawReader('{path}', {scan_count} scans)"
    # The block files are absent (or undecodable): every spectrum comes out empty.
    for index in (0, scan_count - 1):
        spectrum = reader.read_spectrum(index)
        assert (len(spectrum), spectrum.mz, spectrum.intensity, spectrum.ms_level) == (0, [], [], 1)
    with pytest.raises(RuntimeError, match=f"^scan {scan_count} out of range$"):
        reader.read_spectrum(scan_count)


def test_real_retention_times(realdata):
    lines = (realdata / "example1.d.scan-times-min.yml").read_text().splitlines()
    minutes = [float(line[2:]) for line in lines if line.startswith("- ")]
    reader = RawReader(str(realdata / "example1.d"))
    assert [reader.read_spectrum(i).retention_time_sec for i in range(reader.scan_count)] == [
        m * 60.0 for m in minutes]


def test_real_unknown_layout(realdata):
    with pytest.raises(RuntimeError) as caught:
        RawReader(str(realdata / "copper.D"))
    assert str(caught.value) == "parse error: Cannot determine record stride for payload len 1024"
