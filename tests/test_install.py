"""Without utfcpp the build stops at configure time with a message naming the package."""

import os
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

from conftest import ROOT


def test_missing_utfcpp_names_the_package(tmp_path):
    search = os.pathsep.join([str(Path(sys.executable).parent), os.environ.get("PATH", "")])
    cmake = shutil.which("cmake", path=search)
    if cmake is None:
        pytest.skip("cmake is not installed")
    generator = ["-G", "Ninja"] if shutil.which("ninja", path=search) else []
    empty = tmp_path / "empty"
    empty.mkdir()
    # Re-rooting package and header searches in an empty directory hides utfcpp wherever it is.
    result = subprocess.run(
        [cmake, "-S", str(ROOT), "-B", str(tmp_path / "build"), *generator, "-DLORVANE_BUILD_MODULE=OFF",
         f"-DCMAKE_FIND_ROOT_PATH={empty}", "-DCMAKE_FIND_ROOT_PATH_MODE_PACKAGE=ONLY",
         "-DCMAKE_FIND_ROOT_PATH_MODE_INCLUDE=ONLY"],
        capture_output=True, text=True, timeout=300, env=dict(os.environ, PATH=search))
    assert result.returncode != 0
    message = " ".join(result.stderr.split())  # CMake rewraps the text
    assert "apt-get install libutfcpp-dev" in message
    assert "Install section of README.md" in message
