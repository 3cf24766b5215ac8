"""The peer tools of the comparison, which read another format, mzML.

    python peers.py write SPECTRA_FILE OUT.mzML    psims writes the spectra exported by
                                                   measure_vornak.py export
    python peers.py read FILE.mzML                 pyteomics reads every spectrum's arrays

`read` times one pass, after the imports, and prints one JSON object with its wall-clock and
CPU seconds; scripts/bench.sh repeats such runs, as it does for RawReader(path). It runs this
file with whichever interpreter has psims and pyteomics installed, which need not be the one
that has vornak.
"""

import json
import struct
import sys
import time

import numpy


def spectra(path):
    """(MS level, retention time in seconds, m/z array, intensity array) as exported."""
    with open(path, "rb") as source:
        (count,) = struct.unpack("<Q", source.read(8))
        for _ in range(count):
            ms_level, retention_time_sec, points = struct.unpack("<IdQ", source.read(20))
            mz = numpy.frombuffer(source.read(8 * points), dtype="<f8")
            intensity = numpy.frombuffer(source.read(8 * points), dtype="<f8")
            yield ms_level, retention_time_sec, mz, intensity


def count_spectra(path):
    with open(path, "rb") as source:
        return struct.unpack("<Q", source.read(8))[0]


def write(spectra_path, out_path):
    from psims.mzml.writer import MzMLWriter

    encoding = {"m/z array": numpy.float64, "intensity array": numpy.float64}
    with MzMLWriter(open(out_path, "wb"), close=True) as out:
        out.controlled_vocabularies()
        out.file_description(["MS1 spectrum", "MSn spectrum"])
        out.software_list([{"id": "vornak_bench", "version": "0.1.0", "params": ["custom unreleased software tool"]}])
        out.instrument_configuration_list([
            out.InstrumentConfiguration(id="IC1", component_list=[], params=["instrument model"])])
        out.data_processing_list([out.DataProcessing(
            [out.ProcessingMethod(order=1, software_reference="vornak_bench", params=["Conversion to mzML"])],
            id="DP1")])
        with out.run(id="vornak_bench", instrument_configuration="IC1"):
            with out.spectrum_list(count=count_spectra(spectra_path)):
                for index, (ms_level, seconds, mz, intensity) in enumerate(spectra(spectra_path)):
                    out.write_spectrum(
                        mz, intensity, id=f"scanId={index + 1}", centroided=ms_level >= 2,
                        scan_start_time=seconds / 60.0, params=[{"ms level": ms_level}],
                        compression="zlib", encoding=encoding)


def read_all(path):
    """Every spectrum's m/z and intensity arrays, each dropped once read."""
    from pyteomics import mzml

    count = 0
    points = 0
    with mzml.MzML(path, use_index=False) as reader:
        for spectrum in reader:
            mz = spectrum["m/z array"]
            intensity = spectrum["intensity array"]
            if len(mz) != len(intensity):
                raise SystemExit(f"pyteomics: arrays of unequal length in spectrum {count}")
            count += 1
            points += len(mz)
    return count, points


def read(path):
    from importlib.metadata import version

    from pyteomics import mzml  # noqa: F401  (imported before the clock starts)

    cpu = time.process_time()
    wall = time.perf_counter()
    count, points = read_all(path)
    wall = time.perf_counter() - wall
    cpu = time.process_time() - cpu
    print(json.dumps({"name": "pyteomics", "seconds": [wall], "cpu_seconds": [cpu],
                      "spectra": count, "points": points,
                      "python": sys.version.split()[0],
                      "free_threaded": not getattr(sys, "_is_gil_enabled", lambda: True)(),
                      "pyteomics": version("pyteomics")}), flush=True)


def main(arguments):
    if arguments[0] == "write":
        write(arguments[1], arguments[2])
    elif arguments[0] == "read":
        read(arguments[1])
    else:
        raise SystemExit(f"unknown command {arguments[0]!r}")


if __name__ == "__main__":
    main(sys.argv[1:])
