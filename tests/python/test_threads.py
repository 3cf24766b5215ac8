"""Free-threaded use of shared objects, and memory that must not grow."""

import gc
import os
import subprocess
import sys
import sysconfig
import textwrap
import threading

import pytest

import vornak
from vornak import RawReader

THREADS = 8

free_threaded_only = pytest.mark.skipif(
    not sysconfig.get_config_var("Py_GIL_DISABLED"),
    reason="needs a free-threaded interpreter")


def snapshot(reader):
    """Everything a reader hands out, as plain values."""
    return [(s.mz, s.intensity, s.retention_time_sec, s.ms_level, len(s), repr(s))
            for s in map(reader.read_spectrum, range(reader.scan_count))]


def run_together(work):
    """Runs `work` on THREADS threads released at once; returns their results in order."""
    barrier = threading.Barrier(THREADS)
    results = [None] * THREADS
    errors = []

    def run(slot):
        try:
            barrier.wait()
            results[slot] = work()
        except BaseException as error:  # reported by the main thread
            errors.append(error)

    threads = [threading.Thread(target=run, args=(slot,)) for slot in range(THREADS)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert errors == []
    return results


@free_threaded_only
def test_gil_stays_disabled():
    assert vornak.RawReader is not None
    assert not sys._is_gil_enabled(), "importing vornak turned the GIL on"


@free_threaded_only
def test_first_import_racing_in_threads():
    script = textwrap.dedent("""
        import sys, threading
        barrier = threading.Barrier(8)
        found = []
        def run():
            barrier.wait()
            import vornak
            found.append((vornak.RawReader, vornak.Spectrum, tuple(vornak.__all__)))
        threads = [threading.Thread(target=run) for _ in range(8)]
        for thread in threads: thread.start()
        for thread in threads: thread.join()
        assert len(found) == 8 and len(set(found)) == 1, found
        assert found[0][2] == ("RawReader", "Spectrum"), found
        assert not sys._is_gil_enabled()
        print("ok")
    """)
    for _ in range(5):
        result = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True,
                                timeout=60)
        assert (result.returncode, result.stdout, result.stderr) == (0, "ok\n", "")


def test_one_reader_shared_by_threads(demo):
    reader = RawReader(demo)
    reference = snapshot(reader)
    text = repr(reader)

    def work():
        return [(snapshot(reader), repr(reader), reader.scan_count) for _ in range(20)]

    for rounds in run_together(work):
        assert all(result == (reference, text, 12) for result in rounds)


def test_readers_constructed_at_once(demo):
    reference = snapshot(RawReader(demo))
    for result in run_together(lambda: [snapshot(RawReader(demo)) for _ in range(5)]):
        assert result == [reference] * 5


def test_errors_raised_at_once(tmp_path, demo):
    reader = RawReader(demo)

    def work():
        messages = []
        for _ in range(50):
            for call in (lambda: RawReader(str(tmp_path)), lambda: reader.read_spectrum(12),
                         lambda: reader.read_spectrum(-1)):
                try:
                    call()
                except (RuntimeError, OverflowError) as error:
                    messages.append((str(error), tuple(getattr(error, "__notes__", ()))))
        return messages

    expected = work()
    assert expected[:3] == [("parse error: AcqData directory not found", ()),
                            ("scan 12 out of range", ()),
                            (expected[2][0], ("while processing 'scan_index'",))]
    for messages in run_together(work):
        assert messages == expected


def resident_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * 4096


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="reads /proc/self/statm")
@pytest.mark.skipif("VORNAK_SANITIZED" in os.environ,
                    reason="sanitizer runtimes hold freed memory back, so resident size says nothing")
def test_no_leak(demo):
    def cycle():
        reader = RawReader(demo)
        for index in range(reader.scan_count):
            spectrum = reader.read_spectrum(index)
            spectrum.mz, spectrum.intensity, repr(spectrum), repr(reader)
        try:
            reader.read_spectrum(-1)
        except OverflowError:
            pass

    for _ in range(30):
        cycle()
    gc.collect()
    before = resident_bytes()
    for _ in range(300):
        cycle()
    gc.collect()
    # A reader of the demo holds about 1 MB of arrays: keeping even one in ten would show.
    assert resident_bytes() - before < 24 * 2 ** 20
