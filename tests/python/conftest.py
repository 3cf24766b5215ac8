"""Acquisitions for the tests: synthetic ones written by vornak-make-sample, and real ones."""

import json
import os
import pathlib
import subprocess
import sys

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



# The designed module vornak needs CPython 3.13 or later; on older interpreters only vornak_ms is
# installed, and the files that import vornak at the top are not collected.
if sys.version_info < (3, 13):
    collect_ignore_glob = ["test_module.py", "test_raw_reader.py", "test_spectrum.py", "test_threads.py"]


def pytest_report_header(config):
    if sys.version_info < (3, 13):
        return "CPython < 3.13: vornak is not installed here, only the vornak_ms tests run"
    return None


@pytest.fixture(scope="session")
def reference():
    """The reference values of the real acquisitions (reference.json)."""
    path = REALDATA / "reference.json"
    if not path.is_file():
        pytest.skip(f"real acquisitions not found at {REALDATA}")
    return json.loads(path.read_text())


@pytest.fixture(scope="session")
def bench_sample(tmp_path_factory):
    """A small acquisition of the writer's benchmark kind: 24 MS1 profile scans of 4000 points and
    24 centroided MS2 scans between them."""
    folder = tmp_path_factory.mktemp("bench") / "bench.d"
    subprocess.run([_writer(), "--bench", "--profile-scans", "24", "--points", "4000",
                    "--ms2-scans", "24", str(folder)], check=True, capture_output=True)
    return str(folder)
