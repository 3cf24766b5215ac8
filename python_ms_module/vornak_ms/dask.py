"""Many acquisitions on a Dask cluster: conversions, scan tables and chromatograms.

    from vornak_ms.dask import convert_many, scan_tables, tic_many, xic_many
    report = convert_many(paths, "converted/", client=client)   # pandas.DataFrame, one row per path
    qc = scan_tables(paths).groupby("path").ms_level.value_counts().compute()
    tic = tic_many(paths).compute()

Tasks carry paths, not data: every worker must see the acquisitions (and the output folder) under
the paths given, which are made absolute on the client. Each task opens its acquisition with
vornak_ms, runs the same C++ code as a single-process call and returns a small result.

Needs Dask (`pip install vornak[dask]`); `import vornak_ms` does not.
"""

from __future__ import annotations

import contextlib
import os
import sys
import tempfile
import time
import uuid

try:
    import dask
    import dask.dataframe as dd
    import distributed
    import numpy as np
    import pandas as pd
except ImportError as missing:  # pragma: no cover - depends on the installation
    raise ImportError(
        "vornak_ms.dask needs Dask, distributed and pandas: pip install 'vornak[dask]' "
        f"({missing})") from missing

import vornak_ms

__all__ = ["cluster_config", "convert_many", "local_cluster", "scan_tables", "tic_many", "xic_many"]

# Output formats by lower-case name: the file suffix and the keywords that select the format in
# vornak_ms.convert. A new writer behind vornak_ms.convert(..., format=NAME) is one more entry.
FORMATS = {
    "mzml": (".mzML", {}),
}


def cluster_config():
    """Dask settings for clusters that run vornak_ms: on a free-threaded interpreter, distributed's
    sampling profiler is turned off. Its thread reads the event loop thread's frames while that
    thread runs them, which crashes free-threaded CPython 3.13 (a segmentation fault in the
    scheduler's process, seen here about once in fifteen runs). Workers started elsewhere need
    distributed.worker.profile.enabled False in their own configuration."""
    free_threaded = not getattr(sys, "_is_gil_enabled", lambda: True)()
    return {"distributed.worker.profile.enabled": False} if free_threaded else {}


def local_cluster(n_workers=None, **options):
    """A distributed.LocalCluster of single-threaded worker processes (one per core by default)
    with cluster_config() in the scheduler and in every worker, restarted ones included (a nanny
    hands its worker the configuration it was given, not the one in force at the restart).
    `options` go to LocalCluster."""
    settings = cluster_config()
    options.setdefault("threads_per_worker", 1)
    options.setdefault("dashboard_address", ":0")
    if settings:
        options["config"] = {**options.get("config", {}), **settings}
    with dask.config.set(settings):
        return distributed.LocalCluster(n_workers=n_workers or os.cpu_count() or 1, processes=True, **options)


_REPORT_DTYPES = {"path": object, "output": object, "spectra": "Int64", "damaged": "Int64", "seconds": "float64",
                 "worker": object, "error": object, "attempts": "Int64"}
_REPORT_COLUMNS = list(_REPORT_DTYPES)


# ---- convert_many -------------------------------------------------------------------------------

def _output_name(path, suffix):
    """The file one acquisition is written to: its folder name without ".d", as `vornak convert
    --output-dir` names it."""
    name = os.path.basename(os.path.normpath(path)) or "acquisition"
    if len(name) > 2 and name[-2:] in (".d", ".D"):
        name = name[:-2]
    return name + suffix


def _remove_temporaries(target):
    """Removes the hidden temporary files of `target` (".NAME.*.tmp", as the writer names them)
    that an attempt left when its process was killed. Only the task converting to `target` and
    the run that owns it call this, so no live writer's file is removed."""
    folder, name = os.path.split(target)
    prefix = "." + name + "."
    try:
        entries = os.listdir(folder)
    except FileNotFoundError:
        return 0
    removed = 0
    for entry in entries:
        if entry.startswith(prefix) and entry.endswith(".tmp"):
            try:
                os.unlink(os.path.join(folder, entry))
                removed += 1
            except FileNotFoundError:
                pass
    return removed


def _convert_task(path, target, writer_keywords, options):
    """One acquisition converted on a worker. Returns the report row's fields; a folder that
    cannot be converted gives its error instead of raising, so it never fails the run."""
    began = time.perf_counter()
    record = {"path": path, "output": None, "spectra": None, "damaged": None, "seconds": None,
              "worker": _worker_name(), "error": None}
    try:
        os.makedirs(os.path.dirname(target), exist_ok=True)
        # An earlier attempt at this target that was killed cannot have removed its temporary file.
        _remove_temporaries(target)
        summary = vornak_ms.convert(path, target, **writer_keywords, **options)
    except Exception as error:  # noqa: BLE001 - every failure of a folder is a row of the report
        record["error"] = f"{type(error).__name__}: {error}"
    else:
        record.update(output=target, spectra=summary["spectra_written"], damaged=len(summary["damaged"]))
    record["seconds"] = time.perf_counter() - began
    return record


def _worker_name():
    try:
        return distributed.get_worker().address
    except ValueError:  # run outside a worker (a synchronous scheduler)
        return None


def _sweep_task(targets):
    return sum(_remove_temporaries(target) for target in targets)


def _check_options(writer_keywords, options):
    """Lets vornak_ms.convert judge the options on the client, before any task starts: it checks
    its arguments before it opens the folder, which here does not exist."""
    with tempfile.TemporaryDirectory(prefix="vornak-options-") as folder:
        try:
            vornak_ms.convert(os.path.join(folder, "missing.d"), os.path.join(folder, "probe.out"),
                              **writer_keywords, **options)
        except vornak_ms.Error:
            pass


def convert_many(paths, output_dir, format="mzML", client=None, retries=2, **options):
    """Converts every acquisition of `paths` into `output_dir`, one task per acquisition on the
    cluster of `client`, and returns a pandas.DataFrame report with one row per path, in the order
    given: path, output (None when nothing was written), spectra (written), damaged (scans left
    out), seconds, worker, error (None on success) and attempts (tasks started for the path).

    `client`: a distributed.Client; None takes the active client, or starts a LocalCluster (one
    single-threaded worker process per core) for this call. `options` go to vornak_ms.convert;
    `threads` defaults to 1, since the cluster's parallelism is one task per core.

    A folder that cannot be converted is a row with its error. A task whose worker dies is
    submitted again, up to `retries` times (after the scheduler's own retries, which
    distributed.scheduler.allowed-failures sets and which are off on the cluster started here).
    Files appear under their final names only when complete; a retry removes the temporary file
    the lost attempt left, and the run removes those of attempts that were never retried.
    """
    if not isinstance(format, str) or format.lower() not in FORMATS:
        known = ", ".join(suffix[1:] for suffix, _ in FORMATS.values())
        raise ValueError(f"format must be one of: {known} (got {format!r})")
    if isinstance(retries, bool) or not isinstance(retries, int) or retries < 0:
        raise ValueError(f"retries must be a whole number >= 0 (got {retries!r})")
    if not hasattr(vornak_ms, "convert"):
        raise RuntimeError("this vornak_ms was built without the mzML writer: convert_many cannot write")
    suffix, writer_keywords = FORMATS[format.lower()]
    options.setdefault("threads", 1)
    _check_options(writer_keywords, options)
    paths = _absolute_paths(paths)
    output_dir = os.path.abspath(os.fsdecode(output_dir))

    rows = [dict.fromkeys(_REPORT_COLUMNS) | {"path": path, "attempts": 0} for path in paths]
    targets = {}  # row -> output file
    taken = {}
    for row, path in enumerate(paths):
        target = os.path.join(output_dir, _output_name(path, suffix))
        if target in taken:
            rows[row]["error"] = f"another path already writes {target} ({paths[taken[target]]})"
        else:
            taken[target] = row
            targets[row] = target

    with _cluster_client(client) as active:
        run = uuid.uuid4().hex[:12]

        def submit(row):
            rows[row]["attempts"] += 1
            future = active.submit(_convert_task, paths[row], targets[row], writer_keywords, options,
                                   key=f"vornak-convert-{run}-{row}-{rows[row]['attempts']}", pure=False)
            future_rows[future.key] = row
            return future

        future_rows = {}
        waiting = distributed.as_completed([submit(row) for row in targets])
        for future in waiting:
            row = future_rows.pop(future.key)
            try:
                record = future.result()
            except Exception as lost:  # noqa: BLE001 - the task itself never raises: its worker was lost
                if rows[row]["attempts"] <= retries:
                    waiting.add(submit(row))
                else:
                    rows[row]["error"] = f"{type(lost).__name__}: {lost}"
            else:
                rows[row].update(record)
            future.release()

        # Attempts that died without a retry after them left their temporary files.
        doomed = [targets[row] for row in targets if rows[row]["output"] is None]
        if doomed:
            try:
                active.submit(_sweep_task, doomed, key=f"vornak-sweep-{run}", pure=False).result()
            except Exception:  # noqa: BLE001 - no worker left: sweep from here when the folder is visible
                _sweep_task(doomed)

    # Text columns stay object columns, so that "no output" and "no error" read as None (pandas
    # would otherwise infer a string dtype with NaN).
    return pd.DataFrame({column: pd.Series([row[column] for row in rows], dtype=_REPORT_DTYPES[column])
                         for column in _REPORT_COLUMNS})


@contextlib.contextmanager
def _cluster_client(client):
    """The given client; else the active one; else a LocalCluster of single-threaded worker
    processes for the call. On that cluster a task whose worker dies fails at once
    (allowed-failures 0), so that `retries` alone counts its attempts."""
    if client is None:
        try:
            client = distributed.default_client()
        except ValueError:
            pass
    if client is not None:
        yield client
        return
    with dask.config.set({"distributed.scheduler.allowed-failures": 0}):
        cluster = local_cluster()
    with cluster, distributed.Client(cluster, set_as_default=False) as own:
        yield own


def _absolute_paths(paths):
    if isinstance(paths, (str, bytes, os.PathLike)):
        raise TypeError("paths must be a list of acquisition paths, not one path")
    return [os.path.abspath(os.fsdecode(path)) for path in paths]


# ---- scan tables and chromatograms ------------------------------------------------------------

def _frame(columns, dtypes):
    return pd.DataFrame({name: pd.Series(columns[name], dtype=dtypes[name]) for name in dtypes})


_SCAN_TABLE_DTYPES = {
    "path": object, "instrument": object, "scan_id": "int64", "retention_time": "float64",
    "ms_level": "uint32", "polarity": "int8", "tic": "float64", "base_peak_mz": "float64",
    "base_peak_intensity": "float64", "precursor_mz": "float64", "collision_energy": "float64",
    "isolation_width": "float64", "charge": "int32", "has_profile": "bool", "has_centroid": "bool",
    "profile_points": "uint32", "centroid_points": "uint32", "scan_type": "int64", "frame_id": "int64",
    "drift_time": "float64",
}
_TIC_DTYPES = {"path": object, "retention_time": "float64", "intensity": "float64"}
_XIC_DTYPES = {"path": object, "target": "float64", "retention_time": "float64", "intensity": "float64"}


def _scan_table_partition(path):
    with vornak_ms.open(path) as acquisition:
        table = acquisition.scan_table()
        count = len(acquisition)
        columns = {"path": [path] * count, "instrument": [acquisition.instrument] * count, **table}
    return _frame(columns, _SCAN_TABLE_DTYPES)


def _tic_partition(path, ms_level, skip_unreadable, threads):
    with vornak_ms.open(path) as acquisition:
        chromatogram = acquisition.tic(ms_level=ms_level, skip_unreadable=skip_unreadable, threads=threads)
    count = len(chromatogram)
    return _frame({"path": [path] * count, "retention_time": chromatogram.retention_time,
                  "intensity": chromatogram.intensity}, _TIC_DTYPES)


def _xic_partition(path, targets, ppm, da, ms_level, skip_unreadable, threads):
    with vornak_ms.open(path) as acquisition:
        chromatogram = acquisition.xic(list(targets), ppm=ppm, da=da, ms_level=ms_level,
                                       skip_unreadable=skip_unreadable, threads=threads)
    count = len(chromatogram)
    # Target-major: the rows of one target's trace follow each other, as in xic().intensity[j].
    return _frame({"path": [path] * (count * len(targets)),
                  "target": np.repeat(np.asarray(targets, dtype=np.float64), count),
                  "retention_time": np.tile(chromatogram.retention_time, len(targets)),
                  "intensity": np.asarray(chromatogram.intensity).reshape(-1)}, _XIC_DTYPES)


def _many(function, paths, dtypes, label, *arguments):
    paths = _absolute_paths(paths)
    if not paths:
        raise ValueError("paths is empty")
    meta = _frame({name: [] for name in dtypes}, dtypes)
    return dd.from_map(function, paths, args=list(arguments), meta=meta, label=label, enforce_metadata=True)


def scan_tables(paths):
    """A dask DataFrame of every acquisition's scan_table(), one partition per path, with the
    columns path and instrument first; no spectrum block is read. An acquisition that cannot be
    opened raises its FolderError or ScanIndexError when the partition is computed."""
    return _many(_scan_table_partition, paths, _SCAN_TABLE_DTYPES, "vornak-scan-table")


def tic_many(paths, ms_level=None, skip_unreadable=False, threads=1):
    """A dask DataFrame (path, retention_time, intensity) of each acquisition's tic(ms_level=...),
    one partition per path, computed on the workers. A scan that cannot be decoded raises
    BlockError when its partition is computed, or gives NaN with skip_unreadable=True."""
    return _many(_tic_partition, paths, _TIC_DTYPES, "vornak-tic", ms_level, skip_unreadable, threads)


def xic_many(paths, targets, ppm=None, da=None, ms_level=1, skip_unreadable=False, threads=1):
    """A dask DataFrame (path, target, retention_time, intensity) of each acquisition's
    xic(targets, ppm=..., da=..., ms_level=..., skip_unreadable=...), one partition per path,
    target by target. Give exactly one of ppm and da, as for xic()."""
    targets = [float(target) for target in np.atleast_1d(np.asarray(targets, dtype=np.float64))]
    if not targets:
        raise ValueError("targets is empty")
    if (ppm is None) == (da is None):
        raise ValueError("give exactly one of ppm and da")
    return _many(_xic_partition, paths, _XIC_DTYPES, "vornak-xic", targets, ppm, da, ms_level, skip_unreadable,
                threads)
