"""Open an acquisition with vornak and look at its spectra.

    python examples/read_acquisition.py PATH/TO/run.d
"""

import sys

import vornak


def main(path: str) -> None:
    reader = vornak.RawReader(path)
    print(reader)
    print(f"{reader.scan_count} spectra")
    for index in range(min(reader.scan_count, 5)):
        spectrum = reader.read_spectrum(index)
        mz = spectrum.mz
        intensity = spectrum.intensity
        line = f"  [{index}] {spectrum} MS{spectrum.ms_level}"
        if mz:
            top = max(range(len(mz)), key=intensity.__getitem__)
            line += f", m/z {mz[0]:.4f}..{mz[-1]:.4f}, base peak {intensity[top]:.0f} at m/z {mz[top]:.4f}"
        print(line)


if __name__ == "__main__":
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    main(sys.argv[1])
