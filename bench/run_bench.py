"""Runs every benchmark of vornak and prints a table, or one JSON object with --json.

    python run_bench.py --build DIR --data DIR --peers-python PATH [--peers-note TEXT]
                        [--scale N] [--only convert] [--json]

scripts/bench.sh prepares the programs and interpreters and then runs this file with the
free-threaded interpreter that has vornak installed. Each reported value is a ratio of medians
of wall-clock times measured in this run; measurements of the two sides of a ratio are
interleaved round by round, so that both see the same background load. The table also shows
the same ratio over CPU seconds, which a busy machine disturbs less, and the spread of the
per-round ratios as a measure of noise.
"""

import argparse
import hashlib
import json
import os
import shutil
import statistics
import subprocess
import sys
import time
from pathlib import Path

import convert_bench
import dask_bench
import ms_bench
import mzpeak_bench

HERE = Path(__file__).resolve().parent

BASE_PROFILE_SCANS = 600
BASE_POINTS = 60_000
BASE_MS2_SCANS = 300
DATA_LAYOUT_VERSION = 1  # bump when the files made here change

# key, goal as (comparison, bound), what it measures
GOALS = {
    "lzf_speed_vs_liblzf": (">=", 1.0, "our LZF output MB/s / liblzf's, same streams"),
    "profile_decode_vs_decompress": ("<=", 1.3, "decode_profile_block / decompress alone"),
    "open_vs_floor": ("<=", 1.25, "RawReader(path) / C++ floor (liblzf + conversions)"),
    "open_peak_rss_vs_arrays": ("<=", 1.15, "peak RSS added by RawReader / decoded array bytes"),
    "lists_vs_tolist": ("<=", 1.2, "read_spectrum + .mz + .intensity / array.tolist() x2"),
    "thread_speedup_2": (">=", 1.7, "two opens one after the other / in two threads"),
    "vs_pyteomics_open": (">=", 5.0, "pyteomics reading the mzML / RawReader(path)"),
    "vs_pyteomics_lists": (">=", 1.0, "pyteomics / RawReader + every spectrum's lists"),
}
GOALS.update(ms_bench.GOALS)  # vornak_ms
GOALS.update(convert_bench.GOALS)  # vornak convert
GOALS.update(dask_bench.GOALS)  # vornak_ms.dask
GOALS.update(mzpeak_bench.GOALS)  # mzPeak export


def log(message):
    print(message, file=sys.stderr, flush=True)


def run_json(command, env=None):
    """Runs a measuring program and returns its JSON lines, by name."""
    completed = subprocess.run([str(part) for part in command], capture_output=True, text=True, env=env)
    if completed.returncode != 0:
        raise SystemExit(f"bench: {' '.join(map(str, command))} failed:\n{completed.stderr}")
    results = {}
    for line in completed.stdout.splitlines():
        if line.startswith("{"):
            record = json.loads(line)
            results[record["name"]] = record
    return results


def median(values):
    return statistics.median(values)


def file_digest(path):
    digest = hashlib.sha256()
    with open(path, "rb") as source:
        for chunk in iter(lambda: source.read(1 << 20), b""):
            digest.update(chunk)
    return digest.hexdigest()


def read_through(paths):
    """Reads files once so that every measurement starts with them in the page cache."""
    for path in paths:
        with open(path, "rb") as source:
            while source.read(1 << 22):
                pass


class Bench:
    def __init__(self, options):
        self.options = options
        self.build = Path(options.build).resolve()
        self.make_sample = self.build / "bench" / "support" / "vornak-make-sample"
        self.decode = self.build / "bench" / "vornak-bench-decode"
        self.floor = self.build / "bench" / "vornak-bench-floor"
        self.python = sys.executable
        self.measure = HERE / "measure_vornak.py"
        self.peers = HERE / "peers.py"
        scale = options.scale
        self.profile_scans = max(1, round(BASE_PROFILE_SCANS * scale))
        self.ms2_scans = max(0, round(BASE_MS2_SCANS * scale))
        self.points = BASE_POINTS
        self.data = Path(options.data).resolve() / f"scale-{scale:g}"
        self.folder_a = self.data / "a.d"
        self.folder_b = self.data / "b.d"
        self.mzml = self.data / "peers.mzML"
        self.results = {}
        self.ms = ms_bench.MsBench(self, sys.modules[__name__])
        self.convert = convert_bench.ConvertBench(self, sys.modules[__name__], self.ms)
        self.dask = dask_bench.DaskBench(self, sys.modules[__name__])
        self.mzpeak = mzpeak_bench.MzpeakBench(self, sys.modules[__name__], self.ms, self.convert)

    # ---- data ---------------------------------------------------------------------------

    def prepare_data(self):
        """The acquisition (and a copy, for the two-thread run) and the peers' mzML, made once
        for each scale and kept until the synthetic writer or the peer interpreter changes."""
        stamp_path = self.data / "stamp.json"
        wanted = {
            "layout": DATA_LAYOUT_VERSION,
            "writer": file_digest(self.make_sample),
            "profile_scans": self.profile_scans,
            "points": self.points,
            "ms2_scans": self.ms2_scans,
            "peers_python": os.path.realpath(self.options.peers_python),
        }
        if stamp_path.exists() and json.loads(stamp_path.read_text()) == wanted and self.mzml.exists():
            log(f"bench: data in {self.data} (kept from an earlier run)")
        else:
            if self.data.exists():
                shutil.rmtree(self.data)
            self.data.mkdir(parents=True)
            began = time.perf_counter()
            subprocess.run([str(self.make_sample), "--bench", "--profile-scans", str(self.profile_scans),
                            "--points", str(self.points), "--ms2-scans", str(self.ms2_scans),
                            str(self.folder_a)], check=True)
            shutil.copytree(self.folder_a, self.folder_b)
            log(f"bench: wrote the acquisition in {time.perf_counter() - began:.1f} s; "
                "writing the peers' mzML with psims (once per scale)")
            began = time.perf_counter()
            spectra = self.data / "spectra.bin"
            run_json([self.python, self.measure, "export", self.folder_a, spectra])
            subprocess.run([self.options.peers_python, str(self.peers), "write", str(spectra), str(self.mzml)],
                           check=True)
            spectra.unlink()
            log(f"bench: wrote {self.mzml.name} in {time.perf_counter() - began:.1f} s")
            stamp_path.write_text(json.dumps(wanted))
        if self.options.only == "convert":  # the conversion keys need only the real-layout data
            self.ms.prepare()
            self.convert.prepare()
            return
        files = [path for folder in (self.folder_a, self.folder_b)
                 for path in sorted((folder / "AcqData").iterdir())]
        read_through(files + [self.mzml])
        self.ms.prepare()
        self.convert.prepare()
        self.dask.prepare()

    # ---- measurements -----------------------------------------------------------------------

    def rounds(self, count, commands):
        """Runs each of `commands` `count` times, reversing their order every other round, and
        pools the samples of every record they print, by record name."""
        pooled = {}
        for round_number in range(count):
            for command in commands if round_number % 2 == 0 else commands[::-1]:
                for name, record in run_json(command).items():
                    into = pooled.setdefault(name, {"seconds": [], "cpu_seconds": []})
                    into["seconds"] += record["seconds"]
                    into["cpu_seconds"] += record.get("cpu_seconds", [])
                    for key, value in record.items():
                        if key in ("seconds", "cpu_seconds"):
                            continue
                        if key.endswith("_seconds") and isinstance(value, list):  # more timings, pooled too
                            into.setdefault(key, []).extend(value)
                        else:
                            into.setdefault(key, value)
        return pooled

    def run_all(self):
        if self.options.only == "convert":
            self.convert.run()
            return
        a, b = self.folder_a, self.folder_b
        log("bench: checking the floor against the reader")
        run_json([self.floor, "check", a])

        log("bench: decoders (LZF against liblzf, profile decode against decompress)")
        self.results.update(run_json([self.decode, a, 7]))

        log("bench: RawReader(path) against the floor, one fresh process per run")
        self.results.update(self.rounds(7, [
            [self.floor, "open", a],
            [self.python, self.measure, "open", a],
        ]))

        log("bench: peak resident memory of RawReader(path), one fresh process per run")
        runs = [run_json([self.python, self.measure, "rss", a])["rss"] for _ in range(3)]
        self.results["rss"] = {"added": [run["added_bytes"] for run in runs], "array_bytes": runs[0]["array_bytes"]}

        log("bench: spectrum lists against array.tolist()")
        self.results.update(run_json([self.python, self.measure, "lists", a, 7]))

        log("bench: two acquisitions in two threads, and the same for the floor and for counting")
        self.results.update(self.rounds(5, [
            [self.python, self.measure, "threads", "sequential", a, b],
            [self.python, self.measure, "threads", "parallel", a, b],
            [self.floor, "pair", "sequential", a, b],
            [self.floor, "pair", "parallel", a, b],
            [self.floor, "spin"],
        ]))

        log(f"bench: pyteomics ({self.options.peers_note}) against RawReader, with and without lists")
        self.results.update(self.rounds(3, [
            [self.options.peers_python, self.peers, "read", self.mzml],
            [self.python, self.measure, "open_lists", a],
        ]))
        if self.results["pyteomics"]["points"] != self.results["rss"]["array_bytes"] // 12:
            raise SystemExit("bench: pyteomics read a different number of points than vornak decodes")
        self.ms.run()  # into self.ms.results: some record names are the same as above
        self.convert.run()  # into self.convert.results
        self.dask.run()  # into self.dask.results
        self.mzpeak.run()  # into self.mzpeak.results

    # ---- report -------------------------------------------------------------------------------

    def ratio(self, numerator, denominator, field="seconds"):
        """median(numerator) / median(denominator), and the spread of the round-by-round ratios."""
        top = self.results[numerator][field]
        bottom = self.results[denominator][field]
        value = median(top) / median(bottom)
        pairs = [t / d for t, d in zip(top, bottom)]
        return value, (min(pairs), max(pairs)) if pairs else (value, value)

    def report(self):
        r = self.results
        rows = {}
        if self.options.only == "convert":
            self.convert.rows(rows)
            return rows

        def add(key, numerator, denominator, invert=False, cpu=True, detail=""):
            value, spread = self.ratio(numerator, denominator)
            cpu_value = None
            if cpu and r[numerator].get("cpu_seconds") and r[denominator].get("cpu_seconds"):
                cpu_value = self.ratio(numerator, denominator, "cpu_seconds")[0]
            if invert:
                value, spread = 1 / value, (1 / spread[1], 1 / spread[0])
                cpu_value = None if cpu_value is None else 1 / cpu_value
            rows[key] = {"value": value, "cpu": cpu_value, "spread": spread, "detail": detail}

        mb = r["lzf_ours"]["bytes"] / 1e6
        add("lzf_speed_vs_liblzf", "lzf_ours", "lzf_liblzf", invert=True,
            detail=f"ours {mb / median(r['lzf_ours']['seconds']):.0f} MB/s, "
                   f"liblzf {mb / median(r['lzf_liblzf']['seconds']):.0f} MB/s")
        fresh = median(r["decode_profile_fresh"]["seconds"]) / median(r["decompress_only_fresh"]["seconds"])
        add("profile_decode_vs_decompress", "decode_profile", "decompress_only",
            detail=f"decode {1e3 * median(r['decode_profile']['seconds']):.0f} ms, decompress "
                   f"{1e3 * median(r['decompress_only']['seconds']):.0f} ms per pass; "
                   f"{fresh:.2f} with glibc's defaults (arrays in fresh pages)")
        add("open_vs_floor", "open", "floor_open",
            detail=f"open {median(r['open']['seconds']):.3f} s, floor {median(r['floor_open']['seconds']):.3f} s")
        rss = r["rss"]
        rss_ratio = median(rss["added"]) / rss["array_bytes"]
        rows["open_peak_rss_vs_arrays"] = {
            "value": rss_ratio, "cpu": None, "spread": (min(rss["added"]) / rss["array_bytes"],
                                                         max(rss["added"]) / rss["array_bytes"]),
            "detail": f"+{median(rss['added']) / 2**20:.0f} MiB peak for {rss['array_bytes'] / 2**20:.0f} MiB of arrays"}
        lists = r["lists"]
        r["lists_ours"] = {"seconds": lists["ours"], "cpu_seconds": lists["ours_cpu"]}
        r["lists_tolist"] = {"seconds": lists["tolist"], "cpu_seconds": lists["tolist_cpu"]}
        add("lists_vs_tolist", "lists_ours", "lists_tolist",
            detail=f"{lists['spectra']} spectra, {lists['points']} points per pass")
        add("thread_speedup_2", "threads_sequential", "threads_parallel", cpu=False,
            detail=f"floor in two threads {self.ratio('floor_pair_sequential', 'floor_pair_parallel')[0]:.2f}, "
                   f"pure counting {self.ratio('spin_sequential', 'spin_parallel')[0]:.2f}")
        add("vs_pyteomics_open", "pyteomics", "open", cpu=True,
            detail=f"pyteomics {median(r['pyteomics']['seconds']):.2f} s, open {median(r['open']['seconds']):.2f} s")
        add("vs_pyteomics_lists", "pyteomics", "open_lists", cpu=True,
            detail=f"open + lists {median(r['open_lists']['seconds']):.2f} s, of which lists "
                   f"{median(r['open_lists']['seconds']) - median(r['open']['seconds']):.2f} s")
        self.ms.rows(rows)
        self.convert.rows(rows)
        self.dask.rows(rows)
        self.mzpeak.rows(rows)
        return rows

    def print_table(self, rows):
        sizes = (f"{self.profile_scans} profile scans of {self.points} points + {self.ms2_scans} centroided "
                 f"scans (scale {self.options.scale:g}); {os.cpu_count()} cores, load average "
                 f"{os.getloadavg()[0]:.1f} at the end")
        lines = [sizes, ""]
        header = f"{'key':<30} {'value':>7} {'goal':>8} {'met':<4} {'cpu-time':>8} {'per-round':>13}  detail"
        lines += [header, "-" * len(header)]
        for key, (comparison, bound, _) in GOALS.items():
            if key not in rows:  # left out: --only, a peer that is not installed, or no strace
                continue
            row = rows[key]
            value = row["value"]
            met = value >= bound if comparison == ">=" else value <= bound
            cpu = "" if row["cpu"] is None else f"{row['cpu']:.2f}"
            spread = f"{row['spread'][0]:.2f}-{row['spread'][1]:.2f}"
            lines.append(f"{key:<30} {value:>7.2f} {comparison + ' ' + format(bound, 'g'):>8} "
                         f"{'yes' if met else 'NO':<4} {cpu:>8} {spread:>13}  {row['detail']}")
        lines.append("")
        lines.append("value: ratio of medians of wall-clock times; cpu-time: the same over CPU seconds; "
                     "per-round: lowest and highest ratio of the interleaved runs.")
        lines.append(f"peers: {self.options.peers_note}.")
        return "\n".join(lines)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build", required=True)
    parser.add_argument("--data", required=True)
    parser.add_argument("--peers-python", required=True)
    parser.add_argument("--peers-note", default="")
    parser.add_argument("--readers-python", default="", help="python3 with rainbow-api and openreadout")
    parser.add_argument("--scale", type=float, default=1.0)
    parser.add_argument("--only", choices=["all", "convert"], default="all",
                        help="convert: only the keys of convert_bench.py (and the data they need)")
    parser.add_argument("--json", action="store_true")
    options = parser.parse_args()
    if options.scale <= 0:
        parser.error("--scale must be positive")
    if sys._is_gil_enabled():
        raise SystemExit("bench: run this with the free-threaded interpreter that has vornak")

    bench = Bench(options)
    began = time.perf_counter()
    bench.prepare_data()
    bench.run_all()
    rows = bench.report()
    table = bench.print_table(rows)
    log(f"bench: done in {time.perf_counter() - began:.0f} s")
    if options.json:
        log(table)
        print(json.dumps({key: round(rows[key]["value"], 4) for key in GOALS if key in rows}))
    else:
        print(table)


if __name__ == "__main__":
    main()
