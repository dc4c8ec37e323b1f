#!/usr/bin/env python3
"""A plain socket client for the stand-in unit: logs in, runs the self-test, reads the
report to its completion line and says exit.  Prints the seconds that took; used by
scripts/bench-run as the yardstick for a station run.

Usage: report_client.py ADDRESS [PORT] [--runs N] [--show]
"""

import argparse
import socket
import time


def strip_telnet(data):
    """Removes telnet commands (IAC sequences) without answering them."""
    out = bytearray()
    i = 0
    while i < len(data):
        b = data[i]
        if b != 255:
            out.append(b)
            i += 1
        elif i + 1 < len(data) and data[i + 1] in (251, 252, 253, 254):
            i += 3
        elif i + 1 < len(data) and data[i + 1] == 250:
            end = data.find(b"\xff\xf0", i)
            i = len(data) if end < 0 else end + 2
        else:
            i += 2
    return bytes(out)


class Session:
    def __init__(self, address, port):
        self.sock = socket.create_connection((address, port), timeout=10)
        self.buf = b""

    def wait_for(self, text):
        parts = [self.buf]
        tail = self.buf
        while True:
            i = tail.find(text)
            if i >= 0:
                break
            data = self.sock.recv(65536)
            if not data:
                raise EOFError("connection closed while waiting for %r" % text)
            # Search only the new data (and a text's length before it), not all of it again.
            new = strip_telnet(data)
            parts.append(new)
            tail = tail[-(len(text) - 1):] + new if len(text) > 1 else new
        whole = b"".join(parts)
        head, _, self.buf = whole.partition(text)
        return head

    def close(self):
        self.sock.close()


def one_run(address, port):
    s = Session(address, port)
    try:
        s.wait_for(b"login:")
        s.sock.sendall(b"root\n")
        s.wait_for(b"$")
        s.sock.sendall(b"tolvek\n")
        report = s.wait_for(b"tests completed")
        s.wait_for(b"\r\n")
        s.sock.sendall(b"exit\n")
        # The dialogue ends when the unit has closed its side, as the station sees it.
        while s.sock.recv(65536):
            pass
        return report
    finally:
        s.close()


def main():
    p = argparse.ArgumentParser()
    p.add_argument("address")
    p.add_argument("port", nargs="?", type=int, default=23)
    p.add_argument("--runs", type=int, default=1)
    p.add_argument("--show", action="store_true", help="print the report")
    args = p.parse_args()
    start = time.monotonic()
    for _ in range(args.runs):
        report = one_run(args.address, args.port)
    elapsed = time.monotonic() - start
    if args.show:
        print(report.decode("latin-1"))
    print("%.6f" % elapsed)


if __name__ == "__main__":
    main()
