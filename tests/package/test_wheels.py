"""The orvapy wheels as a user gets them: each installed with pip, without an
index, into a fresh virtual environment outside the source tree."""
import json
import os
import platform
import shutil
import subprocess
import zipfile
from pathlib import Path

import pytest

from package_support import BENCH_FINDS, ROOT, VERSION, find_python, outside_tree, run_on_bench

WHEELHOUSE = Path(os.environ.get("ORVAPY_WHEELHOUSE", ROOT / "build/wheelhouse"))
SERIES = os.environ.get("ORVAPY_WHEEL_SERIES", "3.9 3.13").split()
ALL_SERIES = ["3.9", "3.10", "3.11", "3.12", "3.13"]
PROBE = Path(__file__).resolve().parent / "wheelprobe.py"


def tag(series):
    return "cp" + series.replace(".", "")


def wheel_of(series):
    found = sorted(WHEELHOUSE.glob(
        f"orvapy-{VERSION}-{tag(series)}-{tag(series)}-*manylinux*_{platform.machine()}.whl"))
    assert len(found) == 1, f"one repaired {series} wheel in {WHEELHOUSE} (make wheels): {found}"
    return found[0]


class Environment:
    def __init__(self, series, home):
        self.series = series
        self.home = home
        self.python = str(home / "venv/bin/python")
        self.module = None

    def probe(self, *arguments, python=None):
        result = subprocess.run([python or self.python, "wheelprobe.py", *arguments],
                                cwd=self.home, capture_output=True, text=True, timeout=120)
        assert result.returncode == 0, result.stdout + result.stderr
        return json.loads(result.stdout)


@pytest.fixture(scope="module", params=SERIES)
def environment(request, tmp_path_factory):
    series = request.param
    wheel = wheel_of(series)
    python = find_python(series)
    assert python, f"no Python {series} interpreter"
    home = outside_tree(tmp_path_factory, f"wheel-{series}")
    subprocess.run([python, "-m", "venv", str(home / "venv")], check=True, timeout=300)
    env = Environment(series, home)
    # Without an index: a dependency of the wheel would fail the install.
    subprocess.run([env.python, "-m", "pip", "install", "-q", "--disable-pip-version-check",
                    "--no-index", str(wheel)], check=True, timeout=300)
    shutil.copy(PROBE, home / "wheelprobe.py")
    env.module = next((home / "venv/lib").glob(f"python{series}/site-packages/orvapy.*.so"))
    return env


def test_wheel_carries_libusb_and_nothing_of_the_bench(environment):
    with zipfile.ZipFile(wheel_of(environment.series)) as wheel:
        names = wheel.namelist()
        metadata = wheel.read(f"orvapy-{VERSION}.dist-info/METADATA").decode()
    libraries = [name.split("/")[1] for name in names if name.startswith("orvapy.libs/")]
    assert any(name.startswith("libusb") for name in libraries), names
    assert not [name for name in names if any(
        word in name.lower() for word in ("glib", "gobject", "umockdev", "orvaemu"))]
    assert {name.split("/")[0] for name in names} <= {
        environment.module.name, "orvapy.libs", f"orvapy-{VERSION}.dist-info", "orvapy-stubs"}
    # The stubs, when the tree has them, come along as their own package.
    stubs = ROOT / "python/orvapy-stubs"
    assert sorted(name for name in names
                  if name.startswith("orvapy-stubs/") and not name.endswith("/")) == sorted(
        path.relative_to(stubs.parent).as_posix() for path in stubs.rglob("*") if path.is_file())
    requirements = [line for line in metadata.splitlines() if line.startswith("Requires-Dist:")]
    assert all("extra ==" in line for line in requirements), requirements
    assert f"Version: {VERSION}\n" in metadata


def test_module_links_the_bundled_libusb(environment):
    libs = environment.module.parent / "orvapy.libs"
    ldd = subprocess.run(["ldd", str(environment.module)], capture_output=True, text=True,
                         check=True).stdout
    libusb = [line for line in ldd.splitlines() if "libusb" in line]
    assert len(libusb) == 1 and str(libs) in libusb[0], ldd


def test_loads_the_bundled_libusb_scans_the_bench_and_echoes(environment):
    result = run_on_bench([environment.python, "wheelprobe.py", "scan"], environment.home)
    assert result.returncode == 0, result.stdout + result.stderr
    seen = json.loads(result.stdout.splitlines()[-1])
    site = environment.module.parent
    assert Path(seen["module"]) == environment.module
    assert seen["version"] == VERSION
    assert seen["libusb"] and all(Path(path).parent == site / "orvapy.libs"
                                  for path in seen["libusb"]), seen["libusb"]
    assert seen["found"] == BENCH_FINDS
    assert seen["echoed"] == BENCH_FINDS


def test_orva_beside_the_wheel_lists_the_bench(environment):
    """orva's one wheel, installed beside orvapy's without an index: the
    package and its command work on every series."""
    found = sorted(WHEELHOUSE.glob(f"orva-{VERSION}-py3-none-any.whl"))
    if not found:
        pytest.skip(f"no orva wheel in {WHEELHOUSE} (make package-test or make wheels)")
    subprocess.run([environment.python, "-m", "pip", "install", "-q",
                    "--disable-pip-version-check", "--no-index", str(found[0])],
                   check=True, timeout=300)
    orva = str(Path(environment.python).parent / "orva")
    version = subprocess.run([orva, "--version"], capture_output=True, text=True, timeout=60)
    assert version.stdout.strip() == f"orva {VERSION}", version.stdout + version.stderr
    listed = run_on_bench([orva, "devices", "--json"], environment.home)
    assert listed.returncode == 0, listed.stdout + listed.stderr
    devices = json.loads(listed.stdout)["devices"]
    assert sorted((device["kind"], device["serial"]) for device in devices) == [
        ("dongle", "EMU0"), ("robot", "EMUR0")], devices


def test_refuses_every_other_series(environment):
    others = [series for series in ALL_SERIES if series != environment.series]
    checked = 0
    for series in others:
        python = find_python(series)
        if python is None:
            continue
        seen = environment.probe("load", str(environment.module), python=python)
        assert seen["refused"], f"the {environment.series} module loaded into {series}"
        expected = (f"Python version mismatch: module was compiled for Python "
                    f"{environment.series}, but the interpreter version is incompatible: "
                    f"{seen['version']}.")
        if "undefined symbol" not in seen["refused"]:
            assert seen["refused"] == expected
            checked += 1
    if checked == 0:
        # The module needs symbols that older interpreters lack: the dynamic
        # linker refuses it first, as it refuses the 3.9 module in 3.13.
        pytest.skip(f"every other interpreter here refuses the {environment.series} module "
                    "before its version check")
