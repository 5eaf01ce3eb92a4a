"""mypy --strict over the examples, the command line and the typed API check, against the installed stubs."""

import runpy
import subprocess
import sys
from pathlib import Path

import pytest

from extras import extra
from installed_stubs import require_stubs

REPO = Path(__file__).resolve().parents[2]
API_CHECK = REPO / "tests" / "typing" / "check_api.py"
CHECKED = [REPO / "examples", REPO / "src", API_CHECK]


@pytest.fixture
def mypy_cache(request, tmp_path):
    # The pytest cache keeps mypy's incremental cache between runs where it is enabled.
    cache = getattr(request.config, "cache", None)
    return cache.mkdir("mypy") if cache is not None else tmp_path / "mypy"


def test_examples_and_api_check_pass_mypy_strict(mypy_cache):
    require_stubs()
    # The package's modules for the extras are checked against the extras' own types.
    extra("aiohttp", "view")
    extra("imageio", "video")
    result = subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--cache-dir", str(mypy_cache), *map(str, CHECKED)],
        capture_output=True, text=True, cwd=REPO, check=False)
    assert result.returncode == 0, result.stdout + result.stderr
    assert result.stdout.startswith("Success: no issues found")


def test_api_check_runs():
    # What type-checks must also work: the check's own asserts run here.
    runpy.run_path(str(API_CHECK), run_name="__main__")
