"""Run COMMAND with its orvapy link recorded, or show a recorded file.

orva capture -o FILE -- COMMAND ...: orvapy in the program writes every radio
exchange, cable transfer, control request and worker event to FILE, a pcapng
file (a child of the program that uses orvapy too warns and runs without
capture, leaving the file to its parent). orva returns the program's exit
status; with --json it then prints what the file holds, by record type.

orva capture show FILE: prints the file's records, one line each (--json:
one object each). Wireshark and tshark read the file too, with the
dissector tools/wireshark/orvapy.lua (docs/capture.md)."""
import argparse
import collections
import dataclasses
import enum
import json
import os
import signal
import subprocess
import sys
from typing import Any, Dict, List

from .. import capture
from ..exitcodes import FAILED, OK, USAGE

NAME = "capture"
SUMMARY = "record a program's link to a pcapng file, or show a recorded one"
ENVIRONMENT = "ORVAPY_CAPTURE"
# The shell's status for a program that cannot be run.
CANNOT_RUN = 127


def add_arguments(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("-o", "--output", metavar="FILE",
                        help="the capture file to write (pcapng)")
    parser.add_argument("--json", action="store_true",
                        help="after the program, print the file's record counts as JSON")
    parser.add_argument("command", nargs=argparse.REMAINDER, metavar="-- COMMAND ... | show FILE",
                        help="the program to run and its arguments, or show FILE [--json]")


def show_parser() -> argparse.ArgumentParser:
    result = argparse.ArgumentParser(prog="orva capture show",
                                     description="Print the records of a capture file.")
    result.add_argument("file", metavar="FILE", help="a capture file (pcapng)")
    result.add_argument("--json", action="store_true", help="print JSON for scripts")
    return result


def plain(value: Any) -> Any:
    """A record's field as JSON: bytes in hexadecimal, enums by name."""
    if isinstance(value, bytes):
        return value.hex()
    if isinstance(value, enum.Enum):
        return value.name.lower()
    return value


def as_json(record: capture.AnyRecord) -> Dict[str, Any]:
    fields = {name: plain(value) for name, value in dataclasses.asdict(record).items()}
    return {"type": type(record).__name__, **fields}


def describe(record: capture.AnyRecord, start_us: int) -> str:
    """One line: seconds since the first record, interface, type, URI, fields."""
    common = {field.name for field in dataclasses.fields(capture.Record)}
    details = " ".join(f"{name}={plain(value)}" for name, value in dataclasses.asdict(record).items()
                       if name not in common)
    flag = " ERROR" if record.error else ""
    return (f"{(record.time_us - start_us) / 1e6:10.6f}  {record.interface}  "
            f"{type(record).__name__}{flag}  {record.uri or '-'}  {details}").rstrip()


def show(arguments: List[str]) -> int:
    options = show_parser().parse_args(arguments)
    try:
        records = capture.read(options.file)
    except OSError as error:
        print(f"orva capture: cannot read {options.file}: {error.strerror}", file=sys.stderr)
        return FAILED
    except capture.CaptureFormatError as error:
        print(f"orva capture: {options.file}: {error}", file=sys.stderr)
        return FAILED
    if options.json:
        print(json.dumps([as_json(record) for record in records], indent=2))
    else:
        start = records[0].time_us if records else 0
        for record in records:
            print(describe(record, start))
    return OK


def summary(path: str, code: int) -> Dict[str, Any]:
    try:
        records = capture.read(path)
    except (OSError, capture.CaptureFormatError) as error:
        return {"file": path, "exit_status": code, "readable": False, "error": str(error)}
    counts = collections.Counter(type(record).__name__ for record in records)
    return {"file": path, "exit_status": code, "readable": True, "records": len(records),
            "by_type": dict(sorted(counts.items()))}


def run(options: argparse.Namespace) -> int:
    command: List[str] = options.command
    if options.output is None and command[:1] == ["show"]:
        return show(command[1:] + (["--json"] if options.json else []))
    if command[:1] == ["--"]:
        command = command[1:]
    if options.output is None:
        print("usage: orva capture -o FILE -- COMMAND ... | orva capture show FILE",
              file=sys.stderr)
        print("orva capture: give the file to write with -o FILE", file=sys.stderr)
        return USAGE
    if not command:
        print("usage: orva capture -o FILE -- COMMAND ...", file=sys.stderr)
        print("orva capture: no command given: put it after --", file=sys.stderr)
        return USAGE
    env = dict(os.environ)
    env[ENVIRONMENT] = os.path.abspath(options.output)
    try:
        child = subprocess.Popen(command, env=env)
    except OSError as error:
        print(f"orva capture: cannot run {command[0]}: {error.strerror}", file=sys.stderr)
        return CANNOT_RUN
    # Ctrl-C reaches the program through the terminal; orva waits for it to
    # end, so that the program can finish its capture.
    previous = signal.signal(signal.SIGINT, signal.SIG_IGN)
    try:
        code = child.wait()
    finally:
        signal.signal(signal.SIGINT, previous)
    status = code if code >= 0 else 128 - code
    if options.json:
        print(json.dumps(summary(env[ENVIRONMENT], status), indent=2))
    return status
