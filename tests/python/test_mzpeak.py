"""mzPeak archives checked against the draft with pyarrow alone (index and members, stored members,
SHA-512 checksums, array index, counts, m/z order, page index, CV terms of psi-ms.obo), read back
equal to vornak_ms bit for bit, and queried by DuckDB and Polars; and the Arrow tables of vornak_ms."""

import hashlib
import io
import json
import os
import pathlib
import re
import subprocess
import sys
import zipfile

import numpy as np
import pytest

vornak_ms = pytest.importorskip("vornak_ms")
pa = pytest.importorskip("pyarrow", reason="pyarrow is not installed: the mzPeak tests read archives with it")
import pyarrow.parquet as pq  # noqa: E402

SHARED = pathlib.Path(__file__).resolve().parents[2].parent / "shared"
OBO = SHARED / "standards" / "psi-ms.obo"
CURIE = re.compile(r"^(MS|UO):\d{7}$")
SIGNAL_KINDS = {"data arrays", "peaks"}


@pytest.fixture
def writer():
    """The tests of the writer skip in builds without it (sanitizer builds leave Arrow out)."""
    try:
        vornak_ms._mzpeak_writer()
    except ImportError as error:
        pytest.skip(f"no mzPeak writer in this vornak_ms: {error}")


# ---- reading an archive with pyarrow and the standard library only --------------------------------

class Archive:
    """The members of a ZIP or unpacked mzPeak archive, by name."""

    def __init__(self, path):
        self.path = pathlib.Path(path)
        if self.path.is_dir():
            self.zip = None
            self.names = sorted(p.name for p in self.path.iterdir())
        else:
            self.zip = zipfile.ZipFile(self.path)
            self.names = [info.filename for info in self.zip.infolist()]

    def read(self, name):
        return self.zip.read(name) if self.zip else (self.path / name).read_bytes()

    def parquet(self, name):
        return pq.ParquetFile(pa.BufferReader(self.read(name)))

    def index(self):
        return json.loads(self.read("mzpeak_index.json"))


_terms = None


def obo_terms():
    """{accession: (is_a parents, obsolete)} of psi-ms.obo (which carries the UO terms it uses)."""
    global _terms
    if _terms is None:
        if not OBO.is_file():
            pytest.skip(f"psi-ms.obo not found at {OBO}")
        _terms, term = {}, None
        for line in OBO.read_text(encoding="utf-8").splitlines():
            if line.startswith("["):
                term = None
            if line.startswith("id: "):
                term = _terms.setdefault(line[4:], [set(), False])
            elif term is not None and line.startswith("is_a: "):
                term[0].add(line[6:].split()[0])
            elif term is not None and line == "is_obsolete: true":
                term[1] = True
    return _terms


def descends(accession, root):
    seen, todo = set(), [accession]
    while todo:
        current = todo.pop()
        if current == root:
            return True
        if current not in seen:
            seen.add(current)
            todo.extend(obo_terms().get(current, [set()])[0])
    return False


def curies_in(value, out):
    """Every CURIE under an accession/unit/data_type/array_type key, or a CURIE-valued string."""
    if isinstance(value, dict):
        for key, item in value.items():
            if key in ("accession", "unit", "data_type", "array_type") and isinstance(item, str):
                out.add(item)
            curies_in(item, out)
    elif isinstance(value, list):
        for item in value:
            curies_in(item, out)
    elif isinstance(value, str) and CURIE.match(value):
        out.add(value)
    return out


def check_conformance(path):
    """The draft's rules for a conformant archive, checked member by member."""
    archive = Archive(path)
    assert "mzpeak_index.json" in archive.names
    index = archive.index()
    assert re.fullmatch(r"\d+\.\d+\.\d+", index["metadata"]["version"])
    listed = [f["name"] for f in index["files"]]
    assert sorted(listed) == sorted(set(archive.names) - {"mzpeak_index.json"}), "index <-> members"
    if archive.zip:
        assert len(set(archive.names)) == len(archive.names)
        assert all(info.compress_type == zipfile.ZIP_STORED for info in archive.zip.infolist())
        assert archive.zip.testzip() is None  # CRC-32 of every member
    curies = set()
    metadata = {}
    for entry in index["files"]:
        data = archive.read(entry["name"])
        assert hashlib.sha512(data).hexdigest() == entry["checksum"], entry["name"]
        curies_in(entry.get("column_mapping", []), curies)
        table = pq.read_table(pa.BufferReader(data))
        if entry["data_kind"] in SIGNAL_KINDS:
            check_signal_file(archive, entry, table, curies)
        else:
            first = table.schema.names[0]
            assert first == ("index" if entry["data_kind"] == "metadata" else "source_index")
            assert table.column(0).null_count == 0
            for mapping in entry.get("column_mapping", []):
                resolve(table.schema, mapping["path"])
            for name in table.schema.names:
                column = table.column(name)
                if pa.types.is_string(column.type) or pa.types.is_large_string(column.type):
                    curies.update(v for v in column.to_pylist() if v and CURIE.match(v))
            metadata[(entry["entity_type"], entry["data_kind"], entry["name"])] = table
    curies_in(index["metadata"], curies)
    declared = {cv["id"] for cv in index["metadata"]["cv_list"]}
    assert all(cv["version"] and cv["uri"] for cv in index["metadata"]["cv_list"])
    terms = obo_terms()
    for curie in curies:
        assert curie.split(":")[0] in declared, curie
        assert curie in terms, f"{curie} is not a term of psi-ms.obo"
        assert not terms[curie][1], f"{curie} is obsolete"
    check_counts(archive, index, metadata)
    return archive, index


def resolve(schema, path):
    """The field a dotted path names, skipping list levels as column mappings do."""
    field = schema.field(path.split(".")[0])
    for part in path.split(".")[1:]:
        kind = field.type
        while pa.types.is_list(kind) or pa.types.is_large_list(kind):
            kind = kind.value_type
        field = kind.field(part)
    return field


def check_signal_file(archive, entry, table, curies):
    parquet = archive.parquet(entry["name"])
    context = entry["entity_type"]
    array_index = json.loads(parquet.schema_arrow.metadata[f"{context}_array_index".encode()])
    assert array_index["prefix"] == "point"
    point = table.schema.field("point").type
    assert point.field(0).name == f"{context}_index"
    families = {e["buffer_format"] for e in array_index["entries"]}
    assert families == {"point"}, "one layout family per file"
    for e in array_index["entries"]:
        curies.update([e["data_type"], e["array_type"], e["unit"]])
        assert descends(e["data_type"], "MS:1000518") and descends(e["array_type"], "MS:1000513")
        assert descends(e["unit"], "UO:0000000"), e["unit"]
        assert resolve(table.schema, e["path"]) is not None
        if e["array_type"] == "MS:1000595":
            assert e["unit"] == "UO:0000031", "time in minutes"
    # A page index on the index and coordinate columns of every row group.
    meta = parquet.metadata
    for g in range(meta.num_row_groups):
        for c in range(meta.num_columns):
            column = meta.row_group(g).column(c)
            assert column.has_offset_index and column.has_column_index, column.path_in_schema
    # Rows grouped by entity, the sorting-rank-0 array ascending within each.
    rank0 = next(e["path"].split(".")[1] for e in array_index["entries"] if e["sorting_rank"] == 0)
    flat = table.column("point").combine_chunks().flatten() if table.num_rows else None
    if flat is not None:
        owner = flat[0].to_numpy()
        axis = flat[point.get_field_index(rank0)].to_numpy()
        assert np.all(np.diff(owner.astype(np.int64)) >= 0)
        same = owner[1:] == owner[:-1]
        assert np.all(axis[1:][same] >= axis[:-1][same])


def check_counts(archive, index, metadata):
    """number_of_data_points / number_of_peaks = rows of each entity; foreign keys resolve."""
    by_kind = {(f["entity_type"], f["data_kind"]): f["name"] for f in index["files"]}
    for entity, rows_of in (("spectrum", {"data arrays": "number_of_data_points", "peaks": "number_of_peaks"}),
                            ("chromatogram", {"data arrays": "number_of_data_points"})):
        table = next(t for (e, k, _), t in metadata.items() if e == entity and k == "metadata")
        keys = table.column("index").to_numpy()
        assert np.array_equal(keys, np.arange(len(keys)))
        for kind, count_column in rows_of.items():
            signal = pq.read_table(pa.BufferReader(archive.read(by_kind[(entity, kind)])))
            owners = signal.column("point").combine_chunks().field(0).to_numpy() if signal.num_rows else []
            counted = np.bincount(np.asarray(owners, dtype=np.int64), minlength=len(keys))
            declared = np.nan_to_num(table.column(count_column).to_numpy(zero_copy_only=False)).astype(np.int64)
            assert np.array_equal(counted, declared), count_column
        for (e, kind, _), t in metadata.items():
            if e == entity and kind != "metadata":
                assert set(t.column("source_index").to_pylist()) <= set(keys.tolist())


# ---- the folders: the bundled sample and every real folder the reader opens -----------------------

def real_folders():
    folders = []
    for base in ("realdata", "realdata2"):
        root = SHARED / base
        if root.is_dir():
            folders += [f"{base}/{p.name}" for p in sorted(root.iterdir()) if p.is_dir()]
    return folders


@pytest.fixture(params=["sample"] + real_folders())
def acquisition_path(request, demo):
    if request.param == "sample":
        return pathlib.Path(demo)
    path = SHARED / request.param
    try:
        vornak_ms.open(path).close()
    except vornak_ms.Error as error:
        pytest.skip(f"{request.param} does not open on this branch yet: {error}")
    return path


def written(acquisition, summary):
    """The scans of the archive, in order: every scan but those left out and the MRM/SIM records,
    which are chromatograms."""
    left_out = {index for index, _, _ in summary["damaged"]}
    left_out |= {int(i) for c in acquisition.chromatograms(skip_unreadable=True) for i in c.scan_index}
    assert summary["transition_scans"] == sum(len(c.scan_index) for c in acquisition.chromatograms(skip_unreadable=True)) \
        or summary["damaged"]
    return [i for i in range(len(acquisition)) if i not in left_out]


def test_conformance_and_read_back(writer, acquisition_path, tmp_path):
    out = tmp_path / "run.mzpeak"
    summary = vornak_ms.convert(acquisition_path, out)
    assert summary["bytes_written"] == out.stat().st_size
    archive, index = check_conformance(out)
    meta = pq.read_table(pa.BufferReader(archive.read("spectra_metadata.parquet")))
    data = pq.read_table(pa.BufferReader(archive.read("spectra_data.parquet"))).column("point").combine_chunks()
    peaks = pq.read_table(pa.BufferReader(archive.read("spectra_peaks.parquet"))).column("point").combine_chunks()

    def rows(points, k):
        if len(points) == 0:
            return np.empty(0), np.empty(0)
        owner = points.field("spectrum_index").to_numpy()
        lo, hi = np.searchsorted(owner, k), np.searchsorted(owner, k, side="right")
        return points.field("mz").to_numpy()[lo:hi], points.field("intensity").to_numpy()[lo:hi]

    with vornak_ms.open(acquisition_path) as acquisition:
        scans = written(acquisition, summary)
        assert meta.num_rows == summary["spectra_written"] == len(scans)
        ids = meta.column("id").to_pylist()
        partial = {index for index, _, _ in summary["partial"]}
        for k, i in enumerate(scans):
            assert ids[k] == acquisition[i].native_id
            for getter, points in ((acquisition.profile, data), (acquisition.centroid, peaks)):
                spectrum = getter(i)
                mz, intensity = rows(points, k)
                if spectrum is None or i in partial and len(mz) == 0:
                    continue
                # Bit-exact float64: the same bytes, not merely close values.
                assert mz.tobytes() == spectrum.mz.tobytes() and intensity.tobytes() == spectrum.intensity.tobytes()
        times = meta.column("time").to_numpy()
        assert np.array_equal(times, acquisition.retention_times[scans] / 60.0)
        chromatograms = pq.read_table(pa.BufferReader(archive.read("chromatograms_data.parquet")))
        points = chromatograms.column("point").combine_chunks()
        owner = points.field("chromatogram_index").to_numpy()
        if not summary["damaged"] and not summary["partial"]:
            tic, bpc = acquisition.tic(), acquisition.bpc()
            assert np.array_equal(points.field("intensity").to_numpy()[owner == 0], tic.intensity)
            assert np.array_equal(points.field("intensity").to_numpy()[owner == 1], bpc.intensity)
            assert np.array_equal(points.field("time").to_numpy()[owner == 0], tic.retention_time / 60.0)


def test_damaged_scans_are_reported_and_left_out(writer, tmp_path):
    copper = SHARED / "realdata" / "copper.D"
    if not copper.is_dir():
        pytest.skip(f"{copper} not found")
    summary = vornak_ms.convert(copper, tmp_path / "copper.mzpeak")
    reported = [(i, s) for i, s, _ in summary["damaged"]] + [(i, s) for i, s, _ in summary["partial"]]
    assert (3, 2377) in reported
    meta = pq.read_table(pa.BufferReader(Archive(tmp_path / "copper.mzpeak").read("spectra_metadata.parquet")))
    if (3, 2377) in [(i, s) for i, s, _ in summary["damaged"]]:
        assert "scanId=2377" not in meta.column("id").to_pylist()


@pytest.mark.parametrize("layout", ["zip", "zip64", "directory", "trim-zeros"])
def test_layouts_and_options(writer, layout, demo, tmp_path):
    options = {"zip64": {"_force_zip64": True}, "directory": {"directory": True},
               "trim-zeros": {"trim_zeros": True}}.get(layout, {})
    out = tmp_path / ("run" if layout == "directory" else "run.mzpeak")
    summary = vornak_ms.convert(demo, out, **options)
    archive, index = check_conformance(out)
    assert out.is_dir() == (layout == "directory")
    assert sorted(p.name for p in tmp_path.iterdir()) == [out.name], "no temporary files left"
    meta = pq.read_table(pa.BufferReader(archive.read("spectra_metadata.parquet")))
    if layout == "trim-zeros":
        with vornak_ms.open(demo) as acquisition:
            for k, count in enumerate(meta.column("number_of_data_points").to_pylist()):
                profile = acquisition.profile(k)
                if profile is None:
                    continue
                signal = profile.intensity != 0
                keep = signal.copy()
                keep[1:] |= signal[:-1]
                keep[:-1] |= signal[1:]
                assert count == int(keep.sum())
        methods = index["metadata"]["data_processing_method_list"][0]["methods"][0]["parameters"]
        assert "MS:1003901" in [p["accession"] for p in methods]
    assert summary["spectra_written"] == meta.num_rows


def test_failures_leave_nothing(writer, demo, tmp_path):
    with pytest.raises(vornak_ms.FolderError):
        vornak_ms.convert(tmp_path / "absent.d", tmp_path / "x.mzpeak")
    with pytest.raises(vornak_ms.Error):
        vornak_ms.convert(demo, tmp_path / "no-such-folder" / "x.mzpeak")
    occupied = tmp_path / "occupied"
    occupied.mkdir()
    (occupied / "keep.txt").write_text("mine")
    with pytest.raises(vornak_ms.Error, match="not an mzPeak directory"):
        vornak_ms.convert(demo, occupied, directory=True)
    assert sorted(p.name for p in tmp_path.iterdir()) == ["occupied"]
    assert [p.name for p in occupied.iterdir()] == ["keep.txt"]
    # A directory archive replaces an earlier one.
    vornak_ms.convert(demo, tmp_path / "again", directory=True)
    vornak_ms.convert(demo, tmp_path / "again", directory=True)
    check_conformance(tmp_path / "again")


def test_bad_args(writer, demo, tmp_path):
    for options in ({"format": "parquet"}, {"format": "mzpeak", "intensity_bits": 32},
                    {"format": "mzpeak", "centroid_only": True}, {"format": "mzml", "directory": True},
                    {"format": "mzpeak", "threads": 0}):
        with pytest.raises(ValueError):
            vornak_ms.convert(demo, tmp_path / "x.out", **options)
    assert list(tmp_path.iterdir()) == []


def test_command_line(writer, demo, tmp_path):
    command = os.environ.get("VORNAK_CLI") or (
        os.environ.get("VORNAK_MAKE_SAMPLE") and
        str(pathlib.Path(os.environ["VORNAK_MAKE_SAMPLE"]).parents[2] / "cli" / "vornak"))
    if not command or not pathlib.Path(command).is_file():
        pytest.skip("the vornak command was not found (VORNAK_CLI or beside VORNAK_MAKE_SAMPLE)")
    cases = [(["-o", str(tmp_path / "a.mzpeak")], "a.mzpeak"),
             (["-o", str(tmp_path / "b") + "/"], "b"),
             (["--format", "mzpeak", "-o", str(tmp_path / "c.bin")], "c.bin"),
             (["--mzpeak-dir", "--output-dir", str(tmp_path / "out")], "out/demo.mzpeak")]
    for arguments, name in cases:
        result = subprocess.run([command, "convert", demo, "-q", *arguments], capture_output=True, text=True)
        assert result.returncode == 0, result.stderr
        check_conformance(tmp_path / name)
    result = subprocess.run([command, "convert", demo, "--intensity-32", "-o", str(tmp_path / "d.mzpeak")],
                            capture_output=True, text=True)
    assert result.returncode == 2 and not (tmp_path / "d.mzpeak").exists()


# ---- other Parquet readers ----------------------------------------------------------------------

def test_duckdb_xic_matches(writer, demo, tmp_path):
    duckdb = pytest.importorskip("duckdb")
    out = tmp_path / "run"
    vornak_ms.convert(demo, out, directory=True)
    with vornak_ms.open(demo) as acquisition:
        level1 = acquisition.select(ms_level=1)
        spectrum = acquisition[int(level1[0])]
        target = float(spectrum.mz[int(np.argmax(spectrum.intensity))])
        expected = acquisition.xic(target, ppm=20, ms_level=1)
        half = target * 20 * 1e-6
        rows = duckdb.sql(f"""
            SELECT m.index, coalesce(sum(d.point.intensity), 0) AS intensity
            FROM '{out}/spectra_metadata.parquet' m
            LEFT JOIN (SELECT * FROM '{out}/spectra_data.parquet'
                       WHERE abs(point.mz - {target!r}) <= {half!r}) d
              ON d.point.spectrum_index = m.index
            WHERE m.ms_level = 1 GROUP BY m.index ORDER BY m.index""").fetchall()
    assert [r[0] for r in rows] == level1.tolist()
    assert np.allclose([r[1] for r in rows], expected.intensity, rtol=1e-12, atol=0)


def test_polars_agrees_with_pyarrow(writer, demo, tmp_path):
    pl = pytest.importorskip("polars")
    out = tmp_path / "run"
    vornak_ms.convert(demo, out, directory=True)
    for name in ("spectra_data.parquet", "spectra_peaks.parquet", "spectra_metadata.parquet",
                 "chromatograms_data.parquet"):
        frame = pl.read_parquet(out / name)
        table = pq.read_table(out / name)
        assert frame.height == table.num_rows
        if "point" in frame.columns:
            unnested = frame.unnest("point")
            for field in table.schema.field("point").type:
                assert np.array_equal(unnested[field.name].to_numpy(),
                                      table.column("point").combine_chunks().field(field.name).to_numpy())


# ---- Arrow tables from vornak_ms ----------------------------------------------------------------

def test_scan_table_as_arrow(demo):
    with vornak_ms.open(demo) as acquisition:
        columns = acquisition.scan_table()
        for table in (acquisition.scan_table(format="arrow"), acquisition.to_arrow()):
            assert table.column_names == list(columns)
            for name, values in columns.items():
                np.testing.assert_array_equal(table.column(name).to_numpy(), values)
        with pytest.raises(ValueError):
            acquisition.scan_table(format="csv")


def test_points_table_shares_the_decoded_buffers(demo):
    with vornak_ms.open(demo) as acquisition:
        spectra = acquisition[2:7]
        table = vornak_ms._points_table(spectra)
        kept = [s for s in spectra if len(s)]
        assert table.column("spectrum_index").num_chunks == len(kept)
        for chunk, spectrum in enumerate(kept):
            # The same memory as the spectrum's arrays: no copy was made.
            for name in ("mz", "intensity"):
                buffer = table.column(name).chunk(chunk).buffers()[1]
                assert buffer.address == getattr(spectrum, name).__array_interface__["data"][0]
            assert set(table.column("spectrum_index").chunk(chunk).to_pylist()) == {spectrum.index}
        full = acquisition.points(2, 7)
        assert full.equals(table)
        centroids = acquisition.points(kind="centroid", threads=1)
        expected = [acquisition.centroid(i) for i in range(len(acquisition))]
        assert centroids.num_rows == sum(len(s) for s in expected if s is not None)
    del spectra, kept
    assert table.num_rows == full.num_rows  # the buffers outlive the spectra and the acquisition
    assert np.isfinite(table.column("mz").to_numpy()).all()
    with vornak_ms.open(demo) as acquisition:
        for bad in ({"kind": "both"}, {"threads": 0}):
            with pytest.raises(ValueError):
                acquisition.points(**bad)


def test_import_does_not_need_pyarrow():
    code = ("import sys, vornak_ms; assert 'pyarrow' not in sys.modules; "
            "sys.modules['pyarrow'] = None\n"
            "try:\n  vornak_ms.open; vornak_ms._pyarrow('x')\nexcept ImportError as e: print(e)")
    result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True)
    assert result.returncode == 0, result.stderr
    assert "needs pyarrow" in result.stdout
