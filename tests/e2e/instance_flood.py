#!/usr/bin/python3
"""Floods the program's instance socket with request lines, as a hostile
local client would.

    instance_flood.py <socket> <bytes> <seconds> [<connections>]

Writes "check" lines, 1.5 MB a write, each write given 2 s. When the program
closes the connection or stops reading, connects again, up to <connections>
connections (no bound when not given), until <bytes> have been taken or
<seconds> have passed. Prints "<bytes taken> <connections made>".
"""
import socket
import sys
import time

CHUNK = b"check\n" * (1 << 18)


def main(path, total, seconds, most):
    deadline = time.monotonic() + seconds
    taken = 0
    connections = 0
    while taken < total and time.monotonic() < deadline and (most is None or connections < most):
        s = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        s.settimeout(2)
        try:
            s.connect(path)
            connections += 1
            while taken < total and time.monotonic() < deadline:
                taken += s.send(CHUNK[: min(len(CHUNK), total - taken)])
        except OSError:
            pass
        finally:
            s.close()
    print(taken, connections)


if __name__ == "__main__":
    if len(sys.argv) not in (4, 5):
        print(__doc__, file=sys.stderr)
        sys.exit(2)
    main(sys.argv[1], int(sys.argv[2]), float(sys.argv[3]), int(sys.argv[4]) if len(sys.argv) == 5 else None)
