"""The writer's MS-Numpress bytes decoded by two independent implementations, pynumpress and
pyOpenMS, on synthetic edge cases and on real spectra: each value within the encoding's bound,
read from the fixed point the bytes carry."""

import base64
import pathlib
import struct

import numpy as np
import pytest

vornak_ms = pytest.importorskip("vornak_ms")
encode_array = getattr(vornak_ms._core, "_encode_array", None)  # internal, for these tests
if encode_array is None:
    pytest.skip("vornak_ms was built without the mzML writer", allow_module_level=True)

REALDATA = pathlib.Path(__file__).resolve().parents[2].parent / "shared" / "realdata"


def decoders():
    pynumpress = pytest.importorskip("pynumpress", reason="pynumpress decodes MS-Numpress independently: "
                                                          "install it (scripts/venv.sh --py311 does)")
    pyopenms = pytest.importorskip("pyopenms", reason="pyOpenMS decodes MS-Numpress independently: "
                                                      "install it (scripts/venv.sh --py311 does)")
    return pynumpress, pyopenms


def decode_both(codec, text):
    """(pynumpress's values, pyOpenMS's values) of base64 `text` in encoding `codec`."""
    pynumpress, pyopenms = decoders()
    raw = np.frombuffer(base64.b64decode(text), dtype=np.uint8)
    theirs = {"linear": pynumpress.decode_linear, "positive integer": pynumpress.decode_pic,
              "short logged float": pynumpress.decode_slof}[codec](raw)
    coder = pyopenms.MSNumpressCoder()
    config = pyopenms.NumpressConfig()
    config.np_compression = {"linear": coder.NumpressCompression.LINEAR,
                             "positive integer": coder.NumpressCompression.PIC,
                             "short logged float": coder.NumpressCompression.SLOF}[codec]
    openms = []
    coder.decodeNP(text.decode(), openms, False, config)
    return np.asarray(theirs, dtype=np.float64), np.asarray(openms, dtype=np.float64)


def check(values, kind, expected_codec):
    values = np.ascontiguousarray(values, dtype=np.float64)
    codec, text = encode_array(values, kind)
    assert codec == expected_codec
    if codec == "plain":
        assert np.array_equal(np.frombuffer(base64.b64decode(text), dtype="<f8"), values)
        return
    raw = base64.b64decode(text)
    for decoded in decode_both(codec, text):
        assert len(decoded) == len(values)
        if codec == "linear":
            (fixed_point,) = struct.unpack(">d", raw[:8])
            assert np.all(np.abs(decoded - values) <= 0.5 / fixed_point * (1 + 1e-9))
            if len(values) and 0 < np.abs(values).max() <= 2000:
                assert 0.5 / fixed_point <= 2e-6  # sub-ppb m/z
        elif codec == "positive integer":
            assert np.array_equal(decoded, values)
        else:
            (fixed_point,) = struct.unpack(">d", raw[:8])
            assert np.all(np.abs((decoded + 1) / (values + 1) - 1) <= np.expm1(0.5 / fixed_point) + 1e-12)


def profile_axis(count, first, last):
    return np.linspace(np.sqrt(first), np.sqrt(last), count) ** 2


RANDOM = np.random.default_rng(4)

CASES = [
    ("linear", "empty", [], "linear"),
    ("linear", "single point", [445.12], "plain"),  # pynumpress refuses one-value linear streams
    ("linear", "two points", [445.12, 445.13], "linear"),
    ("linear", "zeros", np.zeros(50), "linear"),
    ("linear", "profile axis", profile_axis(60000, 50, 1700), "linear"),
    ("linear", "centroids", np.cumsum(RANDOM.uniform(0.001, 30, 400)) + 50, "linear"),
    ("linear", "negative", [3.5, 2.25, -1e3], "plain"),  # decoders read the first values as unsigned
    ("linear", "not finite", [1.0, np.inf], "plain"),
    ("intensity", "empty", [], "positive integer"),
    ("intensity", "single zero", [0.0], "positive integer"),
    ("intensity", "zeros", np.zeros(1001), "positive integer"),
    ("intensity", "counts", np.where(RANDOM.random(60000) < 0.2, RANDOM.integers(0, 60000, 60000), 0),
     "positive integer"),
    ("intensity", "largest 32-bit count", [0, 2**31 - 1, 1], "positive integer"),
    ("intensity", "huge counts", [0, 2**31, 2**32 - 1, 1e15], "short logged float"),
    ("intensity", "abundances", RANDOM.uniform(0, 1e7, 3000), "short logged float"),
    ("intensity", "single fraction", [0.5], "short logged float"),
    ("intensity", "negative", [1.0, -2.0], "plain"),
]


@pytest.mark.parametrize("kind,name,values,codec", CASES, ids=[f"{c[0]}-{c[1]}" for c in CASES])
def test_synthetic_arrays(kind, name, values, codec):
    check(values, kind, codec)


def real_folders():
    if not REALDATA.is_dir():
        return []
    return sorted(path.name for path in REALDATA.iterdir() if path.is_dir())


@pytest.mark.parametrize("folder", real_folders())
def test_real_spectra(folder):
    decoders()
    with vornak_ms.open(REALDATA / folder) as acquisition:
        checked = 0
        for index in range(0, len(acquisition), max(1, len(acquisition) // 12)):
            try:
                spectrum = acquisition[index]
                mz, intensity = spectrum.mz, spectrum.intensity
            except vornak_ms.BlockError:
                continue  # a damaged block: the writer leaves it out
            check(mz, "linear", "linear")
            counts = np.all(intensity >= 0) and np.all(intensity == np.floor(intensity)) and intensity.max(
                initial=0) < 2**31
            check(intensity, "intensity", "positive integer" if counts else "short logged float")
            checked += 1
        if checked == 0:
            pytest.skip(f"no spectrum of {folder} decodes (its block files are absent)")


def test_encode_array_bad_args():
    with pytest.raises(ValueError, match="numpress"):
        encode_array(np.zeros(3), "zstd")
    with pytest.raises(TypeError):
        encode_array(np.zeros((3, 2)), "linear")
