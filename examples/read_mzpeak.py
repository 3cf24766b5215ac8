"""Reads an mzPeak archive written by `vornak convert` with pyarrow alone and compares every
spectrum's points with what vornak_ms decodes from the acquisition folder.

    python examples/read_mzpeak.py FOLDER.d ARCHIVE.mzpeak
"""

import json
import sys
import zipfile

import numpy as np
import pyarrow as pa
import pyarrow.parquet as pq

import vornak_ms


def main(folder, path):
    archive = zipfile.ZipFile(path)
    index = json.loads(archive.read("mzpeak_index.json"))
    for entry in index["files"]:
        info = archive.getinfo(entry["name"])
        print(f"{entry['name']:<40} {entry['entity_type']:<13} {entry['data_kind']:<14} {info.file_size:>9} bytes")
    meta = pq.read_table(pa.BufferReader(archive.read("spectra_metadata.parquet")))
    with vornak_ms.open(folder) as acquisition:
        for member, getter in (("spectra_data.parquet", acquisition.profile),
                               ("spectra_peaks.parquet", acquisition.centroid)):
            points = pq.read_table(pa.BufferReader(archive.read(member))).column("point").combine_chunks()
            owner = points.field("spectrum_index").to_numpy() if len(points) else np.empty(0, np.uint64)
            for k, native_id in enumerate(meta.column("id").to_pylist()):
                spectrum = getter(acquisition.find_scan_id(int(native_id.split("=")[1])))
                rows = owner == k
                if spectrum is None:
                    assert not rows.any()
                    continue
                assert np.array_equal(points.field("mz").to_numpy()[rows], spectrum.mz)
                assert np.array_equal(points.field("intensity").to_numpy()[rows], spectrum.intensity)
    print(f"{meta.num_rows} spectra: every profile point and centroid equals what vornak_ms decodes")


if __name__ == "__main__":
    main(*sys.argv[1:3])
