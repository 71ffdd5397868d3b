"""What the soak holds the library to: the error texts it may raise, the time
every call may take, and the process resources it must give back."""

import collections
import faulthandler
import gc
import os
import re
import sys
import threading
import time

LIBUSB_NAMES = ("IO", "INVALID_PARAM", "ACCESS", "NO_DEVICE", "NOT_FOUND", "BUSY", "TIMEOUT",
                "OVERFLOW", "PIPE", "INTERRUPTED", "NO_MEM", "NOT_SUPPORTED", "OTHER")

# (exception type, full match of its text): everything the library may raise
# while devices fail under it, and nothing else.
KNOWN_ERRORS = [
    (RuntimeError, r"LIBUSB_ERROR_(%s)" % "|".join(LIBUSB_NAMES)),
    (RuntimeError, r"Did transfer \d+ but \d+ was requested!"),
    (RuntimeError, r"Timeout, but already transferred \d+ of \d+ bytes!"),
    (RuntimeError, r"No Skelder dongle found!"),
    ((RuntimeError, IndexError), r"No Skelder with id=-?\d+ found\.There are \d+ Skelders connected\."),
    ((RuntimeError, IndexError), r"No Korvane with id=\d+ found\. There are \d+ Korvanes connected\."),
    (RuntimeError, r"Connection \S+ is using the same settings as an existing connection!"),
    (RuntimeError, r"Channel \d+ is already served by Skelder \d+\. Cannot be served by Skelder "
                   r"-?\d+ simultaneously\.\S+ \S+"),
    (RuntimeError, r"Channels \d+ and \d+ are already served by Skelder \d+ \(2M mode\)\. Cannot be "
                   r"served by Skelder -?\d+ simultaneously\."),
    (RuntimeError, r"Channel \d+ is already served by Skelder \d+\. Cannot be served by Skelder "
                   r"-?\d+ \(2M mode\) simultaneously\."),
]
KNOWN_ERRORS = [(kind, re.compile(pattern)) for kind, pattern in KNOWN_ERRORS]


def known_error(error):
    """Whether an exception is one the library may raise, type and text exact."""
    text = str(error)
    return any(isinstance(error, kind) and pattern.fullmatch(text) for kind, pattern in KNOWN_ERRORS)


def known_scan_line(line):
    """Whether a line a scan printed is "Error during scan: " and a known text."""
    prefix = "Error during scan: "
    return line.startswith(prefix) and any(
        pattern.fullmatch(line[len(prefix):]) for _, pattern in KNOWN_ERRORS)


# The longest any call may take, in seconds. Generous: the machine is shared
# and loaded, and a control request that times out takes a second; what these
# catch is a call that does not come back.
BOUNDS = {
    "open": 20.0,
    "send": 10.0,
    "recv": 10.0,  # on top of its own time-out
    "statistics": 10.0,
    "close": 20.0,
    "scan": 120.0,
    "scan_selected": 60.0,
}
# A call this far past its bound is taken for hung: the soak dumps every
# thread's stack and ends.
HANG_GRACE = 120.0


class Calls:
    """Times every library call, keeps the slowest of each kind and the
    unknown errors, and watches for calls that do not return."""

    def __init__(self):
        self._lock = threading.Lock()
        self._in_flight = {}
        self.counts = collections.Counter()
        self.slowest = collections.defaultdict(float)
        self.late = []  # (kind, seconds, bound)
        self.errors = collections.Counter()  # (kind, type, text) of known errors
        self.unknown_errors = collections.Counter()

    def call(self, kind, function, *arguments, allowance=0.0):
        """Runs one library call; returns its result or raises its error."""
        bound = BOUNDS[kind] + allowance
        me = threading.get_ident()
        start = time.monotonic()
        with self._lock:
            self._in_flight[me] = (kind, start, bound)
        try:
            return function(*arguments)
        except Exception as error:
            self._note_error(kind, error)
            raise
        finally:
            elapsed = time.monotonic() - start
            with self._lock:
                del self._in_flight[me]
                self.counts[kind] += 1
                self.slowest[kind] = max(self.slowest[kind], elapsed)
                if elapsed > bound:
                    self.late.append((kind, round(elapsed, 3), bound))

    def _note_error(self, kind, error):
        key = (kind, type(error).__name__, str(error))
        with self._lock:
            if known_error(error):
                self.errors[key] += 1
            else:
                self.unknown_errors[key] += 1

    def watch(self, stop):
        """Runs until stop is set; ends the process when a call hangs."""
        while not stop.wait(1.0):
            now = time.monotonic()
            with self._lock:
                hung = [(kind, now - start) for kind, start, bound in self._in_flight.values()
                        if now - start > bound + HANG_GRACE]
            if hung:
                print(f"HUNG {hung}", file=sys.stderr, flush=True)
                faulthandler.dump_traceback(all_threads=True)
                os._exit(3)


def resources():
    """File descriptors, threads and resident memory (KiB) of this process."""
    gc.collect()
    with open("/proc/self/status") as status:
        rss = next(int(line.split()[1]) for line in status if line.startswith("VmRSS:"))
    return dict(fds=len(os.listdir("/proc/self/fd")), threads=len(os.listdir("/proc/self/task")),
                rss_kib=rss)


def cpu_seconds():
    """User and system CPU time of the whole process so far."""
    times = os.times()
    return times.user + times.system
