"""Timings of converting many acquisitions: vornak_ms.convert in a loop, and convert_many on a
LocalCluster of single-threaded worker processes, one run each.

    python measure_dask.py loop OUT_DIR FOLDER...
    python measure_dask.py cluster WORKERS OUT_DIR FOLDER...

Each prints one JSON object on stdout (named dask_loop, dask_cluster_1, dask_cluster_2, ...), as
dask_bench.py reads it. The cluster is started, and each worker has imported vornak_ms, before
the clock starts; `cluster` also times empty tasks for the scheduler's own cost per task, and
counts the CPU time of the workers with its own (client and scheduler), during the conversions
and while the cluster idles for two seconds after them. Both convert with one
thread per conversion (convert_many's default); the outputs are removed.
"""

import json
import os
import resource
import shutil
import sys
import time

import vornak_ms

EMPTY_TASKS = 200
IDLE_SECONDS = 2.0


def emit(**fields):
    print(json.dumps(fields), flush=True)


def cpu_seconds():
    usage = resource.getrusage(resource.RUSAGE_SELF)
    return usage.ru_utime + usage.ru_stime


def empty_task(number):
    return number


def import_module():
    import vornak_ms.dask  # noqa: F401 - what the tasks run, imported before the clock starts
    return True


def measure_loop(out, folders):
    os.makedirs(out, exist_ok=True)
    began, cpu = time.perf_counter(), cpu_seconds()
    spectra = 0
    for folder in folders:
        name = os.path.basename(folder).rsplit(".", 1)[0] + ".mzML"
        spectra += vornak_ms.convert(folder, os.path.join(out, name), threads=1)["spectra_written"]
    seconds, cpu = time.perf_counter() - began, cpu_seconds() - cpu
    shutil.rmtree(out)
    emit(name="dask_loop", seconds=[seconds], cpu_seconds=[cpu], spectra=spectra)


def measure_cluster(workers, out, folders):
    import distributed
    from vornak_ms.dask import convert_many, local_cluster

    with local_cluster(workers) as cluster, distributed.Client(cluster) as client:
        client.wait_for_workers(workers)
        client.run(import_module)
        began = time.perf_counter()
        client.gather(client.map(empty_task, range(EMPTY_TASKS), pure=False))
        empty = (time.perf_counter() - began) / EMPTY_TASKS
        # CPU time of this process (client and scheduler) and of the worker processes.
        workers_cpu, cpu = client.run(cpu_seconds), cpu_seconds()
        began = time.perf_counter()
        report = convert_many(folders, out, client=client)
        seconds = time.perf_counter() - began
        cpu = cpu_seconds() - cpu
        workers_after = client.run(cpu_seconds)
        if len(workers_after) != len(workers_cpu):
            raise SystemExit(f"{len(workers_cpu)} workers before the run, {len(workers_after)} after")
        for address, after in workers_after.items():
            if address not in workers_cpu:
                raise SystemExit(f"worker {address} joined or restarted during the run")
            cpu += after - workers_cpu[address]
        # What the cluster's processes spend while no task runs (heartbeats, monitors, event loops).
        idle_before, idle_cpu = client.run(cpu_seconds), cpu_seconds()
        time.sleep(IDLE_SECONDS)
        idle_cpu = cpu_seconds() - idle_cpu + sum(client.run(cpu_seconds).values()) - sum(idle_before.values())
    if report.error.notna().any():
        raise SystemExit(f"convert_many failed:\n{report[report.error.notna()]}")
    shutil.rmtree(out)
    emit(name=f"dask_cluster_{workers}", seconds=[seconds], cpu_seconds=[cpu], spectra=int(report.spectra.sum()),
         empty_task_ms=empty * 1e3, task_seconds=float(report.seconds.sum()), idle_cpu_share=idle_cpu / IDLE_SECONDS)


def main():
    if len(sys.argv) >= 4 and sys.argv[1] == "loop":
        measure_loop(sys.argv[2], sys.argv[3:])
    elif len(sys.argv) >= 5 and sys.argv[1] == "cluster":
        measure_cluster(int(sys.argv[2]), sys.argv[3], sys.argv[4:])
    else:
        raise SystemExit(__doc__)


if __name__ == "__main__":
    main()
