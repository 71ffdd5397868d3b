"""Callbacks for received packets: a Notifier reads one or more links, one
thread per link, and hands every packet to its listeners in arrival order.

A listener that raises is told through its own on_error and keeps getting
packets. A link that fails (unplugged, for example) is reported to every
listener's on_error once, and its thread ends; a link closed by its owner
just ends its thread.
"""
from __future__ import annotations

import threading
import time
from types import TracebackType
from typing import Callable, Iterable, List, Optional, Sequence, Type, Union

from .errors import LinkClosedError
from .link import Link, Packet

# How often a reading thread looks whether stop() was called while no packet
# comes. The wait itself blocks without the interpreter lock.
STOP_NOTICE_S = 0.1


class Listener:
    """Receives the packets of a Notifier; override on_packet, and on_error
    to hear of failures (the default ignores them)."""

    def on_packet(self, packet: Packet) -> None:
        raise NotImplementedError

    def on_error(self, exc: BaseException) -> None:
        pass


class CallbackListener(Listener):
    """A plain function as a listener."""

    def __init__(self, callback: Callable[[Packet], object]) -> None:
        self.callback = callback

    def on_packet(self, packet: Packet) -> None:
        self.callback(packet)


ListenerLike = Union[Listener, Callable[[Packet], object]]


def as_listener(listener: ListenerLike) -> Listener:
    """A Listener, any object with on_packet (on_error optional), or a function."""
    if isinstance(listener, Listener) or hasattr(listener, "on_packet"):
        return listener  # type: ignore[return-value,unused-ignore]
    if callable(listener):
        return CallbackListener(listener)
    raise TypeError(f"{listener!r} is no listener: give an object with on_packet(packet) "
                    "or a function")


class Notifier:
    """Calls ``listener.on_packet(packet)`` for every packet of the links,
    from one thread per link, until stop() or the end of a ``with`` block.
    The links stay open; close them yourself."""

    def __init__(self, links: Union[Link, Sequence[Link]],
                 listeners: Iterable[ListenerLike]) -> None:
        self.links: List[Link] = [links] if isinstance(links, Link) else list(links)
        self.listeners: List[Listener] = [as_listener(listener) for listener in listeners]
        self._lock = threading.Lock()
        self._stopping = threading.Event()
        self._threads = [threading.Thread(target=self._read, args=(link,),
                                          name=f"orva-notifier {link.uri}", daemon=True)
                         for link in self.links]
        for thread in self._threads:
            thread.start()

    def add_listener(self, listener: ListenerLike) -> None:
        with self._lock:
            self.listeners = [*self.listeners, as_listener(listener)]

    def remove_listener(self, listener: Listener) -> None:
        with self._lock:
            self.listeners = [known for known in self.listeners if known is not listener]

    def _read(self, link: Link) -> None:
        while not self._stopping.is_set():
            try:
                packet = link.recv(STOP_NOTICE_S)
            except LinkClosedError:
                return
            except Exception as error:  # the link failed: said to each listener
                for listener in self.listeners:
                    self._report(listener, error)
                return
            if packet is None:
                continue
            for listener in self.listeners:
                try:
                    listener.on_packet(packet)
                except Exception as error:  # the listener's own fault, said to it
                    self._report(listener, error)

    @staticmethod
    def _report(listener: Listener, error: BaseException) -> None:
        try:
            on_error = getattr(listener, "on_error", None)
            if on_error is not None:
                on_error(error)
        except Exception:  # noqa: BLE001 (nobody is left to tell; the thread goes on)
            pass

    @property
    def running(self) -> bool:
        return any(thread.is_alive() for thread in self._threads)

    def stop(self, timeout: Optional[float] = 5.0) -> bool:
        """Stops calling the listeners and waits up to ``timeout`` seconds
        (None: as long as it takes) for the threads to end. True when they
        all ended. Called from a listener, it does not wait for its own
        thread."""
        self._stopping.set()
        deadline = None if timeout is None else time.monotonic() + timeout
        current = threading.current_thread()
        for thread in self._threads:
            if thread is current:
                continue
            thread.join(None if deadline is None else max(0.0, deadline - time.monotonic()))
        return not any(thread.is_alive() for thread in self._threads if thread is not current)

    def __enter__(self) -> Notifier:
        return self

    def __exit__(self, kind: Optional[Type[BaseException]], value: Optional[BaseException],
                 traceback: Optional[TracebackType]) -> None:
        self.stop()
