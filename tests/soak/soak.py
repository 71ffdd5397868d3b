"""Chaos soak: runs tests/soak/client.py against a launcher's bench for a
while, with faults injected at random moments, and prints what held as a
table. Exits 1 when anything failed.

    python3.9 tests/soak/soak.py --seed 1 --duration 600
"""

import argparse
import json
import os
import subprocess
import sys
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

from checks import BOUNDS, known_scan_line  # noqa: E402

BENCH = ["--dongle", "EMU0", "--dongle", "EMU1", "--usb-robot", "EMUR0",
         "--radio-robot", "80/2M/E7E7E7E7E7", "--radio-robot", "40/1M/E7E7E7E7E7",
         "--radio-robot", "10/250K/E7E7E7E7E7"]
# What the process may keep once everything is closed: the interpreter's own
# arenas and the soak's bookkeeping. The bench's logs grow in the launcher's
# process, not in the one measured.
RSS_ALLOWANCE_KIB = 16 * 1024
STEADY_ALLOWANCE_KIB = 4 * 1024
# Idle CPU allowed with nothing open, as a share of the window.
IDLE_CPU_SHARE = 0.2
# How soon the process must end after its main thread does.
EXIT_BOUND = 5.0
# How long past its planned end the client may run before it is ended.
OVERDUE_AFTER = 900.0


def rss_kib(pid):
    try:
        with open(f"/proc/{pid}/status") as status:
            return next(int(line.split()[1]) for line in status if line.startswith("VmRSS:"))
    except (OSError, StopIteration):
        return None


def run(options):
    command = [sys.executable, "-m", "orvaemu", *BENCH, "--seed", str(options.seed), "--",
               sys.executable, os.path.join(HERE, "client.py"), "--seed", str(options.seed),
               "--duration", str(options.duration),
               "--checkpoint-every", str(options.checkpoint_every)]
    log_path = os.path.join(options.log_dir, f"soak-{options.seed}.log")
    os.makedirs(options.log_dir, exist_ok=True)
    output = dict(report=None, lines=0, scan_lines=0, checkpoint_errors={}, unknown_lines=[])
    inside = None
    with open(log_path, "w") as log:
        child = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=log, text=True,
                                 cwd=HERE, bufsize=1)
        bench_rss = []
        # The client ends itself on a hung call; this is for anything else.
        overdue = threading.Timer(options.duration + OVERDUE_AFTER, child.terminate)
        overdue.start()
        reported_at = None
        for line in child.stdout:
            log.write(line)
            log.flush()
            line = line.rstrip("\n")
            output["lines"] += 1
            if line.startswith("REPORT "):
                output["report"] = json.loads(line[len("REPORT "):])
                reported_at = time.monotonic()
                bench_rss.append(rss_kib(child.pid))
            elif line.startswith("MARK scan-begin "):
                inside = int(line.split()[-1])
                output["checkpoint_errors"][inside] = []
            elif line.startswith("MARK scan-end "):
                inside = None
            elif line.startswith("Error during scan: "):
                output["scan_lines"] += 1
                if inside is not None:
                    output["checkpoint_errors"][inside].append(line)
                if not known_scan_line(line):
                    output["unknown_lines"].append(line)
            elif line.startswith("checkpoint "):
                print(line, flush=True)
                if not bench_rss:
                    bench_rss.append(rss_kib(child.pid))
        try:
            status = child.wait(timeout=60)
        except subprocess.TimeoutExpired:
            child.kill()
            status = "did not end within 60 s"
        if not overdue.is_alive():
            status = f"{status}, ended by the soak {OVERDUE_AFTER:g} s after its planned end"
        overdue.cancel()
        ended_at = time.monotonic()
    output.update(status=status, log=log_path, bench_rss=bench_rss,
                  exit_seconds=None if reported_at is None else round(ended_at - reported_at, 2))
    return output


def rows(output):
    report = output["report"]
    status = output["status"]
    yield ("no crash", report is not None,
           f"exit status {status}" if report is None else "ran to its report")
    if report is None:
        return
    yield ("the soak itself ran as planned", not report["machinery"],
           f"{report['machinery'][:3]}" if report["machinery"] else "every fault injected")
    yield ("clean exit, a receiver still waiting", status == 0 and output["exit_seconds"] is not None
           and output["exit_seconds"] <= EXIT_BOUND,
           f"exit status {status} {output['exit_seconds']} s after the report")
    late = report["late"]
    yield ("every call within its bound", not late,
           (f"{len(late)} late, e.g. {late[:3]}; " if late else "") +
           "slowest " + ", ".join(f"{kind} {seconds} s (bound {BOUNDS[kind]} s)"
                                  for kind, seconds in sorted(report["slowest"].items())))
    unknown = report["unknown_errors"] + output["unknown_lines"][:5]
    yield ("errors carry the exact texts", not unknown,
           f"unknown: {unknown[:5]}" if unknown else
           f"{sum(e[3] for e in report['errors'])} errors, {len(report['errors'])} distinct "
           f"texts, all known; {output['scan_lines']} scan error lines, all known")
    for lane in report["lanes"]:
        what = "every packet once, in order" if lane["exact"] else "echoes in order"
        yield (f"{lane['name']}: {what}", not lane["violations"],
               f"{lane['echoes']} of {lane['sent']} echoed in {lane['sessions']} sessions "
               f"({lane['failed_sessions']} ended by a failure), {lane['stale']} stale or cut "
               f"echoes set aside" +
               (f"; {lane['violations'][:3]}" if lane["violations"] else ""))
    raised = [text for lane in report["lanes"] for text in lane["close_raised"]]
    yield ("close never raises", not raised,
           f"{sum(l['close_raised_count'] for l in report['lanes'])} raised, e.g. {raised[:2]}"
           if raised else "none raised")
    failed = []
    for checkpoint in report["checkpoints"]:
        errors = output["checkpoint_errors"].get(checkpoint["number"], [])
        if checkpoint["problems"] or errors:
            failed.append((checkpoint["number"], checkpoint["problems"], len(errors),
                           errors[:1]))
    yield ("after a replug and one scan every device serves", not failed,
           f"{len(failed)} of {len(report['checkpoints'])} checkpoints failed: {failed[:2]}"
           if failed else f"{len(report['checkpoints'])} checkpoints")
    base, final = report["baseline"], report["final"]
    yield ("threads back to baseline", final["threads"] <= base["threads"],
           f"{base['threads']} -> {final['threads']}")
    yield ("file descriptors back to baseline", final["fds"] <= base["fds"],
           f"{base['fds']} -> {final['fds']}")
    grown = final["rss_kib"] - base["rss_kib"]
    series = [c["rss_kib"] for c in report["checkpoints"]]
    yield ("memory back to baseline", grown <= RSS_ALLOWANCE_KIB,
           f"{base['rss_kib']} KiB -> {final['rss_kib']} KiB (allowance {RSS_ALLOWANCE_KIB} KiB;"
           f" at checkpoints {series[:3]}...{series[-2:]}; bench process "
           f"{output['bench_rss'][0]} -> {output['bench_rss'][-1]} KiB, not counted)")
    # Past the first checkpoint with traffic, the interpreter's arenas and the
    # soak's bookkeeping have grown to size: what grows after that is a leak.
    if len(series) >= 3:
        steady = series[-1] - series[1]
        yield ("memory steady from the first traffic checkpoint", steady <= STEADY_ALLOWANCE_KIB,
               f"{series[1]} KiB -> {series[-1]} KiB over {len(series) - 2} checkpoints "
               f"(allowance {STEADY_ALLOWANCE_KIB} KiB)")
    idle = report["idle_cpu"]
    yield ("no spinning with nothing open", idle["cpu"] <= IDLE_CPU_SHARE * idle["window"],
           f"{idle['cpu']} CPU s over {idle['window']} s")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--duration", type=float, default=600)
    parser.add_argument("--checkpoint-every", type=float, default=60)
    parser.add_argument("--log-dir", default=os.path.join(os.getcwd(), "build", "soak"))
    options = parser.parse_args()
    started = time.monotonic()
    output = run(options)
    table = list(rows(output))
    width = max(len(name) for name, _, _ in table)
    print(f"\nsoak, seed {options.seed}, {options.duration:g} s asked, "
          f"{time.monotonic() - started:.0f} s in all; log {output['log']}")
    if output["report"]:
        print("faults injected: " + ", ".join(f"{name} {count}" for name, count in
                                              sorted(output["report"]["injected"].items())))
        print("calls: " + ", ".join(f"{kind} {count}" for kind, count in
                                    sorted(output["report"]["calls"].items())))
    for name, ok, detail in table:
        print(f"{'PASS' if ok else 'FAIL'}  {name:<{width}}  {detail}")
    return 0 if all(ok for _, ok, _ in table) else 1


if __name__ == "__main__":
    sys.exit(main())
