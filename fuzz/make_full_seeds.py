#!/usr/bin/env python3
"""Seeds of the full_acquisition fuzz target: real acquisitions cut down to a few records and
the block bytes those records use, and small synthetic folders in the instruments' layouts.

    fuzz/make_full_seeds.py CORPUS_DIR REALDATA_DIR [SYNTHETIC_FOLDER...]
"""
import struct
import sys
from pathlib import Path

FILES = ["MSScan.bin", "MSScan.xsd", "MSPeak.bin", "MSProfile.bin",
         "MSMassCal.bin", "DefaultMassCal.xml", "Devices.xml", "Contents.xml",
         "MSTS.xml", "IMSFrame.bin", "IMSFrame.xsd", "IMSFrameMeth.xml",
         "../MSTS_XAddition.xml"]  # as fuzz/acquisition_input.hpp lists them
LIMIT = 96 * 1024  # bytes kept of each block file


ABSENT = 0xFFFFFFFF


def join(files):
    out = bytearray()
    for name in FILES:
        content = files.get(name)
        if content is None:
            out += struct.pack("<I", ABSENT)
        else:
            out += struct.pack("<I", len(content)) + content
    return bytes(out)


def read_folder(folder, records=None):
    acq = Path(folder) / "AcqData"
    files = {name: (acq / name).read_bytes() for name in FILES if (acq / name).exists()}
    scan = files.get("MSScan.bin")
    if scan and records is not None and (acq / "MSScan.xsd").exists():
        # Keep the header and the first records; the stride follows from the file's size
        # only when the records are known, so cut at a whole number of them.
        data_offset = struct.unpack_from("<I", scan, 88)[0]
        stride = records[1]
        files["MSScan.bin"] = scan[: data_offset + stride * records[0]]
    for name in ("MSPeak.bin", "MSProfile.bin"):
        if name in files:
            files[name] = files[name][:LIMIT]
    return files


def main():
    corpus, realdata = Path(sys.argv[1]), Path(sys.argv[2])
    corpus.mkdir(parents=True, exist_ok=True)
    cuts = {"gold.D": (3, 256), "copper.D": (4, 256), "black.D": (3, 274), "yellow.D": (12, 184),
            "silver.D": (12, 136), "magenta.D": (1, 220)}
    for name, records in cuts.items():
        if not (realdata / name).exists():
            continue
        files = read_folder(realdata / name, records)
        (corpus / f"realdata-{name[:-2].lower()}").write_bytes(join(files))
    # The second set (triple quads, ion mobility), beside the first; only folders whose
    # licence lets cuts of them be committed (Apache-2.0).
    realdata2 = realdata.parent / "realdata2"
    cuts2 = {"ochre.D": (24, 184), "coral.D": (3, 184), "plum.D": (14, 106)}
    for name, records in cuts2.items():
        if not (realdata2 / name).exists():
            continue
        files = read_folder(realdata2 / name, records)
        (corpus / f"realdata2-{name[:-2].lower()}").write_bytes(join(files))
    for folder in sys.argv[3:]:
        files = read_folder(folder)
        (corpus / f"synthetic-{Path(folder).name}").write_bytes(join(files))


if __name__ == "__main__":
    main()
