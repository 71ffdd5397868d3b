import glob
import os
import subprocess
from typing import List

import pytest

import orvapy


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
    loader = (
        "import importlib.machinery, importlib.util, sys\n"
        "loader = importlib.machinery.ExtensionFileLoader('orvapy', sys.argv[1])\n"
        "module = importlib.util.spec_from_loader('orvapy', loader)\n"
        "try:\n"
        "    importlib.util.module_from_spec(module)\n"
        "except ImportError as error:\n"
        "    print(error)\n"
    )
    result = subprocess.run([interpreter, "-c", loader, orvapy.__file__],
                            capture_output=True, text=True, timeout=60)
    version = subprocess.run([interpreter, "-c", "import sys; print(sys.version)"],
                             capture_output=True, text=True, timeout=60).stdout.strip()
    assert result.stdout.strip() == (
        "Python version mismatch: module was compiled for Python 3.9, "
        f"but the interpreter version is incompatible: {version}."
    )
