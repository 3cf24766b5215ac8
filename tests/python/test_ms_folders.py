"""Folders as users have them through vornak_ms: names in any case, wrong places, I/O errors."""

import shutil
import zipfile

import numpy as np
import pytest

vornak_ms = pytest.importorskip("vornak_ms")


def upper_cased_copy(folder, target):
    """`folder` copied to `target` with AcqData and every name inside it upper-cased."""
    target.mkdir(parents=True)
    for entry in folder.iterdir():
        if entry.is_dir():
            (target / entry.name.upper()).mkdir()
            for file in entry.iterdir():
                shutil.copyfile(file, target / entry.name.upper() / file.name.upper())
        else:
            shutil.copyfile(entry, target / entry.name)
    return target


@pytest.mark.parametrize("name", ["gold.D", "magenta.D", "black.D", "silver.D"])
def test_upper_cased_copy_reads_as_the_original(realdata, tmp_path, name):
    copy = upper_cased_copy(realdata / name, tmp_path / name)
    with vornak_ms.open(realdata / name) as original, vornak_ms.open(copy) as copied:
        assert len(copied) == len(original)
        for expected, spectrum in zip(original, copied):
            assert (spectrum.scan_id, spectrum.kind, spectrum.calibration) == \
                (expected.scan_id, expected.kind, expected.calibration)
            np.testing.assert_array_equal(spectrum.mz, expected.mz)
            np.testing.assert_array_equal(spectrum.intensity, expected.intensity)


def test_wrong_places_say_what_to_do(realdata, tmp_path):
    gold = upper_cased_copy(realdata / "gold.D", tmp_path / "runs" / "GOLD.D")
    upper_cased_copy(realdata / "gold.D", tmp_path / "runs" / "other.D")
    with zipfile.ZipFile(tmp_path / "run.dx", "w") as container:
        container.writestr("data/injection.acmd", "<acmd/>")
    (tmp_path / "spectrum.dx").write_text("##TITLE=caffeine\n##JCAMP-DX=5.01\n")
    cases = [
        (gold / "ACQDATA", f"{gold}/ACQDATA is the AcqData folder of an acquisition: give the folder that holds it, "
                           f"{gold}"),
        (gold / "ACQDATA" / "MSSCAN.BIN", f"{gold}/ACQDATA/MSSCAN.BIN is a file inside the AcqData folder of an "
                                          f"acquisition: give the acquisition folder, {gold}"),
        (tmp_path / "runs", f"{tmp_path}/runs is not an acquisition but holds 2 of them (GOLD.D, other.D): give one, "
                            f"or convert them all with `vornak convert {tmp_path}/runs/*.D --output-dir OUT`"),
        (tmp_path / "run.dx", f"{tmp_path}/run.dx is an OpenLab CDS injection container (a ZIP file holding "
                              "injection.acmd): not read by this version"),
        (tmp_path / "spectrum.dx", f"{tmp_path}/spectrum.dx is a JCAMP-DX text file, not an acquisition folder: "
                                   "not read by this version"),
    ]
    for path, message in cases:
        with pytest.raises(vornak_ms.FolderError) as raised:
            vornak_ms.open(path)
        assert str(raised.value) == "folder error: " + message


def test_every_io_error_names_its_file(realdata, tmp_path):
    gold = upper_cased_copy(realdata / "gold.D", tmp_path / "GOLD.D")
    (gold / "ACQDATA" / "MSPROFILE.BIN").unlink()
    with vornak_ms.open(gold) as acquisition:
        with pytest.raises(vornak_ms.BlockError) as raised:
            acquisition.profile(0).mz
    assert str(raised.value) == (f"parse error: scan 0: I/O error: cannot open {gold}/ACQDATA/MSProfile.bin: "
                                 "No such file or directory (os error 2)")
    with pytest.raises(vornak_ms.Error) as raised:
        vornak_ms.convert(gold, tmp_path / "absent" / "run.mzML")
    assert str(raised.value) == (f"I/O error: cannot create a temporary file for {tmp_path}/absent/run.mzML: "
                                 "No such file or directory (os error 2)")
