"""Spectrum arrays: the decoded buffer itself (no copy), read-only, and alive as long as an array
is, whatever happens to the spectrum and the acquisition. Run under ASan by sanitize-python.sh."""

import gc
import weakref

import numpy as np
import pytest

import vornak_ms


def data_pointer(array):
    return array.__array_interface__["data"][0]


def test_reading_twice_shares_one_buffer(demo):
    acquisition = vornak_ms.open(demo)
    for spectrum in acquisition:
        first, second = spectrum.mz, spectrum.mz
        assert first is not second
        assert data_pointer(first) == data_pointer(second) and np.shares_memory(first, second)
        assert data_pointer(spectrum.intensity) == data_pointer(spectrum.intensity)
        assert not np.shares_memory(first, spectrum.intensity)
        assert first.dtype == np.float64 and first.ndim == 1 and first.flags.c_contiguous


def test_each_fetch_is_its_own_decode(demo):
    acquisition = vornak_ms.open(demo)
    one, other = acquisition[0], acquisition[0]
    assert np.array_equal(one.mz, other.mz) and not np.shares_memory(one.mz, other.mz)


def test_arrays_are_read_only(demo):
    spectrum = vornak_ms.open(demo)[0]
    mz = spectrum.mz
    assert not mz.flags.writeable and not spectrum.intensity.flags.writeable
    with pytest.raises(ValueError, match="read-only"):
        mz[0] = 1.0
    with pytest.raises(ValueError):
        mz.setflags(write=True)
    view = mz[10:20]
    assert not view.flags.writeable and np.shares_memory(view, mz)


def test_arrays_outlive_spectrum_and_acquisition(demo):
    acquisition = vornak_ms.open(demo)
    spectra = list(acquisition)
    arrays = [(s.mz, s.intensity) for s in spectra]
    copies = [(mz.copy(), intensity.copy()) for mz, intensity in arrays]
    watch = weakref.ref(spectra[0])
    acquisition.close()
    del acquisition, spectra
    gc.collect()
    assert watch() is not None  # the array's base keeps the spectrum's buffer alive
    churn = [np.full(len(mz), -1.0) for mz, _ in copies]  # reuse any memory that was wrongly freed
    for (mz, intensity), (mz_copy, intensity_copy) in zip(arrays, copies):
        assert np.array_equal(mz, mz_copy) and np.array_equal(intensity, intensity_copy)
    del churn, arrays
    gc.collect()
    assert watch() is None


def test_spectrum_decodes_after_its_acquisition_is_gone(demo):
    acquisition = vornak_ms.open(demo)
    spectrum = acquisition[3]
    del acquisition
    gc.collect()
    assert len(spectrum.mz) == 2500


def test_chromatogram_and_table_arrays_outlive_their_owners(demo):
    acquisition = vornak_ms.open(demo)
    tic = acquisition.tic()
    times, values = tic.retention_time, tic.intensity
    levels = acquisition.ms_levels
    column = acquisition.scan_table()["retention_time"]
    selected = acquisition.select(ms_level=2)
    expected = (times.copy(), values.copy(), levels.copy(), selected.copy())
    del acquisition, tic
    gc.collect()
    assert np.array_equal(times, expected[0]) and np.array_equal(values, expected[1])
    assert np.array_equal(levels, expected[2]) and np.array_equal(selected, expected[3])
    assert np.array_equal(column, expected[0])


def test_empty_spectrum_gives_empty_arrays(make_acquisition):
    path = make_acquisition([{"scan_id": 1, "blocks": [{"kind": "peak", "format_id": 3, "mz": [],
                                                        "intensity": []}]}])
    spectrum = vornak_ms.open(path)[0]
    assert spectrum.mz.shape == (0,) and spectrum.intensity.shape == (0,) and len(spectrum) == 0
    assert not spectrum.mz.flags.writeable
