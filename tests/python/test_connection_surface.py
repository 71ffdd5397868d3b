"""The Python surface of Connection and ConnectionStatistics, without devices."""
from typing import Any, Type

import pytest

from orvapy import Connection, ConnectionStatistics


def test_statistics_cannot_be_made_from_python() -> None:
    with pytest.raises(TypeError, match=r"^orvapy\.ConnectionStatistics: No constructor defined!$"):
        ConnectionStatistics()


@pytest.mark.parametrize(
    "uri, error, text",
    [
        ("radio://0/80/2m/E7E7E7E7E7", RuntimeError, "Invalid uri (radio://0/80/2m/E7E7E7E7E7)!"),
        ("usb://0?safelink=0", RuntimeError, "Invalid uri (usb://0?safelink=0)!"),
        ("radio://0/300/2M/E7E7E7E7E7", RuntimeError, "Invalid uri (radio://0/300/2M/E7E7E7E7E7)!"),
        ("radio://0/80/2M/E7E7E7E7E7?foo=1", RuntimeError,
         "Invalid uri (radio://0/80/2M/E7E7E7E7E7?foo=1)! Unknown foo=1."),
        ("radio://0/2147483648/2M/E7E7E7E7E7", IndexError, "stoi argument out of range"),
        ("radio://0/80/2M/*", ValueError, "invalid stoull argument"),
        ("usb://" + "1" * 200000, IndexError, "stoi argument out of range"),
    ],
)
def test_refused_uris(uri: str, error: Type[Exception], text: str) -> None:
    with pytest.raises(error) as raised:
        Connection(uri)
    assert str(raised.value) == text
    assert type(raised.value) is error


def test_bytes_uri_is_taken_unchanged() -> None:
    with pytest.raises(RuntimeError, match=r"^Invalid uri \(usb://x\)!$"):
        Connection(b"usb://x")


@pytest.mark.parametrize("argument", [123, None, 1.5, ["usb://0"]])
def test_uri_must_be_text(argument: Any) -> None:
    with pytest.raises(TypeError):
        Connection(argument)


def test_uri_is_positional_only() -> None:
    with pytest.raises(TypeError):
        Connection(uri="usb://0")  # type: ignore[call-arg]


def test_scan_arguments() -> None:
    with pytest.raises(TypeError):
        Connection.scan(-1)
    with pytest.raises(TypeError):
        Connection.scan(2**64)
    with pytest.raises(TypeError):
        Connection.scan_selected("radio://0/80/2M/E7E7E7E7E7")
    with pytest.raises(TypeError):
        Connection.scan_selected([1])  # type: ignore[list-item]
    assert Connection.scan_selected([]) == []
    assert Connection.scan_selected(("not a uri", b"usb://nope")) == []
