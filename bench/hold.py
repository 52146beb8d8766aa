#!/usr/bin/env python3
"""Holds COUNT idle TCP connections to a loopback HOST:PORT for at most SECONDS, then closes them.

Prints "held N" once all are connected. Ends early on SIGTERM, or with status 1 when the relay closes a held connection.
"""
import ipaddress
import signal
import socket
import sys
import time


def main() -> int:
    if len(sys.argv) != 5:
        print("usage: hold.py HOST PORT COUNT SECONDS", file=sys.stderr)
        return 2
    host, port, count, seconds = sys.argv[1], int(sys.argv[2]), int(sys.argv[3]), float(sys.argv[4])
    # Only loopback is ever a target of this benchmark.
    if not ipaddress.ip_address(host.strip("[]")).is_loopback:
        print(f"hold.py: {host} is not a loopback address", file=sys.stderr)
        return 2
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(0))
    deadline = time.monotonic() + seconds
    socks = []
    try:
        for _ in range(count):
            s = socket.create_connection((host.strip("[]"), port), timeout=5)
            socks.append(s)
        print(f"held {len(socks)}", flush=True)
        while time.monotonic() < deadline:
            # A relay that drops an idle client is a fault worth reporting, not hiding.
            for s in socks:
                s.setblocking(False)
                try:
                    if s.recv(1, socket.MSG_PEEK) == b"":
                        print("hold.py: a held connection was closed by the relay", file=sys.stderr)
                        return 1
                except BlockingIOError:
                    pass
            time.sleep(min(0.5, max(0.0, deadline - time.monotonic())))
    finally:
        for s in socks:
            s.close()
    return 0


if __name__ == "__main__":
    sys.exit(main())
