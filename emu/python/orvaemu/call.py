"""Runs one function of a module in this process: ``python3.9 -m orvaemu.call
package.module:function [ARG ...]`` calls ``function(*ARGS)`` with the
arguments as strings and exits with what it returns (None counts as 0).

The pytest plugin starts the code under test so, in a fresh process that sees
the test's bench from the start.
"""
import importlib
import sys
from typing import List


def main(argv: List[str]) -> int:
    if not argv or ":" not in argv[0]:
        print("usage: python3.9 -m orvaemu.call package.module:function [ARG ...]",
              file=sys.stderr)
        return 2
    module_name, _, function_name = argv[0].partition(":")
    function = getattr(importlib.import_module(module_name), function_name)
    result = function(*argv[1:])
    return 0 if result is None else int(result)


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
