#!/usr/bin/env python3
"""A CONNECT proxy on loopback that holds every byte --delay-ms in each direction, so that a
round trip through it costs twice that: a distant network, for the table's row 7 and by hand.

  python3 bench/latency_proxy.py [--port 0] [--delay-ms 25]
  curl -x http://127.0.0.1:PORT --cacert ca.pem https://localhost:48443/...

It tunnels only to loopback targets and refuses everything else."""

import argparse
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests" / "e2e"))

from support.proxy import ConnectProxy  # noqa: E402


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--port", type=int, default=0, help="0: any free port")
    parser.add_argument("--delay-ms", type=float, default=25.0,
                        help="added to every byte in each direction")
    options = parser.parse_args()
    with ConnectProxy(delay=options.delay_ms / 1000, port=options.port) as proxy:
        print(f"proxy on {proxy.address}, {options.delay_ms:g} ms each way", flush=True)
        try:
            while True:
                time.sleep(3600)
        except KeyboardInterrupt:
            print(f"{len(proxy.connects)} tunnels", flush=True)


if __name__ == "__main__":
    main()
