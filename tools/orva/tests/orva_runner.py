"""Runs orva, and functions of this folder, as children of the test process."""
import os
import shutil
import subprocess
import sys
from pathlib import Path
from typing import Dict, List, Optional

HERE = Path(__file__).resolve().parent
# A run that takes longer has hung.
BOUND_S = 120.0


def orva_command() -> List[str]:
    installed = shutil.which("orva", path=os.path.dirname(sys.executable))
    return [installed] if installed else [sys.executable, "-m", "orva"]


def environment(extra: Optional[Dict[str, str]] = None) -> Dict[str, str]:
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(filter(None, [str(HERE), env.get("PYTHONPATH")]))
    env.update(extra or {})
    return env


def orva(*arguments: str, env: Optional[Dict[str, str]] = None) -> "subprocess.CompletedProcess[str]":
    """Runs orva to its end."""
    return subprocess.run([*orva_command(), *arguments], capture_output=True, text=True,
                          timeout=BOUND_S, env=environment(env))


def start_orva(*arguments: str) -> "subprocess.Popen[str]":
    return subprocess.Popen([*orva_command(), *arguments], stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, text=True, env=environment())


def call(target: str, *arguments: str) -> "subprocess.CompletedProcess[str]":
    """Runs module:function of this folder in a fresh process."""
    return subprocess.run([sys.executable, "-m", "orvaemu.call", target, *arguments],
                          capture_output=True, text=True, timeout=BOUND_S, env=environment())


def start_call(target: str, *arguments: str) -> "subprocess.Popen[str]":
    """Starts module:function of this folder in a fresh process, its output in pipes."""
    return subprocess.Popen([sys.executable, "-m", "orvaemu.call", target, *arguments],
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                            env=environment())
