"""What a link through `orva serve` costs against the same link opened locally.

    make bench-remote PYTHON=...   (or: LD_PRELOAD=libumockdev-preload.so.0 \\
                                     python3.9 bench/remote_bench.py [ROUNDS])

One emulated bench with a dongle and a radio robot, a server process serving
it over Zenoh on a loopback port, and a measuring process that opens the link
through the server and directly with orvapy in turns, round by round (one
side holds the robot at a time, each round on a freshly opened link). Echo
times: the best round of each side, and their ratio. Packets per second: packets sent back to back and
all their echoes heard, by one client and by eight clients sharing the link
(each of the eight hears every echo). Server CPU: its user and system time
from /proc over the echo rounds, per echo (one packet each way).
"""
import json
import os
import socket
import subprocess
import sys
import threading
import time

ROUNDS = 5
ECHOES = 50
WARM_UP = 5
BURST = 320
BURST_ROUNDS = 3
# After one side closes the link, the other opens it only once the first
# has let the device go.
HANDOVER_S = 0.3
NODE = "bench"
DIRECT = "radio://0/80/2M/E7E7E7E7E7"
REMOTE = f"zenoh://{NODE}/radio/0/80/2M/E7E7E7E7E7"
HERE = os.path.dirname(os.path.abspath(__file__))


def cpu_seconds(pid):
    with open(f"/proc/{pid}/stat") as stat:
        fields = stat.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def direct_echo(connection, orvapy, number):
    packet = orvapy.Packet()
    packet.port, packet.channel, packet.payload = 1, 0, bytes([number & 0xFF])
    connection.send(packet)
    while True:
        received = connection.recv(10000)
        if not received.valid:
            raise RuntimeError("a direct echo did not come back")
        if received.port == 1:
            return


def remote_echo(transport, Packet, number):
    transport.send(Packet(1, 0, bytes([number & 0xFF])))
    while True:
        received = transport.recv(10.0)
        if received is None:
            raise RuntimeError("a remote echo did not come back")
        if received.port == 1:
            return


def hear(transport, count, failures):
    heard = 0
    while heard < count:
        received = transport.recv(30.0)
        if received is None:
            failures.append(f"{heard} of {count} echoes came")
            return
        heard += received.port == 1


def burst(clients, Packet):
    """Seconds for BURST packets shared among the clients, every client
    hearing every echo."""
    failures = []
    listeners = [threading.Thread(target=hear, args=(client, BURST, failures)) for client in clients]
    started = time.perf_counter()
    for listener in listeners:
        listener.start()
    for number in range(BURST):
        clients[number % len(clients)].send(Packet(1, 0, bytes([number & 0xFF])))
    for listener in listeners:
        listener.join(120)
    if failures or any(listener.is_alive() for listener in listeners):
        raise RuntimeError(f"burst through {len(clients)} clients: {failures or 'hung'}")
    return time.perf_counter() - started


def direct_burst(connection, orvapy):
    started = time.perf_counter()
    for number in range(BURST):
        packet = orvapy.Packet()
        packet.port, packet.channel, packet.payload = 1, 0, bytes([number & 0xFF])
        connection.send(packet)
    heard = 0
    while heard < BURST:
        received = connection.recv(30000)
        if not received.valid:
            raise RuntimeError(f"direct burst: {heard} of {BURST} echoes came")
        heard += received.port == 1
    return time.perf_counter() - started


def measure(server_pid, rounds):
    """The measuring process: prints its figures as JSON. The robot is held by
    one side at a time, so that each side has the emulated bench to itself."""
    import orvapy
    from orva.remote import open_transport
    from orva.remote._contract import Packet

    times = {"direct": [], "remote": []}
    server_cpu = direct_cpu = 0.0
    bursts = {"direct": [], "1": [], "8": []}
    for round_number in range(rounds):
        remote = open_transport(REMOTE)
        for number in range(WARM_UP):
            remote_echo(remote, Packet, number)
        cpu = cpu_seconds(server_pid)
        started = time.perf_counter()
        for number in range(ECHOES):
            remote_echo(remote, Packet, number)
        times["remote"].append((time.perf_counter() - started) / ECHOES)
        server_cpu += cpu_seconds(server_pid) - cpu
        if round_number < BURST_ROUNDS:
            bursts["1"].append(burst([remote], Packet))
            eight = [remote] + [open_transport(REMOTE) for _ in range(7)]
            bursts["8"].append(burst(eight, Packet))
            for transport in eight[1:]:
                transport.close()
        remote.close()
        time.sleep(HANDOVER_S)

        direct = orvapy.Connection(DIRECT)
        for number in range(WARM_UP):
            direct_echo(direct, orvapy, number)
        cpu = cpu_seconds(os.getpid())
        started = time.perf_counter()
        for number in range(ECHOES):
            direct_echo(direct, orvapy, number)
        times["direct"].append((time.perf_counter() - started) / ECHOES)
        direct_cpu += cpu_seconds(os.getpid()) - cpu
        if round_number < BURST_ROUNDS:
            bursts["direct"].append(direct_burst(direct, orvapy))
        direct.close()
        time.sleep(HANDOVER_S)
    print(json.dumps({"times": times, "server_cpu_per_echo": server_cpu / (rounds * ECHOES),
                      "direct_cpu_per_echo": direct_cpu / (rounds * ECHOES),
                      "bursts": bursts}), flush=True)
    return 0


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def main(argv):
    if argv[:1] == ["--measure"]:
        return measure(int(argv[1]), int(argv[2]))
    rounds = int(argv[0]) if argv else ROUNDS
    from orvaemu import Bench
    bench = Bench()
    dongle = bench.add_dongle("EMU0")
    bench.add_radio_robot(80, "2M")
    env = dict(os.environ, UMOCKDEV_DIR=bench.root_dir)
    endpoint = f"tcp/127.0.0.1:{free_port()}"
    server = subprocess.Popen([sys.executable, "-m", "orva", "serve", "--name", NODE,
                               "--listen", endpoint], env=env, stderr=subprocess.PIPE, text=True)
    try:
        line = server.stderr.readline()
        if "serving" not in line:
            raise RuntimeError(f"orva serve did not start: {line}")
        threading.Thread(target=server.stderr.read, daemon=True).start()
        result = subprocess.run([sys.executable, os.path.abspath(__file__), "--measure",
                                 str(server.pid), str(rounds)],
                                env=dict(env, ORVA_ZENOH_CONNECT=endpoint),
                                capture_output=True, text=True, timeout=900)
        if result.returncode != 0:
            raise RuntimeError(f"the measuring process failed:\n{result.stderr}")
        figures = json.loads(result.stdout.strip().splitlines()[-1])
    finally:
        server.terminate()
        server.wait(60)
    del dongle
    direct, remote = min(figures["times"]["direct"]), min(figures["times"]["remote"])
    alone = min(figures["bursts"]["direct"])
    one, eight = min(figures["bursts"]["1"]), min(figures["bursts"]["8"])
    served_cpu, direct_cpu = figures["server_cpu_per_echo"], figures["direct_cpu_per_echo"]
    rows = [
        ("remote echo / direct echo (best of %d interleaved rounds)" % rounds,
         f"{remote / direct:.2f}x", f"target <= 1.3x; {remote * 1e3:.3f} ms vs {direct * 1e3:.3f} ms"),
        ("packets/s through the server, 1 client", f"{BURST / one:.0f}",
         f"{BURST} back to back, every echo heard; direct {BURST / alone:.0f}/s"),
        ("packets/s through the server, 8 clients", f"{BURST / eight:.0f}",
         f"each of 8 hears all: {8 * BURST / eight:.0f} deliveries/s"),
        ("server CPU per echo (one packet each way)", f"{served_cpu * 1e6:.0f} us",
         f"user + system; a direct client's whole process {direct_cpu * 1e6:.0f} us"),
        ("server CPU per echo beyond a direct client's", f"{(served_cpu - direct_cpu) * 1e6:.0f} us",
         "what serving over Zenoh adds to the link's own work"),
    ]
    width = max(len(row[0]) for row in rows)
    for what, value, note in rows:
        print(f"{what:<{width}}  {value:>8}  {note}")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
