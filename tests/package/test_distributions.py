"""The two distributions as this interpreter has them installed (make
python-install), and what building the bench asks for."""
import importlib.metadata
import os
import shutil
import subprocess

import orvapy

from conftest import ROOT, VERSION, outside_tree


def test_one_version_text_everywhere():
    assert orvapy.__version__ == VERSION
    assert importlib.metadata.version("orvapy") == VERSION
    assert importlib.metadata.version("orvaemu") == VERSION


def test_bench_build_names_the_packages_it_misses(tmp_path_factory):
    # A machine with libusb's development files and without umockdev's.
    pkgconfig = outside_tree(tmp_path_factory, "pkgconfig")
    libusb = subprocess.run(["pkg-config", "--variable=pcfiledir", "libusb-1.0"],
                            capture_output=True, text=True, check=True).stdout.strip()
    shutil.copy(os.path.join(libusb, "libusb-1.0.pc"), pkgconfig)
    build = outside_tree(tmp_path_factory, "orvaemu-build")
    result = subprocess.run(["cmake", "-S", str(ROOT), "-B", str(build), "-DORVAPY_BUILD_ORVAEMU=ON"],
                            env=dict(os.environ, PKG_CONFIG_LIBDIR=str(pkgconfig),
                                     PKG_CONFIG_PATH=""),
                            capture_output=True, text=True, timeout=300)
    assert result.returncode != 0
    assert "orvaemu needs umockdev" in result.stderr
    assert "apt-get install libumockdev-dev umockdev" in result.stderr.replace("\n", " ")
