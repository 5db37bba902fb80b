#!/usr/bin/python3
"""A POP3 server whose mailbox is always in use, for the end-to-end tests.

    busy_pop3_peer.py <address> <port> <record file> <ready file>

Greets, takes any USER, and answers every PASS with an RFC 2449 [IN-USE]
refusal, as a server does while the user's mail program holds the mailbox.
Each line a client sends is appended to the record file. Writes the ready
file once it listens. Ends on SIGTERM.
"""
import signal
import socket
import sys

REFUSAL = b"-ERR [IN-USE] Mailbox is locked by another POP3 session\r\n"


def serve(conn, record_path):
    conn.sendall(b"+OK POP3 ready\r\n")
    pending = b""
    while True:
        chunk = conn.recv(4096)
        if not chunk:
            return
        pending += chunk
        while b"\n" in pending:
            line, pending = pending.split(b"\n", 1)
            command = line.rstrip(b"\r")
            with open(record_path, "ab") as record:
                record.write(command + b"\n")
            verb = command.split(b" ", 1)[0].upper()
            if verb == b"USER":
                conn.sendall(b"+OK\r\n")
            elif verb == b"PASS":
                conn.sendall(REFUSAL)
            elif verb == b"QUIT":
                conn.sendall(b"+OK bye\r\n")
                return
            else:
                conn.sendall(b"-ERR not now\r\n")


def main(address, port, record_path, ready_path):
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(0))
    listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    listener.bind((address, int(port)))
    listener.listen(4)
    open(ready_path, "w").close()
    while True:
        conn, _ = listener.accept()
        with conn:
            try:
                serve(conn, record_path)
            except OSError:
                pass


if __name__ == "__main__":
    if len(sys.argv) != 5:
        print(__doc__, file=sys.stderr)
        sys.exit(2)
    main(*sys.argv[1:])
