"""Plot the TIC of an acquisition and its most intense MS1 spectrum with vornak_ms and matplotlib.

    python examples/plot_tic.py PATH/TO/run.d [OUT.png]      (default OUT: build/demo-tic.png)

Without matplotlib it prints the numbers it would have plotted.
"""

import pathlib
import sys

import numpy as np

import vornak_ms


def main(path: str, out: str) -> None:
    with vornak_ms.open(path) as acquisition:
        print(acquisition)
        tic = acquisition.tic(ms_level=1)  # decoded in C++ on every core
        apex = int(tic.scan_index[np.argmax(tic.intensity)])
        spectrum = acquisition[apex]
        mz, intensity = spectrum.mz, spectrum.intensity  # NumPy views of the decoded block
    print(f"TIC over {len(tic)} MS1 scans, {tic.retention_time[0]:.1f}-{tic.retention_time[-1]:.1f} s; "
          f"apex at scan {apex} ({spectrum.retention_time:.1f} s), {len(mz)} {spectrum.kind} points, "
          f"base peak m/z {mz[np.argmax(intensity)]:.4f}")

    try:
        import matplotlib
    except ImportError:
        print("matplotlib is not installed: no plot")
        return
    matplotlib.use("Agg")
    from matplotlib import pyplot

    figure, (top, bottom) = pyplot.subplots(2, 1, figsize=(9, 6), layout="constrained")
    top.plot(tic.retention_time / 60.0, tic.intensity, linewidth=0.8)
    top.set(title=f"{acquisition.name}: TIC (MS1)", xlabel="retention time (min)", ylabel="intensity")
    bottom.plot(mz, intensity, linewidth=0.6)
    bottom.set(title=f"scan {apex} at {spectrum.retention_time / 60.0:.2f} min ({spectrum.kind})",
               xlabel="m/z", ylabel="intensity")
    pathlib.Path(out).parent.mkdir(parents=True, exist_ok=True)
    figure.savefig(out, dpi=110)
    print(f"wrote {out}")


if __name__ == "__main__":
    if len(sys.argv) not in (2, 3):
        sys.exit(__doc__)
    main(sys.argv[1], sys.argv[2] if len(sys.argv) == 3 else "build/demo-tic.png")
