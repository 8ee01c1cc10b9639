#!/usr/bin/env python3
"""What the confinement costs a whole run: `ipwhere -4` to a closed port
443, so that no TLS or server time is in it, with confined builds beside
unconfined ones (-DIPWHERE_CONFINEMENT=OFF) in the same rounds.

Usage: bench/confinement.py ROUNDS CONFINED UNCONFINED [CONFINED UNCONFINED]...

Runs as root inside the end-to-end suite's private network (it enters it
itself), with the system's CA directory and bundle and /etc as it is on
the machine (no overlay, under which each link read costs about twice as
much). Every round runs each build once, as root and as uid 1000; prints
per pair the medians of wall time and of the paired differences in wall
and CPU time (user + system, from wait4).
"""

import os
import statistics
import subprocess
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)),
                                "..", "tests", "e2e"))

from harness import Network  # noqa: E402

USER = 1000


def as_user():
    os.setgroups([])
    os.setgid(USER)
    os.setuid(USER)


def once(path, user):
    """Wall and CPU milliseconds of one run."""
    start = time.perf_counter()
    child = subprocess.Popen([path, "-4"], stdout=subprocess.DEVNULL,
                             stderr=subprocess.DEVNULL,
                             preexec_fn=as_user if user else None)
    _, _, usage = os.wait4(child.pid, 0)
    wall = (time.perf_counter() - start) * 1000
    return wall, (usage.ru_utime + usage.ru_stime) * 1000


def main():
    if len(sys.argv) < 4 or len(sys.argv) % 2 != 0:
        sys.exit(__doc__)
    rounds = int(sys.argv[1])
    builds = [os.path.abspath(path) for path in sys.argv[2:]]
    Network(full_bundle=True, python_servers=False, layered=False)
    print(f"{rounds} rounds, ipwhere -4 to a closed port, medians")
    for user in (False, True):
        samples = {path: [] for path in builds}
        for path in builds:
            once(path, user)  # warm-up
        for _ in range(rounds):
            for path in builds:
                samples[path].append(once(path, user))
        who = f"uid {USER}" if user else "root"
        for confined, unconfined in zip(builds[::2], builds[1::2]):
            a, b = samples[confined], samples[unconfined]
            wall = statistics.median(x[0] - y[0] for x, y in zip(a, b))
            cpu = statistics.median(x[1] - y[1] for x, y in zip(a, b))
            print(f"{who:8} {confined}: {statistics.median(x[0] for x in a):.2f} ms "
                  f"against {statistics.median(x[0] for x in b):.2f} ms unconfined; "
                  f"paired: wall {wall:+.2f} ms, CPU {cpu:+.2f} ms")


if __name__ == "__main__":
    main()
