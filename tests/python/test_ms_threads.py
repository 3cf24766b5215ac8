"""vornak_ms from many threads at once: one shared acquisition, shared spectra decoded on first use,
a shared iterator, and close() racing readers. Run under ThreadSanitizer by sanitize-python.sh."""

import sys
import sysconfig
import threading

import numpy as np
import pytest

import vornak_ms

THREADS = 8


def run_together(work, threads=THREADS):
    """Runs work(slot) on `threads` threads released at once; returns their results in order."""
    barrier = threading.Barrier(threads)
    results = [None] * threads
    errors = []

    def run(slot):
        try:
            barrier.wait()
            results[slot] = work(slot)
        except BaseException as error:  # reported by the main thread
            errors.append(error)

    workers = [threading.Thread(target=run, args=(slot,)) for slot in range(threads)]
    for worker in workers:
        worker.start()
    for worker in workers:
        worker.join()
    assert errors == []
    return results


def every_spectrum(acquisition):
    return [(s.index, s.retention_time, s.ms_level, s.kind, s.mz.tobytes(), s.intensity.tobytes())
            for s in acquisition]


@pytest.mark.skipif(sysconfig.get_config_var("Py_GIL_DISABLED") != 1, reason="needs free-threaded CPython")
def test_gil_stays_disabled():
    assert vornak_ms.open is not None
    assert not sys._is_gil_enabled(), "importing vornak_ms turned the GIL on"


def test_threads_reading_every_spectrum_agree_with_one(bench_sample):
    acquisition = vornak_ms.open(bench_sample)
    alone = every_spectrum(acquisition)
    assert run_together(lambda slot: every_spectrum(acquisition)) == [alone] * THREADS


def test_first_use_of_one_spectrum_races(bench_sample):
    acquisition = vornak_ms.open(bench_sample)
    for index in (0, 1, len(acquisition) - 1):
        spectrum = acquisition[index]  # not decoded yet: every thread races to decode it first
        arrays = run_together(lambda slot: (spectrum.mz, spectrum.intensity))
        first_mz, first_intensity = arrays[0]
        for mz, intensity in arrays:  # one decode was published; all share its buffer
            assert np.shares_memory(mz, first_mz) and np.shares_memory(intensity, first_intensity)


def test_shared_iterator_hands_out_each_scan_once(bench_sample):
    acquisition = vornak_ms.open(bench_sample)
    iterator = iter(acquisition)
    taken = run_together(lambda slot: [(s.index, len(s.mz)) for s in iterator])
    indices = sorted(index for part in taken for index, _ in part)
    assert indices == list(range(len(acquisition)))


def test_chromatograms_and_tables_from_threads(bench_sample):
    acquisition = vornak_ms.open(bench_sample)
    expected = (acquisition.tic(threads=1).intensity.tobytes(),
                acquisition.xic([300.0, 700.0], ppm=50.0, threads=1).intensity.tobytes(),
                acquisition.scan_table()["retention_time"].tobytes())

    def work(slot):
        return (acquisition.tic(threads=2).intensity.tobytes(),
                acquisition.xic([300.0, 700.0], ppm=50.0, threads=2).intensity.tobytes(),
                acquisition.scan_table()["retention_time"].tobytes())

    assert run_together(work, threads=4) == [expected] * 4


def test_close_racing_readers(bench_sample):
    acquisition = vornak_ms.open(bench_sample)
    count = len(acquisition)

    def work(slot):
        if slot == 0:
            acquisition.close()
            return "closed"
        read = 0
        for index in range(count):
            try:
                spectrum = acquisition[index]
            except ValueError:
                break
            read += len(spectrum.mz) > 0  # decodes even when close() came in between
        return read

    results = run_together(work)
    assert results[0] == "closed" and all(0 <= read <= count for read in results[1:])
    assert acquisition.closed
