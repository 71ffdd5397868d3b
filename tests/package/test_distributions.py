"""The two distributions as this interpreter has them installed (make
python-install), and what building each asks of the machine."""
import importlib.metadata
import os
import shutil
import subprocess
import sys

import orvapy
import pytest

from package_support import ROOT, VERSION, outside_tree


def test_one_version_text_everywhere():
    assert orvapy.__version__ == VERSION
    assert importlib.metadata.version("orvapy") == VERSION
    assert importlib.metadata.version("orvaemu") == VERSION


@pytest.fixture
def configure_without_umockdev(tmp_path_factory):
    """Configures the tree as on a machine with libusb's development files and
    without umockdev's."""
    pkgconfig = outside_tree(tmp_path_factory, "pkgconfig")
    libusb = subprocess.run(["pkg-config", "--variable=pcfiledir", "libusb-1.0"],
                            capture_output=True, text=True, check=True).stdout.strip()
    shutil.copy(os.path.join(libusb, "libusb-1.0.pc"), pkgconfig)
    pybind11 = subprocess.run([sys.executable, "-m", "pybind11", "--cmakedir"],
                              capture_output=True, text=True, check=True).stdout.strip()

    def configure(*options):
        build = outside_tree(tmp_path_factory, "build")
        return subprocess.run(
            ["cmake", "-S", str(ROOT), "-B", str(build), f"-DPython_EXECUTABLE={sys.executable}",
             f"-Dpybind11_DIR={pybind11}", *options],
            env=dict(os.environ, PKG_CONFIG_LIBDIR=str(pkgconfig), PKG_CONFIG_PATH=""),
            capture_output=True, text=True, timeout=300)

    return configure


def test_orvapy_builds_without_umockdev(configure_without_umockdev):
    result = configure_without_umockdev("-DORVAPY_BUILD_PYTHON=ON")
    assert result.returncode == 0, result.stdout + result.stderr


def test_orvaemu_build_names_the_packages_it_misses(configure_without_umockdev):
    result = configure_without_umockdev("-DORVAPY_BUILD_ORVAEMU=ON")
    assert result.returncode != 0
    message = " ".join(result.stderr.split())
    assert "orvaemu needs umockdev's headers and library" in message
    assert "apt-get install libumockdev-dev umockdev" in message
