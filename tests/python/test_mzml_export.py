"""The mzML export read back by independent readers: pyteomics's indexed reader (which seeks by the
file's own offsets) and pyOpenMS give the arrays vornak_ms gives, the offsets and the checksum are
right, every file validates against the indexed mzML schema, and every CV term has the accession
and name psi-ms.obo gives it."""

import hashlib
import os
import pathlib
import re
import shutil
import subprocess
import warnings

import numpy as np
import pytest

vornak_ms = pytest.importorskip("vornak_ms")
if not hasattr(vornak_ms, "convert"):
    pytest.skip("vornak_ms was built without the mzML writer", allow_module_level=True)

REALDATA = pathlib.Path(__file__).resolve().parents[2].parent / "shared" / "realdata"
REALDATA2 = REALDATA.parent / "realdata2"
STANDARDS = REALDATA.parent / "standards"
MS_LEVEL, SCAN_START_TIME, SELECTED_ION_MZ = "MS:1000511", "MS:1000016", "MS:1000744"


def vocabulary():
    """Names by accession from psi-ms.obo: its live terms, and the units its has_units lines name."""
    path = STANDARDS / "psi-ms.obo"
    if not path.is_file():
        pytest.skip(f"psi-ms.obo not found at {path}")
    names, term = {}, None
    for line in path.read_text(encoding="utf-8").splitlines():
        if line.startswith("["):
            if term and not term.get("obsolete"):
                names[term["id"]] = term["name"]
            term = {} if line == "[Term]" else None
        elif term is not None and line.startswith("id: "):
            term["id"] = line[4:]
        elif term is not None and line.startswith("name: "):
            term["name"] = line[6:]
        elif term is not None and line == "is_obsolete: true":
            term["obsolete"] = True
        match = re.match(r"relationship: has_units (UO:\d{7}) ! (.+)$", line)
        if match:
            names.setdefault(match.group(1), match.group(2))
    if term and not term.get("obsolete"):
        names[term["id"]] = term["name"]
    return names


def check_file(path, names):
    """Schema, offsets, checksum and vocabulary of one written file, read with nothing of vornak."""
    data = path.read_bytes()
    schema = STANDARDS / "mzML1.1.1_idx.xsd"
    if shutil.which("xmllint") and schema.is_file():
        result = subprocess.run(["xmllint", "--noout", "--schema", str(schema), str(path)],
                                capture_output=True, text=True)
        assert result.returncode == 0, result.stderr

    digest_at = data.rindex(b"<fileChecksum>") + len(b"<fileChecksum>")
    assert data[digest_at:digest_at + 40].decode() == hashlib.sha1(data[:digest_at]).hexdigest()
    list_offset = int(re.search(rb"<indexListOffset>(\d+)</indexListOffset>", data).group(1))
    assert data[list_offset:].startswith(b"<indexList ")
    # The offsets of the index are exactly the positions of the elements, in order.
    indexed = [(m.group(1).decode(), int(m.group(2)))
               for m in re.finditer(rb'<offset idRef="([^"]+)">(\d+)</offset>', data)]
    found = [(m.group(2).decode(), m.start())
             for m in re.finditer(rb'<(spectrum|chromatogram) [^>]*?id="([^"]+)"', data)]
    assert indexed == found

    from lxml import etree
    for element in etree.fromstring(data).iter("{*}cvParam"):
        assert names.get(element.get("accession")) == element.get("name"), etree.tostring(element)
        if element.get("unitAccession"):
            assert names.get(element.get("unitAccession")) == element.get("unitName"), etree.tostring(element)


def written_scans(acquisition, summary, centroid_only=False, srm_as_spectra=False):
    """The vornak_ms spectra that the file holds, in order (MRM and SIM records are chromatograms)."""
    left_out = {index for index, _, _ in summary["damaged"]}
    if not srm_as_spectra:
        left_out |= {int(index) for chromatogram in acquisition.chromatograms(skip_unreadable=True)
                     for index in chromatogram.scan_index}
    spectra = []
    for index in range(len(acquisition)):
        if index in left_out:
            continue
        spectrum = acquisition.centroid(index) if centroid_only else acquisition[index]
        spectra.append(spectrum)
    return spectra


def indexed_reader(path):
    """pyteomics's reader over the file's own offset index; never its fallback of scanning the file."""
    pyteomics_mzml = pytest.importorskip("pyteomics.mzml")
    import lxml
    if int(lxml.__version__.split(".")[0]) >= 6:
        pytest.skip("pyteomics cannot read embedded offset indexes with lxml >= 6 (its iterparse "
                    "stops at the index's end before yielding anything): install lxml < 6")
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        return pyteomics_mzml.PreIndexedMzML(str(path))


def compare_with_pyteomics(path, expected, intensity_bits=64):
    with indexed_reader(path) as reader:
        ids = list(reader.index["spectrum"].keys()) if "spectrum" in reader.index else []
        assert ids == [spectrum.native_id for spectrum in expected]
        for spectrum in expected:
            read = reader.get_by_id(spectrum.native_id)  # a seek to the file's own offset
            assert read["ms level"] == spectrum.ms_level
            assert read["m/z array"].dtype == np.float64
            assert np.array_equal(read["m/z array"].view(np.uint64), spectrum.mz.view(np.uint64))
            if intensity_bits == 64:
                assert read["intensity array"].dtype == np.float64
                assert np.array_equal(read["intensity array"].view(np.uint64), spectrum.intensity.view(np.uint64))
            else:
                assert np.array_equal(read["intensity array"], spectrum.intensity.astype(np.float32))
            scan = read["scanList"]["scan"][0]
            assert float(scan["scan start time"]) == spectrum.retention_time
            precursors = read.get("precursorList", {}).get("precursor", [])
            if spectrum.ms_level >= 2 and spectrum.precursor_mz is not None:
                selected = precursors[0]["selectedIonList"]["selectedIon"][0]
                assert selected["selected ion m/z"] == spectrum.precursor_mz
            else:
                assert not any("selectedIonList" in p for p in precursors)


def compare_with_pyopenms(path, expected):
    pyopenms = pytest.importorskip("pyopenms")
    experiment = pyopenms.MSExperiment()
    pyopenms.MzMLFile().load(str(path), experiment)
    assert experiment.getNrSpectra() == len(expected)
    for read, spectrum in zip(experiment.getSpectra(), expected):
        assert read.getNativeID() == spectrum.native_id
        assert read.getMSLevel() == spectrum.ms_level
        assert read.getRT() == spectrum.retention_time
        mz, intensity = read.get_peaks()
        assert np.array_equal(np.asarray(mz, dtype=np.float64), spectrum.mz)
        # OpenMS keeps intensities as 32-bit floats: equal to ours rounded to 32 bits.
        assert np.array_equal(np.asarray(intensity, dtype=np.float32), spectrum.intensity.astype(np.float32))
        if spectrum.ms_level >= 2 and spectrum.precursor_mz is not None:
            assert read.getPrecursors()[0].getMZ() == spectrum.precursor_mz


def compare_chromatograms(path, acquisition):
    """The SRM/SIM chromatograms pyteomics reads back: ids, isolation targets, times and counts."""
    expected = acquisition.chromatograms()
    with indexed_reader(path) as reader:
        ids = list(reader.index["chromatogram"].keys())
        assert ids == ["TIC"] + [c.id for c in expected]
        for chromatogram in expected:
            read = reader.get_by_id(chromatogram.id)
            kind = "selected reaction monitoring chromatogram" if chromatogram.kind == "srm" \
                else "selected ion monitoring chromatogram"
            assert kind in read
            assert np.array_equal(read["time array"], chromatogram.time)
            assert np.array_equal(read["intensity array"], chromatogram.intensity)
            target = read["precursor"][0]["isolationWindow"]["isolation window target m/z"]
            assert target == chromatogram.precursor_mz
            if chromatogram.product_mz is not None:
                product = read["product"][0]["isolationWindow"]["isolation window target m/z"]
                assert product == chromatogram.product_mz


def real_folders():
    return sorted((base.name, path.name) for base in (REALDATA, REALDATA2) if base.is_dir()
                  for path in base.iterdir() if path.is_dir())


@pytest.mark.parametrize("base,folder", real_folders(), ids=lambda value: value)
def test_real_folders_round_trip(base, folder, tmp_path):
    pytest.importorskip("pyteomics")
    pytest.importorskip("lxml")
    source = REALDATA.parent / base / folder
    out = tmp_path / f"{folder}.mzML"
    summary = vornak_ms.convert(source, out)
    assert summary["bytes_written"] == out.stat().st_size
    check_file(out, vocabulary())
    with vornak_ms.open(source) as acquisition:
        expected = written_scans(acquisition, summary)
        assert summary["spectra_written"] == len(expected)
        assert summary["chromatograms_written"] == 1 + len(acquisition.chromatograms())
        compare_with_pyopenms(out, expected)
        compare_with_pyteomics(out, expected)
        compare_chromatograms(out, acquisition)
        if acquisition.frame_count:
            with indexed_reader(out) as reader:
                for spectrum in expected[:50]:
                    scan = reader.get_by_id(spectrum.native_id)["scanList"]["scan"][0]
                    assert scan["ion mobility drift time"] == spectrum.drift_time
    if folder == "ochre.D":
        assert summary["transition_scans"] == 3442 and summary["spectra_written"] == 0
        both = tmp_path / "both.mzML"
        summary = vornak_ms.convert(source, both, srm_as_spectra=True)
        check_file(both, vocabulary())
        assert summary["spectra_written"] == 3442 and summary["chromatograms_written"] == 5
    if folder == "copper.D":
        assert [(index, scan_id) for index, scan_id, _ in summary["damaged"]] == [(3, 2377)]
        assert "MSProfile.bin" in summary["damaged"][0][2] or "MSPeak.bin" in summary["damaged"][0][2]
    if folder in ("magenta.D", "gold.D", "yellow.D", "silver.D"):
        assert summary["damaged"] == []


@pytest.fixture(scope="module")
def real_layout_sample(tmp_path_factory):
    """An acquisition as time-of-flight instruments write it: MS1 profiles and MS2 centroids."""
    command = os.environ.get("VORNAK_MAKE_SAMPLE")
    if not command:
        pytest.skip("VORNAK_MAKE_SAMPLE is not set")
    folder = tmp_path_factory.mktemp("real") / "real.d"
    subprocess.run([command, "--real", "--family", "274", "--scans", "6", "--points", "4000", "--ms2", "4",
                    str(folder)], check=True, capture_output=True)
    return folder


def numpress_decoders():
    """pynumpress (which pyteomics decodes MS-Numpress with) and pyOpenMS, or a skip naming them."""
    for module in ("pynumpress", "pyopenms"):
        pytest.importorskip(module, reason=f"{module} decodes MS-Numpress independently: install it "
                                           "(scripts/venv.sh --py311 does)")


def assert_within_numpress_bounds(mz, intensity, spectrum, float32=False):
    """m/z within 1 ppb of the spectrum's largest; counts exact; other intensities within the short
    logged floats' bound at the spectrum's range. float32: intensities held as 32-bit floats."""
    mz, intensity = np.asarray(mz, dtype=np.float64), np.asarray(intensity, dtype=np.float64)
    assert len(mz) == len(spectrum.mz) and len(intensity) == len(spectrum.intensity)
    if len(mz):
        assert np.abs(mz - spectrum.mz).max() <= 1e-9 * max(1.0, spectrum.mz.max())
    values = spectrum.intensity
    if np.all(values == np.floor(values)) and np.all(values >= 0):
        assert np.array_equal(intensity, values.astype(np.float32) if float32 else values)
    elif len(values):
        bound = np.expm1(0.5 * np.log1p(values.max()) / 65534) * 1.001 + (1e-7 if float32 else 0)
        assert np.abs((intensity + 1) / (values + 1) - 1).max() <= bound


def compare_numpress(path, expected):
    """pyteomics (decoding with pynumpress) and pyOpenMS read every spectrum within the bounds."""
    with indexed_reader(path) as reader:
        for spectrum in expected:
            read = reader.get_by_id(spectrum.native_id)
            assert_within_numpress_bounds(read["m/z array"], read["intensity array"], spectrum)
    pyopenms = pytest.importorskip("pyopenms")
    experiment = pyopenms.MSExperiment()
    pyopenms.MzMLFile().load(str(path), experiment)
    assert experiment.getNrSpectra() == len(expected)
    for read, spectrum in zip(experiment.getSpectra(), expected):
        assert read.getNativeID() == spectrum.native_id
        mz, intensity = read.get_peaks()
        assert_within_numpress_bounds(mz, intensity, spectrum, float32=True)


@pytest.mark.parametrize("options", [
    {},
    {"compress": False},
    {"compression": "fast"},
    {"compression": "small"},
    {"compression": "none"},
    {"intensity_bits": 32},
    {"trim_zeros": True},
    {"centroid_only": True},
    {"threads": 1},
    {"numpress": True},
    {"numpress": True, "compression": "none"},
    {"numpress": True, "centroid_only": True, "compression": "small"},
], ids=lambda options: ",".join(f"{k}={v}" for k, v in options.items()) or "defaults")
def test_options_round_trip(options, real_layout_sample, tmp_path):
    pytest.importorskip("pyteomics")
    pytest.importorskip("lxml")
    if options.get("numpress"):
        numpress_decoders()
    out = tmp_path / "out.mzML"
    summary = vornak_ms.convert(real_layout_sample, out, **options)
    check_file(out, vocabulary())
    data = out.read_bytes()
    deflated = options.get("compress", True) and options.get("compression", "default") != "none"
    assert (b'"MS:1000574"' in data) == deflated  # zlib: the TIC chromatogram at least
    assert (b'"MS:1002746"' in data) == (options.get("numpress", False) and deflated)
    assert (b'"MS:1002312"' in data) == (options.get("numpress", False) and not deflated)
    with vornak_ms.open(real_layout_sample) as acquisition:
        expected = written_scans(acquisition, summary, options.get("centroid_only", False))
        if options.get("numpress"):
            compare_numpress(out, expected)
            return
        if options.get("trim_zeros"):
            # pyteomics must see exactly the kept points: non-zero ones and the zeros beside them.
            with indexed_reader(out) as reader:
                for spectrum in expected:
                    read = reader.get_by_id(spectrum.native_id)
                    values = spectrum.intensity
                    signal = values != 0
                    keep = signal.copy()
                    keep[1:] |= signal[:-1]
                    keep[:-1] |= signal[1:]
                    if spectrum.kind != "profile":
                        keep[:] = True
                    assert np.array_equal(read["m/z array"], spectrum.mz[keep])
                    assert np.array_equal(read["intensity array"], values[keep])
            return
        if options.get("intensity_bits", 64) == 64:
            compare_with_pyopenms(out, expected)
        compare_with_pyteomics(out, expected, options.get("intensity_bits", 64))


def test_convert_errors(tmp_path, real_layout_sample):
    with pytest.raises(vornak_ms.FolderError):
        vornak_ms.convert(tmp_path / "absent.d", tmp_path / "x.mzML")
    with pytest.raises(ValueError, match="compression"):
        vornak_ms.convert(real_layout_sample, tmp_path / "x.mzML", compression="zstd")
    assert list(tmp_path.iterdir()) == []
