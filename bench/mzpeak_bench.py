"""The mzPeak part of the benchmarks, run by run_bench.py after the `vornak convert` part.

On the real-layout benchmark acquisition (ms_bench.py's): the archive's size against our mzML of
the same run, the time to write each with `vornak convert`, pyteomics reading our mzML against
pyarrow reading our archive, the writer's peak memory at scale 4 against scale 1 (convert_bench's
larger acquisition), and the design that was not chosen: pyarrow writing the signal files from
vornak_ms's arrays in Python. Sides of each ratio alternate round by round.
"""

import os
import shutil
import statistics
import sys
from pathlib import Path

HERE = Path(__file__).resolve().parent

GOALS = {
    "mzpeak_size_vs_mzml": ("<=", 0.6, "our mzPeak archive / our mzML of the same run, default compression"),
    "mzpeak_convert_vs_mzml": ("<=", 1.0, "vornak convert to mzPeak / to mzML"),
    "mzpeak_read_vs_pyteomics": (">=", 10.0, "pyteomics reading our mzML / pyarrow reading our mzPeak"),
    "mzpeak_rss_growth_mib": ("<", 64.0, "peak RSS of the mzPeak writer at scale 4 minus at scale 1, MiB"),
    "mzpeak_writer_vs_pyarrow": ("<=", 1.0, "vornak convert to mzPeak / pyarrow writing the signal files"),
}


def log(message):
    print(message, file=sys.stderr, flush=True)


class MzpeakBench:
    def __init__(self, bench, helpers, ms, convert):
        self.bench = bench
        self.helpers = helpers
        self.folder = ms.folder
        self.large = convert.large
        self.vornak = bench.build / "cli" / "vornak"
        self.measure = HERE / "measure_mzpeak.py"
        self.data = bench.data / "mzpeak"
        self.results = {}

    def convert(self, folder, out, name, keep=False):
        return [sys.executable, self.measure, "convert", self.vornak, folder, self.data / out, name] + (
            ["keep"] if keep else [])

    def run(self):
        b, r = self.bench, self.results
        if self.data.exists():
            shutil.rmtree(self.data)
        self.data.mkdir(parents=True)
        try:
            log("bench: mzPeak against mzML: writing, size, reading back")
            r.update(b.rounds(3, [
                self.convert(self.folder, "run.mzML", "write_mzml"),
                self.convert(self.folder, "run.mzpeak", "write_mzpeak"),
                [b.python, self.measure, "pyarrow-writer", self.folder, self.data / "pyarrow", "write_pyarrow"],
            ]))
            r.update(self.helpers.run_json(self.convert(self.folder, "ours.mzML", "kept_mzml", keep=True)))
            r.update(self.helpers.run_json(self.convert(self.folder, "ours.mzpeak", "kept_mzpeak", keep=True)))
            r.update(b.rounds(3, [
                [b.options.peers_python, b.peers, "read", self.data / "ours.mzML"],
                [b.python, self.measure, "read", self.data / "ours.mzpeak", "read_mzpeak"],
            ]))
            if r["pyteomics"]["points"] != r["read_mzpeak"]["points"]:
                raise SystemExit(f"bench: pyteomics read {r['pyteomics']['points']} points from our mzML, "
                                 f"pyarrow {r['read_mzpeak']['points']} from our mzPeak")
            for name in ("mzpeak_rss_small", "mzpeak_rss_large"):
                r[name] = {"peak_rss_bytes": []}
            for round_number in range(3):
                sides = (("mzpeak_rss_small", self.folder), ("mzpeak_rss_large", self.large))
                for name, folder in sides if round_number % 2 == 0 else sides[::-1]:
                    record = self.helpers.run_json(self.convert(folder, f"{name}.mzpeak", name))[name]
                    r[name]["peak_rss_bytes"].append(record["peak_rss_bytes"])
        finally:
            shutil.rmtree(self.data, ignore_errors=True)

    def ratio(self, numerator, denominator, field="seconds"):
        top, bottom = self.results[numerator][field], self.results[denominator][field]
        pairs = [t / d for t, d in zip(top, bottom)]
        return statistics.median(top) / statistics.median(bottom), (min(pairs), max(pairs))

    def rows(self, rows):
        r = self.results
        median = statistics.median

        def add(key, numerator, denominator, detail):
            value, spread = self.ratio(numerator, denominator)
            rows[key] = {"value": value, "cpu": self.ratio(numerator, denominator, "cpu_seconds")[0],
                         "spread": spread, "detail": detail}

        mzml, mzpeak = r["kept_mzml"]["output_bytes"], r["kept_mzpeak"]["output_bytes"]
        rows["mzpeak_size_vs_mzml"] = {
            "value": mzpeak / mzml, "cpu": None, "spread": (mzpeak / mzml, mzpeak / mzml),
            "detail": f"mzPeak {mzpeak / 1e6:.1f} MB, mzML {mzml / 1e6:.1f} MB (zlib, 64-bit arrays)"}
        add("mzpeak_convert_vs_mzml", "write_mzpeak", "write_mzml",
            f"mzPeak {median(r['write_mzpeak']['seconds']):.2f} s, mzML {median(r['write_mzml']['seconds']):.2f} s")
        add("mzpeak_read_vs_pyteomics", "pyteomics", "read_mzpeak",
            f"pyteomics {median(r['pyteomics']['seconds']):.2f} s, pyarrow {median(r['read_mzpeak']['seconds']):.3f} s, "
            f"{r['read_mzpeak']['spectra']} spectra")
        add("mzpeak_writer_vs_pyarrow", "write_mzpeak", "write_pyarrow",
            f"pyarrow over vornak_ms arrays {median(r['write_pyarrow']['seconds']):.2f} s for the signal files "
            f"alone ({r['write_pyarrow']['output_bytes'] / 1e6:.1f} MB)")
        small = [v / 2**20 for v in r["mzpeak_rss_small"]["peak_rss_bytes"]]
        large = [v / 2**20 for v in r["mzpeak_rss_large"]["peak_rss_bytes"]]
        growth = [big - little for big, little in zip(large, small)]
        rows["mzpeak_rss_growth_mib"] = {
            "value": median(large) - median(small), "cpu": None, "spread": (min(growth), max(growth)),
            "detail": f"peak {median(small):.0f} MiB at scale 1, {median(large):.0f} MiB at scale 4"}
