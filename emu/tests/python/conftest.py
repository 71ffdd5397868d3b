import os
import shutil
import subprocess
from pathlib import Path
from typing import Dict, Iterator, List, Optional

import pytest

import orvaemu

HERE = Path(__file__).resolve().parent


@pytest.fixture(scope="session")
def usbprobe(tmp_path_factory: pytest.TempPathFactory) -> str:
    """The plain libusb client of usbprobe.c, built for this run."""
    if shutil.which("cc") is None or shutil.which("pkg-config") is None:
        pytest.skip("building the libusb test client needs cc and pkg-config")
    flags = subprocess.run(["pkg-config", "--cflags", "--libs", "libusb-1.0"], check=True,
                           capture_output=True, text=True).stdout.split()
    binary = tmp_path_factory.mktemp("usbprobe") / "usbprobe"
    subprocess.run(["cc", "-std=c99", "-O1", "-o", str(binary), str(HERE / "usbprobe.c"), *flags],
                   check=True)
    return str(binary)


@pytest.fixture
def bench() -> Iterator["orvaemu.Bench"]:
    """A fresh emulated bench; the process has to run under the umockdev preload."""
    orvaemu = pytest.importorskip("orvaemu")
    if not orvaemu.preloaded():
        pytest.skip("run pytest under LD_PRELOAD=libumockdev-preload.so.0 (make python-test)")
    bench = orvaemu.Bench()
    yield bench
    del bench


def run_probe(usbprobe: str, *commands: str, env: Optional[Dict[str, str]] = None) -> List[str]:
    """Runs the client as a child of this process: it reaches the bench of this
    process through the inherited UMOCKDEV_DIR and preload."""
    result = subprocess.run([usbprobe, *commands], capture_output=True, text=True, timeout=120,
                            env=env)
    assert result.returncode == 0, result.stdout + result.stderr
    return result.stdout.splitlines()
