#!/usr/bin/env python3
"""Wall time and peak memory of ipwhere against the curl CLI.

Usage: bench/bench.py PATH_TO_IPWHERE [RUNS]
Runs as root inside the end-to-end suite's private network (it enters it
itself): local HTTPS servers on loopback, the system's CA bundle plus the
test CA. Compares ipwhere (both families at once) with one curl request and
with two curl requests one after the other, first with servers that answer
at once, then with servers that wait 300 ms. Prints medians and ratios.
"""

import json
import os
import statistics
import subprocess
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)),
                                "..", "tests", "e2e"))

from harness import (SAMPLE_IPV4, V4_PRIMARY, V6_PRIMARY,  # noqa: E402
                     Behaviour, Network)

BODY = json.dumps(SAMPLE_IPV4)


def measure(commands):
    """Runs the commands one after the other; wall seconds, peak RSS KiB.

    Peak memory comes from GNU time: a process forked from this (larger)
    Python process would report Python's resident size as its own peak.
    """
    start = time.monotonic()
    peak = 0
    for command in commands:
        completed = subprocess.run(["/usr/bin/time", "-f", "%M", "--", *command],
                                   stdout=subprocess.DEVNULL,
                                   stderr=subprocess.PIPE, text=True)
        if completed.returncode != 0:
            sys.exit(f"{command} failed: {completed.stderr}")
        peak = max(peak, int(completed.stderr.split()[-1]))
    return time.monotonic() - start, peak


def main():
    binary = os.path.abspath(sys.argv[1])
    runs = int(sys.argv[2]) if len(sys.argv) > 2 else 30
    net = Network(full_bundle=True)

    def curl(host):
        return ["curl", "-s", "-A", "ipwhereagent/1.0", f"https://{host}/json"]

    contenders = {
        "ipwhere (IPv4 + IPv6)": [[binary]],
        "curl, one request": [curl(V4_PRIMARY)],
        "curl, two requests": [curl(V4_PRIMARY), curl(V6_PRIMARY)],
    }
    print(f"{runs} runs each, medians; CA bundle of "
          f"{sum(1 for _ in open('/etc/ssl/certs/ca-certificates.crt') if 'BEGIN' in _)}"
          " certificates")
    for delay in (0.0, 0.3):
        net.servers.configure({V4_PRIMARY: Behaviour(BODY, delay=delay),
                               V6_PRIMARY: Behaviour(BODY, delay=delay)})
        samples = {name: [] for name in contenders}
        for name, commands in contenders.items():  # warm-up
            measure(commands)
        for _ in range(runs):  # interleaved, so drift hits all alike
            for name, commands in contenders.items():
                samples[name].append(measure(commands))
        print(f"\nserver delay {delay * 1000:.0f} ms")
        print(f"{'command':24} {'wall ms':>9} {'peak RSS MiB':>13}")
        medians = {}
        for name, values in samples.items():
            wall = statistics.median(v[0] for v in values) * 1000
            rss = statistics.median(v[1] for v in values) / 1024
            medians[name] = (wall, rss)
            print(f"{name:24} {wall:9.1f} {rss:13.1f}")
        ours = medians["ipwhere (IPv4 + IPv6)"]
        for other in ("curl, one request", "curl, two requests"):
            wall, rss = medians[other]
            print(f"ipwhere / {other}: time {ours[0] / wall:.2f}, "
                  f"memory {ours[1] / rss:.2f}")


if __name__ == "__main__":
    if len(sys.argv) < 2:
        sys.exit(__doc__)
    main()
