#!/usr/bin/env python3
"""Shows both reports of the built binary without internet access.

Usage: demo.py PATH_TO_IPWHERE
Serves sample answers from local HTTPS servers inside the end-to-end suite's
private network (root needed) and runs ipwhere, then ipwhere --json.
"""

import json
import os
import subprocess
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from harness import V4_PRIMARY, V6_PRIMARY, Behaviour, Network  # noqa: E402

IPV4 = {"ip": "192.0.2.1", "hostname": "host4.example", "asn": 64500,
        "aso": "Example Net", "continent": "EU", "cc": "GB",
        "country": "United Kingdom", "city": "London", "postal": "EC1A",
        "latitude": 51.5074, "longitude": -0.1278, "tz": "Europe/London",
        "weather": "UKXX0085"}
IPV6 = {"ip": "2001:db8::1", "hostname": "host6.example", "asn": 64501,
        "aso": "Example Six", "continent": "OC", "cc": "AU",
        "country": "Australia", "city": "Sydney", "latitude": -33.8688,
        "longitude": 151.2093, "tz": "Australia/Sydney"}


def main():
    binary = os.path.abspath(sys.argv[1])
    net = Network()
    status = 0
    for args in ([], ["--json"]):
        net.servers.configure({V4_PRIMARY: Behaviour(json.dumps(IPV4)),
                               V6_PRIMARY: Behaviour(json.dumps(IPV6))})
        print(" ".join(["$ ipwhere", *args]), flush=True)
        status |= subprocess.run([binary, *args]).returncode
        print(flush=True)
    return status


if __name__ == "__main__":
    if len(sys.argv) < 2:
        sys.exit(__doc__)
    sys.exit(main())
