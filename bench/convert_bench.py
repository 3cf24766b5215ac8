"""The `vornak convert` part of the benchmarks, run by run_bench.py after the vornak_ms part.

Its data: the real-layout benchmark acquisition that ms_bench.py makes (scale N), the same
acquisition at scale 4N for the memory measurement, and the spectra of the first as vornak_ms
decodes them, in the file psims writes its mzML from. Measurements interleave the sides of each
ratio round by round, as run_bench.py does for its own; every output file is removed once measured.
"""

import json
import os
import shutil
import statistics
import subprocess
import sys
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
DATA_VERSION = 1  # bump when the files made here change
LARGE_FACTOR = 4  # the memory measurement's second acquisition, against the first
WORKERS = 2  # the threads speed-up: one worker against this many

# key, goal as (comparison, bound), what it measures
GOALS = {
    "convert_vs_psims": (">=", 10.0, "psims writing vornak_ms's arrays to mzML / vornak convert"),
    "convert_threads_speedup_2": (">=", 1.7, "vornak convert with one worker / with two"),
    "convert_vs_decode": ("<=", 3.0, "vornak convert, one worker / vornak_ms decoding every spectrum, one thread"),
    "convert_rss_growth_mib": ("<", 32.0, "peak RSS of vornak convert at scale 4 minus at scale 1, MiB"),
    "convert_durable_cost": ("<=", 1.1, "vornak convert syncing its file and folder to disk / the same with "
                                        "the syncs skipped (both under strace)"),
}

# Both sides of convert_durable_cost run under strace, which only stops the process at fsync (a
# seccomp filter); one side has each fsync return success without running it.
SYNC_TRACE = ["strace", "--seccomp-bpf", "-f", "-qq", "-o", os.devnull, "-e", "trace=fsync"]
SKIP_SYNC = [*SYNC_TRACE, "-e", "inject=fsync:retval=0"]


def log(message):
    print(message, file=sys.stderr, flush=True)


class ConvertBench:
    def __init__(self, bench, helpers, ms):
        self.bench = bench
        self.helpers = helpers  # run_bench's run_json, file_digest and read_through
        self.ms = ms  # ms_bench.MsBench, whose acquisition is converted
        self.vornak = bench.build / "cli" / "vornak"
        self.floor = bench.build / "bench" / "vornak-bench-convert-floor"
        self.measure = HERE / "measure_convert.py"
        self.data = bench.data / "convert"
        self.folder = ms.folder
        self.large = self.data / f"real-x{LARGE_FACTOR}.D"
        self.spectra = self.data / "spectra.bin"
        self.scale = bench.options.scale
        self.results = {}

    def prepare(self):
        """The larger acquisition is kept between runs; the spectra file is made for each run
        (it is as large as the decoded arrays) and removed at the end of run()."""
        stamp_path = self.data / "stamp.json"
        wanted = {"version": DATA_VERSION, "writer": self.helpers.file_digest(self.bench.make_sample),
                  "scale": self.scale}
        if stamp_path.exists() and json.loads(stamp_path.read_text()) == wanted and self.large.exists():
            log(f"bench: convert data in {self.data} (kept from an earlier run)")
        else:
            if self.data.exists():
                shutil.rmtree(self.data)
            self.data.mkdir(parents=True)
            began = time.perf_counter()
            subprocess.run([str(self.bench.make_sample), "--real", "--bench", "--scale",
                            f"{LARGE_FACTOR * self.scale:g}", str(self.large)], check=True)
            log(f"bench: wrote the scale-{LARGE_FACTOR * self.scale:g} acquisition in "
                f"{time.perf_counter() - began:.1f} s")
            stamp_path.write_text(json.dumps(wanted))
        self.helpers.run_json([self.bench.python, HERE / "measure_ms.py", "export", self.folder, self.spectra])
        self.helpers.read_through(sorted((self.large / "AcqData").iterdir()))

    def convert(self, folder, workers, name, wrapper=()):
        out = self.data / f"{name}.mzML"
        return [sys.executable, self.measure, "convert", self.vornak, folder, out, workers, name, *wrapper]

    def run(self):
        b, r = self.bench, self.results
        a = self.folder
        try:
            log("bench: vornak convert (one worker, two, default) against psims, vornak_ms's decode and "
                "the compressors alone")
            r.update(b.rounds(3, [
                self.convert(a, 0, "convert_default"),
                self.convert(a, 1, "convert_one"),
                self.convert(a, WORKERS, "convert_two"),
                [b.options.peers_python, self.measure, "psims", self.spectra, self.data / "psims.mzML",
                 "psims_write"],
                [b.python, HERE / "measure_ms.py", "arrays", a, 1],
                [self.floor, a, 1],
            ]))
        finally:
            self.spectra.unlink(missing_ok=True)
        if r["psims_write"]["spectra"] != r["convert_default"]["spectra"]:
            raise SystemExit(f"bench: psims wrote {r['psims_write']['spectra']} spectra, vornak convert "
                             f"{r['convert_default']['spectra']}")
        if shutil.which("strace"):
            log("bench: vornak convert with and without its syncs to disk")
            r.update(b.rounds(5, [self.convert(a, 0, "convert_synced", SYNC_TRACE),
                                  self.convert(a, 0, "convert_unsynced", SKIP_SYNC)]))
        log(f"bench: peak memory of vornak convert at scale {self.scale:g} and {LARGE_FACTOR * self.scale:g}")
        for name in ("convert_rss_small", "convert_rss_large"):
            r[name] = {"peak_rss_bytes": []}
        for round_number in range(3):
            sides = (("convert_rss_small", a), ("convert_rss_large", self.large))
            for name, folder in sides if round_number % 2 == 0 else sides[::-1]:
                record = self.helpers.run_json(self.convert(folder, 0, name))[name]
                r[name]["peak_rss_bytes"].append(record["peak_rss_bytes"])
                r[name]["spectra"] = record["spectra"]

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
            cpu_value = self.ratio(numerator, denominator, "cpu_seconds")[0] if cpu else None
            rows[key] = {"value": value, "cpu": cpu_value, "spread": spread, "detail": detail}

        cores = os.cpu_count() or 1
        default = r["convert_default"]
        seconds = median(default["seconds"])
        psims_seconds = median(r["psims_write"]["seconds"])
        deflate = r["deflate_level_2"]
        zlib = r["zlib_default"]
        deflate_seconds = median(deflate["cpu_seconds"])
        # The best vornak could do: nothing but its compressor's work, spread over every core.
        best = psims_seconds / (deflate_seconds / cores)
        add("convert_vs_psims", "psims_write", "convert_default",
            detail=f"vornak {seconds:.2f} s, {default['output_bytes'] / 1e6 / seconds:.0f} MB/s of output, "
                   f"{default['spectra'] / seconds:.0f} spectra/s ({default['output_bytes'] / 1e6:.0f} MB); psims "
                   f"{psims_seconds:.1f} s ({r['psims_write']['output_bytes'] / 1e6:.0f} MB). Floor: deflating the "
                   f"arrays alone takes {deflate_seconds:.2f} CPU s with libdeflate level 2 "
                   f"({deflate['bytes'] / 1e6 / deflate_seconds:.0f} MB/s per core), so on {cores} cores no "
                   f"writer at that level beats {best:.1f}x (1 core: {best / cores:.1f}x); zlib's default level, "
                   f"which psims uses, takes {median(zlib['cpu_seconds']):.1f} s of psims' {psims_seconds:.1f} s")
        add("convert_threads_speedup_2", "convert_one", "convert_two", cpu=False,
            detail=f"one worker {median(r['convert_one']['seconds']):.2f} s, two "
                   f"{median(r['convert_two']['seconds']):.2f} s (CPU {median(r['convert_one']['cpu_seconds']):.2f} "
                   f"and {median(r['convert_two']['cpu_seconds']):.2f} s)")
        decode = median(r["ms_arrays"]["seconds"])
        add("convert_vs_decode", "convert_one", "ms_arrays",
            detail=f"convert {median(r['convert_one']['seconds']):.2f} s, decode {decode:.2f} s; with "
                   f"{cores} workers {seconds / decode:.2f}. Floor: deflate alone (level 2) "
                   f"{median(deflate['seconds']) / decode:.2f}x the decode, level 1 "
                   f"{median(r['deflate_level_1']['seconds']) / decode:.2f}x (output "
                   f"{r['deflate_level_1']['packed'] / deflate['packed']:.2f}x larger)")
        if "convert_synced" in r:
            synced = r["convert_synced"]
            add("convert_durable_cost", "convert_synced", "convert_unsynced", cpu=False,
                detail=f"synced {median(synced['seconds']):.2f} s, syncs skipped "
                       f"{median(r['convert_unsynced']['seconds']):.2f} s, {synced['output_bytes'] / 1e6:.0f} MB")
        small = [value / 2**20 for value in r["convert_rss_small"]["peak_rss_bytes"]]
        large = [value / 2**20 for value in r["convert_rss_large"]["peak_rss_bytes"]]
        growth = [big - little for big, little in zip(large, small)]
        rows["convert_rss_growth_mib"] = {
            "value": median(large) - median(small), "cpu": None, "spread": (min(growth), max(growth)),
            "detail": f"peak {median(small):.0f} MiB at scale {self.scale:g} "
                      f"({r['convert_rss_small']['spectra']} spectra), {median(large):.0f} MiB at scale "
                      f"{LARGE_FACTOR * self.scale:g} ({r['convert_rss_large']['spectra']} spectra); default workers"}
