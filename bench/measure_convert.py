"""Timings and memory of `vornak convert` and of psims writing the same spectra, one run each.

    python measure_convert.py convert VORNAK FOLDER OUT.mzML WORKERS NAME [OPTION...]
        runs `vornak convert -q --workers WORKERS [OPTION...] FOLDER -o OUT.mzML` in a child
        process and reports its wall-clock and CPU seconds, its peak resident memory and the
        output's size
    python measure_convert.py convert_check VORNAK FOLDER OUT.mzML NAME
        the same with the default workers, then examples/check_mzml.py reading the output back
        (every spectrum at its indexed offset, compared with vornak_ms's arrays) in a second
        child process: the seconds of both together, and of each ("convert_seconds",
        "check_seconds"); run it with the interpreter that has vornak_ms
    python measure_convert.py psims SPECTRA_FILE OUT.mzML NAME
        psims writes the spectra of SPECTRA_FILE (measure_ms.py export) to indexed mzML, zlib
        compressed, 64-bit arrays; the file is read into NumPy arrays before the clock starts

Each prints one JSON object on stdout, named as convert_bench.py reads it. `psims` runs with the
interpreter that has psims (bench/peers.py's), `convert` with any python3. The output file is
removed after it is measured.
"""

import json
import os
import struct
import subprocess
import sys
import time


def emit(**fields):
    print(json.dumps(fields), flush=True)


CHECK_MZML = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "examples", "check_mzml.py")


def run_child(command):
    """Wall-clock seconds and the resource usage of one child process, which must succeed."""
    wall = time.perf_counter()
    child = subprocess.Popen([str(part) for part in command], stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    _, status, usage = os.wait4(child.pid, 0)
    wall = time.perf_counter() - wall
    child.returncode = os.waitstatus_to_exitcode(status)
    message = child.stderr.read().decode(errors="replace")
    child.stderr.close()
    if child.returncode != 0:
        raise SystemExit(f"convert: {' '.join(map(str, command))} exited with {child.returncode}:\n{message}")
    return wall, usage


def measure_convert(vornak, folder, out, workers, name, options=()):
    """`options` are the command's own, then optionally "--wrapper" and a command to run it under."""
    options = list(options)
    wrapper = []
    if "--wrapper" in options:
        at = options.index("--wrapper")
        options, wrapper = options[:at], options[at + 1:]
    wall, usage = run_child([*wrapper, vornak, "convert", "-q", "--workers", str(workers), *options, folder, "-o", out])
    size = os.path.getsize(out)
    with open(out, "rb") as written:
        written.seek(max(0, size - 4096))
        tail = written.read().decode()
    spectra = count_index_entries(out, size)
    os.unlink(out)
    if not tail.rstrip().endswith("</indexedmzML>"):
        raise SystemExit(f"convert: {out} does not end with </indexedmzML>")
    emit(name=name, seconds=[wall], cpu_seconds=[usage.ru_utime + usage.ru_stime],
         peak_rss_bytes=usage.ru_maxrss * 1024, output_bytes=size, spectra=spectra)


def measure_convert_check(vornak, folder, out, name):
    convert_wall, convert_usage = run_child([vornak, "convert", "-q", folder, "-o", out])
    check_wall, check_usage = run_child([sys.executable, CHECK_MZML, folder, out])
    size = os.path.getsize(out)
    os.unlink(out)
    cpu = [usage.ru_utime + usage.ru_stime for usage in (convert_usage, check_usage)]
    emit(name=name, seconds=[convert_wall + check_wall], cpu_seconds=[sum(cpu)], convert_seconds=[convert_wall],
         check_seconds=[check_wall], output_bytes=size)


def count_index_entries(path, size):
    """The number of spectra in the offset index at the end of an indexed mzML file."""
    with open(path, "rb") as source:
        start = size
        piece = 1 << 20
        tail = b""
        while start > 0:
            start = max(0, start - piece)
            source.seek(start)
            tail = source.read(piece) + tail
            at = tail.find(b'<index name="spectrum">')
            if at >= 0:
                end = tail.find(b"</index>", at)
                return tail.count(b'<offset idRef="scanId=', at, end)
            if b"<indexList" in tail:
                return 0
    raise SystemExit(f"convert: no index list in {path}")


def load_spectra(path):
    """(MS level, retention time in seconds, m/z array, intensity array) of every spectrum."""
    import numpy

    with open(path, "rb") as source:
        data = source.read()
    (count,) = struct.unpack_from("<Q", data, 0)
    at = 8
    spectra = []
    for _ in range(count):
        ms_level, seconds, points = struct.unpack_from("<IdQ", data, at)
        at += 20
        mz = numpy.frombuffer(data, dtype="<f8", count=points, offset=at)
        at += 8 * points
        intensity = numpy.frombuffer(data, dtype="<f8", count=points, offset=at)
        at += 8 * points
        spectra.append((ms_level, seconds, mz, intensity))
    return spectra


def measure_psims(spectra_path, out, name):
    import numpy
    from psims.mzml.writer import MzMLWriter

    spectra = load_spectra(spectra_path)
    encoding = {"m/z array": numpy.float64, "intensity array": numpy.float64}

    def write():
        with MzMLWriter(open(out, "wb"), close=True) as writer:
            writer.controlled_vocabularies()
            writer.file_description(["MS1 spectrum", "MSn spectrum"])
            writer.software_list([{"id": "vornak_bench", "version": "0.1.0",
                                   "params": ["custom unreleased software tool"]}])
            writer.instrument_configuration_list([
                writer.InstrumentConfiguration(id="IC1", component_list=[], params=["instrument model"])])
            writer.data_processing_list([writer.DataProcessing(
                [writer.ProcessingMethod(order=1, software_reference="vornak_bench", params=["Conversion to mzML"])],
                id="DP1")])
            with writer.run(id="vornak_bench", instrument_configuration="IC1"):
                with writer.spectrum_list(count=len(spectra)):
                    for index, (ms_level, seconds, mz, intensity) in enumerate(spectra):
                        writer.write_spectrum(
                            mz, intensity, id=f"scanId={index + 1}", centroided=ms_level >= 2,
                            scan_start_time=seconds / 60.0, params=[{"ms level": ms_level}],
                            compression="zlib", encoding=encoding)

    cpu = time.process_time()
    wall = time.perf_counter()
    write()
    wall = time.perf_counter() - wall
    cpu = time.process_time() - cpu
    size = os.path.getsize(out)
    os.unlink(out)
    emit(name=name, seconds=[wall], cpu_seconds=[cpu], output_bytes=size, spectra=len(spectra))


def main(arguments):
    command, rest = arguments[0], arguments[1:]
    if command == "convert":
        measure_convert(rest[0], rest[1], rest[2], int(rest[3]), rest[4], rest[5:])
    elif command == "convert_check":
        measure_convert_check(rest[0], rest[1], rest[2], rest[3])
    elif command == "psims":
        measure_psims(rest[0], rest[1], rest[2])
    else:
        raise SystemExit(f"unknown command {command!r}")


if __name__ == "__main__":
    main(sys.argv[1:])
