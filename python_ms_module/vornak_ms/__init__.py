"""NumPy arrays, random access and chromatograms from LC/MS acquisition folders.

    import vornak_ms
    with vornak_ms.open("sample.d") as acquisition:
        spectrum = acquisition[0]
        spectrum.mz, spectrum.intensity          # read-only float64 arrays, no copy
        tic = acquisition.tic(ms_level=1)        # decoded in C++ on every core

The compiled core is vornak_ms._core; everything public is re-exported here.
"""

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

try:
    from vornak_ms._core import convert as convert
except ImportError:  # a build without the mzML writer
    pass
else:
    __all__.append("convert")
