"""Spectrum: its values, the freshness of its lists, len() and its text form."""

import math
import struct

import pytest

from vornak import RawReader


def minutes_for(seconds):
    """The retention time to write, in minutes, so that minutes * 60.0 is exactly `seconds`."""
    if not math.isfinite(seconds):
        return str(seconds)  # "nan", "inf", "-inf" in the writer's JSON
    guess = seconds / 60.0
    for minutes in (guess, math.nextafter(guess, math.inf), math.nextafter(guess, -math.inf)):
        product = minutes * 60.0
        if product == seconds and math.copysign(1.0, product) == math.copysign(1.0, seconds):
            return minutes
    raise ValueError(f"no minutes give {seconds!r} seconds")


def peaks(mz, intensity):
    return {"kind": "peak", "format_id": 3, "mz": mz, "intensity": intensity}


def widened(value):
    return struct.unpack("<f", struct.pack("<f", value))[0]


@pytest.fixture
def spectrum_of(make_acquisition):
    """The first spectrum of an acquisition holding the one scan described."""
    def make(**scan):
        reader = RawReader(make_acquisition([{"scan_id": 1, **scan}]))
        return reader.read_spectrum(0)
    return make


HUGE = -(2.0 ** 1023) * 1.5  # 309 digits before the point


@pytest.mark.parametrize("seconds, shown", [
    (0.0, "0.00"),
    (-0.0, "-0.00"),
    (0.125, "0.12"),
    (0.375, "0.38"),
    (2.675, "2.67"),
    (0.005, "0.01"),
    (90.0, "90.00"),
    (-1.5, "-1.50"),
    (1e20, "100000000000000000000.00"),
    (HUGE, f"{HUGE:.2f}"),
    (math.nan, "NaN"),
    (math.inf, "inf"),
    (-math.inf, "-inf"),
])
def test_repr_retention_time(spectrum_of, seconds, shown):
    spectrum = spectrum_of(retention_time_min=minutes_for(seconds))
    assert repr(spectrum) == f"Spectrum(0 peaks, RT {shown}s)"
    stored = spectrum.retention_time_sec
    assert type(stored) is float
    assert math.isnan(stored) if math.isnan(seconds) else (
        stored == seconds and math.copysign(1, stored) == math.copysign(1, seconds))


@pytest.mark.parametrize("mz, intensity", [
    ([], []),
    ([100.5], [0.1]),
    ([0.1, 1e-300, 123456.789012345, 2000.0],
     [0.1, 3.4028234663852886e38, 16777217.0, -2.5]),
])
def test_arrays(spectrum_of, mz, intensity):
    spectrum = spectrum_of(retention_time_min=1.5, blocks=[peaks(mz, intensity)] if mz else [])
    assert spectrum.mz == mz
    assert spectrum.intensity == [widened(value) for value in intensity]
    assert all(type(value) is float for value in spectrum.mz + spectrum.intensity)
    assert len(spectrum) == len(mz)
    assert bool(spectrum) == bool(mz)
    assert repr(spectrum) == f"Spectrum({len(mz)} peaks, RT 90.00s)"


def test_intensity_is_widened_exactly(spectrum_of):
    spectrum = spectrum_of(blocks=[peaks([100.0], [0.1])])
    assert spectrum.intensity == [0.10000000149011612]


def test_lists_are_fresh(spectrum_of):
    spectrum = spectrum_of(blocks=[peaks([100.0, 200.0], [1.0, 2.0])])
    for name in ("mz", "intensity"):
        first, second = getattr(spectrum, name), getattr(spectrum, name)
        assert first is not second and first == second
        first.append(3.0)
        first[0] = -1.0
        assert getattr(spectrum, name) == second
    assert len(spectrum) == 2


@pytest.mark.parametrize("ms_level", [0, 1, 2, 65535])
def test_ms_level(spectrum_of, ms_level):
    value = spectrum_of(ms_level=ms_level).ms_level
    assert type(value) is int and value == ms_level


def test_no_container_protocol_but_len(spectrum_of):
    spectrum = spectrum_of(blocks=[peaks([100.0], [1.0])])
    with pytest.raises(TypeError):
        spectrum[0]
    with pytest.raises(TypeError):
        iter(spectrum)
    other = spectrum_of(blocks=[peaks([100.0], [1.0])])
    assert spectrum != other and hash(spectrum) != hash(other)
