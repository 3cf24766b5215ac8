"""Timings of the mzPeak export and of reading it back, one run each.

    python measure_mzpeak.py convert VORNAK FOLDER OUT NAME [keep]
        `vornak convert -q FOLDER -o OUT` (mzPeak when OUT ends in .mzpeak, else mzML) in a child
        process: wall-clock and CPU seconds, peak resident memory, output size; OUT is removed
        unless `keep` is given
    python measure_mzpeak.py read ARCHIVE NAME
        pyarrow reads every spectrum of an mzPeak archive into NumPy arrays (each spectrum's
        arrays of its representation: profile points or centroids)
    python measure_mzpeak.py pyarrow-writer FOLDER OUT_DIR NAME
        the other design measured: vornak_ms decodes every spectrum (two threads) and pyarrow's
        ParquetWriter writes the two signal files over those arrays, with the properties of the
        C++ writer (zstd, page index, delta and byte-stream-split encodings); no metadata tables

Each prints one JSON object on stdout.
"""

import json
import os
import shutil
import struct
import subprocess
import sys
import time
import zipfile


def emit(**fields):
    print(json.dumps(fields), flush=True)


def size_of(path):
    if os.path.isdir(path):
        return sum(os.path.getsize(os.path.join(path, name)) for name in os.listdir(path))
    return os.path.getsize(path)


def convert(vornak, folder, out, name, keep=False):
    command = [vornak, "convert", "-q", folder, "-o", out]
    wall = time.perf_counter()
    child = subprocess.Popen(command, stderr=subprocess.PIPE)
    _, status, usage = os.wait4(child.pid, 0)
    wall = time.perf_counter() - wall
    message = child.stderr.read().decode(errors="replace")
    child.stderr.close()
    if os.waitstatus_to_exitcode(status) != 0:
        raise SystemExit(f"convert: {' '.join(command)} failed:\n{message}")
    size = size_of(out)
    if not keep:
        shutil.rmtree(out) if os.path.isdir(out) else os.unlink(out)
    emit(name=name, seconds=[wall], cpu_seconds=[usage.ru_utime + usage.ru_stime],
         peak_rss_bytes=usage.ru_maxrss * 1024, output_bytes=size)


def read_spectra(path):
    """(number of spectra, points) of every spectrum's arrays of its representation."""
    import numpy as np
    import pyarrow as pa
    import pyarrow.parquet as pq

    archive = zipfile.ZipFile(path)
    mapped = pa.memory_map(str(path))

    def table(name, columns=None):
        # Stored members are read in place: a slice of the mapped file, found from the local header.
        info = archive.getinfo(name)
        name_length, extra_length = struct.unpack("<HH", mapped.read_at(4, info.header_offset + 26))
        mapped.seek(info.header_offset + 30 + name_length + extra_length)
        return pq.read_table(pa.BufferReader(mapped.read_buffer(info.file_size)), columns=columns)

    meta = table("spectra_metadata.parquet",
                 ["number_of_data_points", "number_of_peaks", "spectrum_representation"])
    spectra = 0
    points = 0
    for name, counts, term in (("spectra_data.parquet", "number_of_data_points", "MS:1000128"),
                               ("spectra_peaks.parquet", "number_of_peaks", "MS:1000127")):
        point = table(name).column("point").combine_chunks()
        mz = point.field("mz").to_numpy()
        intensity = point.field("intensity").to_numpy()
        sizes = np.nan_to_num(meta.column(counts).to_numpy(zero_copy_only=False)).astype(np.int64)
        bounds = np.cumsum(sizes)[:-1]
        chosen = np.asarray(meta.column("spectrum_representation").to_pylist()) == term
        for k, (m, i) in enumerate(zip(np.split(mz, bounds), np.split(intensity, bounds))):
            if chosen[k]:
                spectra += 1
                points += len(m)
                if len(m) != len(i):
                    raise SystemExit("read: arrays of unequal length")
    return spectra, points


def read(path, name):
    import pyarrow  # noqa: F401  (imported before the clock starts)

    cpu = time.process_time()
    wall = time.perf_counter()
    spectra, points = read_spectra(path)
    wall = time.perf_counter() - wall
    cpu = time.process_time() - cpu
    emit(name=name, seconds=[wall], cpu_seconds=[cpu], spectra=spectra, points=points)


def pyarrow_writer(folder, out, name):
    import numpy as np
    import pyarrow as pa
    import pyarrow.parquet as pq
    from concurrent.futures import ThreadPoolExecutor

    import vornak_ms

    point = pa.struct([pa.field("spectrum_index", pa.uint64(), nullable=False), ("mz", pa.float64()),
                       ("intensity", pa.float64())])
    schema = pa.schema([pa.field("point", point, nullable=False)])
    options = dict(compression="zstd", write_page_index=True, use_dictionary=False,
                   column_encoding={"point.spectrum_index": "DELTA_BINARY_PACKED",
                                    "point.mz": "BYTE_STREAM_SPLIT", "point.intensity": "BYTE_STREAM_SPLIT"})
    os.makedirs(out, exist_ok=True)
    cpu = time.process_time()
    wall = time.perf_counter()
    with vornak_ms.open(folder) as acquisition, \
            pq.ParquetWriter(os.path.join(out, "spectra_data.parquet"), schema, **options) as data, \
            pq.ParquetWriter(os.path.join(out, "spectra_peaks.parquet"), schema, **options) as peaks, \
            ThreadPoolExecutor(2) as pool:
        def decode(i):
            spectra = [acquisition.profile(i), acquisition.centroid(i)]
            for spectrum in spectra:
                if spectrum is not None:
                    len(spectrum)  # decodes the block, with the thread detached
            return i, *spectra

        # Batches are gathered into row groups of about a million rows, as the C++ writer makes.
        pending = {id(data): [], id(peaks): []}

        def flush(writer, limit):
            batches = pending[id(writer)]
            if batches and sum(len(b) for b in batches) >= limit:
                writer.write_table(pa.Table.from_batches(batches), row_group_size=1 << 20)
                batches.clear()

        for i, profile, centroid in pool.map(decode, range(len(acquisition))):
            for spectrum, writer in ((profile, data), (centroid, peaks)):
                if spectrum is None or len(spectrum) == 0:
                    continue
                mz, intensity = spectrum.mz, spectrum.intensity
                index = pa.array(np.full(len(mz), i, dtype=np.uint64))
                rows = pa.StructArray.from_arrays([index, pa.array(mz), pa.array(intensity)], fields=list(point))
                pending[id(writer)].append(pa.record_batch([rows], schema=schema))
                flush(writer, 1 << 20)
        flush(data, 1)
        flush(peaks, 1)
    wall = time.perf_counter() - wall
    cpu = time.process_time() - cpu
    size = size_of(out)
    shutil.rmtree(out)
    emit(name=name, seconds=[wall], cpu_seconds=[cpu], output_bytes=size)


def main(arguments):
    command, rest = arguments[0], arguments[1:]
    if command == "convert":
        convert(rest[0], rest[1], rest[2], rest[3], keep=len(rest) > 4 and rest[4] == "keep")
    elif command == "read":
        read(rest[0], rest[1])
    elif command == "pyarrow-writer":
        pyarrow_writer(rest[0], rest[1], rest[2])
    else:
        raise SystemExit(f"unknown command {command!r}")


if __name__ == "__main__":
    main(sys.argv[1:])
