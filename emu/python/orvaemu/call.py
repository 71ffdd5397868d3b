"""Runs one function of a module in this process: ``python3.9 -m orvaemu.call
package.module:function [ARG ...]`` calls ``function(*ARGS)`` with the
arguments as strings and exits with what it returns.

The exit status: None returned is 0, an int (or bool) from 0 to 255 is that
status, and ``sys.exit(n)`` inside the function exits as it always does. A
target that cannot be imported, raises, or returns anything else exits 1
with a traceback on standard error; with ORVAEMU_CALL_REPORT set to a file,
the same text goes to that file, so that the caller can tell the failure
from a status the function returned.

The pytest plugin starts the code under test so, in a fresh process that sees
the test's bench from the start.
"""
import importlib
import os
import sys
import traceback
from typing import Any, Callable, List

REPORT_ENVIRONMENT = "ORVAEMU_CALL_REPORT"
USAGE = 2
# The status of a failed target, as of any Python program ended by an exception.
FAILED = 1
HIGHEST_STATUS = 255


class NotAStatus(Exception):
    pass


def report(text: str) -> int:
    sys.stderr.write(text)
    sys.stderr.flush()
    path = os.environ.get(REPORT_ENVIRONMENT)
    if path:
        with open(path, "w", encoding="utf-8") as file:
            file.write(text)
    return FAILED


def status(result: Any) -> int:
    if result is None:
        return 0
    if isinstance(result, int) and 0 <= result <= HIGHEST_STATUS:
        return int(result)
    raise NotAStatus(f"returned {result!r}, not None or an exit status from 0 to "
                     f"{HIGHEST_STATUS}")


def main(argv: List[str]) -> int:
    if not argv or ":" not in argv[0]:
        print("usage: python3.9 -m orvaemu.call package.module:function [ARG ...]",
              file=sys.stderr)
        return USAGE
    target = argv[0]
    module_name, _, function_name = target.partition(":")
    try:
        function: Callable[..., Any] = getattr(importlib.import_module(module_name), function_name)
    except Exception:
        return report(f"orvaemu.call: cannot import {target}\n{traceback.format_exc()}")
    try:
        return status(function(*argv[1:]))
    except NotAStatus as error:
        return report(f"orvaemu.call: {target} {error}\n")
    except Exception:
        return report(f"orvaemu.call: {target} raised\n{traceback.format_exc()}")


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
