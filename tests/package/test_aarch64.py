"""Every wheel in the wheelhouse against the manylinux2014 policy, and the
aarch64 wheel as a Raspberry Pi or a Jetson gets it: installed by pip for that
platform and run by Debian 12's arm64 Python 3.11 under qemu-aarch64-static."""
import json
import os
import shutil
import subprocess
import sys
import zipfile
from pathlib import Path

import pytest

from package_support import ROOT, VERSION, outside_tree

WHEELHOUSE = Path(os.environ.get("ORVAPY_WHEELHOUSE", ROOT / "build/wheelhouse"))
X86_64_SERIES = os.environ.get("ORVAPY_WHEEL_SERIES", "3.9 3.13").split()
AARCH64_SERIES = os.environ.get("ORVAPY_AARCH64_SERIES", "3.11").split()
SYSROOT = Path(os.environ.get("ORVAPY_ARM64_SYSROOT", ROOT / "build/arm64-sysroot"))
# The one series that Debian 12 has for arm64, so the one run under qemu.
QEMU_SERIES = "3.11"
PROBE = Path(__file__).resolve().parent / "wheelprobe.py"
# The device-free cases of the Python suite: packets and URIs.
DEVICE_FREE_TESTS = ["tests/python/test_packet.py", "tests/python/test_connection_surface.py"]
ELF_MACHINES = {"x86_64": 62, "aarch64": 183}


def wheel_of(series, arch):
    tag = "cp" + series.replace(".", "")
    found = sorted(WHEELHOUSE.glob(f"orvapy-{VERSION}-{tag}-{tag}-*manylinux_2_17_{arch}.whl"))
    assert len(found) == 1, f"one manylinux_2_17 {arch} {series} wheel in {WHEELHOUSE}: {found}"
    return found[0]


def elf_machine(data):
    assert data[:4] == b"\x7fELF", "not an ELF file"
    return int.from_bytes(data[18:20], "little")


@pytest.mark.parametrize("series,arch", [(series, "x86_64") for series in X86_64_SERIES]
                         + [(series, "aarch64") for series in AARCH64_SERIES])
def test_wheel_is_manylinux2014_and_all_of_its_architecture(series, arch):
    wheel = wheel_of(series, arch)
    shown = subprocess.run([sys.executable, "-m", "auditwheel", "show", str(wheel)],
                           capture_output=True, text=True, timeout=300)
    assert shown.returncode == 0, shown.stdout + shown.stderr
    assert f'"manylinux_2_17_{arch}"' in " ".join(shown.stdout.split()), shown.stdout
    with zipfile.ZipFile(wheel) as archive:
        binaries = {name: archive.read(name) for name in archive.namelist()
                    if name.endswith(".so") or ".so." in name}
    modules = [name for name in binaries if "/" not in name]
    assert modules == [f"orvapy.cpython-{series.replace('.', '')}-{arch}-linux-gnu.so"], binaries
    assert any(name.startswith("orvapy.libs/libusb") for name in binaries), list(binaries)
    assert {name: elf_machine(data) for name, data in binaries.items()} == {
        name: ELF_MACHINES[arch] for name in binaries}


def qemu_python():
    """The command that runs the sysroot's arm64 Python 3.11 on this machine."""
    qemu = shutil.which("qemu-aarch64-static")
    if qemu is None:
        pytest.fail("no qemu-aarch64-static (scripts/install-deps.sh installs qemu-user-static)")
    python = SYSROOT / "usr/bin/python3.11"
    if not python.exists():
        pytest.fail(f"no arm64 Python in {SYSROOT} (scripts/arm64-sysroot.sh {SYSROOT})")
    return [qemu, "-L", str(SYSROOT), str(python)]


@pytest.fixture(scope="module")
def installed(tmp_path_factory):
    """The cp311 aarch64 wheel, installed by this machine's pip as for an
    aarch64 Linux with glibc 2.17: pip itself refuses a wheel whose tags do
    not fit that platform."""
    if QEMU_SERIES not in AARCH64_SERIES:
        pytest.skip(f"the aarch64 {QEMU_SERIES} wheel is not among those tested")
    home = outside_tree(tmp_path_factory, "aarch64")
    site = home / "site"
    result = subprocess.run(
        [sys.executable, "-m", "pip", "install", "-q", "--disable-pip-version-check", "--no-index",
         "--no-deps", "--only-binary", ":all:", "--platform", "manylinux2014_aarch64",
         "--python-version", QEMU_SERIES, "--implementation", "cp", "--target", str(site),
         str(wheel_of(QEMU_SERIES, "aarch64"))],
        capture_output=True, text=True, timeout=300)
    assert result.returncode == 0, result.stdout + result.stderr
    shutil.copy(PROBE, home / "wheelprobe.py")
    return home, site


def run_arm64(command, home, site):
    env = dict(os.environ, PYTHONPATH=str(site), PYTHONDONTWRITEBYTECODE="1", TMPDIR=str(home))
    env.pop("LD_PRELOAD", None)
    return subprocess.run([*qemu_python(), *command], cwd=home, env=env, capture_output=True,
                          text=True, timeout=900)


def test_imports_with_its_own_libusb_and_finds_no_device(installed):
    home, site = installed
    result = run_arm64(["wheelprobe.py", "scan"], home, site)
    assert result.returncode == 0, result.stdout + result.stderr
    seen = json.loads(result.stdout.splitlines()[-1])
    assert Path(seen["module"]).parent == site
    assert seen["version"] == VERSION
    assert seen["libusb"] and all(Path(path).parent == site / "orvapy.libs"
                                  for path in seen["libusb"]), seen["libusb"]
    assert seen["found"] == []


def test_device_free_python_cases_pass(installed):
    home, site = installed
    result = run_arm64(["-m", "pytest", "-q", "-p", "no:cacheprovider", "--rootdir", str(ROOT),
                        "-c", str(ROOT / "pytest.ini"),
                        *[str(ROOT / path) for path in DEVICE_FREE_TESTS]], home, site)
    assert result.returncode == 0, result.stdout + result.stderr
    assert " passed" in result.stdout and "failed" not in result.stdout, result.stdout
