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
    "convert_size_vs_psims": ("<=", 1.25, "vornak convert's mzML bytes / psims' (zlib level 6), same spectra"),
    "convert_threads_speedup_2": (">=", 1.8, "vornak convert with one worker / with two"),
    "convert_vs_decode": ("<=", 2.0, "vornak convert, one worker / vornak_ms decoding every spectrum, one thread"),
    "convert_vs_openreadout": (">=", 5.0, "openreadout's mzML export (verified) / vornak convert + reading it back"),
    "numpress_size_vs_default": ("<=", 0.6, "vornak convert --numpress bytes / vornak convert's"),
    "numpress_convert_vs_decode": ("<=", 1.5, "vornak convert --numpress, one worker / the same decode"),
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

    def convert(self, folder, workers, name, *options, wrapper=()):
        out = self.data / f"{name}.mzML"
        wrapped = ["--wrapper", *wrapper] if wrapper else []
        return [sys.executable, self.measure, "convert", self.vornak, folder, out, workers, name, *options, *wrapped]

    def run(self):
        b, r = self.bench, self.results
        a = self.folder
        try:
            log("bench: vornak convert (one worker, two, default; --numpress) against psims, vornak_ms's decode, "
                "openreadout's export and the encoders alone")
            commands = [
                self.convert(a, 0, "convert_default"),
                self.convert(a, 1, "convert_one"),
                self.convert(a, WORKERS, "convert_two"),
                self.convert(a, 1, "numpress_one", "--numpress"),
                [b.options.peers_python, self.measure, "psims", self.spectra, self.data / "psims.mzML",
                 "psims_write"],
                [b.python, HERE / "measure_ms.py", "arrays", a, 1],
                [self.floor, a, 1],
            ]
            if b.options.readers_python:
                commands += [
                    [sys.executable, self.measure, "convert_check", self.vornak, a, self.data / "checked.mzML",
                     "convert_check"],
                    [b.options.readers_python, HERE / "readers.py", "export", "openreadout", a,
                     self.data / "openreadout.mzML"],
                ]
            else:
                log("bench: no environment with openreadout; convert_vs_openreadout is left out")
            r.update(b.rounds(3, commands))
        finally:
            self.spectra.unlink(missing_ok=True)
        if r["psims_write"]["spectra"] != r["convert_default"]["spectra"]:
            raise SystemExit(f"bench: psims wrote {r['psims_write']['spectra']} spectra, vornak convert "
                             f"{r['convert_default']['spectra']}")
        if shutil.which("strace"):
            log("bench: vornak convert with and without its syncs to disk")
            r.update(b.rounds(5, [self.convert(a, 0, "convert_synced", wrapper=SYNC_TRACE),
                                  self.convert(a, 0, "convert_unsynced", wrapper=SKIP_SYNC)]))
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
        psims = r["psims_write"]
        psims_seconds = median(psims["seconds"])
        floor = {name: r[name] for name in ("fast", "default", "small", "zlib_6", "numpress", "numpress_default")}
        deflate_cpu = median(floor["default"]["cpu_seconds"])
        # The best vornak could do: nothing but its compressor's work, spread over every core.
        best = psims_seconds / (deflate_cpu / cores)

        def rate(record):
            wall = median(record["seconds"])
            return (f"{record['output_bytes'] / 1e6 / wall:.0f} MB/s of mzML, {record['spectra'] / wall:.0f} "
                    f"spectra/s")

        add("convert_vs_psims", "psims_write", "convert_default",
            detail=f"vornak {seconds:.2f} s, {rate(default)} ({default['output_bytes'] / 1e6:.0f} MB); psims "
                   f"{psims_seconds:.1f} s ({psims['output_bytes'] / 1e6:.0f} MB). Floor: the default compressor "
                   f"({floor['default']['compressor']}) alone takes {deflate_cpu:.2f} CPU s "
                   f"({floor['default']['bytes'] / 1e6 / deflate_cpu:.0f} MB/s per core), so on {cores} cores no "
                   f"writer with it beats {best:.1f}x (1 core: {best / cores:.1f}x); zlib level 6, which psims "
                   f"uses, takes {median(floor['zlib_6']['cpu_seconds']):.1f} s of psims' {psims_seconds:.1f} s")
        size = default["output_bytes"] / psims["output_bytes"]
        packed = {name: record["packed"] / record["bytes"] for name, record in floor.items()}
        rows["convert_size_vs_psims"] = {
            "value": size, "cpu": None, "spread": (size, size),
            "detail": f"{default['output_bytes'] / 1e6:.1f} MB against {psims['output_bytes'] / 1e6:.1f} MB. Arrays "
                      f"alone, deflated size / raw: fast {packed['fast']:.3f}, default {packed['default']:.3f}, "
                      f"small {packed['small']:.3f}, zlib 6 {packed['zlib_6']:.3f}"}
        add("convert_threads_speedup_2", "convert_one", "convert_two", cpu=False,
            detail=f"one worker {median(r['convert_one']['seconds']):.2f} s, two "
                   f"{median(r['convert_two']['seconds']):.2f} s (CPU {median(r['convert_one']['cpu_seconds']):.2f} "
                   f"and {median(r['convert_two']['cpu_seconds']):.2f} s)")
        decode = median(r["ms_arrays"]["seconds"])
        add("convert_vs_decode", "convert_one", "ms_arrays",
            detail=f"convert {median(r['convert_one']['seconds']):.2f} s ({rate(r['convert_one'])}), decode "
                   f"{decode:.2f} s; with {cores} workers {seconds / decode:.2f}. Floor: the default compressor "
                   f"alone {median(floor['default']['seconds']) / decode:.2f}x the decode, fast "
                   f"{median(floor['fast']['seconds']) / decode:.2f}x, small "
                   f"{median(floor['small']['seconds']) / decode:.2f}x")
        if "openreadout_export" in r:
            theirs = r["openreadout_export"]
            ours = r["convert_check"]
            add("convert_vs_openreadout", "openreadout_export", "convert_check",
                detail=f"openreadout {theirs['version']} {median(theirs['seconds']):.2f} s "
                       f"({theirs['output_bytes'] / 1e6:.0f} MB, {theirs['points']} points: no zero runs); vornak "
                       f"convert {median(ours['convert_seconds']):.2f} s + reading it back "
                       f"{median(ours['check_seconds']):.2f} s ({ours['output_bytes'] / 1e6:.0f} MB); convert alone "
                       f"{median(theirs['seconds']) / median(ours['convert_seconds']):.1f}x")
        numpress = r["numpress_one"]
        numpress_size = numpress["output_bytes"] / r["convert_one"]["output_bytes"]
        rows["numpress_size_vs_default"] = {
            "value": numpress_size, "cpu": None, "spread": (numpress_size, numpress_size),
            "detail": f"{numpress['output_bytes'] / 1e6:.1f} MB against {r['convert_one']['output_bytes'] / 1e6:.1f} "
                      f"MB; arrays alone: Numpress {packed['numpress']:.3f} of raw, then deflated "
                      f"{packed['numpress_default']:.3f}"}
        add("numpress_convert_vs_decode", "numpress_one", "ms_arrays",
            detail=f"convert --numpress {median(numpress['seconds']):.2f} s ({rate(numpress)}); Numpress alone "
                   f"{median(floor['numpress']['seconds']) / decode:.2f}x the decode, with deflate "
                   f"{median(floor['numpress_default']['seconds']) / decode:.2f}x")
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
