"""Print the udev rules that let users open Skelder dongles and Korvane robots
without root, or install them (--install, as root) and reload udev."""
import argparse
import json
import shutil
import subprocess
import sys
from importlib import resources
from pathlib import Path
from typing import Any, Dict, List, Optional

from ..exitcodes import FAILED, OK

NAME = "udev"
SUMMARY = "print or install the udev rules for the devices"
RULES_NAME = "60-orvapy.rules"
RULES_DIR = "/etc/udev/rules.d"


def add_arguments(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("--install", action="store_true",
                        help=f"write the rules to {RULES_DIR} and reload udev")
    parser.add_argument("--rules-dir", default=RULES_DIR, metavar="DIR",
                        help=f"where --install puts the rules (default {RULES_DIR})")
    parser.add_argument("--json", action="store_true",
                        help="print JSON for scripts: the rules, or what --install did")


def packaged_rules() -> Optional[str]:
    """The rules file orva was built with, or None when it was built without one."""
    rules = resources.files("orva") / "data" / RULES_NAME
    return rules.read_text() if rules.is_file() else None


def reload_commands() -> List[List[str]]:
    return [["udevadm", "control", "--reload-rules"],
            ["udevadm", "trigger", "--subsystem-match=usb", "--action=change"]]


def install(rules: str, directory: Path, as_json: bool) -> int:
    # With --json, what was done goes to standard output as one document at
    # the end; the progress lines are for people.
    say = (lambda line: None) if as_json else print
    done: Dict[str, Any] = {"installed": None, "ran": []}
    target = directory / RULES_NAME
    try:
        target.write_text(rules)
    except OSError as error:
        print(f"orva udev: cannot write {target}: {error.strerror}.", file=sys.stderr)
        print("Run it as root: sudo orva udev --install", file=sys.stderr)
        return FAILED
    done["installed"] = str(target)
    say(f"wrote {target}")
    if shutil.which("udevadm") is None:
        say("udevadm not found: udev reads the rules when it next starts; "
            "unplug and replug the devices then.")
    else:
        for command in reload_commands():
            result = subprocess.run(command, capture_output=True, text=True)
            if result.returncode != 0:
                print(f"orva udev: '{' '.join(command)}' failed: {result.stderr.strip()}",
                      file=sys.stderr)
                return FAILED
            done["ran"].append(command)
            say(f"ran {' '.join(command)}")
        say("udev reloaded: unplug and replug the dongle or the robot.")
    if as_json:
        print(json.dumps(done, indent=2))
    return OK


def run(options: argparse.Namespace) -> int:
    rules = packaged_rules()
    if rules is None:
        print(f"orva udev: this build of orva carries no {RULES_NAME} "
              "(the file was missing when it was built).", file=sys.stderr)
        return FAILED
    if options.install:
        return install(rules, Path(options.rules_dir), options.json)
    if options.json:
        print(json.dumps({"name": RULES_NAME, "rules": rules}, indent=2))
    else:
        sys.stdout.write(rules)
    return OK
