"""orva runs as a child of the test process, which owns the emulated bench:
the child sees the bench's devices through the inherited UMOCKDEV_DIR and
preload, with a fresh orvapy registry of its own."""
import os

import pytest
from orvaemu.pytest_plugin import BenchSession, orvaemu_bench  # noqa: F401 (a fixture)


@pytest.fixture
def bench(orvaemu_bench: BenchSession) -> BenchSession:
    """A fresh bench from orvaemu's pytest plugin, named to orva's children."""
    # The testbed names itself in the C environment only.
    os.environ["UMOCKDEV_DIR"] = orvaemu_bench.bench.root_dir
    return orvaemu_bench
