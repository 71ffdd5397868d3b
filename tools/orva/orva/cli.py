"""The orva command line: one subcommand per module of orva.commands."""
import argparse
import sys
from typing import List, Optional

from . import __version__
from .commands import COMMANDS, Command
from .exitcodes import FAILED


def parser() -> argparse.ArgumentParser:
    result = argparse.ArgumentParser(
        prog="orva",
        description="See the Skelder dongles and Korvane robots orvapy finds, scan for "
                    "robots, measure a link, install the udev rules.",
        epilog="Exit status: 0 on success, 1 when nothing was found or a link failed, "
               "2 on usage errors.")
    result.add_argument("--version", action="version", version=f"orva {__version__}")
    commands = result.add_subparsers(dest="command", metavar="COMMAND", required=True)
    for command in COMMANDS:
        # The docstrings are laid out already, in paragraphs.
        sub = commands.add_parser(command.NAME, help=command.SUMMARY,
                                  description=command.__doc__,
                                  formatter_class=argparse.RawDescriptionHelpFormatter)
        command.add_arguments(sub)
        sub.set_defaults(command_module=command)
    return result


def undecodable(arguments: List[str]) -> Optional[str]:
    """The first argument before a "--" that is not UTF-8 (Python keeps such
    bytes as lone surrogates), as the user can read it."""
    for argument in arguments:
        if argument == "--":
            return None  # what follows belongs to another program
        try:
            argument.encode("utf-8")
        except UnicodeEncodeError:
            try:
                raw = argument.encode("utf-8", "surrogateescape")
            except UnicodeEncodeError:
                raw = argument.encode("utf-8", "backslashreplace")
            return raw.decode("utf-8", "backslashreplace")
    return None


def main(argv: Optional[List[str]] = None) -> int:
    arguments = sys.argv[1:] if argv is None else argv
    commands = parser()
    bad = undecodable(arguments)
    if bad is not None:
        commands.error(f"argument {bad!r} is not UTF-8 text")
    options = commands.parse_args(arguments)
    try:
        command: Command = options.command_module
        return command.run(options)
    except KeyboardInterrupt:
        print("orva: interrupted", file=sys.stderr)
        return FAILED
    except BrokenPipeError:
        return FAILED


if __name__ == "__main__":
    sys.exit(main())
