"""vornak_ms.__version__ is the project's version, as `vornak --version` prints it."""

import pathlib
import re
import shutil
import subprocess

import pytest

vornak_ms = pytest.importorskip("vornak_ms")

REPO = pathlib.Path(__file__).resolve().parents[2]


def test_version_is_the_projects():
    declared = re.search(r"project\(vornak VERSION ([0-9.]+)", (REPO / "CMakeLists.txt").read_text()).group(1)
    assert vornak_ms.__version__ == declared
    command = shutil.which("vornak") or REPO / "build" / "release" / "cli" / "vornak"
    if not pathlib.Path(command).exists():
        pytest.skip("the vornak command is not built")
    printed = subprocess.run([str(command), "--version"], check=True, capture_output=True, text=True).stdout
    assert printed.strip() == f"vornak {vornak_ms.__version__}"
