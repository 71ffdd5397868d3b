"""orvapy from end to end: scanning, exchanges and failures on the emulated bench."""
from typing import Any, List, Tuple

from scenario_runner import run_reporting


def run_scenario(name: str, *args: str) -> Tuple[Any, List[str]]:
    """Runs link_scenarios NAME ARGS: (its report, its other output lines)."""
    return run_reporting("link_scenarios.py", name, *args)


def test_scan_lists_cables_then_answering_channels_by_rate() -> None:
    result, output = run_scenario("scan")
    assert result["found"] == ["usb://0", "radio://*/5/1M/E7E7E7E7E7", "radio://*/80/2M/E7E7E7E7E7"]
    assert result["other"] == ["usb://0", "radio://*/20/250K/00E7E7E7E7"]
    assert result["selected"] == ["radio://0/80/2M/E7E7E7E7E7?autoping=0",
                                  "radio://0/5/1M/E7E7E7E7E7?safelink=0"]
    assert output == []


def test_scan_reports_every_failed_probe_on_its_own_line() -> None:
    result, output = run_scenario("scan_too_wide_address")
    assert result["found"] == []
    assert len(output) == 375
    assert output[0].startswith("Error during scan: Invalid uri (radio://*/")
    assert ("Error during scan: Invalid uri (radio://*/124/2M/1E7E7E7E7E7"
            "?safelink=0&autoping=0&ackfilter=0)!") in output
    assert all(line.startswith("Error during scan: Invalid uri (") and line.endswith(")!")
               for line in output)


def test_echo_over_radio_and_cable_in_port_order() -> None:
    result, _ = run_scenario("echo")
    for uri, outcome in result.items():
        assert [s[-7:] for s in outcome["stamps"]] == [",seq=0)", ",seq=1)", ",seq=2)"], uri
        assert outcome["counts"]["enqueued_count"] == 3, uri

    # Replies leave the receive queue by port, then by arrival (their seq);
    # when each arrived depends on how the worker's passes met the sends.
    cable_replies = result["usb://0"]["replies"]
    assert [r[:2] for r in cable_replies] == [[2, "two"], [5, "five"], [5, "5b"]]
    assert sorted(r[2] for r in cable_replies) == [0, 1, 2]
    assert cable_replies[1][2] < cable_replies[2][2]
    # Without safelink a packet acknowledged too late for the reply read goes
    # out again and is echoed twice; the order holds all the same.
    plain_replies = result["radio://0/80/2M/E7E7E7E7E7?safelink=0"]["replies"]
    distinct = [r[:2] for i, r in enumerate(plain_replies) if i == 0 or r[:2] != plain_replies[i - 1][:2]]
    assert distinct == [[2, "two"], [5, "five"], [5, "5b"]]
    assert sorted(r[2] for r in plain_replies) == list(range(len(plain_replies)))

    plain = result["radio://0/80/2M/E7E7E7E7E7?safelink=0"]
    assert plain["counts"]["ack_count"] >= 3
    assert plain["counts"]["sent_count"] >= plain["counts"]["ack_count"]

    safelink = result["radio://0/80/2M/E7E7E7E7E7"]
    assert [r[:2] for r in safelink["replies"]] == [[2, "two"], [5, "five"], [5, "5b"],
                                                    [15, "\x05\x01"]]
    assert safelink["replies"][-1][2] == 0  # the handshake's echo arrived first

    cable = result["usb://0"]
    assert cable["counts"] == dict(sent_count=3, receive_count=3, enqueued_count=3, ack_count=0)


def test_unplugged_dongle_fails_its_connections_by_name() -> None:
    result, _ = run_scenario("unplugged")
    assert result == dict(send="LIBUSB_ERROR_NO_DEVICE", recv="LIBUSB_ERROR_NO_DEVICE",
                          statistics="LIBUSB_ERROR_NO_DEVICE",
                          uri="radio://0/80/2M/E7E7E7E7E7?safelink=0",
                          text="Connection(radio://0/80/2M/E7E7E7E7E7?safelink=0)",
                          close=None, again="LIBUSB_ERROR_NO_DEVICE")


def blocked_recv(uri: str, end: str) -> Any:
    return run_scenario("blocked_recv", uri, end)[0]


def test_blocked_recv_returns_when_another_thread_closes() -> None:
    for uri in ("radio://0/80/2M/E7E7E7E7E7", "usb://0"):
        assert blocked_recv(uri, "close") == dict(waiting=True, alive=False, ticks=20,
                                                  valid=False), uri


def test_blocked_recv_fails_when_the_device_is_unplugged() -> None:
    assert blocked_recv("radio://0/80/2M/E7E7E7E7E7", "unplug-dongle") == dict(
        waiting=True, alive=False, ticks=20, error="LIBUSB_ERROR_NO_DEVICE")
    assert blocked_recv("usb://0", "unplug-cable") == dict(
        waiting=True, alive=False, ticks=20, error="LIBUSB_ERROR_NO_DEVICE")


def test_keyboard_interrupt_reaches_a_blocked_recv() -> None:
    result, _ = run_scenario("keyboard_interrupt")
    assert result == dict(outcome="interrupted")


def test_malformed_uri_does_not_freeze_the_device_list() -> None:
    result, _ = run_scenario("malformed_uri")
    assert result == dict(refused="Invalid uri (radio://0/80/2m/E7E7E7E7E7)!",
                          text="Connection(radio://*/80/2M/E7E7E7E7E7?safelink=0)")
