"""vornak_ms.dask on a LocalCluster of two worker processes: convert_many writes what converting
each folder alone writes and reports every folder, survives a worker killed in the middle of a
conversion without leaving a stray file, and the cluster's scan tables and chromatograms equal
the single-process ones."""

import os
import pathlib
import shutil
import signal
import subprocess
import sys
import threading
import time

import numpy as np
import pytest

vornak_ms = pytest.importorskip("vornak_ms")
REALDATA = pathlib.Path(__file__).resolve().parents[2].parent / "shared" / "realdata"
try:
    import dask
    import distributed
    import vornak_ms.dask as vdask
except ImportError as missing:
    vdask = None
    missing_dask = str(missing)
needs_dask = pytest.mark.skipif(vdask is None, reason="vornak_ms.dask needs dask[dataframe,distributed] and "
                                "pandas: scripts/venv.sh installs them (pip install .[dask])")
needs_writer = pytest.mark.skipif(not hasattr(vornak_ms, "convert"), reason="built without the mzML writer")


def test_import_needs_no_dask():
    """With Dask made unimportable, vornak_ms still imports, and vornak_ms.dask says what to install."""
    blocked = ("import sys; sys.modules.update(dask=None, distributed=None, pandas=None); import vornak_ms\n"
               "try:\n    import vornak_ms.dask\nexcept ImportError as error:\n"
               "    assert 'pip install' in str(error), error\nelse:\n    raise SystemExit('imported')")
    subprocess.run([sys.executable, "-c", blocked], check=True)


@pytest.fixture(scope="module")
def client():
    if vdask is None:
        pytest.skip(missing_dask)
    # With no retries by the scheduler, a lost worker reaches convert_many's own retries.
    with dask.config.set({"distributed.scheduler.allowed-failures": 0}):
        cluster = vdask.local_cluster(2)
    assert isinstance(cluster, distributed.LocalCluster)
    with distributed.Client(cluster) as connected:
        yield connected
    cluster.close()


def write(folder, *arguments):
    command = os.environ.get("VORNAK_MAKE_SAMPLE")
    if not command:
        pytest.skip("VORNAK_MAKE_SAMPLE is not set; it names the vornak-make-sample command")
    subprocess.run([command, *arguments, str(folder)], check=True, capture_output=True)
    return str(folder)


@pytest.fixture(scope="module")
def folders(tmp_path_factory):
    """Generated acquisitions of both layouts, one with a truncated profile file, one folder that
    does not open, and the real ones when ../shared/realdata is there."""
    root = tmp_path_factory.mktemp("many")
    made = {
        "demo": write(root / "demo.d"),
        "small": write(root / "small.d", "--bench", "--profile-scans", "6", "--points", "3000",
                       "--ms2-scans", "6"),
        "real_layout": write(root / "real_layout.D", "--real", "--scans", "5", "--ms2", "3"),
        "run_length": write(root / "run_length.d", "--real", "--encoding", "run-length", "--family", "274"),
    }
    damaged = root / "damaged.d"
    shutil.copytree(made["demo"], damaged)
    profile = damaged / "AcqData" / "MSProfile.bin"
    profile.write_bytes(profile.read_bytes()[: profile.stat().st_size // 2])
    made["damaged"] = str(damaged)
    (root / "not_an_acquisition.d").mkdir()
    made["broken"] = str(root / "not_an_acquisition.d")
    if REALDATA.is_dir():
        made |= {path.name: str(path) for path in sorted(REALDATA.iterdir()) if path.is_dir()}
    return made


def single(path, out):
    """What converting one folder alone gives: its summary and bytes, or its error."""
    try:
        summary = vornak_ms.convert(path, out, threads=1)
    except vornak_ms.Error as error:
        return None, type(error).__name__
    return summary, pathlib.Path(out).read_bytes()


@needs_dask
@needs_writer
def test_convert_many_matches_single_conversions(client, folders, tmp_path):
    paths = list(folders.values()) + [folders["demo"]]  # the last one clashes with the first
    report = vdask.convert_many(paths, tmp_path / "out", client=client)
    assert list(report.columns) == ["path", "output", "spectra", "damaged", "seconds", "worker", "error",
                                    "attempts"]
    assert list(report.path) == [os.path.abspath(path) for path in paths]
    for row, path in zip(report.itertuples(), paths[:-1]):
        summary, alone = single(path, tmp_path / "alone.mzML")
        if summary is None:
            assert row.output is None and row.error.startswith(alone + ":"), row
            continue
        assert row.error is None, row
        assert pathlib.Path(row.output).read_bytes() == alone, path
        assert (row.spectra, row.damaged) == (summary["spectra_written"], len(summary["damaged"]))
        # The worker's address (it may have been restarted since, on a loaded machine).
        assert row.worker.startswith(("tcp://", "inproc://")) and row.seconds > 0, row
    by_name = report.set_index(report.path.map(lambda path: os.path.basename(path)))
    assert by_name.loc["damaged.d", "damaged"] > 0 and by_name.loc["demo.d", "damaged"].iloc[0] == 0
    assert by_name.loc["not_an_acquisition.d", "error"].startswith("FolderError:")
    clash = report.iloc[-1]
    assert clash.output is None and clash.attempts == 0 and "already writes" in clash.error
    written = sorted(os.listdir(tmp_path / "out"))
    assert written == sorted(os.path.basename(path) for path in report.output.dropna())


@needs_dask
@needs_writer
@pytest.mark.parametrize("retries", [2, 0])
def test_worker_killed_mid_conversion(client, tmp_path, retries):
    """SIGKILL to the worker writing the first file: its attempt is retried on another worker, or
    with no retries left becomes a row with the error; either way only final files remain."""
    paths = [write(tmp_path / f"large{number}.d", "--bench", "--profile-scans", "150", "--points", "20000",
                   "--ms2-scans", "30", "--seed", str(number)) for number in (1, 2)]
    out = tmp_path / "out"
    client.wait_for_workers(2)  # the nanny restarts a killed worker
    worker_pids = {pid: address for address, pid in client.run(os.getpid).items()}
    result = {}
    runner = threading.Thread(target=lambda: result.update(
        report=vdask.convert_many(paths, out, client=client, retries=retries)))
    runner.start()
    killed = None
    deadline = time.monotonic() + 60
    while killed is None and time.monotonic() < deadline:
        for name in os.listdir(out) if out.is_dir() else ():
            if name.startswith(".large1.mzML.") and name.endswith(".tmp"):
                pid = int(name.split(".")[3].split("-")[0])  # ".large1.mzML.<pid>-<n>-<t>.tmp"
                assert pid in worker_pids
                os.kill(pid, signal.SIGKILL)
                killed = pid
                break
        time.sleep(0.005)
    runner.join(120)
    assert killed is not None, "no conversion was seen in progress"
    report = result["report"]
    assert list(report.attempts) == [2 if retries else 1, 1]
    if retries:
        assert report.error.isna().all(), report
        assert report.worker[0] != worker_pids[killed]
    else:
        assert report.error[0].startswith("KilledWorker:") and report.output[0] is None
        assert report.error[1] is None
    assert sorted(os.listdir(out)) == sorted(os.path.basename(path) for path in report.output.dropna())
    for path, output in zip(paths, report.output):
        if output is not None:
            _, alone = single(path, tmp_path / "alone.mzML")
            assert pathlib.Path(output).read_bytes() == alone


@needs_dask
@needs_writer
def test_lost_attempts_are_swept(tmp_path, folders):
    """A temporary file left by a killed writer (from an earlier run) is gone once a run that
    writes the same target has completed."""
    out = tmp_path / "out"
    out.mkdir()
    stale = out / ".demo.mzML.999999-0-1.tmp"
    stale.write_bytes(b"<?xml half a file")
    unrelated = out / ".other.mzML.1-0-1.tmp"
    unrelated.write_bytes(b"")
    report = vdask.convert_many([folders["demo"]], out, client=None, retries=0)
    assert report.error.isna().all()
    assert sorted(os.listdir(out)) == [unrelated.name, "demo.mzML"]


@needs_dask
def test_bad_arguments(folders, tmp_path):
    cases = [
        (lambda: vdask.convert_many([folders["demo"]], tmp_path, format="parquet"), ValueError, "format"),
        (lambda: vdask.convert_many([folders["demo"]], tmp_path, retries=-1), ValueError, "retries"),
        (lambda: vdask.convert_many([folders["demo"]], tmp_path, intensity_bits=16), ValueError, "intensity_bits"),
        (lambda: vdask.convert_many([folders["demo"]], tmp_path, colour="red"), TypeError, "argument"),
        (lambda: vdask.convert_many(folders["demo"], tmp_path), TypeError, "list"),
        (lambda: vdask.xic_many([folders["demo"]], [500.0], ppm=10, da=0.1), ValueError, "exactly one"),
        (lambda: vdask.xic_many([folders["demo"]], [], ppm=10), ValueError, "targets"),
        (lambda: vdask.tic_many([]), ValueError, "empty"),
    ]
    for call, kind, words in cases:
        with pytest.raises(kind, match=words):
            call()
    assert not os.listdir(tmp_path)  # nothing was submitted


@needs_dask
def test_tables_and_chromatograms_equal_single_process(client, folders):
    paths = [path for name, path in folders.items() if name != "broken"]
    tables = vdask.scan_tables(paths).compute()
    tics = vdask.tic_many(paths, ms_level=1, skip_unreadable=True).compute()
    targets = [445.12, 519.14, 600.0]
    xics = vdask.xic_many(paths, targets, ppm=20, skip_unreadable=True).compute()
    for path in paths:
        with vornak_ms.open(path) as acquisition:
            table = tables[tables.path == path]
            assert (table.instrument == acquisition.instrument).all()
            for name, column in acquisition.scan_table().items():
                assert np.array_equal(table[name].to_numpy(), column, equal_nan=column.dtype.kind == "f"), name
            expected = acquisition.tic(ms_level=1, skip_unreadable=True)
            tic = tics[tics.path == path]
            assert np.array_equal(tic.retention_time.to_numpy(), expected.retention_time)
            assert np.array_equal(tic.intensity.to_numpy(), expected.intensity, equal_nan=True)
            expected = acquisition.xic(targets, ppm=20, ms_level=1, skip_unreadable=True)
            xic = xics[xics.path == path]
            assert np.array_equal(xic.target.to_numpy(), np.repeat(targets, len(expected)))
            assert np.array_equal(xic.retention_time.to_numpy(), np.tile(expected.retention_time, len(targets)))
            assert np.array_equal(xic.intensity.to_numpy(), expected.intensity.reshape(-1), equal_nan=True)
    if not getattr(sys, "_is_gil_enabled", lambda: True)():
        # The workers have run vornak_ms, pandas and Dask; none of them turned the GIL back on.
        assert not any(client.run(sys._is_gil_enabled).values())
        # No sampling profiler walks a running thread's frames (it crashes free-threaded 3.13), in
        # the workers restarted after the kills above too.
        profilers = client.run(lambda: [thread.name for thread in threading.enumerate() if thread.name == "Profile"])
        profilers["client"] = [thread.name for thread in threading.enumerate() if thread.name == "Profile"]
        assert not any(profilers.values()), profilers
