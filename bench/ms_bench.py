"""The vornak_ms part of the benchmarks, run by run_bench.py beside the vornak ones.

Its data: the real-layout benchmark acquisition of the synthetic writer (whole-block LZF profiles
with per-scan calibration, centroided MS2), a second one whose MS2 scans also carry profiles (the
only kind rainbow-api reads), and the mzML that psims writes from vornak_ms's arrays of the first,
for pyteomics. Measurements interleave the two sides of each ratio round by round, as run_bench.py
does for its own.
"""

import json
import math
import os
import shutil
import statistics
import subprocess
import sys
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
DATA_VERSION = 2  # bump when the files made here change

# key, goal as (comparison, bound), what it measures
GOALS = {
    "arrays_vs_pyteomics": (">=", 20.0, "pyteomics reading the mzML / vornak_ms.open + every spectrum's arrays"),
    "vs_rainbow": (">=", 5.0, "rainbow-api / vornak_ms, every spectrum of the same folder"),
    "vs_openreadout": (">=", 5.0, "openreadout / vornak_ms, every spectrum of the same folder"),
    "decode_vs_lzf": ("<=", 1.5, "full reader's profile decode / pread + liblzf alone, same blocks"),
    "arrays_vs_decode": ("<=", 1.15, "every spectrum's arrays through vornak_ms / the C++ decode alone"),
    "read_threads_speedup_2": (">=", 1.8, "one thread / two threads reading the two halves"),
    "xic100_vs_decode": ("<=", 1.5, "XIC of 100 targets / one decoding pass (one thread each)"),
    "open_rss_vs_index": ("<=", 2.0, "peak RSS added by vornak_ms.open / MSScan.bin size"),
    "tic_pass_rss_mib": ("<", 64.0, "peak RSS added by a full TIC pass, MiB"),
}


def log(message):
    print(message, file=sys.stderr, flush=True)


class MsBench:
    def __init__(self, bench, helpers):
        self.bench = bench
        self.helpers = helpers  # run_bench's run_json, file_digest and read_through
        self.measure = HERE / "measure_ms.py"
        self.readers = HERE / "readers.py"
        self.full_decode = bench.build / "bench" / "vornak-bench-full-decode"
        self.profile_floor = bench.build / "bench" / "vornak-bench-profile-floor"
        self.readers_python = bench.options.readers_python
        self.data = bench.data / "ms"
        self.folder = self.data / "real.D"
        self.folder_profiles = self.data / "real-ms2-profiles.D"
        self.folder_small = self.data / "small.D"  # opened first by the memory measurement
        self.mzml = self.data / "real.mzML"
        self.scale = bench.options.scale
        self.results = {}

    def prepare(self):
        stamp_path = self.data / "stamp.json"
        wanted = {"version": DATA_VERSION, "writer": self.bench_digest(), "scale": self.scale,
                  "peers_python": os.path.realpath(self.bench.options.peers_python)}
        if stamp_path.exists() and json.loads(stamp_path.read_text()) == wanted and self.mzml.exists():
            log(f"bench: vornak_ms data in {self.data} (kept from an earlier run)")
        else:
            if self.data.exists():
                shutil.rmtree(self.data)
            self.data.mkdir(parents=True)
            began = time.perf_counter()
            make = [str(self.bench.make_sample), "--real", "--bench", "--scale", f"{self.scale:g}"]
            subprocess.run(make + [str(self.folder)], check=True)
            subprocess.run(make + ["--ms2-profiles", str(self.folder_profiles)], check=True)
            subprocess.run([str(self.bench.make_sample), "--real", "--scans", "1", "--points", "100", "--ms2", "1",
                            str(self.folder_small)], check=True)
            log(f"bench: wrote the real-layout acquisitions in {time.perf_counter() - began:.1f} s; "
                "writing their mzML with psims")
            began = time.perf_counter()
            spectra = self.data / "spectra.bin"
            self.bench_run([self.bench.python, self.measure, "export", self.folder, spectra])
            subprocess.run([self.bench.options.peers_python, str(HERE / "peers.py"), "write", str(spectra),
                            str(self.mzml)], check=True)
            spectra.unlink()
            log(f"bench: wrote {self.mzml.name} in {time.perf_counter() - began:.1f} s")
            stamp_path.write_text(json.dumps(wanted))
        files = [path for folder in (self.folder, self.folder_profiles)
                 for path in sorted((folder / "AcqData").iterdir())]
        self.helpers.read_through(files + [self.mzml])

    def bench_digest(self):
        return self.helpers.file_digest(self.bench.make_sample)

    def bench_run(self, command):
        return self.helpers.run_json(command)

    def run(self):
        b, r = self.bench, self.results
        a, p = self.folder, self.folder_profiles
        log("bench: the full reader's profile decode against reading and LZF alone")
        r.update(self.bench_run([self.profile_floor, a, 9]))
        log("bench: vornak_ms arrays and XIC against the C++ decode alone")
        r.update(b.rounds(3, [
            [self.full_decode, a, 3],
            [b.python, self.measure, "arrays", a, 3],
            [b.python, self.measure, "xic", a, 3],
        ]))
        log("bench: vornak_ms reading with one thread and with two")
        r.update(self.bench_run([b.python, self.measure, "threads", a, 7]))
        log("bench: vornak_ms peak memory of open and of a TIC pass")
        runs = [self.bench_run([b.python, self.measure, "rss", a, self.folder_small])["ms_rss"] for _ in range(3)]
        r["ms_rss"] = {"open": [run["open_added_bytes"] for run in runs], "index_bytes": runs[0]["index_bytes"],
                       "tic": [run["tic_added_bytes"] for run in runs]}
        log("bench: pyteomics reading the mzML against vornak_ms reading the folder")
        r.update(b.rounds(3, [
            [b.options.peers_python, HERE / "peers.py", "read", self.mzml],
            [b.python, self.measure, "open_arrays", a, "ms_open_arrays"],
        ]))
        if r["pyteomics"]["points"] != r["ms_open_arrays"]["points"]:
            raise SystemExit("bench: pyteomics read a different number of points than vornak_ms decodes")
        if not self.readers_python:
            log("bench: no environment with rainbow-api and openreadout; their ratios are left out")
            return
        for tool, folder in (("openreadout", a), ("rainbow", p)):
            log(f"bench: {tool} against vornak_ms on {folder.name}, and their agreement on m/z")
            sample = self.data / f"sample-{tool}.json"
            with open(sample, "w") as out:
                subprocess.run([b.python, str(self.measure), "sample", str(folder), "12"], stdout=out, check=True)
            r[f"{tool}_agreement"] = self.bench_run([self.readers_python, self.readers, "sample", tool, folder, sample])[
                f"{tool}_agreement"]
            sample.unlink()
            r.update(b.rounds(3, [
                [self.readers_python, self.readers, "read", tool, folder],
                [b.python, self.measure, "open_arrays", folder, f"ms_open_arrays_{tool}"],
            ]))
            if r[tool]["spectra"] != r[f"ms_open_arrays_{tool}"]["spectra"]:
                raise SystemExit(f"bench: {tool} read {r[tool]['spectra']} spectra, vornak_ms "
                                 f"{r[f'ms_open_arrays_{tool}']['spectra']}")

    def ratio(self, numerator, denominator, field="seconds"):
        """median(numerator) / median(denominator), and the spread of the round-by-round ratios."""
        top, bottom = self.results[numerator][field], self.results[denominator][field]
        pairs = [t / d for t, d in zip(top, bottom)]
        value = statistics.median(top) / statistics.median(bottom)
        return value, (min(pairs), max(pairs)) if pairs else (value, value)

    def rows(self, rows):
        """Adds a row for each key of GOALS to `rows`, as run_bench.py's report() makes them."""
        r = self.results
        median = statistics.median

        def add(key, numerator, denominator, cpu=True, detail=""):
            value, spread = self.ratio(numerator, denominator)
            cpu_value = None
            if cpu and r[numerator].get("cpu_seconds") and r[denominator].get("cpu_seconds"):
                cpu_value = self.ratio(numerator, denominator, "cpu_seconds")[0]
            rows[key] = {"value": value, "cpu": cpu_value, "spread": spread, "detail": detail}

        megabytes = sum(path.stat().st_size for path in (self.folder / "AcqData").iterdir()) / 1e6
        add("arrays_vs_pyteomics", "pyteomics", "ms_open_arrays",
            detail=f"pyteomics {median(r['pyteomics']['seconds']):.2f} s, vornak_ms "
                   f"{median(r['ms_open_arrays']['seconds']):.2f} s for {r['ms_open_arrays']['points']} "
                   f"points of a {megabytes:.0f} MB folder")
        for tool in ("rainbow", "openreadout"):
            if tool not in r:
                rows[f"vs_{tool}"] = {"value": math.nan, "cpu": None, "spread": (math.nan, math.nan),
                                      "detail": "not measured: no environment with the reader"}
                continue
            agreement = r[f"{tool}_agreement"]
            add(f"vs_{tool}", tool, f"ms_open_arrays_{tool}",
                detail=f"{tool} {r[tool]['version']} {median(r[tool]['seconds']):.2f} s, vornak_ms "
                       f"{median(r[f'ms_open_arrays_{tool}']['seconds']):.2f} s; m/z agree on "
                       f"{agreement['spectra']} spectra within {agreement['max_mz_difference']:.1g} Da")
        bins = r["lzf_floor"]["bytes"]
        add("decode_vs_lzf", "profile_decode", "lzf_floor",
            detail=f"decode {1e9 * median(r['profile_decode']['seconds']) / bins:.1f} ns per bin, LZF alone "
                   f"{1e9 * median(r['lzf_floor']['seconds']) / bins:.1f} ns ({bins} bins per pass)")
        add("arrays_vs_decode", "ms_arrays", "full_decode",
            detail=f"vornak_ms {median(r['ms_arrays']['seconds']):.2f} s, C++ "
                   f"{median(r['full_decode']['seconds']):.2f} s per pass")
        add("read_threads_speedup_2", "ms_read_one_thread", "ms_read_two_threads", cpu=False,
            detail=f"one thread {median(r['ms_read_one_thread']['seconds']):.2f} s, two "
                   f"{median(r['ms_read_two_threads']['seconds']):.2f} s; the C++ decode alone in two threads "
                   f"{median(r['profile_decode']['seconds']) / median(r['profile_decode_two_threads']['seconds']):.2f}")
        add("xic100_vs_decode", "ms_xic100", "full_decode",
            detail=f"XIC {median(r['ms_xic100']['seconds']):.2f} s")
        memory = r["ms_rss"]
        opened = [value / memory["index_bytes"] for value in memory["open"]]
        rows["open_rss_vs_index"] = {
            "value": median(opened), "cpu": None, "spread": (min(opened), max(opened)),
            "detail": f"+{median(memory['open']) / 2**10:.0f} KiB for a {memory['index_bytes'] / 2**10:.0f} KiB "
                      "MSScan.bin, after a first open of a one-scan folder"}
        tic = [value / 2**20 for value in memory["tic"]]
        rows["tic_pass_rss_mib"] = {"value": median(tic), "cpu": None, "spread": (min(tic), max(tic)),
                                    "detail": "all cores, after open"}
