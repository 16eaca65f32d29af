#!/usr/bin/env python3
"""Latency of the speech-dispatcher output module, under the real daemon and
qzsim (the set-up of the end-to-end test, tests/sd/sdrun.py):

- stop: from `spd-say -S` (the process started), and from an SSIP STOP
  request written on a client's socket, to the urgent cancel at the simulator;
- mark: from the simulator's reply byte for an index marker to the index-mark
  event at the client.

Each figure is set beside the round trip of one bare SSIP request to the
daemon (SET SELF PRIORITY), measured in the same run, once per stop.
Times at the simulator come from its log, brought to this clock through the
time it logs connections (1 ms resolution).

usage: sd_latency.py QZSIM SD_QZUSBD LIBQZUSBD [STOPS]"""
import os
import socket
import subprocess
import sys
import time

sys.dont_write_bytecode = True  # nothing written into the source tree
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "sd"))
from sdrun import Client, Run, wait_for  # noqa: E402

LONG = " ".join("Sentence %d of a text that is stopped long before its end." % i for i in range(1, 30))


def percentile(values, p):
    s = sorted(values)
    return s[min(len(s) - 1, int(round(p / 100.0 * (len(s) - 1))))]


def report(name, values, baseline):
    p50, p99 = percentile(values, 50), percentile(values, 99)
    b50, b99 = percentile(baseline, 50), percentile(baseline, 99)
    print("%-34s p50 %7.2f ms  p99 %7.2f ms   (SSIP round trip p50 %.2f ms, p99 %.2f ms; ratio p50 %.1f, p99 %.1f)"
          % (name, p50 * 1e3, p99 * 1e3, b50 * 1e3, b99 * 1e3, p50 / b50, p99 / b99))


def sim_clock_offset(run, samples=5):
    """Seconds to add to a time in the simulator's log to get time.monotonic():
    qzsim logs a connection when it accepts it, which is after connect() began,
    so each connection bounds the offset from below."""
    offset = None
    for _ in range(samples):
        count = sum(1 for e in run.sim_log() if e.get("event") == "connect")
        s = socket.socket(socket.AF_UNIX, socket.SOCK_SEQPACKET)
        before = time.monotonic()
        s.connect(os.path.join(run.dir, "qzusb-0"))
        connects = wait_for(lambda: [e for e in run.sim_log() if e.get("event") == "connect"][count:],
                            "qzsim to log the connection")
        s.close()
        o = before - connects[0]["t"]
        offset = o if offset is None else max(offset, o)
    return offset


def stops(run, client, offset, count, by_spd_say):
    """Stop latencies, and one bare SSIP round trip per stop."""
    latencies, round_trips = [], []
    stopper = Client(run.socket).setup("bench-stop")
    for _ in range(count):
        message = client.speak(LONG)
        client.wait_event(message, (701,))
        before = run.cancels()
        t = time.monotonic()
        client.request("SET SELF PRIORITY text", "2")
        round_trips.append(time.monotonic() - t)
        t0 = time.monotonic()
        if by_spd_say:
            subprocess.Popen(["spd-say", "-S"], env=run.env, stdin=subprocess.DEVNULL).wait()
        else:
            stopper.request("STOP ALL", "2")
        cancels = wait_for(lambda: [e for e in run.sim_log() if e.get("event") == "cancel"][before:],
                           "the urgent cancel")
        latencies.append(cancels[0]["t"] + offset - t0)
        client.wait_event(message, (702, 703))
    stopper.close()
    return latencies, round_trips


def marks(run, client, offset, per_message, messages):
    latencies = []
    for _ in range(messages):
        before = len([e for e in run.sim_log() if e.get("event") == "marker"])
        text = "".join('word %d <mark name="m%d"/> ' % (i, i) for i in range(per_message))
        message = client.speak("<speak>" + text + "</speak>")
        client.wait_event(message, (702, 703))
        replies = [e for e in run.sim_log() if e.get("event") == "marker"][before:]
        events = client.marks(message)
        if len(events) != per_message:
            raise SystemExit("expected %d marks, got %d" % (per_message, len(events)))
        latencies += [t - (r["t"] + offset) for (t, _), r in zip(events, replies)]
    return latencies


def main():
    if len(sys.argv) not in (4, 5):
        print(__doc__)
        return 2
    count = int(sys.argv[4]) if len(sys.argv) == 5 else 100
    run = Run(*sys.argv[1:4])
    try:
        run.start_sim()
        run.start_daemon()
        client = Client(run.socket).setup("bench")
        offset = sim_clock_offset(run)
        by_spd_say, rt1 = stops(run, client, offset, count, True)
        by_ssip, rt2 = stops(run, client, offset, count, False)
        mark = marks(run, client, offset, 50, max(1, count // 50))
        print("%d stops each way, %d marks" % (count, len(mark)))
        report("spd-say -S to urgent cancel", by_spd_say, rt1)
        report("SSIP STOP ALL to urgent cancel", by_ssip, rt2)
        report("mark reply byte to client event", mark, rt1 + rt2)
        client.close()
    finally:
        run.close()
    return 0


if __name__ == "__main__":
    sys.exit(main())
