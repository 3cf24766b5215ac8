"""vornak_ms's acquisition: opening, access by index, scan id and retention time, the scan table,
explicit profile and centroid spectra, and the exception hierarchy."""

import math
import pathlib

import numpy as np
import pytest

import vornak_ms


def peaks(mz, intensity, format_id=3):
    return {"kind": "peak", "format_id": format_id, "mz": mz, "intensity": intensity}


def profile(intensities, **descriptor):
    block = {"kind": "profile", "intensities": intensities}
    if descriptor:
        block["descriptor"] = descriptor
    return block


def five_scans():
    """MS levels 1, 2, 1, 2, 2 at 0.5 min steps; scan ids 10, 20, ..."""
    return [{"scan_id": 10 * (i + 1), "retention_time_min": 0.5 * (i + 1), "ms_level": level,
             "precursor_mz": 400.0 + i if level == 2 else None,
             "blocks": [peaks([100.0 + i, 200.0 + i], [1.0 + i, 2.0 + i])]}
            for i, level in enumerate([1, 2, 1, 2, 2])]


def without_none(scans):
    return [{key: value for key, value in scan.items() if value is not None} for scan in scans]


@pytest.fixture
def five(make_acquisition):
    return make_acquisition(without_none(five_scans()))


def test_module_surface():
    assert set(vornak_ms.__all__) >= {"open", "Acquisition", "Spectrum", "Chromatogram", "Error",
                                      "FolderError", "ScanIndexError", "BlockError"}
    for name in ("FolderError", "ScanIndexError", "BlockError"):
        assert issubclass(getattr(vornak_ms, name), vornak_ms.Error)
    assert issubclass(vornak_ms.Error, Exception)
    assert vornak_ms.FolderError.__module__ == "vornak_ms._core"
    with pytest.raises(TypeError):
        vornak_ms.Acquisition()
    with pytest.raises(TypeError):
        vornak_ms.Spectrum()


def test_stubs_are_installed():
    package = pathlib.Path(vornak_ms.__file__).parent
    if not (package / "_core.pyi").exists():
        pytest.skip("a build without stubs (sanitizer builds)")
    text = (package / "_core.pyi").read_text()
    assert "def open(path: str | os.PathLike) -> Acquisition" in text
    assert "def mz(self) -> Annotated[NDArray[numpy.float64]" in text
    assert (package / "py.typed").exists()


def test_open_accepts_str_and_pathlike(five):
    for path in (five, pathlib.Path(five)):
        acquisition = vornak_ms.open(path)
        assert len(acquisition) == 5
        assert acquisition.path == five
        assert acquisition.name == pathlib.Path(five).name
    with pytest.raises(TypeError):
        vornak_ms.open(5)


def test_indexing_iteration_and_slices(five):
    acquisition = vornak_ms.open(five)
    assert [s.index for s in acquisition] == [0, 1, 2, 3, 4]
    assert [acquisition[i].scan_id for i in (-1, -5, 0, 4)] == [50, 10, 10, 50]
    assert acquisition[np.int64(2)].index == 2
    for bad in (5, -6, 2 ** 62):
        with pytest.raises(IndexError, match="acquisition index out of range"):
            acquisition[bad]
    assert [s.index for s in acquisition[1:4]] == [1, 2, 3]
    assert [s.index for s in acquisition[::-2]] == [4, 2, 0]
    assert acquisition[7:] == []
    iterator = iter(acquisition)
    assert iter(iterator) is iterator
    assert len(list(iterator)) == 5 and list(iterator) == []


def test_spectrum_facts(five):
    acquisition = vornak_ms.open(five)
    first, second = acquisition[0], acquisition[1]
    assert (first.ms_level, first.precursor_mz, first.collision_energy) == (1, None, None)
    assert (second.ms_level, second.precursor_mz) == (2, 401.0)
    assert second.retention_time == 0.5 * 2 * 60.0
    assert second.native_id == "scanId=20"
    assert first.polarity in ("positive", "negative", "unknown")
    assert (first.has_profile, first.has_centroid) == (False, True)
    assert (first.kind, first.calibration, first.encoding) == ("centroid", "none", None)
    assert first.mz.tolist() == [100.0, 200.0] and first.intensity.tolist() == [1.0, 2.0]
    assert repr(second) == "<vornak_ms.Spectrum index=1 scan_id=20 ms_level=2 retention_time=60.0>"
    assert repr(acquisition) == (f"<vornak_ms.Acquisition '{acquisition.name}' scans=5 "
                                 f"instrument={acquisition.instrument!r}>")
    with pytest.raises(AttributeError):
        first.ms_level = 3


def test_profile_and_centroid_of_one_scan(make_acquisition):
    path = make_acquisition({"record_stride": 284, "scans": [
        {"scan_id": 1, "mz_range_low": 100.0, "mz_range_high": 103.0,
         "blocks": [profile([0, 5, 9, 0]), peaks([101.0, 102.0], [5.0, 9.0])]},
        {"scan_id": 2, "blocks": [peaks([150.0], [7.0])]},
        {"scan_id": 3, "mz_range_low": 1.0, "mz_range_high": 2.0, "blocks": [profile([3, 4])]},
    ]})
    acquisition = vornak_ms.open(path)
    both = acquisition[0]
    assert both.kind == "profile" and both.intensity.tolist() == [0.0, 5.0, 9.0, 0.0]
    assert acquisition.profile(0).mz.tolist() == [100.0, 101.0, 102.0, 103.0]
    centroid = acquisition.centroid(0)
    assert (centroid.kind, centroid.mz.tolist(), centroid.intensity.tolist()) == \
        ("centroid", [101.0, 102.0], [5.0, 9.0])
    assert acquisition.profile(1) is None and acquisition[1].kind == "centroid"
    assert acquisition.centroid(2) is None and acquisition.profile(-1).intensity.tolist() == [3.0, 4.0]
    with pytest.raises(IndexError):
        acquisition.profile(3)


def test_scan_table(five):
    acquisition = vornak_ms.open(five)
    table = acquisition.scan_table()
    expected_types = {"scan_id": np.uint32, "retention_time": np.float64, "ms_level": np.uint32,
                      "polarity": np.int8, "tic": np.float64, "base_peak_mz": np.float64,
                      "base_peak_intensity": np.float64, "precursor_mz": np.float64,
                      "collision_energy": np.float64, "isolation_width": np.float64,
                      "charge": np.int64, "has_profile": np.bool_, "has_centroid": np.bool_,
                      "profile_points": np.uint32, "centroid_points": np.uint32, "scan_type": np.int64,
                      "frame_id": np.int64, "drift_time": np.float64}
    assert {name: column.dtype for name, column in table.items()} == \
        {name: np.dtype(kind) for name, kind in expected_types.items()}
    assert all(len(column) == 5 and not column.flags.writeable for column in table.values())
    assert table["scan_id"].tolist() == [10, 20, 30, 40, 50]
    assert table["ms_level"].tolist() == [1, 2, 1, 2, 2]
    assert table["retention_time"].tolist() == [30.0 * (i + 1) for i in range(5)]
    assert np.isnan(table["precursor_mz"][[0, 2]]).all()
    assert table["precursor_mz"][[1, 3, 4]].tolist() == [401.0, 403.0, 404.0]
    assert table["centroid_points"].tolist() == [2] * 5 and not table["has_profile"].any()
    assert acquisition.retention_times.tolist() == table["retention_time"].tolist()
    assert acquisition.ms_levels.tolist() == table["ms_level"].tolist()
    del acquisition
    assert table["scan_id"].sum() == 150  # the columns own their memory


def test_to_pandas(five):
    acquisition = vornak_ms.open(five)
    try:
        import pandas  # noqa: F401
    except ImportError:
        with pytest.raises(ImportError, match="needs pandas"):
            acquisition.to_pandas()
        return
    frame = acquisition.to_pandas()
    assert list(frame.columns) == list(acquisition.scan_table())
    assert frame["scan_id"].tolist() == [10, 20, 30, 40, 50]


@pytest.mark.parametrize("rt_range, ms_level, expected", [
    (None, None, [0, 1, 2, 3, 4]),
    ((60.0, 120.0), None, [1, 2, 3]),        # both edges inclusive
    ((60.0, None), 2, [1, 3, 4]),
    ((None, 59.999), None, [0]),
    ((None, None), 1, [0, 2]),
    ((120.0, 60.0), None, []),
    ((-math.inf, math.inf), 3, []),
    ((math.nan, 100.0), None, []),
])
def test_select(five, rt_range, ms_level, expected):
    selected = vornak_ms.open(five).select(rt_range=rt_range, ms_level=ms_level)
    assert selected.dtype == np.uint64 and selected.tolist() == expected


def test_select_with_unsorted_times(make_acquisition):
    times = [3.0, 1.0, 2.0, "nan", 1.5]
    path = make_acquisition([{"scan_id": i + 1, "retention_time_min": t, "blocks": [peaks([1.0], [1.0])]}
                             for i, t in enumerate(times)])
    acquisition = vornak_ms.open(path)
    assert acquisition.select(rt_range=(60.0, 120.0)).tolist() == [1, 2, 4]
    assert acquisition.select().tolist() == [0, 1, 2, 3, 4]


def test_scan_id_lookup(five, make_acquisition):
    acquisition = vornak_ms.open(five)
    assert acquisition.find_scan_id(30) == 2 and acquisition.find_scan_id(31) is None
    assert acquisition.by_scan_id(40).index == 3
    with pytest.raises(KeyError, match="no scan with scan id 31"):
        acquisition.by_scan_id(31)
    unordered = vornak_ms.open(make_acquisition([{"scan_id": i, "blocks": [peaks([1.0], [1.0])]}
                                                 for i in (3, 5, 9, 5, 2)]))
    assert [unordered.find_scan_id(i) for i in (5, 2, 9, 4)] == [1, 4, 2, None]


def test_context_manager_and_close(five):
    with vornak_ms.open(five) as acquisition:
        taken = acquisition[1]
        assert not acquisition.closed
    assert acquisition.closed and repr(acquisition).endswith(" closed>")
    for use in (lambda: acquisition[0], lambda: acquisition.tic(), lambda: acquisition.scan_table(),
                lambda: acquisition.find_scan_id(10), lambda: next(iter(acquisition))):
        with pytest.raises(ValueError, match="closed acquisition"):
            use()
    assert len(acquisition) == 5 and acquisition.select(ms_level=1).tolist() == [0, 2]
    assert taken.mz.tolist() == [101.0, 201.0]  # a spectrum taken before close still decodes
    acquisition.close()  # twice is fine


def test_open_errors(tmp_path, make_acquisition):
    (tmp_path / "empty.d").mkdir()
    (tmp_path / "no_index.d" / "AcqData").mkdir(parents=True)
    cases = [
        (tmp_path / "missing.d", vornak_ms.FolderError,
         f"I/O error: cannot list the folder {tmp_path}/missing.d: No such file or directory (os error 2)"),
        (tmp_path / "empty.d", vornak_ms.FolderError, f"folder error: {tmp_path}/empty.d has no AcqData folder"),
        (tmp_path / "no_index.d", vornak_ms.FolderError,
         f"I/O error: cannot read {tmp_path}/no_index.d/AcqData/MSScan.bin: No such file or directory (os error 2)"),
        (make_acquisition({"magic": 1, "scans": [{"scan_id": 1}]}), vornak_ms.ScanIndexError,
         "parse error: Invalid MSScan magic: 1"),
        (make_acquisition({"scan_index_bytes": {"hex": "0101"}}), vornak_ms.ScanIndexError,
         "parse error: MSScan.bin too small for header"),
    ]
    for path, error, message in cases:
        with pytest.raises(error) as raised:
            vornak_ms.open(path)
        assert str(raised.value) == message, path


def test_damaged_block_raises_when_its_arrays_are_read(make_acquisition):
    path = make_acquisition([
        {"scan_id": 1, "blocks": [peaks([1.0, 2.0], [3.0, 4.0])]},
        {"scan_id": 2, "blocks": [peaks([1.0, 2.0], [3.0, 4.0]) | {"descriptor": {"byte_count": 5}}]},
    ])
    acquisition = vornak_ms.open(path)
    damaged = acquisition[1]  # the index facts are fine
    assert (damaged.scan_id, damaged.has_centroid) == (2, True)
    for read in (lambda: damaged.mz, lambda: damaged.intensity, lambda: len(damaged),
                 lambda: damaged.kind):
        with pytest.raises(vornak_ms.BlockError, match=r"^parse error: scan 1: ") as raised:
            read()
    assert isinstance(raised.value, vornak_ms.Error)
    assert acquisition[0].mz.tolist() == [1.0, 2.0]
