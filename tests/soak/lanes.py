"""Traffic lanes: each thread opens a connection, exchanges numbered packets
with the robot's echo, checks what comes back, closes, and starts again."""

import struct
import threading

import orvapy

MARK = b"soak"
PORT = 1


class Lane:
    """One thread's connection URI and what it may expect of the echoes:
    exact (every packet once, in order) or ordered (repeats allowed)."""

    def __init__(self, name, uri, exact, calls, random):
        self.name = name
        self.uri = uri
        self.exact = exact
        self.calls = calls
        self.random = random
        self.sessions = 0
        self.sent = 0
        self.echoes = 0
        self.failed_sessions = 0
        self.violations = []
        self.close_raised = []
        self.stale = 0
        self._session_id = 0

    def packet(self, number):
        p = orvapy.Packet()
        p.port = PORT
        p.channel = number % 4
        p.payload = MARK + struct.pack("<II", self._session_id, number)
        return p

    def session(self, pause):
        """One connection from open to close; returns the device error that
        ended it, or None."""
        self._session_id += 1
        self.sessions += 1
        call = self.calls.call
        # Any exception counts; Calls has already told known from unknown.
        try:
            connection = call("open", orvapy.Connection, self.uri)
        except Exception as error:
            self.failed_sessions += 1
            return error
        error = None
        try:
            self._exchange(connection, pause)
        except Exception as failure:
            self.failed_sessions += 1
            error = failure
        finally:
            try:
                call("close", connection.close)
            except Exception as failure:  # close must never raise
                self.close_raised.append(f"{type(failure).__name__}: {failure}")
        return error

    def _exchange(self, connection, pause):
        call = self.calls.call
        total = self.random.randrange(5, 200)
        window = self.random.randrange(1, 6)
        sent = 0
        expected = 0  # next number an exact lane must see
        highest = -1  # highest number an ordered lane has seen
        idle = 0
        while expected < total and not pause.is_set():
            while sent < total and sent - expected < window:
                call("send", connection.send, self.packet(sent))
                sent += 1
                self.sent += 1
            timeout = self.random.choice([1, 10, 50, 100])  # 0 would wait without limit
            reply = call("recv", connection.recv, timeout, allowance=timeout / 1000)
            if self.random.random() < 0.05:
                call("statistics", lambda: connection.statistics)
            if not reply.valid:
                idle += 1
                if idle > 40:  # silent robot, lossy radio: give up this session
                    return
                continue
            idle = 0
            number = self._check(reply, sent)
            if number is None:
                continue
            self.echoes += 1
            if self.exact:
                if number != expected:
                    self.violations.append(f"{self.uri}: got {number}, expected {expected}")
                expected = max(expected, number + 1)
            else:
                if number < highest:
                    self.violations.append(f"{self.uri}: {number} after {highest}")
                highest = max(highest, number)
                expected = highest + 1

    def _check(self, reply, sent):
        """The number an echo carries, or None for packets that are not echoes
        of this session; records a corrupt echo.

        Not echoes of this session, and no fault of the link: the safelink
        handshake's echo (another port), replies that an earlier session left
        with the robot, and echoes of packets that a short write cut (the
        device took only their first bytes, and the robot echoed those)."""
        if reply.port != PORT:
            return None
        payload = reply.payload
        if len(payload) < len(MARK) + 8 and MARK.startswith(payload[:len(MARK)]):
            self.stale += 1
            return None
        if len(payload) != len(MARK) + 8 or not payload.startswith(MARK):
            self.violations.append(f"{self.uri}: foreign payload {payload!r}")
            return None
        session, number = struct.unpack("<II", payload[len(MARK):])
        if session < self._session_id:
            self.stale += 1
            return None
        if session != self._session_id or number >= sent or reply.channel != number % 4:
            self.violations.append(f"{self.uri}: echo {session}/{number} on channel "
                                   f"{reply.channel} in session {self._session_id}, {sent} sent")
            return None
        return number


def run_lane(lane, stop, pause, parked, resume, recover):
    """The lane's thread: sessions until stop; parks (nothing open) on pause."""
    while not stop.is_set():
        if pause.is_set():
            parked.set()
            resume.wait()
            continue
        error = lane.session(pause)
        if error is not None and not pause.is_set():
            recover(lane)
            # Paced, so that a device that stays away is not hammered.
            pause.wait(lane.random.uniform(0.05, 0.5))
    parked.set()


def lane_thread(lane, stop, pause, resume, recover):
    parked = threading.Event()
    thread = threading.Thread(target=run_lane, args=(lane, stop, pause, parked, resume, recover),
                              name=f"lane-{lane.name}")
    return thread, parked
