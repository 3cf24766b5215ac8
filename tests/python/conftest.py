"""Acquisitions for the tests: synthetic ones written by vornak-make-sample, and real ones."""

import json
import os
import pathlib
import subprocess

import pytest

REPO = pathlib.Path(__file__).resolve().parents[2]
REALDATA = REPO.parent / "shared" / "realdata"


def _writer():
    command = os.environ.get("VORNAK_MAKE_SAMPLE")
    if not command:
        pytest.skip("VORNAK_MAKE_SAMPLE is not set; it names the vornak-make-sample command "
                    "that writes the synthetic acquisitions these tests read")
    return command


def _write(command, folder, description):
    arguments = [command]
    if description is not None:
        arguments += ["--json", "-"]
    subprocess.run(arguments + [str(folder)], check=True,
                   input=None if description is None else json.dumps(description, allow_nan=False),
                   text=True, capture_output=True)
    return str(folder)


@pytest.fixture
def make_acquisition(tmp_path):
    """Writes an acquisition and returns its path. The description is the writer's JSON document,
    a list of scan records (laid out with 220-byte records), or None for the demo acquisition."""
    command = _writer()
    count = 0

    def make(description=None, name=None):
        nonlocal count
        count += 1
        if isinstance(description, list):
            description = {"record_stride": 220, "scans": description}
        return _write(command, tmp_path / (name or f"acquisition{count}.d"), description)

    return make


@pytest.fixture(scope="session")
def demo(tmp_path_factory):
    """The writer's demo acquisition: 12 scans of MS levels 1 and 2, thousands of peaks."""
    return _write(_writer(), tmp_path_factory.mktemp("demo") / "demo.d", None)


@pytest.fixture
def realdata():
    if not REALDATA.is_dir():
        pytest.skip(f"real acquisitions not found at {REALDATA}")
    return REALDATA

