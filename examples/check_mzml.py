"""Read an mzML file written by `vornak convert` back and compare it with the acquisition.

    python examples/check_mzml.py PATH/TO/run.d PATH/TO/run.mzML

Uses only the standard library and NumPy on the mzML side: the spectrum offsets of the index,
then each spectrum's base64 (and zlib) arrays, against the arrays vornak_ms decodes.
"""

import base64
import re
import sys
import xml.etree.ElementTree as ElementTree
import zlib

import numpy as np

import vornak_ms

ARRAY_TERMS = {"MS:1000514": "mz", "MS:1000515": "intensity"}
TYPES = {"MS:1000523": np.float64, "MS:1000521": np.float32}


def spectrum_offsets(data: bytes) -> dict:
    """The byte offset of every spectrum, by native id, from the file's own index."""
    index_at = int(re.search(rb"<indexListOffset>(\d+)</indexListOffset>", data).group(1))
    index = ElementTree.fromstring(data[index_at:data.index(b"</indexList>") + len(b"</indexList>")])
    # A fragment cut from the file: its elements carry no namespace.
    spectra = index.find("index[@name='spectrum']")
    return {entry.get("idRef"): int(entry.text) for entry in spectra}


def arrays_at(data: bytes, offset: int) -> tuple:
    end = data.index(b"</spectrum>", offset) + len(b"</spectrum>")
    element = ElementTree.fromstring(data[offset:end])
    arrays = {}
    for binary in element.iterfind(".//binaryDataArray"):
        accessions = {param.get("accession") for param in binary.iterfind("cvParam")}
        raw = base64.b64decode(binary.find("binary").text or "")
        if "MS:1000574" in accessions:  # zlib compression
            raw = zlib.decompress(raw)
        dtype = next(TYPES[a] for a in accessions if a in TYPES)
        name = next(ARRAY_TERMS[a] for a in accessions if a in ARRAY_TERMS)
        arrays[name] = np.frombuffer(raw, dtype=dtype)
    return element.get("id"), arrays["mz"], arrays["intensity"]


def main(folder: str, mzml: str) -> None:
    data = open(mzml, "rb").read()
    offsets = spectrum_offsets(data)
    with vornak_ms.open(folder) as acquisition:
        for spectrum in acquisition:
            native_id, mz, intensity = arrays_at(data, offsets[spectrum.native_id])
            assert native_id == spectrum.native_id, (native_id, spectrum.native_id)
            assert np.array_equal(mz, spectrum.mz) and np.array_equal(intensity, spectrum.intensity), native_id
        print(f"{mzml}: {len(offsets)} spectra, each found at its indexed offset and equal to "
              f"what vornak_ms reads from {folder}")


if __name__ == "__main__":
    if len(sys.argv) != 3:
        sys.exit(__doc__)
    main(sys.argv[1], sys.argv[2])
