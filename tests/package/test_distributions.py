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


def configure_with(tmp_path_factory, modules):
    """Configures the tree as on a machine whose pkg-config knows only the
    given modules of this machine's."""
    pkgconfig = outside_tree(tmp_path_factory, "pkgconfig")
    for module in modules:
        folder = subprocess.run(["pkg-config", "--variable=pcfiledir", module],
                                capture_output=True, text=True, check=True).stdout.strip()
        shutil.copy(os.path.join(folder, f"{module}.pc"), pkgconfig)
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


@pytest.fixture
def configure_without_umockdev(tmp_path_factory):
    return configure_with(tmp_path_factory, ["libusb-1.0"])


def test_orvapy_builds_without_umockdev(configure_without_umockdev):
    result = configure_without_umockdev("-DORVAPY_BUILD_PYTHON=ON")
    assert result.returncode == 0, result.stdout + result.stderr


def test_orvaemu_build_names_the_packages_it_misses(configure_without_umockdev):
    result = configure_without_umockdev("-DORVAPY_BUILD_ORVAEMU=ON")
    assert result.returncode != 0
    message = " ".join(result.stderr.split())
    assert "orvaemu needs umockdev's headers and library" in message
    assert "apt-get install libumockdev-dev umockdev" in message


def test_build_without_libusb_names_the_packages_to_install(tmp_path_factory):
    result = configure_with(tmp_path_factory, [])("-DORVAPY_BUILD_PYTHON=ON")
    assert result.returncode != 0
    message = " ".join(result.stderr.split())
    assert "orvapy needs libusb's headers and library" in message, result.stderr
    for command in ("apt-get install libusb-1.0-0-dev pkg-config",
                    "dnf install libusb1-devel pkgconf-pkg-config", "pacman -S libusb pkgconf"):
        assert command in message, result.stderr
