"""vornak_ms against values no one on this project wrote: the real folders' reference values, and
the designed module's lists on the project's own samples."""

import json
import os
import subprocess
import sys

import numpy as np
import pytest

import vornak_ms

MZ_TOLERANCE = 1e-6  # Da


def expect_matches(spectrum, expected, where):
    """Point count, intensity sum and maximum exact; sampled m/z within MZ_TOLERANCE."""
    mz, intensity = spectrum.mz, spectrum.intensity
    assert mz.dtype == np.float64 and intensity.dtype == np.float64, where
    assert len(mz) == len(intensity) == len(spectrum) == expected["points"], where
    if not len(intensity):
        return
    assert float(np.sum(intensity, dtype=np.float64)) == expected["intensity_sum"], where
    assert intensity.max() == expected["intensity_max"], where
    for point, value in expected["intensity"].items():
        assert intensity[int(point)] == value, f"{where}: intensity at {point}"
    for point, value in expected["mz"].items():
        assert abs(mz[int(point)] - value) <= MZ_TOLERANCE, f"{where}: m/z at {point}"


def test_folders_and_records(realdata, reference):
    for name, expected in reference["folders"].items():
        with vornak_ms.open(realdata / name) as acquisition:
            assert len(acquisition) == expected["scan_count"], name
            table = acquisition.scan_table()
            for scan in expected["scans"]:
                index = scan["index"]
                spectrum = acquisition[index]
                where = f"{name} scan {index}"
                assert (spectrum.index, spectrum.scan_id, spectrum.ms_level) == \
                    (index, scan["scan_id"], scan["ms_level"]), where
                assert spectrum.retention_time == scan["rt_min"] * 60.0, where
                assert spectrum.native_id == f"scanId={scan['scan_id']}", where
                assert table["retention_time"][index] == scan["rt_min"] * 60.0, where
                if scan["tic"] is not None:
                    assert spectrum.tic == scan["tic"] == table["tic"][index], where
                assert acquisition.find_scan_id(scan["scan_id"]) == index, where


def test_spectra(realdata, reference):
    compared = 0
    for name, expected in reference["folders"].items():
        acquisition = vornak_ms.open(realdata / name)
        for scan in expected["scans"]:
            index = scan["index"]
            for key, getter in (("profile", acquisition.profile), ("peak", acquisition.centroid),
                                ("icpms", acquisition.profile)):
                if key in scan:
                    spectrum = getter(index)
                    assert spectrum is not None, f"{name} scan {index} has no {key} spectrum"
                    expect_matches(spectrum, scan[key], f"{name} scan {index} {key}")
                    assert spectrum.kind == ("centroid" if key == "peak" else "profile")
                    compared += 1
    assert compared > 10


def test_magenta_apex_and_calibration(realdata):
    spectrum = vornak_ms.open(realdata / "magenta.D")[0]
    assert (spectrum.kind, spectrum.encoding, spectrum.calibration) == ("profile", "run-length", "per-scan")
    apex = int(np.argmax(spectrum.intensity))
    assert abs(spectrum.mz[apex] - 734.4836) < 1e-4


def test_damaged_scan_of_copper(realdata):
    acquisition = vornak_ms.open(realdata / "copper.D")
    assert len(acquisition) == 4
    for index in range(3):
        assert len(acquisition[index].mz) > 0
    spectrum = acquisition[3]  # the index facts are there; the blocks lie past the end of the files
    assert spectrum.scan_id > 0
    with pytest.raises(vornak_ms.BlockError, match=r"^parse error: scan 3: ") as raised:
        spectrum.mz
    assert "bytes remaining" in str(raised.value)
    with pytest.raises(vornak_ms.BlockError):
        acquisition.profile(3).intensity
    with pytest.raises(vornak_ms.BlockError, match="scan 3: "):
        acquisition.tic()
    skipped = acquisition.tic(skip_unreadable=True).intensity
    assert np.isnan(skipped[3]) and not np.isnan(skipped[:3]).any()


@pytest.mark.skipif(sys.version_info < (3, 13), reason="vornak needs CPython >= 3.13")
@pytest.mark.parametrize("sample", ["demo", "bench_sample"])
def test_arrays_equal_the_designed_lists(sample, request):
    import vornak
    path = request.getfixturevalue(sample)
    reader = vornak.RawReader(path)
    acquisition = vornak_ms.open(path)
    assert len(acquisition) == reader.scan_count
    for index, spectrum in enumerate(acquisition):
        listed = reader.read_spectrum(index)
        assert spectrum.mz.tolist() == listed.mz, index
        assert spectrum.intensity.tolist() == listed.intensity, index
        assert spectrum.retention_time == listed.retention_time_sec, index
        assert spectrum.ms_level == listed.ms_level, index


def test_bench_sample_structure(bench_sample):
    acquisition = vornak_ms.open(bench_sample)
    table = acquisition.scan_table()
    ms1 = acquisition.select(ms_level=1)
    assert len(ms1) == 24 and len(acquisition) == 48
    assert table["has_profile"][ms1].all() and (table["profile_points"][ms1] == 4000).all()
    for index in acquisition.select(ms_level=2):
        spectrum = acquisition[int(index)]
        assert spectrum.kind == "centroid" and spectrum.precursor_mz is not None
        assert len(spectrum) == table["centroid_points"][index]


def calibrated(flight_times, constants):
    """m/z of flight times t: (a (t - t0))^2 - sum_k c_k clamp(t, low, high)^p_k, where the powers
    p_k are the set bits of value_use_flags, lowest first."""
    t = np.asarray(flight_times, dtype=np.float64)
    mz = (constants["a"] * (t - constants["t0"])) ** 2
    powers = [bit for bit in range(64) if constants["value_use_flags"] >> bit & 1]
    clamped = np.clip(t, constants["low"], constants["high"])
    for coefficient, power in zip(constants["coefficients"], powers):
        mz = mz - coefficient * clamped ** power
    return mz


@pytest.mark.parametrize("options", [[], ["--encoding", "run-length", "--family", "274"],
                                     ["--no-scan-calibration", "--ms2-profiles"]])
def test_real_layout_samples_match_what_was_written(tmp_path, options):
    writer = os.environ.get("VORNAK_MAKE_SAMPLE")
    if not writer:
        pytest.skip("VORNAK_MAKE_SAMPLE is not set")
    folder, expected_path = tmp_path / "real.d", tmp_path / "expected.json"
    subprocess.run([writer, "--real", "--scans", "5", "--points", "3000", "--ms2", "4", *options,
                    "--expected", str(expected_path), str(folder)], check=True, capture_output=True)
    expected = json.loads(expected_path.read_text())
    acquisition = vornak_ms.open(folder)
    assert len(acquisition) == expected["scan_count"] == len(expected["scans"])
    for scan in expected["scans"]:
        index = scan["index"]
        spectrum = acquisition[index]
        assert (spectrum.scan_id, spectrum.ms_level) == (scan["scan_id"], scan["ms_level"])
        assert spectrum.retention_time == scan["retention_time_min"] * 60.0
        assert spectrum.tic == scan["tic"]
        if scan["ms_level"] >= 2 and expected["family"] == 274:  # the 256-byte records have no MzOfInterest
            assert spectrum.precursor_mz == pytest.approx(scan["precursor_mz"], abs=1e-4)
        if scan["profile"] is not None:
            profile = acquisition.profile(index)
            block = scan["profile"]
            assert profile.intensity.tolist() == block["counts"]
            flight_times = block["first_flight_time"] + np.arange(block["point_count"]) * block["flight_time_step"]
            assert np.abs(profile.mz - calibrated(flight_times, scan["calibration"])).max() <= MZ_TOLERANCE
        if scan["peaks"] is not None:
            centroid = acquisition.centroid(index)
            peaks = scan["peaks"]
            assert centroid.intensity.tolist() == peaks["abundances"]
            assert np.abs(centroid.mz - calibrated(peaks["flight_times"], scan["calibration"])).max() \
                <= MZ_TOLERANCE
        assert spectrum.kind == ("profile" if scan["profile"] is not None else "centroid")
