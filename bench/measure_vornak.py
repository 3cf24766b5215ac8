"""Timings of the vornak module, one kind of measurement per run of this file.

    python measure_vornak.py open FOLDER
    python measure_vornak.py open_lists FOLDER
    python measure_vornak.py threads sequential|parallel FOLDER_A FOLDER_B
    python measure_vornak.py rss FOLDER
    python measure_vornak.py lists FOLDER REPEATS
    python measure_vornak.py export FOLDER OUT_FILE

Each prints one JSON object on stdout. Times are wall-clock seconds from perf_counter, with
the process's CPU seconds beside them. Opening is timed once per process, in an interpreter
that has not allocated anything big yet (the state a program is in when it opens its first
acquisition); scripts/bench.sh repeats such runs. `lists` repeats inside the process after one
untimed warm-up. Objects made inside a timed stretch are released outside it.
scripts/bench.sh runs this file with the free-threaded interpreter of its virtual environment.
"""

import array
import json
import struct
import sys
import threading
import time

import vornak


def emit(**fields):
    print(json.dumps(fields), flush=True)


def timed(function):
    """Wall and CPU seconds of one call, and its result."""
    cpu = time.process_time()
    wall = time.perf_counter()
    result = function()
    wall = time.perf_counter() - wall
    cpu = time.process_time() - cpu
    return wall, cpu, result


def measure_open(folder):
    wall, cpu, reader = timed(lambda: vornak.RawReader(folder))
    del reader
    emit(name="open", seconds=[wall], cpu_seconds=[cpu])


def open_and_read_lists(folder):
    """RawReader(folder), then both lists of every spectrum, each dropped once read."""
    reader = vornak.RawReader(folder)
    for index in range(reader.scan_count):
        spectrum = reader.read_spectrum(index)
        mz = spectrum.mz
        intensity = spectrum.intensity
    del mz, intensity, spectrum
    return reader


def measure_open_lists(folder):
    wall, cpu, reader = timed(lambda: open_and_read_lists(folder))
    del reader
    emit(name="open_lists", seconds=[wall], cpu_seconds=[cpu])


def sample_indices(reader, wanted=40):
    """About `wanted` profile spectra and as many peak lists, spread over the acquisition."""
    lengths = [len(reader.read_spectrum(index)) for index in range(reader.scan_count)]
    longest = max(lengths, default=0)
    long_ones = [index for index, length in enumerate(lengths) if length == longest and length > 0]
    short_ones = [index for index, length in enumerate(lengths) if 0 < length < longest]
    picked = []
    for group in (long_ones, short_ones):
        step = max(1, len(group) // wanted)
        picked.extend(group[::step][:wanted])
    return sorted(picked)


def measure_lists(folder, repeats):
    """read_spectrum(i) plus .mz and .intensity, against array.tolist() of arrays as long."""
    reader = vornak.RawReader(folder)
    indices = sample_indices(reader)
    doubles = [array.array("d", reader.read_spectrum(index).mz) for index in indices]
    floats = [array.array("f", reader.read_spectrum(index).intensity) for index in indices]
    pairs = list(zip(doubles, floats))

    def ours():
        for index in indices:
            spectrum = reader.read_spectrum(index)
            mz = spectrum.mz
            intensity = spectrum.intensity
        return mz, intensity

    def baseline():
        for mz_array, intensity_array in pairs:
            mz = mz_array.tolist()
            intensity = intensity_array.tolist()
        return mz, intensity

    ours()
    baseline()
    samples = {"ours": ([], []), "tolist": ([], [])}
    for repeat in range(repeats):
        order = (("ours", ours), ("tolist", baseline))
        for name, function in order if repeat % 2 == 0 else order[::-1]:
            wall, cpu, result = timed(function)
            del result
            samples[name][0].append(wall)
            samples[name][1].append(cpu)
    points = sum(len(values) for values in doubles)
    emit(name="lists", spectra=len(indices), points=points,
         ours=samples["ours"][0], ours_cpu=samples["ours"][1],
         tolist=samples["tolist"][0], tolist_cpu=samples["tolist"][1])


def measure_threads(mode, folder_a, folder_b):
    """Two acquisitions opened one after the other, or in two threads at once."""
    if sys._is_gil_enabled():
        raise SystemExit("threads: the interpreter runs with the GIL; a free-threaded one is needed")
    folders = (folder_a, folder_b)
    if mode == "sequential":
        wall, cpu, readers = timed(lambda: [vornak.RawReader(folder) for folder in folders])
    else:
        readers = [None, None]
        start = threading.Barrier(3)

        def open_one(slot):
            start.wait()
            readers[slot] = vornak.RawReader(folders[slot])

        threads = [threading.Thread(target=open_one, args=(slot,)) for slot in range(2)]
        for thread in threads:
            thread.start()
        start.wait()
        cpu = time.process_time()
        wall = time.perf_counter()
        for thread in threads:
            thread.join()
        wall = time.perf_counter() - wall
        cpu = time.process_time() - cpu
    if any(reader is None or reader.scan_count == 0 for reader in readers):
        raise SystemExit("threads: an acquisition did not open")
    del readers
    emit(name="threads_" + mode, seconds=[wall], cpu_seconds=[cpu])


def status_kib(field):
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    raise SystemExit(f"rss: no {field} in /proc/self/status")


def measure_rss(folder):
    """Peak resident memory that one RawReader adds, in a process that has done nothing else."""
    before = status_kib("VmHWM")
    reader = vornak.RawReader(folder)
    after = status_kib("VmHWM")
    points = sum(len(reader.read_spectrum(index)) for index in range(reader.scan_count))
    emit(name="rss", added_bytes=(after - before) * 1024, array_bytes=12 * points,
         hwm_before_bytes=before * 1024, hwm_after_bytes=after * 1024)


def export(folder, out_file):
    """Every spectrum as the peer writer reads it: a count, then per spectrum the MS level,
    the retention time in seconds, the point count, the m/z values and the intensities as
    little-endian float64."""
    reader = vornak.RawReader(folder)
    with open(out_file, "wb") as out:
        out.write(struct.pack("<Q", reader.scan_count))
        for index in range(reader.scan_count):
            spectrum = reader.read_spectrum(index)
            out.write(struct.pack("<IdQ", spectrum.ms_level, spectrum.retention_time_sec, len(spectrum)))
            out.write(array.array("d", spectrum.mz).tobytes())
            out.write(array.array("d", spectrum.intensity).tobytes())
    emit(name="export", spectra=reader.scan_count)


def main(arguments):
    if sys.byteorder != "little":
        raise SystemExit("the export format assumes a little-endian machine")
    command, rest = arguments[0], arguments[1:]
    if command == "open":
        measure_open(rest[0])
    elif command == "open_lists":
        measure_open_lists(rest[0])
    elif command == "lists":
        measure_lists(rest[0], int(rest[1]))
    elif command == "threads" and rest[0] in ("sequential", "parallel"):
        measure_threads(rest[0], rest[1], rest[2])
    elif command == "rss":
        measure_rss(rest[0])
    elif command == "export":
        export(rest[0], rest[1])
    else:
        raise SystemExit(f"unknown command {command!r}")


if __name__ == "__main__":
    main(sys.argv[1:])
