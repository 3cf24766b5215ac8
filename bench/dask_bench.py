"""The vornak_ms.dask part of the benchmarks, run by run_bench.py after the convert part.

Its data: eight real-layout acquisitions of the synthetic writer (different seeds), each about a
second's conversion on one core. Three sides, interleaved round by round: vornak_ms.convert in a
plain loop, convert_many on a LocalCluster of one single-threaded worker process, and of two.
"""

import json
import shutil
import statistics
import subprocess
import sys
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
DATA_VERSION = 1  # bump when the files made here change
ACQUISITIONS = 8
SCALE = 0.1  # of the writer's --bench preset: 60 MS1 profile scans of 60,000 bins, 30 MS2 scans

# key, goal as (comparison, bound), what it measures
GOALS = {
    "many_speedup_2workers": (">=", 1.8, "convert_many of 8 acquisitions, 1 worker / 2 workers (1 thread each)"),
    "dask_overhead": ("<=", 1.1, "convert_many with 1 worker / vornak_ms.convert in a loop, same 8 acquisitions"),
}


def log(message):
    print(message, file=sys.stderr, flush=True)


class DaskBench:
    def __init__(self, bench, helpers):
        self.bench = bench
        self.helpers = helpers  # run_bench's run_json, file_digest, read_through
        self.measure = HERE / "measure_dask.py"
        self.data = bench.data / "dask"
        self.folders = [self.data / f"run{number}.D" for number in range(ACQUISITIONS)]
        self.out = self.data / "out"
        self.results = {}

    def prepare(self):
        stamp_path = self.data / "stamp.json"
        wanted = {"version": DATA_VERSION, "writer": self.helpers.file_digest(self.bench.make_sample)}
        if stamp_path.exists() and json.loads(stamp_path.read_text()) == wanted:
            log(f"bench: dask data in {self.data} (kept from an earlier run)")
        else:
            if self.data.exists():
                shutil.rmtree(self.data)
            self.data.mkdir(parents=True)
            began = time.perf_counter()
            for number, folder in enumerate(self.folders):
                subprocess.run([str(self.bench.make_sample), "--real", "--bench", "--scale", f"{SCALE:g}",
                                "--seed", str(number + 1), str(folder)], check=True)
            log(f"bench: wrote {ACQUISITIONS} acquisitions in {time.perf_counter() - began:.1f} s")
            stamp_path.write_text(json.dumps(wanted))
        self.helpers.read_through([path for folder in self.folders for path in sorted((folder / "AcqData").iterdir())])

    def run(self):
        b = self.bench
        log(f"bench: convert_many of {ACQUISITIONS} acquisitions on 1 and 2 workers against a plain loop")
        self.results.update(b.rounds(3, [
            [b.python, self.measure, "loop", self.out, *self.folders],
            [b.python, self.measure, "cluster", 1, self.out, *self.folders],
            [b.python, self.measure, "cluster", 2, self.out, *self.folders],
        ]))
        spectra = {name: record["spectra"] for name, record in self.results.items()}
        if len(set(spectra.values())) != 1:
            raise SystemExit(f"bench: the sides wrote different numbers of spectra: {spectra}")

    def rows(self, rows):
        r = self.results
        median = statistics.median

        def add(key, numerator, denominator, cpu, detail):
            top, bottom = r[numerator]["seconds"], r[denominator]["seconds"]
            pairs = [t / d for t, d in zip(top, bottom)]
            cpu_value = median(r[numerator]["cpu_seconds"]) / median(r[denominator]["cpu_seconds"]) if cpu else None
            rows[key] = {"value": median(top) / median(bottom), "cpu": cpu_value, "spread": (min(pairs), max(pairs)),
                         "detail": detail}

        loop, one, two = (median(r[name]["seconds"]) for name in ("dask_loop", "dask_cluster_1", "dask_cluster_2"))
        per_task = (one - loop) / ACQUISITIONS * 1e3
        per_task_cpu = (median(r["dask_cluster_1"]["cpu_seconds"]) - median(r["dask_loop"]["cpu_seconds"])) \
            / ACQUISITIONS * 1e3
        empty = r["dask_cluster_1"]["empty_task_ms"]
        add("many_speedup_2workers", "dask_cluster_1", "dask_cluster_2", False,
            f"1 worker {one:.2f} s, 2 workers {two:.2f} s: {ACQUISITIONS / two * 60:.0f} acquisitions/min "
            f"({r['dask_loop']['spectra'] // ACQUISITIONS} spectra each); 1 worker "
            f"{ACQUISITIONS / one * 60:.0f}/min")
        idle = r["dask_cluster_1"]["idle_cpu_share"]
        add("dask_overhead", "dask_cluster_1", "dask_loop", True,
            f"loop {loop:.2f} s; per task {per_task:.0f} ms more than the loop ({per_task_cpu:.0f} ms of CPU, of "
            f"which the idle cluster's {idle:.0%} of a core makes {idle * one / ACQUISITIONS * 1e3:.0f}); an empty "
            f"task {empty:.1f} ms; cluster start not counted")
