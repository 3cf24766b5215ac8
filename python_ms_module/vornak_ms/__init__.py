"""NumPy arrays, random access and chromatograms from LC/MS acquisition folders.

    import vornak_ms
    with vornak_ms.open("sample.d") as acquisition:
        spectrum = acquisition[0]
        spectrum.mz, spectrum.intensity          # read-only float64 arrays, no copy
        tic = acquisition.tic(ms_level=1)        # decoded in C++ on every core
        table = acquisition.points(0, 100)       # pyarrow.Table over the same buffers

The compiled core is vornak_ms._core; everything public is re-exported here. pyarrow is needed
only by the Arrow tables and the mzPeak writer, and imported only when they are used.
"""

import os as _os

from vornak_ms._core import (
    Acquisition as Acquisition,
    BlockError as BlockError,
    Chromatogram as Chromatogram,
    Error as Error,
    FolderError as FolderError,
    ScanIndexError as ScanIndexError,
    Spectrum as Spectrum,
    open as open,
    __version__ as __version__,
)

__all__ = [
    "Acquisition",
    "BlockError",
    "Chromatogram",
    "Error",
    "FolderError",
    "ScanIndexError",
    "Spectrum",
    "open",
]


def _pyarrow(what):
    try:
        import pyarrow
    except ImportError:
        raise ImportError(f"{what} needs pyarrow, which is not installed (pip install pyarrow)") from None
    return pyarrow


def _points(self, start=None, stop=None, *, kind="auto", threads=None):
    """The points of spectra start..stop (slice semantics) as one pyarrow.Table with the columns
    spectrum_index (uint64), mz and intensity (float64). Each spectrum is one chunk whose m/z and
    intensity buffers are the decoded ones (no copy; the table keeps them alive). kind: 'auto'
    (acquisition[i]), 'profile' or 'centroid' (scans without such a block are left out).
    Spectra are decoded on `threads` threads (None: one per core); a damaged block raises
    BlockError."""
    _pyarrow("Acquisition.points()")
    from concurrent.futures import ThreadPoolExecutor

    getters = {"auto": self.spectrum, "profile": self.profile, "centroid": self.centroid}
    if kind not in getters:
        raise ValueError("kind must be 'auto', 'profile' or 'centroid'")
    if threads is not None and threads < 1:
        raise ValueError("threads must be at least 1")
    indices = range(len(self))[slice(start, stop)]
    spectra = [s for s in map(getters[kind], indices) if s is not None]
    # Decoding detaches from the interpreter, so threads decode in parallel.
    with ThreadPoolExecutor(max_workers=threads or _os.cpu_count() or 1) as pool:
        list(pool.map(len, spectra))
    return _points_table(spectra)


def _points_table(spectra):
    """One table over the arrays of `spectra`, one chunk per non-empty spectrum."""
    pa = _pyarrow("Acquisition.points()")
    import numpy as np

    index_chunks, mz_chunks, intensity_chunks = [], [], []
    for spectrum in spectra:
        mz, intensity = spectrum.mz, spectrum.intensity
        if len(mz) == 0:
            continue
        index_chunks.append(pa.array(np.full(len(mz), spectrum.index, dtype=np.uint64)))
        mz_chunks.append(pa.array(mz))
        intensity_chunks.append(pa.array(intensity))
    return pa.Table.from_arrays(
        [pa.chunked_array(index_chunks, pa.uint64()), pa.chunked_array(mz_chunks, pa.float64()),
         pa.chunked_array(intensity_chunks, pa.float64())],
        names=["spectrum_index", "mz", "intensity"])


Acquisition.points = _points

try:
    from vornak_ms._core import convert as _convert_mzml
except ImportError:  # a build without the mzML writer
    _convert_mzml = None


def _mzpeak_writer():
    pyarrow = _pyarrow("vornak_ms.convert(format='mzpeak')")
    try:
        from vornak_ms import _mzpeak
    except ImportError as error:
        raise ImportError(
            "this vornak_ms has no mzPeak writer, or one built against another pyarrow than the "
            f"installed {pyarrow.__version__} ({error}); reinstall it as the README says") from error
    return _mzpeak


def convert(path, out, *, format=None, directory=False, compress=True, compression="default", numpress=False,
            intensity_bits=64, trim_zeros=False, centroid_only=False, srm_as_spectra=False, threads=None,
            _force_zip64=False):
    """Writes the acquisition at `path` to `out`, under a temporary name renamed when complete.

    format: 'mzml' (indexed mzML) or 'mzpeak' (an mzPeak archive: a ZIP of stored Parquet members,
    or with directory=True the same members in a directory); None: 'mzpeak' when `out` ends in
    '.mzpeak' or '/', or directory=True, else 'mzml'. mzPeak needs pyarrow. compress, compression
    ('fast', 'default', 'small' or 'none'), numpress, intensity_bits, centroid_only and
    srm_as_spectra apply to mzML only; trim_zeros keeps only non-zero profile points and their zero
    neighbours. MRM and SIM records of triple-quadrupole runs are written as SRM/SIM chromatograms
    (with srm_as_spectra=True, as spectra too). Damaged scans are left out and listed in the returned summary
    ('damaged': [(index, scan_id, reason)]). Raises FolderError or ScanIndexError when the folder
    cannot be opened, Error when the output cannot be written.
    """
    text = _os.fspath(out)
    if format is None:
        mzpeak = directory or text.lower().endswith(".mzpeak") or text.endswith(("/", _os.sep))
        format = "mzpeak" if mzpeak else "mzml"
    if format == "mzml":
        if directory:
            raise ValueError("directory=True applies to mzPeak only")
        if _convert_mzml is None:
            raise Error("this vornak_ms was built without the mzML writer")
        return _convert_mzml(path, out, compress=compress, compression=compression, numpress=numpress,
                             intensity_bits=intensity_bits, trim_zeros=trim_zeros, centroid_only=centroid_only,
                             srm_as_spectra=srm_as_spectra, threads=threads)
    if format != "mzpeak":
        raise ValueError("format must be 'mzml' or 'mzpeak'")
    if not compress or compression != "default" or numpress or intensity_bits != 64 or centroid_only \
            or srm_as_spectra:
        raise ValueError("compress, compression, numpress, intensity_bits, centroid_only and srm_as_spectra "
                         "apply to mzML only")
    summary, failure = _mzpeak_writer().convert(
        _os.fspath(path), text, bool(directory or text.endswith(("/", _os.sep))), bool(trim_zeros),
        threads, bool(_force_zip64))
    if failure is not None:
        where, message = failure
        raise {"folder": FolderError, "scan-index": ScanIndexError}.get(where, Error)(message)
    return summary


__all__.append("convert")
