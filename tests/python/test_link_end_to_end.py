"""orvapy from end to end: scanning, exchanges and failures on the emulated bench."""
from typing import Any

from scenario import run_scenario


def test_scan_lists_cables_then_answering_channels_by_rate() -> None:
    result, output = run_scenario("""
        bench = orvaemu.Bench()
        bench.add_dongle("EMU0")
        bench.add_usb_robot("EMUR0")
        bench.add_radio_robot(80, "2M")
        bench.add_radio_robot(5, "1M")
        bench.add_radio_robot(20, "250K", 0x00E7E7E7E7)
        found = Connection.scan()
        other = Connection.scan(address=0x00E7E7E7E7)
        selected = Connection.scan_selected([
            "radio://0/80/2M/E7E7E7E7E7?autoping=0",
            "radio://0/33/2M/E7E7E7E7E7",
            "radio://0/80/2M/E7E7E7E7E7?safelink=0&autoping=0",
            "usb://0",
            "radio://0/5/1M/E7E7E7E7E7?safelink=0",
            "no uri",
        ])
        report(found=found, other=other, selected=selected)
    """)
    assert result["found"] == ["usb://0", "radio://*/5/1M/E7E7E7E7E7", "radio://*/80/2M/E7E7E7E7E7"]
    assert result["other"] == ["usb://0", "radio://*/20/250K/00E7E7E7E7"]
    assert result["selected"] == ["radio://0/80/2M/E7E7E7E7E7?autoping=0",
                                  "radio://0/5/1M/E7E7E7E7E7?safelink=0"]
    assert output == []


def test_scan_reports_every_failed_probe_on_its_own_line() -> None:
    result, output = run_scenario("""
        bench = orvaemu.Bench()
        bench.add_dongle("EMU0")
        report(found=Connection.scan(address=0x1E7E7E7E7E7))
    """)
    assert result["found"] == []
    assert len(output) == 375
    assert output[0].startswith("Error during scan: Invalid uri (radio://*/")
    assert ("Error during scan: Invalid uri (radio://*/124/2M/1E7E7E7E7E7"
            "?safelink=0&autoping=0&ackfilter=0)!") in output
    assert all(line.startswith("Error during scan: Invalid uri (") and line.endswith(")!")
               for line in output)


def test_echo_over_radio_and_cable_in_port_order() -> None:
    result, _ = run_scenario("""
        bench = orvaemu.Bench()
        bench.add_dongle("EMU0")
        bench.add_usb_robot("EMUR0")
        robot = bench.add_radio_robot(80, "2M")
        outcome = {}

        def echoes_heard():
            # Without safelink the robot echoes whatever it hears, repeats too.
            heard = [p for p in robot.received if p[1:] in (b"five", b"5b", b"two")]
            return len(set(heard)) == 3 and len(heard)

        # The safelink handshake's echo comes back too.
        for uri, expected in [("radio://0/80/2M/E7E7E7E7E7?safelink=0", echoes_heard),
                              ("radio://0/80/2M/E7E7E7E7E7", lambda: 4), ("usb://0", lambda: 3)]:
            c = Connection(uri)
            sent = [packet(5, b"five"), packet(5, b"5b"), packet(2, b"two")]
            for p in sent:
                c.send(p)
            # Taken once all are back, so that the queue order decides.
            wait_for(lambda: expected() and counts(c)["receive_count"] >= expected())
            replies = []
            while True:
                p = c.recv(50)
                if not p.valid:
                    break
                replies.append((p.port, p.payload.decode("latin-1"), seq_of(p)))
            outcome[uri] = dict(stamps=[repr(p) for p in sent], replies=replies,
                                counts=counts(c))
            c.close()
        report(**outcome)
    """)
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
    result, _ = run_scenario("""
        bench = orvaemu.Bench()
        dongle = bench.add_dongle("EMU0")
        bench.add_radio_robot(80, "2M")
        c = Connection("radio://0/80/2M/E7E7E7E7E7?safelink=0")
        c.send(packet(1, b"x"))
        receive(c)

        def failure(call):
            try:
                call()
            except RuntimeError as error:
                return str(error)
            return None

        dongle.unplug()
        wait_for(lambda: failure(lambda: c.statistics) is not None)
        report(send=failure(lambda: c.send(Packet())), recv=failure(lambda: c.recv(0)),
               statistics=failure(lambda: c.statistics), uri=c.uri, text=repr(c),
               close=failure(c.close), again=failure(lambda: c.recv(10)))
    """)
    assert result == dict(send="LIBUSB_ERROR_NO_DEVICE", recv="LIBUSB_ERROR_NO_DEVICE",
                          statistics="LIBUSB_ERROR_NO_DEVICE",
                          uri="radio://0/80/2M/E7E7E7E7E7?safelink=0",
                          text="Connection(radio://0/80/2M/E7E7E7E7E7?safelink=0)",
                          close=None, again="LIBUSB_ERROR_NO_DEVICE")


BLOCKED_RECV = """
    bench = orvaemu.Bench()
    dongle = bench.add_dongle("EMU0")
    cable = bench.add_usb_robot("EMUR0")
    c = Connection(URI)
    outcome = {}

    def wait_without_limit():
        outcome["line"] = sys._getframe().f_lineno + 2
        try:
            outcome["valid"] = c.recv(0).valid
        except RuntimeError as error:
            outcome["error"] = str(error)

    waiter = threading.Thread(target=wait_without_limit)
    waiter.start()
    # Once the waiter stands at its recv call, this thread keeps running: the
    # waiter does not hold the interpreter lock while it waits.
    wait_for(lambda: "line" in outcome and waiter.ident in sys._current_frames() and
             sys._current_frames()[waiter.ident].f_lineno == outcome["line"])
    ticks = 0
    for _ in range(20):
        time.sleep(0.001)
        ticks += 1
    waiting = waiter.is_alive()
    END()
    waiter.join(30)
    del outcome["line"]
    report(waiting=waiting, alive=waiter.is_alive(), ticks=ticks, **outcome)
"""


def blocked_recv(uri: str, end: str) -> Any:
    return run_scenario(BLOCKED_RECV.replace("URI", repr(uri)).replace("END()", end))[0]


def test_blocked_recv_returns_when_another_thread_closes() -> None:
    for uri in ("radio://0/80/2M/E7E7E7E7E7", "usb://0"):
        assert blocked_recv(uri, "c.close()") == dict(waiting=True, alive=False, ticks=20,
                                                      valid=False), uri


def test_blocked_recv_fails_when_the_device_is_unplugged() -> None:
    assert blocked_recv("radio://0/80/2M/E7E7E7E7E7", "dongle.unplug()") == dict(
        waiting=True, alive=False, ticks=20, error="LIBUSB_ERROR_NO_DEVICE")
    assert blocked_recv("usb://0", "cable.unplug()") == dict(
        waiting=True, alive=False, ticks=20, error="LIBUSB_ERROR_NO_DEVICE")


def test_keyboard_interrupt_reaches_a_blocked_recv() -> None:
    result, _ = run_scenario("""
        import signal
        bench = orvaemu.Bench()
        bench.add_dongle("EMU0")
        c = Connection("radio://0/80/2M/E7E7E7E7E7?safelink=0&autoping=0")

        def interrupt(*_):
            raise KeyboardInterrupt

        signal.signal(signal.SIGALRM, interrupt)
        signal.setitimer(signal.ITIMER_REAL, 0.2)
        try:
            c.recv(0)
            outcome = "returned"
        except KeyboardInterrupt:
            outcome = "interrupted"
        c.close()
        report(outcome=outcome)
    """)
    assert result == dict(outcome="interrupted")


def test_malformed_uri_does_not_freeze_the_device_list() -> None:
    result, _ = run_scenario("""
        bench = orvaemu.Bench()
        try:
            Connection("radio://0/80/2m/E7E7E7E7E7")
        except RuntimeError as error:
            refused = str(error)
        bench.add_dongle("EMU0")
        c = Connection("radio://*/80/2M/E7E7E7E7E7?safelink=0")
        report(refused=refused, text=repr(c))
        c.close()
    """)
    assert result == dict(refused="Invalid uri (radio://0/80/2m/E7E7E7E7E7)!",
                          text="Connection(radio://*/80/2M/E7E7E7E7E7?safelink=0)")
