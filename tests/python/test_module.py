import glob
import json
import os
import subprocess
from pathlib import Path
from typing import List

import pytest

import orvapy

PROBE = str(Path(__file__).resolve().parents[1] / "package" / "wheelprobe.py")


def test_module_attributes() -> None:
    assert orvapy.__version__ == "1.0a3"
    assert orvapy.__doc__ is None
    assert orvapy.Packet.__doc__ is None
    for member in ("__len__", "__getitem__", "__setitem__", "__repr__", "port", "payload"):
        assert not getattr(orvapy.Packet, member).__doc__, member


def other_interpreters() -> List[str]:
    roots = [os.environ.get("PYENV_ROOT", os.path.expanduser("~/.pyenv"))]
    found = []
    for root in roots:
        for version in ("3.10", "3.11", "3.12"):
            found += glob.glob(f"{root}/versions/{version}.*/bin/python{version}")
    return found[:1]


@pytest.mark.parametrize("interpreter", other_interpreters() or [None])
def test_refuses_other_interpreters(interpreter: str) -> None:
    if interpreter is None:
        pytest.skip("no other Python interpreter on this machine")
    # The probe of the wheel tests loads the file as orvapy in that interpreter.
    result = subprocess.run([interpreter, PROBE, "load", orvapy.__file__],
                            capture_output=True, text=True, timeout=60)
    assert result.returncode == 0, result.stderr[-3000:]
    seen = json.loads(result.stdout)
    version = seen["version"]
    assert seen["refused"] == (
        "Python version mismatch: module was compiled for Python 3.9, "
        f"but the interpreter version is incompatible: {version}."
    )
