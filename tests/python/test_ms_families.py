"""vornak_ms on the instrument families of the second real set: triple quadrupoles (MRM point
lists, both profile encodings), ion mobility (drift-bin spectra, frames, drift times) and ICP-MS
without a schema, against the reference values and the instrument maker's own export."""

import json
import pathlib

import numpy as np
import pytest

import vornak_ms

REALDATA2 = pathlib.Path(__file__).resolve().parents[2].parent / "shared" / "realdata2"
MZ_TOLERANCE = 1e-6


@pytest.fixture(scope="module")
def second_set():
    if not (REALDATA2 / "reference.json").is_file():
        pytest.skip(f"real acquisitions (second set) not found at {REALDATA2}")
    references = {}
    for file in ("reference.json", "reference-ims.json"):
        references.update(json.loads((REALDATA2 / file).read_text())["folders"])
    return references, json.loads((REALDATA2 / "maker-export.json").read_text())


def expect_spectrum(spectrum, expected, where):
    mz, intensity = spectrum.mz, spectrum.intensity
    assert len(mz) == len(intensity) == expected["points"], where
    assert float(np.sum(intensity)) == expected["intensity_sum"], where
    assert intensity.max() == expected["intensity_max"], where
    for point, value in expected["intensity"].items():
        assert intensity[int(point)] == value, f"{where}: intensity at {point}"
    for point, value in expected["mz"].items():
        assert abs(mz[int(point)] - value) <= MZ_TOLERANCE, f"{where}: m/z at {point}"


def test_every_folder_against_its_reference(second_set):
    references, _ = second_set
    for name, expected in references.items():
        with vornak_ms.open(REALDATA2 / name) as acquisition:
            assert len(acquisition) == expected["scan_count"], name
            table = acquisition.scan_table()
            for scan in expected["scans"]:
                index = scan["index"]
                where = f"{name} scan {index}"
                spectrum = acquisition[index]
                assert (spectrum.scan_id, spectrum.ms_level) == (scan["scan_id"], scan["ms_level"]), where
                assert spectrum.retention_time == pytest.approx(scan["rt_min"] * 60.0, rel=1e-15), where
                assert table["scan_type"][index] == (scan["scan_type"] if scan["scan_type"] is not None else -1)
                if "frame_id" in scan:
                    assert (spectrum.frame_id, spectrum.drift_bin) == (scan["frame_id"], scan["drift_bin"]), where
                values = scan.get("profile") or scan.get("peak") or scan.get("icpms")
                expect_spectrum(spectrum, values, where)


def test_scan_facts_by_family(second_set):
    cases = [  # folder, scan_type, kind, encoding, channels
        ("ochre.D", "mrm", "centroid", None, None),
        ("coral.D", "neutral_loss", "profile", "f32-axis-counts", None),
        ("khaki.D", "product_ion", "profile", "f64-axis-abundances", None),
        ("plum.D", "unknown", "profile", "run-length", None),
        ("ivory.D", "full_scan", "profile", "uncompressed", "stored"),
    ]
    for folder, scan_type, kind, encoding, channels in cases:
        with vornak_ms.open(REALDATA2 / folder) as acquisition:
            spectrum = acquisition[0]
            assert (spectrum.scan_type, spectrum.kind, spectrum.encoding, spectrum.channels) == \
                (scan_type, kind, encoding, channels), folder
            assert spectrum.channel_precursor_mz is None
            assert (spectrum.drift_time is None) == (folder != "plum.D")
            assert (acquisition.frame_count == 0) == (folder != "plum.D")
            assert (acquisition.chromatograms() == []) == (folder != "ochre.D")


def test_ion_mobility_frames_and_drift_times(second_set):
    _, maker = second_set
    with vornak_ms.open(REALDATA2 / "plum.D") as acquisition:
        exported = maker["plum.D"]["spectra"]
        assert len(acquisition) == len(exported) == 701
        table = acquisition.scan_table()
        for index, expected in enumerate(exported):
            spectrum = acquisition[index]
            assert spectrum.drift_time == pytest.approx(expected["drift_time_ms"], abs=1e-9)
            assert table["drift_time"][index] == spectrum.drift_time
            assert float(spectrum.intensity.sum()) == expected["intensity_sum"]
            assert spectrum.intensity.max() == expected["intensity_max"]

        assert acquisition.frame_count == 8
        frame_ids = table["frame_id"]
        for k in range(acquisition.frame_count):
            total = acquisition.frame(k)
            assert total.frame_id == k + 1 and total.drift_bin == 0
            # The frame's total spectrum is the bin-wise sum of its drift bins.
            summed = np.zeros(len(total.mz))
            for index in np.flatnonzero(frame_ids == total.frame_id):
                bins = acquisition[int(index)]
                at = np.searchsorted(total.mz, bins.mz)
                assert np.array_equal(total.mz[at], bins.mz)
                np.add.at(summed, at, bins.intensity)
            assert np.array_equal(summed, total.intensity), k
        assert acquisition.frame(-1).frame_id == 8
        with pytest.raises(IndexError):
            acquisition.frame(8)


def test_transition_chromatograms_equal_the_makers(second_set):
    _, maker = second_set
    with vornak_ms.open(REALDATA2 / "ochre.D") as acquisition:
        chromatograms = acquisition.chromatograms(threads=2)
    exported = maker["ochre.D"]["chromatograms"]
    assert [c.precursor_mz for c in chromatograms] == [269.0, 277.0, 283.0, 309.0]
    for ours, theirs in zip(chromatograms, exported):
        q3 = float(theirs["id"].split("Q3=")[1].split()[0])
        assert ours.kind == "srm" and ours.polarity == "negative"
        assert abs(ours.product_mz - q3) < 0.01, ours.id  # the files hold the nominal 196.0
        assert ours.time.dtype == np.float64 and ours.intensity.dtype == np.float64
        assert np.array_equal(ours.intensity, theirs["intensity"])
        assert np.array_equal((ours.time / 60.0).astype(np.float32), np.float32(theirs["time_min"]))
        assert len(ours) == len(ours.scan_index) == len(theirs["intensity"])
    assert chromatograms[0].id == "- SRM SIC Q1=269.0 Q3=196.0"
