#!/usr/bin/env python3
"""A peer that accepts connections and never says a word.

    silent_peer.py PORT_FILE

Listens on 127.0.0.1 at a free port, writes the port to PORT_FILE once it
listens, takes every connection, reads and drops whatever arrives, and closes
a connection when its client does. Runs until killed. Used by bench/soak.sh
for checks that must run out of time.
"""
import selectors
import socket
import sys


def main() -> int:
    if len(sys.argv) != 2:
        print(__doc__.strip(), file=sys.stderr)
        return 2
    listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    listener.bind(("127.0.0.1", 0))
    listener.listen(128)
    listener.setblocking(False)
    with open(sys.argv[1], "w", encoding="ascii") as f:
        f.write(f"{listener.getsockname()[1]}\n")

    sel = selectors.DefaultSelector()
    sel.register(listener, selectors.EVENT_READ)
    while True:
        for key, _ in sel.select():
            if key.fileobj is listener:
                try:
                    conn, _ = listener.accept()
                except BlockingIOError:
                    continue
                conn.setblocking(False)
                sel.register(conn, selectors.EVENT_READ)
                continue
            conn = key.fileobj
            try:
                data = conn.recv(4096)
            except (BlockingIOError, InterruptedError):
                continue
            except OSError:
                data = b""
            if not data:
                sel.unregister(conn)
                conn.close()


if __name__ == "__main__":
    sys.exit(main())
