"""The install commands of the README, then the tutorial: `make install`
(cmake --install, staged with DESTDIR) puts the program and the package
where they work from any directory, and the package installs with pip into
a virtual environment that sees the system's packages; the tutorial
notebook then runs top to bottom with what was installed alone."""
import os
import shutil
import subprocess
import sys
import sysconfig
from pathlib import Path

import pytest

from conftest import PACKAGE_ROOT

REPO = PACKAGE_ROOT.parent


def build_directory(binary):
    build = Path(binary).resolve().parent
    if not (build / "cmake_install.cmake").is_file():
        pytest.skip(f"{build} is not a CMake build directory")
    return build


def test_make_install_then_pip_then_the_tutorial(tmp_path, tessaly_bin):
    stage = tmp_path / "stage"
    done = subprocess.run(["cmake", "--install", str(build_directory(tessaly_bin)), "--prefix", "/usr/local"],
                          env=dict(os.environ, DESTDIR=str(stage)), capture_output=True, text=True)
    assert done.returncode == 0, done.stderr
    bin_dir = stage / "usr/local/bin"
    packages = next((stage / "usr/local/lib").glob("python3*/*-packages"))
    # Without DESTDIR the package lands where the system interpreter looks.
    if "posix_local" in sysconfig.get_scheme_names():
        assert "/" + str(packages.relative_to(stage)) in sys.path
    elsewhere = tmp_path / "elsewhere"
    elsewhere.mkdir()
    clean = {k: v for k, v in os.environ.items() if k not in ("PYTHONPATH", "TESSALY_PROGRAM", "TESSALY_BIN")}
    version = subprocess.run([str(bin_dir / "tessaly"), "--version"], cwd=elsewhere, capture_output=True, text=True)
    assert version.returncode == 0 and version.stdout.startswith("tessaly ")
    found = subprocess.run([sys.executable, "-c", "import tessaly; print(tessaly.find_program())"], cwd=elsewhere,
                           capture_output=True, text=True,
                           env=dict(clean, PYTHONPATH=str(packages), PATH=f"{bin_dir}:{clean['PATH']}"))
    assert found.returncode == 0, found.stderr
    assert found.stdout.strip() == str(bin_dir / "tessaly")

    # The package into a virtual environment, offline, from a copy of python/.
    source = tmp_path / "python"
    shutil.copytree(PACKAGE_ROOT, source, ignore=shutil.ignore_patterns("tests", "build", "*.egg-info",
                                                                        "__pycache__"))
    venv = tmp_path / "venv"
    subprocess.run([sys.executable, "-m", "venv", "--system-site-packages", str(venv)], check=True)
    pip = subprocess.run([str(venv / "bin/pip"), "install", "--no-build-isolation", "--no-index", str(source)],
                         capture_output=True, text=True, env=clean)
    assert pip.returncode == 0, pip.stdout + pip.stderr
    notebook = subprocess.run([str(venv / "bin/python"), str(REPO / "tests/notebook_test.py"),
                               str(REPO / "docs/tutorial.ipynb"), str(elsewhere)], cwd=elsewhere,
                              capture_output=True, text=True,
                              env=dict(clean, PATH=f"{bin_dir}:{clean['PATH']}", PYDEVD_DISABLE_FILE_VALIDATION="1"))
    assert notebook.returncode == 0, notebook.stdout + notebook.stderr[-3000:]
    assert "0 errors" in notebook.stdout
