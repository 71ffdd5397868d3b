"""How the times of single echoes through orvapy spread, on an emulated bench.

Run under the preload, like bench/performance.py:

    LD_PRELOAD=libumockdev-preload.so.0 python3.9 bench/echo_times.py [URI] [COUNT]

A best-of-rounds mean hides waits that only some packets meet (a packet that
lands while the worker is busy elsewhere); the median, the 90th and 99th
percentiles and the count of echoes over 1 ms show them. The first 50 echoes
are not counted.
"""
import statistics
import sys
import time

from performance import new_bench, packet


def main():
    import orvapy
    uri = sys.argv[1] if len(sys.argv) > 1 else "usb://0"
    count = int(sys.argv[2]) if len(sys.argv) > 2 else 2000
    bench = new_bench("fast")
    bench.add_dongle("BENCH0")
    bench.add_radio_robot(80, "2M")
    bench.add_usb_robot("BENCHR0")
    connection = orvapy.Connection(uri)
    times = []
    for i in range(50 + count):
        sent = packet(i)
        started = time.perf_counter()
        connection.send(sent)
        while connection.recv(1000).payload != sent.payload:
            pass
        times.append((time.perf_counter() - started) * 1e6)
    connection.close()
    times = sorted(times[50:])

    def rank(share):
        return times[int(share * (len(times) - 1))]

    print(f"{uri}: {count} echoes, mean {statistics.mean(times):.0f} us, median {rank(0.5):.0f}, "
          f"p90 {rank(0.9):.0f}, p99 {rank(0.99):.0f}, over 1 ms {sum(t > 1000 for t in times)}")


if __name__ == "__main__":
    main()
