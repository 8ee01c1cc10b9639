#!/usr/bin/env python3
"""Wall time, CPU time and peak memory of ipwhere against the curl CLI.

Usage: bench/bench.py PATH_TO_IPWHERE [RUNS [OTHER_IPWHERE]]
Runs as root inside the end-to-end suite's private network (it enters it
itself), against nginx (HTTP/2, TLS 1.3) on 127.0.0.1:443 and [::1]:443,
with the system's CA bundle plus the test CA. Each contender runs as a whole
process under bench/measure.cpp, interleaved with the others after a
warm-up, first with an instant server, then with a 300 ms delay. With
OTHER_IPWHERE (an earlier build, say), it runs as contenders "other" and
"other_4" in the same rounds, so that a change is measured under the same
load. Before it
reports, it checks that the server is not what it times: the gap between
the end of curl's TLS handshake and the first byte must stay under 10 ms.
Prints a table of medians with ratios against one curl request, and last
one JSON line with every median.
"""

import json
import os
import statistics
import subprocess
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)),
                                "..", "tests", "e2e"))

from harness import (SAMPLE_IPV4, SAMPLE_IPV6, V4_PRIMARY,  # noqa: E402
                     V6_PRIMARY, Network, Nginx, Site, build_measure)

HERE = os.path.dirname(os.path.abspath(__file__))
MAX_FIRST_BYTE_GAP_MS = 10


def curl(host):
    return ["curl", "-s", "-A", "ipwhereagent/1.0", f"https://{host}/json"]


def first_byte_gap_ms(host, samples=15):
    """Median time from the end of curl's TLS handshake to the first byte."""
    gaps = []
    for _ in range(samples):
        out = subprocess.run(
            curl(host) + ["-o", "/dev/null", "-w",
                          "%{time_appconnect} %{time_starttransfer}"],
            capture_output=True, text=True, check=True).stdout.split()
        gaps.append((float(out[1]) - float(out[0])) * 1000)
    return statistics.median(gaps)


def busy_seconds():
    """Non-idle CPU time of the whole machine so far."""
    with open("/proc/stat") as f:
        fields = [int(v) for v in f.readline().split()[1:]]
    idle = fields[3] + fields[4]  # idle, iowait
    return (sum(fields[:8]) - idle) / os.sysconf("SC_CLK_TCK")


def measure(tool, commands):
    """Wall ms, CPU ms, peak RSS KiB of the commands run one after another."""
    argv = [tool]
    for i, command in enumerate(commands):
        argv += ([";"] if i else []) + command
    out = subprocess.run(argv, capture_output=True, text=True)
    if out.returncode != 0:
        sys.exit(f"{commands} failed: {out.stderr}")
    wall, cpu, rss = (int(v) for v in out.stdout.split())
    return wall / 1000, cpu / 1000, rss


def main():
    binary = os.path.abspath(sys.argv[1])
    runs = int(sys.argv[2]) if len(sys.argv) > 2 else 30
    other = os.path.abspath(sys.argv[3]) if len(sys.argv) > 3 else None
    tool = build_measure(os.path.dirname(binary))
    net = Network(full_bundle=True, python_servers=False, layered=False)

    contenders = {
        "ipwhere": [[binary]],
        "ipwhere_4": [[binary, "-4"]],
        # Under an outer system-call filter, as from a hardened service
        # unit: the confinement is tried in a child process first.
        "ipwhere_4_filtered": [["--filtered", binary, "-4"]],
        **({"other": [[other]], "other_4": [[other, "-4"]]} if other else {}),
        "curl": [curl(V4_PRIMARY)],
        "curl_twice": [curl(V4_PRIMARY), curl(V6_PRIMARY)],
    }
    with open("/etc/ssl/certs/ca-certificates.crt") as f:
        certificates = sum(1 for line in f if "BEGIN" in line)
    print(f"{runs} runs each, interleaved, medians; CA bundle of "
          f"{certificates} certificates; nginx, HTTP/2, TLS 1.3")
    report = {}
    for delay_ms in (0, 300):
        sites = {V4_PRIMARY: Site(json.dumps(SAMPLE_IPV4), delay=delay_ms / 1000),
                 V6_PRIMARY: Site(json.dumps(SAMPLE_IPV6), delay=delay_ms / 1000)}
        with Nginx(net.certs, sites, ("127.0.0.1", "::1")) as nginx:
            if delay_ms == 0:
                gap = first_byte_gap_ms(V4_PRIMARY)
                print(f"instrument: {gap:.2f} ms from TLS handshake to first "
                      f"byte (limit {MAX_FIRST_BYTE_GAP_MS} ms)")
                if gap >= MAX_FIRST_BYTE_GAP_MS:
                    sys.exit(f"the server stalls {gap:.1f} ms before the first "
                             "byte: the bench would time the server, not the "
                             "client; stopping")
            samples = {name: [] for name in contenders}
            for commands in contenders.values():  # warm-up
                measure(tool, commands)
            server_before, busy_before = nginx.cpu_seconds(), busy_seconds()
            for _ in range(runs):  # interleaved, so drift hits all alike
                for name, commands in contenders.items():
                    samples[name].append(measure(tool, commands))
            server_cpu = nginx.cpu_seconds() - server_before
            busy = busy_seconds() - busy_before
        requests = runs * (7 + (3 if other else 0))  # 2+1+1(+2+1)+1+2 a round
        client_cpu = sum(s[1] for values in samples.values() for s in values) / 1000
        medians = {name: {"wall_ms": round(statistics.median(v[0] for v in values), 2),
                          "cpu_ms": round(statistics.median(v[1] for v in values), 2),
                          "rss_kib": int(statistics.median(v[2] for v in values))}
                   for name, values in samples.items()}
        report[str(delay_ms)] = medians
        print(f"\nserver delay {delay_ms} ms: nginx used "
              f"{server_cpu / requests * 1000:.2f} ms CPU per request; the "
              f"machine was busy {busy:.2f} s, of which the clients "
              f"{client_cpu:.2f} s and nginx {server_cpu:.2f} s")
        print(f"{'contender':12} {'wall ms':>8} {'CPU ms':>8} {'RSS KiB':>8}"
              f" {'/curl wall':>10} {'CPU':>6} {'RSS':>6}")
        base = medians["curl"]
        for name, m in medians.items():
            print(f"{name:12} {m['wall_ms']:8.1f} {m['cpu_ms']:8.1f} "
                  f"{m['rss_kib']:8d} {m['wall_ms'] / base['wall_ms']:10.2f} "
                  f"{m['cpu_ms'] / base['cpu_ms']:6.2f} "
                  f"{m['rss_kib'] / base['rss_kib']:6.2f}")
    print(json.dumps(report, separators=(",", ":")))


if __name__ == "__main__":
    if len(sys.argv) < 2:
        sys.exit(__doc__)
    main()
