"""Chromatograms computed in C++ against plain NumPy over the decoded spectra, and the edges of the
XIC window."""

import math

import numpy as np
import pytest

import vornak_ms


def decoded(acquisition, indices):
    return [acquisition[int(i)] for i in indices]


def numpy_xic(spectra, target, half_width):
    low, high = target - half_width, target + half_width
    return np.array([s.intensity[(s.mz >= low) & (s.mz <= high)].sum() for s in spectra])


@pytest.mark.parametrize("rt_range, ms_level", [(None, None), (None, 1), ((5.0, 9.0), 2), ((4.0, 4.0), None)])
def test_tic_and_bpc_equal_numpy(demo, rt_range, ms_level):
    acquisition = vornak_ms.open(demo)
    indices = acquisition.select(rt_range=rt_range, ms_level=ms_level)
    spectra = decoded(acquisition, indices)
    tic = acquisition.tic(rt_range=rt_range, ms_level=ms_level)
    assert tic.kind == "tic" and tic.mz is None and len(tic) == len(indices)
    assert np.array_equal(tic.scan_index, indices)
    assert np.array_equal(tic.retention_time, acquisition.retention_times[indices])
    assert np.allclose(tic.intensity, [s.intensity.sum() for s in spectra], rtol=1e-12, atol=0)
    bpc = acquisition.bpc(rt_range=rt_range, ms_level=ms_level, threads=2)
    assert np.array_equal(bpc.intensity, [s.intensity.max() for s in spectra])
    assert np.array_equal(bpc.mz, [s.mz[np.argmax(s.intensity)] for s in spectra])


def test_xic_of_many_targets_equals_numpy(bench_sample):
    acquisition = vornak_ms.open(bench_sample)
    indices = acquisition.select(ms_level=1)
    spectra = decoded(acquisition, indices)
    apexes = [s.mz[np.argmax(s.intensity)] for s in spectra[:5]]
    targets = apexes + [150.0, 1e6]
    for tolerance in ({"ppm": 20.0}, {"da": 0.05}):
        xic = acquisition.xic(targets, ms_level=1, **tolerance)
        assert xic.intensity.shape == (len(targets), len(indices)) and xic.mz.tolist() == targets
        for row, target in enumerate(targets):
            half = tolerance.get("da") or target * tolerance["ppm"] * 1e-6
            assert np.allclose(xic.intensity[row], numpy_xic(spectra, target, half), rtol=1e-12, atol=0)
        single = acquisition.xic(targets[0], ms_level=1, **tolerance)
        assert single.intensity.shape == (len(indices),)
        assert np.array_equal(single.intensity, xic.intensity[0])
    apex_rows = acquisition.xic(apexes, ms_level=1, ppm=20.0).intensity
    assert (np.diag(apex_rows) >= [s.intensity.max() for s in spectra[:5]]).all()


def test_results_do_not_depend_on_the_thread_count(bench_sample):
    acquisition = vornak_ms.open(bench_sample)
    targets = np.linspace(200.0, 1500.0, 100)
    first = None
    for threads in (1, 2, 3, 8, 1000):
        result = (acquisition.tic(threads=threads).intensity, acquisition.bpc(threads=threads).mz,
                  acquisition.xic(targets, da=0.5, threads=threads).intensity)
        if first is None:
            first = result
        for got, want in zip(result, first):
            assert np.array_equal(got, want, equal_nan=True), threads


def test_stored_tic(realdata):
    acquisition = vornak_ms.open(realdata / "magenta.D")
    stored = acquisition.tic(source="stored")
    assert stored.kind == "stored-tic"
    assert np.array_equal(stored.intensity, acquisition.scan_table()["tic"])
    # Q-TOF profile counts sum to the recorded TIC.
    assert np.array_equal(acquisition.tic().intensity, stored.intensity)


def edge_sample(make_acquisition, target, half_width):
    """One centroid scan with peaks on, just inside and just outside both edges of the window."""
    low, high = target - half_width, target + half_width
    mz = [math.nextafter(low, -math.inf), low, math.nextafter(low, math.inf), target,
          math.nextafter(high, -math.inf), high, math.nextafter(high, math.inf)]
    intensity = [1.0, 2.0, 4.0, 8.0, 16.0, 32.0, 64.0]
    return make_acquisition([{"scan_id": 1, "blocks": [
        {"kind": "peak", "format_id": 3, "mz": mz, "intensity": intensity}]}])


@pytest.mark.parametrize("target, tolerance", [
    (500.0, {"ppm": 10.0}),
    (1234.5678, {"ppm": 5.0}),
    (200.0, {"da": 0.01}),
    (300.0, {"da": 0.0}),
])
def test_xic_window_edges_are_inclusive(make_acquisition, target, tolerance):
    half = tolerance["da"] if "da" in tolerance else target * tolerance["ppm"] * 1e-6
    acquisition = vornak_ms.open(edge_sample(make_acquisition, target, half))
    # Both edges and everything between; with a zero tolerance only the three peaks on the target.
    expected = 2.0 + 8.0 + 32.0 if half == 0.0 else 2.0 + 4.0 + 8.0 + 16.0 + 32.0
    assert acquisition.xic(target, **tolerance).intensity.tolist() == [expected]


def test_bad_arguments(demo):
    acquisition = vornak_ms.open(demo)
    for kwargs, message in [({}, "exactly one of ppm= and da="), ({"ppm": 1.0, "da": 1.0}, "exactly one"),
                            ({"ppm": -1.0}, "finite number >= 0"), ({"da": math.nan}, "finite"),
                            ({"ppm": math.inf}, "finite"), ({"ppm": 5.0, "threads": 0}, "at least 1")]:
        with pytest.raises(ValueError, match=message):
            acquisition.xic(500.0, **kwargs)
    with pytest.raises(ValueError, match="source must be"):
        acquisition.tic(source="index")
    with pytest.raises(TypeError):
        acquisition.tic(rt_range=5.0)
    with pytest.raises(TypeError):
        acquisition.xic("500", ppm=5.0)
    assert len(acquisition.xic([], ppm=5.0).intensity) == 0
    assert acquisition.xic([], ppm=5.0).intensity.shape == (0, len(acquisition))


def test_empty_selection(demo):
    acquisition = vornak_ms.open(demo)
    tic = acquisition.tic(rt_range=(1e9, None))
    assert len(tic) == 0 and tic.intensity.shape == (0,) and tic.retention_time.shape == (0,)
    assert repr(tic) == "<vornak_ms.Chromatogram tic scans=0>"


def test_unreadable_scans(make_acquisition):
    good = {"kind": "peak", "format_id": 3, "mz": [100.0, 200.0], "intensity": [1.0, 5.0]}
    path = make_acquisition([{"scan_id": 1, "blocks": [good]},
                             {"scan_id": 2, "blocks": [good | {"descriptor": {"byte_count": 3}}]},
                             {"scan_id": 3, "blocks": [good | {"descriptor": {"point_count": 9}}]},
                             {"scan_id": 4, "blocks": [good]}])
    acquisition = vornak_ms.open(path)
    for threads in (1, 4):
        with pytest.raises(vornak_ms.BlockError, match=r"^parse error: scan 1: "):
            acquisition.tic(threads=threads)  # the first failing scan in order, whatever the threads
    assert acquisition.tic(rt_range=(None, None), ms_level=1, threads=1, skip_unreadable=True) \
        .intensity.tolist()[::3] == [6.0, 6.0]
    skipped = acquisition.bpc(skip_unreadable=True)
    assert np.isnan(skipped.intensity[1:3]).all() and np.isnan(skipped.mz[1:3]).all()
    assert skipped.mz[[0, 3]].tolist() == [200.0, 200.0]
    xic = acquisition.xic([100.0, 200.0], da=0.1, skip_unreadable=True)
    assert np.isnan(xic.intensity[:, 1:3]).all() and xic.intensity[:, 0].tolist() == [1.0, 5.0]
