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

from harness import (SAMPLE_IPV4, SAMPLE_IPV6, V4_PRIMARY,  # noqa: E402
                     V6_PRIMARY, Behaviour, Network)

def main():
    binary = os.path.abspath(sys.argv[1])
    net = Network()
    status = 0
    for args in ([], ["--json"]):
        net.servers.configure({V4_PRIMARY: Behaviour(json.dumps(SAMPLE_IPV4)),
                               V6_PRIMARY: Behaviour(json.dumps(SAMPLE_IPV6))})
        print(" ".join(["$ ipwhere", *args]), flush=True)
        status |= subprocess.run([binary, *args]).returncode
        print(flush=True)
    return status


if __name__ == "__main__":
    if len(sys.argv) < 2:
        sys.exit(__doc__)
    sys.exit(main())
