"""The two independent readers of acquisition folders on PyPI, as yardsticks for vornak_ms.

    python readers.py read rainbow|openreadout FOLDER     every spectrum's arrays, timed
    python readers.py export openreadout FOLDER OUT.mzML  openreadout's own mzML export (which
                                                          reads its output back and verifies it),
                                                          timed; OUT.mzML is removed afterwards
    python readers.py sample rainbow|openreadout FOLDER SAMPLE.json
                                                          the spectra of SAMPLE.json (written by
                                                          measure_ms.py sample) checked against
                                                          this reader's: m/z within 1e-6 Da

scripts/bench.sh runs this file with the machine's python3 in build/bench-readers-venv, where
rainbow-api (with its LZF extra) and openreadout are installed; neither is a dependency of
vornak. `read` times one pass after the imports and prints one JSON object, like peers.py.
rainbow needs every record to have a profile block (one flight-time axis for the run), so its
folder is written with MS2 profiles; openreadout returns profiles without their zero runs.
"""

import json
import sys
import time

import numpy as np

MZ_TOLERANCE = 1e-6


def rainbow_spectra(folder):
    """(index, m/z, intensity) of every scan, from rainbow's per-scan profile representation."""
    import rainbow

    directory = rainbow.read(folder, hrms=True)
    files = [datafile for datafile in directory.datafiles if hasattr(datafile, "scan")]
    if not files:
        raise SystemExit(f"rainbow read no MS profile data from {folder}")
    index = 0
    for datafile in files:
        for row in range(len(datafile.xlabels)):
            mz, intensity = datafile.scan(row)
            yield index, mz, intensity
            index += 1


def openreadout_spectra(folder):
    """(index, m/z, intensity) of every spectrum until the reader says there is no next one."""
    import openreadout

    with openreadout.File(folder) as source:
        index = 0
        while True:
            try:
                spectrum = source.read_spectrum(index)
            except openreadout.UsageError:  # past the last spectrum
                return
            yield index, spectrum["mz"], spectrum["intensity"]
            index += 1


READERS = {"rainbow": rainbow_spectra, "openreadout": openreadout_spectra}


def version_of(tool):
    from importlib.metadata import version

    return version({"rainbow": "rainbow-api", "openreadout": "openreadout"}[tool])


def read(tool, folder):
    READERS[tool]  # noqa: B018  (an unknown tool fails before the clock starts)
    __import__(tool)
    cpu = time.process_time()
    wall = time.perf_counter()
    spectra = 0
    points = 0
    for _, mz, intensity in READERS[tool](folder):
        if len(mz) != len(intensity):
            raise SystemExit(f"{tool}: arrays of unequal length in spectrum {spectra}")
        spectra += 1
        points += len(mz)
    wall = time.perf_counter() - wall
    cpu = time.process_time() - cpu
    print(json.dumps({"name": tool, "seconds": [wall], "cpu_seconds": [cpu], "spectra": spectra,
                      "points": points, "version": version_of(tool)}), flush=True)


def sample(tool, folder, sample_path):
    """Every point this reader returns for the sampled spectra lies on one of ours: same m/z
    within MZ_TOLERANCE and the same intensity. A reader that leaves out zero runs returns a
    subset; every non-zero point of ours must be among its points."""
    with open(sample_path) as source:
        ours = json.load(source)["spectra"]
    wanted = {int(index) for index in ours}
    checked = 0
    worst = 0.0
    for index, mz, intensity in READERS[tool](folder):
        if index not in wanted:
            continue
        expected = ours[str(index)]
        our_mz = np.asarray(expected["mz"])
        our_intensity = np.asarray(expected["intensity"])
        theirs_mz = np.asarray(mz, dtype=np.float64)
        theirs_intensity = np.asarray(intensity, dtype=np.float64)
        # Our m/z values ascend: the first one not below theirs - tolerance is the match.
        at = np.searchsorted(our_mz, theirs_mz - MZ_TOLERANCE)
        if (at >= len(our_mz)).any():
            raise SystemExit(f"{tool}: spectrum {index} has points past the end of vornak_ms's")
        difference = np.abs(our_mz[at] - theirs_mz)
        if len(difference) and difference.max() > MZ_TOLERANCE:
            raise SystemExit(f"{tool}: spectrum {index}: m/z differs by {difference.max():.3g} Da")
        if not np.array_equal(our_intensity[at], theirs_intensity):
            raise SystemExit(f"{tool}: spectrum {index}: intensities differ")
        if np.count_nonzero(our_intensity) != np.count_nonzero(theirs_intensity):
            raise SystemExit(f"{tool}: spectrum {index}: a different number of non-zero points")
        worst = max(worst, float(difference.max()) if len(difference) else 0.0)
        checked += 1
    if checked != len(wanted):
        raise SystemExit(f"{tool}: read {checked} of the {len(wanted)} sampled spectra")
    print(json.dumps({"name": f"{tool}_agreement", "spectra": checked, "max_mz_difference": worst}), flush=True)


def export(tool, folder, out):
    if tool != "openreadout":
        raise SystemExit(f"{tool} has no mzML export")
    import os

    import openreadout

    cpu = time.process_time()
    wall = time.perf_counter()
    report = openreadout.export(folder, out, to="mzml", overwrite=True)
    wall = time.perf_counter() - wall
    cpu = time.process_time() - cpu
    size = os.path.getsize(out)
    os.unlink(out)
    if not report.get("verified"):
        raise SystemExit(f"openreadout did not verify its export of {folder}: {report}")
    print(json.dumps({"name": f"{tool}_export", "seconds": [wall], "cpu_seconds": [cpu],
                      "spectra": report["spectra_written"], "points": report["points_written"],
                      "output_bytes": size, "version": version_of(tool)}), flush=True)


def main(arguments):
    command, tool = arguments[0], arguments[1]
    if tool not in READERS:
        raise SystemExit(f"unknown reader {tool!r}")
    if command == "read":
        read(tool, arguments[2])
    elif command == "sample":
        sample(tool, arguments[2], arguments[3])
    elif command == "export":
        export(tool, arguments[2], arguments[3])
    else:
        raise SystemExit(f"unknown command {command!r}")


if __name__ == "__main__":
    main(sys.argv[1:])
