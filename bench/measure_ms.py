"""Timings and memory of the vornak_ms module, one kind of measurement per run of this file.

    python measure_ms.py open_arrays FOLDER NAME   vornak_ms.open + every spectrum's arrays, once
    python measure_ms.py arrays FOLDER REPEATS     every spectrum's arrays (open excluded)
    python measure_ms.py xic FOLDER REPEATS        XIC of 100 targets over every scan, one thread
    python measure_ms.py threads FOLDER REPEATS    every spectrum on one thread, and the two
                                                   halves on two threads
    python measure_ms.py rss FOLDER SMALL_FOLDER   peak memory added by open and by a TIC pass
    python measure_ms.py export FOLDER OUT_FILE    every spectrum for the peers' mzML writer
    python measure_ms.py sample FOLDER COUNT       m/z arrays of COUNT spectra spread over the
                                                   acquisition, as JSON, for agreement checks

Each prints JSON objects on stdout, one per line, named as run_bench.py reads them. Repeated
measurements follow one untimed warm-up pass; objects made inside a timed stretch are released
outside it. Run with the free-threaded interpreter that has vornak_ms.
"""

import json
import struct
import sys
import threading
import time
from pathlib import Path

import numpy as np

import vornak_ms

XIC_TARGETS = 100
XIC_PPM = 20.0


def emit(**fields):
    print(json.dumps(fields), flush=True)


def timed(function):
    cpu = time.process_time()
    wall = time.perf_counter()
    result = function()
    wall = time.perf_counter() - wall
    cpu = time.process_time() - cpu
    return wall, cpu, result


def read_arrays(acquisition, indices):
    """Each spectrum's two arrays, dropped once read; the number of points."""
    points = 0
    for index in indices:
        spectrum = acquisition[index]
        mz = spectrum.mz
        intensity = spectrum.intensity
        points += len(mz)
        del intensity
    return points


def repeated(name, repeats, function, **extra):
    function()
    walls, cpus = [], []
    for _ in range(repeats):
        wall, cpu, result = timed(function)
        del result
        walls.append(wall)
        cpus.append(cpu)
    emit(name=name, seconds=walls, cpu_seconds=cpus, **extra)


def measure_open_arrays(folder, name):
    def run():
        acquisition = vornak_ms.open(folder)
        return len(acquisition), read_arrays(acquisition, range(len(acquisition)))

    wall, cpu, (spectra, points) = timed(run)
    emit(name=name, seconds=[wall], cpu_seconds=[cpu], spectra=spectra, points=points)


def measure_arrays(folder, repeats):
    acquisition = vornak_ms.open(folder)
    everything = range(len(acquisition))
    repeated("ms_arrays", repeats, lambda: read_arrays(acquisition, everything),
             points=read_arrays(acquisition, everything))


def xic_targets(acquisition):
    """100 m/z values spread over the m/z range of the first MS1 spectrum."""
    first = acquisition[int(acquisition.select(ms_level=1)[0])]
    return np.linspace(first.mz[0], first.mz[-1], XIC_TARGETS + 2)[1:-1]


def measure_xic(folder, repeats):
    acquisition = vornak_ms.open(folder)
    targets = xic_targets(acquisition)
    repeated("ms_xic100", repeats, lambda: acquisition.xic(targets, ppm=XIC_PPM, threads=1))


def measure_threads(folder, repeats):
    """Every spectrum read on one thread, against the two halves read on two threads at once."""
    if sys._is_gil_enabled():
        raise SystemExit("threads: the interpreter runs with the GIL; a free-threaded one is needed")
    acquisition = vornak_ms.open(folder)
    count = len(acquisition)
    halves = (range(0, count, 2), range(1, count, 2))  # interleaved, so both get MS1 and MS2 alike

    def two_threads():
        start = threading.Barrier(2)

        def work(indices):
            start.wait()
            read_arrays(acquisition, indices)

        helper = threading.Thread(target=work, args=(halves[1],))
        helper.start()
        work(halves[0])
        helper.join()

    samples = {"ms_read_one_thread": ([], []), "ms_read_two_threads": ([], [])}
    order = (("ms_read_one_thread", lambda: read_arrays(acquisition, range(count))),
             ("ms_read_two_threads", two_threads))
    for _, function in order:
        function()
    for repeat in range(repeats):
        for name, function in order if repeat % 2 == 0 else order[::-1]:
            wall, cpu, result = timed(function)
            del result
            samples[name][0].append(wall)
            samples[name][1].append(cpu)
    for name, (walls, cpus) in samples.items():
        emit(name=name, seconds=walls, cpu_seconds=cpus)


def status_kib(field):
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    raise SystemExit(f"rss: no {field} in /proc/self/status")


def measure_rss(folder, small_folder):
    """Peak resident memory that vornak_ms.open adds, and then a full TIC pass (all cores). A
    small acquisition is opened and read first, so that what any first use costs (NumPy's start,
    the module's code pages) is not counted as the acquisition's."""
    small = vornak_ms.open(small_folder)
    small.tic()
    small[0].mz
    small.close()
    del small
    before = status_kib("VmHWM")
    acquisition = vornak_ms.open(folder)
    opened = status_kib("VmHWM")
    tic = acquisition.tic()
    after = status_kib("VmHWM")
    index_bytes = (Path(folder) / "AcqData" / "MSScan.bin").stat().st_size
    emit(name="ms_rss", open_added_bytes=(opened - before) * 1024, index_bytes=index_bytes,
         tic_added_bytes=(after - opened) * 1024, scans=len(tic))


def export(folder, out_file):
    """The format measure_vornak.py export writes (see peers.py)."""
    acquisition = vornak_ms.open(folder)
    with open(out_file, "wb") as out:
        out.write(struct.pack("<Q", len(acquisition)))
        for spectrum in acquisition:
            out.write(struct.pack("<IdQ", spectrum.ms_level, spectrum.retention_time, len(spectrum)))
            out.write(np.ascontiguousarray(spectrum.mz, dtype="<f8").tobytes())
            out.write(np.ascontiguousarray(spectrum.intensity, dtype="<f8").tobytes())
    emit(name="export", spectra=len(acquisition))


def sample(folder, count):
    """The m/z and intensity arrays of `count` spectra spread evenly over the acquisition."""
    acquisition = vornak_ms.open(folder)
    indices = np.linspace(0, len(acquisition) - 1, count).round().astype(int).tolist()
    spectra = {str(i): {"kind": acquisition[i].kind, "ms_level": acquisition[i].ms_level,
                        "retention_time": acquisition[i].retention_time,
                        "mz": acquisition[i].mz.tolist(), "intensity": acquisition[i].intensity.tolist()}
               for i in sorted(set(indices))}
    print(json.dumps({"name": "ms_sample", "spectra": spectra}), flush=True)


def main(arguments):
    command, rest = arguments[0], arguments[1:]
    if command == "open_arrays":
        measure_open_arrays(rest[0], rest[1])
    elif command == "arrays":
        measure_arrays(rest[0], int(rest[1]))
    elif command == "xic":
        measure_xic(rest[0], int(rest[1]))
    elif command == "threads":
        measure_threads(rest[0], int(rest[1]))
    elif command == "rss":
        measure_rss(rest[0], rest[1])
    elif command == "export":
        export(rest[0], rest[1])
    elif command == "sample":
        sample(rest[0], int(rest[1]))
    else:
        raise SystemExit(f"unknown command {command!r}")


if __name__ == "__main__":
    main(sys.argv[1:])
