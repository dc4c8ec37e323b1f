#!/usr/bin/env python3
"""Stand-in for the ЦФН-ЛР unit: a telnet shell with the self-test command and an FTP
server, both on one address, with scenarios that make the unit misbehave on purpose.

Every command the unit receives is written to the log file (one event per line), so
tests can check exactly what the station sent.  "ready ..." is printed on stdout and
logged once all listeners are bound.
"""

import argparse
import datetime
import os
import select
import signal
import socket
import socketserver
import sys
import threading
import time

from unit_ftp import FtpHandler, printable

SCENARIOS = {
    "pass": "every self-test passes",
    "fail-test": "the RTC self-test fails (always counted)",
    "tamper-fail": "the TAMPER self-test fails",
    "vac-fail": "the AC voltage self-test fails",
    "tamper-and-vac": "one failure line naming both TAMPER and AC voltage",
    "strange-line": "a test line without a verdict marker",
    "escapes": "terminal escape sequences around and inside the report lines",
    "slow-lines": "one silence of --gap seconds in the middle of the report",
    "broken-mid-report": "the connection is closed in the middle of the report",
    "flood": "endless text without a line end after the serial line",
    "no-echo": "no answer to ICMP echo (sets icmp_echo_ignore_all in this namespace)",
    "telnet-refused": "no telnet listener",
    "no-login-prompt": "a banner, but never the login prompt",
    "no-shell-prompt": "no shell prompt after the user name",
    "no-date-prompt": "no prompt after the date command",
    "no-hwclock-prompt": "no prompt after hwclock",
    "ftp-truncate": "RETR sends only the first half of the file",
    "ftp-corrupt": "RETR sends the file with one byte changed",
    "ftp-lengthen": "RETR sends the file followed by 4096 extra bytes",
    "ftp-refuse-login": "the FTP log-in is refused",
    "ftp-refused": "no FTP listener",
    "neg-flood": "telnet negotiation requests without end, never reading the answers",
    "urgent-synch": "a telnet Synch (IAC DM, the DM sent urgent) before the login prompt",
    "trickle-prompt": "boot text a byte every 0.8 s, never the login prompt",
    "trickle-line": "the first test line a byte every second",
    "endless-report": "the test lines over and over, never \"tests completed\"",
    "ftp-trickle-greeting": "the FTP greeting a byte every 0.8 s",
    "ftp-slow-data": "the FTP upload read at 2 KiB/s",
}

IAC, DONT, DO, WONT, WILL, SB, SE, DM = 255, 254, 253, 252, 251, 250, 240, 242
OPT_ECHO, OPT_SGA, OPT_TTYPE, OPT_NAWS = 1, 3, 24, 31
NEG_NAMES = {DONT: "DONT", DO: "DO", WONT: "WONT", WILL: "WILL"}
PROMPT = b"[root@cfnlr ~]$ "


class Log:
    def __init__(self, path):
        self.lock = threading.Lock()
        self.file = open(path, "a", encoding="utf-8") if path else None

    def __call__(self, text):
        if not self.file:
            return
        with self.lock:
            self.file.write(text + "\n")
            self.file.flush()


class Unit:
    """Settings shared by every connection."""

    def __init__(self, args):
        self.address = args.address
        self.scenarios = set(s for s in args.scenario.split(",") if s)
        unknown = self.scenarios - set(SCENARIOS)
        if unknown:
            raise SystemExit("unknown scenario: " + ", ".join(sorted(unknown)))
        self.delay = args.delay
        self.ftp_rate = args.ftp_rate
        self.gap = args.gap
        self.serial = args.serial
        self.repeat = args.repeat
        self.report_file = args.report
        self.log = Log(args.log)
        self.files = {}
        self.files_lock = threading.Lock()

    def has(self, name):
        return name in self.scenarios

    def report(self):
        """The self-test report as byte lines (without line ends)."""
        if self.report_file:
            with open(self.report_file, "rb") as f:
                return f.read().split(b"\n")
        tests = [
            ("RAM", None),
            ("flash", None),
            ("RTC", "no answer" if self.has("fail-test") else None),
            ("eth", None),
            ("TAMPER", "open" if self.has("tamper-fail") else None),
            ("AC voltage", "low" if self.has("vac-fail") else None),
        ]
        lines = [b"CFN-LR self-test 1.0", b"", b"SN " + self.serial.encode("latin-1")]
        if self.has("strange-line"):
            lines.append(b"testing started")
        body = []
        for name, reason in tests:
            if reason is None:
                body.append(b"test " + name.encode() + b" <PASSED>")
            else:
                body.append(b"test " + name.encode() + b" <FAILED> " + reason.encode())
        if self.has("tamper-and-vac"):
            body.append(b"test TAMPER and AC voltage <FAILED> both")
        lines += body * self.repeat
        lines.append(b"tests completed")
        if self.has("escapes"):
            lines = [self.decorate(line) for line in lines]
            lines.insert(0, b"\x1b[2J\x1b[H")
        return lines

    @staticmethod
    def decorate(line):
        # Colours around the markers and an erase-line sequence (ending in K, not m)
        # in front of test lines, as a unit with a colour terminal library writes them.
        line = line.replace(b"<PASSED>", b"\x1b[32m<PASSED>\x1b[0m")
        line = line.replace(b"<FAILED>", b"\x1b[1;31m<FAILED>\x1b[0m")
        if line.startswith(b"test "):
            line = b"\x1b[1K" + line
        if line.startswith(b"SN"):
            line = line + b"\x1b[K"
        return line


class TelnetConnection:
    """Reads a telnet stream: data bytes go to lines, commands are answered."""

    def __init__(self, sock, unit):
        self.sock = sock
        self.unit = unit
        self.log = unit.log
        self.pending = bytearray()
        self.state = 0
        self.sb = bytearray()
        self.asked_ttype = False

    def send(self, data):
        self.sock.sendall(data)

    def negotiate(self):
        # The unit's telnetd opens the negotiation, so the station's answers are exercised.
        self.send(bytes([IAC, DO, OPT_TTYPE, IAC, WILL, OPT_SGA, IAC, WILL, OPT_ECHO,
                         IAC, DO, OPT_NAWS]))

    def feed(self, data):
        for b in data:
            st = self.state
            if st == 0:
                if b == IAC:
                    self.state = 1
                else:
                    self.pending.append(b)
            elif st == 1:
                if b == IAC:
                    self.pending.append(IAC)
                    self.state = 0
                elif b in NEG_NAMES:
                    self.state = b
                elif b == SB:
                    self.sb = bytearray()
                    self.state = 2
                else:
                    self.state = 0
            elif st in NEG_NAMES:
                self.log("telnet negotiation %s %d" % (NEG_NAMES[st], b))
                if st == WILL and b == OPT_TTYPE and not self.asked_ttype:
                    self.asked_ttype = True
                    self.send(bytes([IAC, SB, OPT_TTYPE, 1, IAC, SE]))
                self.state = 0
            elif st == 2:
                if b == IAC:
                    self.state = 3
                else:
                    self.sb.append(b)
            elif st == 3:
                if b == SE:
                    if self.sb[:2] == bytes([OPT_TTYPE, 0]):
                        self.log("telnet ttype " + printable(self.sb[2:]))
                    else:
                        self.log("telnet subnegotiation " + printable(self.sb))
                    self.state = 0
                else:
                    self.sb.append(b)
                    self.state = 2

    def read_line(self):
        """One line up to LF (the LF removed, nothing else), or None at end of stream."""
        while True:
            i = self.pending.find(b"\n")
            if i >= 0:
                line = bytes(self.pending[:i])
                del self.pending[:i + 1]
                return line
            data = self.sock.recv(4096)
            if not data:
                return None
            self.feed(data)


class TelnetHandler(socketserver.BaseRequestHandler):
    def handle(self):
        unit = self.server.unit
        log = unit.log
        peer = "%s:%d" % self.client_address[:2]
        log("telnet connect " + peer)
        # Prompts go out as they are written, as a shell on a terminal writes them.
        self.request.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        conn = TelnetConnection(self.request, unit)
        said_exit = False
        try:
            conn.negotiate()
            conn.send(b"\r\nCFN-LR unit (stand-in)\r\n\r\n")
            if unit.has("neg-flood"):
                log("telnet negotiation flood")
                block = bytes([IAC, SB, OPT_TTYPE, 1, IAC, SE, IAC, DO, OPT_ECHO]) * 4096
                while True:
                    conn.send(block)
            if unit.has("trickle-prompt"):
                log("telnet trickle")
                while True:
                    for b in b"Booting kernel... ":
                        conn.send(bytes([b]))
                        time.sleep(0.8)
            if unit.has("urgent-synch"):
                log("telnet synch")
                conn.send(bytes([IAC]))
                time.sleep(0.05)
                conn.sock.send(bytes([DM]), socket.MSG_OOB)
                time.sleep(0.05)
            if unit.has("no-login-prompt"):
                while conn.read_line() is not None:
                    pass
                return
            while True:
                conn.send(b"cfnlr login: ")
                user = conn.read_line()
                if user is None:
                    return
                log("telnet login " + printable(user))
                if user.rstrip(b"\r\x00") == b"root":
                    break
                conn.send(b"\r\nLogin incorrect\r\n")
            if not unit.has("no-shell-prompt"):
                conn.send(b"\r\n" + PROMPT)
            while True:
                line = conn.read_line()
                if line is None:
                    return
                log("telnet command " + printable(line))
                cmd = line.rstrip(b"\r\x00").decode("latin-1")
                if cmd == "exit":
                    said_exit = True
                    conn.send(b"logout\r\n")
                    return
                if not self.command(conn, cmd):
                    return
        except OSError as e:
            log("telnet error " + str(e))
        finally:
            log("telnet close" + ("" if said_exit else " without-exit"))

    def command(self, conn, cmd):
        """Runs one shell command; False when the connection is to end."""
        unit = self.server.unit
        prompt = b"\r\n" + PROMPT
        if cmd.startswith("date -s "):
            arg = cmd[8:]
            try:
                when = datetime.datetime.strptime(arg, "%m%d%H%M%Y")
                conn.send(b"\r\n" + when.strftime("%a %b %d %H:%M:00 UTC %Y").encode())
            except ValueError:
                conn.send(b"\r\ndate: invalid date '" + arg.encode("latin-1") + b"'")
            if not unit.has("no-date-prompt"):
                conn.send(prompt)
        elif cmd == "hwclock -w":
            if not unit.has("no-hwclock-prompt"):
                conn.send(prompt)
        elif cmd == "tolvek":
            conn.send(b"\r\n")
            return self.report(conn)
        elif cmd == "":
            conn.send(prompt)
        else:
            conn.send(b"\r\n-sh: " + cmd.split(" ")[0].encode("latin-1") + b": not found" + prompt)
        return True

    def report(self, conn):
        unit = self.server.unit
        lines = unit.report()
        if unit.has("endless-report"):
            unit.log("telnet endless report")
            body = b"".join(l + b"\r\n" for l in lines[3:-1])
            conn.send(b"".join(l + b"\r\n" for l in lines[:3]))
            while True:
                conn.send(body)
        trickled = False
        for n, line in enumerate(lines):
            if n and unit.delay:
                time.sleep(unit.delay)
            if unit.has("trickle-line") and line.startswith(b"test ") and not trickled:
                trickled = True
                unit.log("telnet trickle line")
                for b in line:
                    conn.send(bytes([b]))
                    time.sleep(1)
                conn.send(b"\r\n")
                continue
            if unit.has("slow-lines") and n == len(lines) // 2:
                unit.log("telnet silence %.1f" % unit.gap)
                # A station that goes away during the silence is seen at once.
                readable, _, _ = select.select([conn.sock], [], [], unit.gap)
                if readable and not conn.sock.recv(1, socket.MSG_PEEK):
                    return False
            conn.send(line + b"\r\n")
            if unit.has("flood") and line.startswith(b"SN"):
                unit.log("telnet flood")
                chunk = b"X" * 65536
                while True:
                    conn.send(chunk)
            if unit.has("broken-mid-report") and n == len(lines) // 2:
                unit.log("telnet broken")
                conn.sock.shutdown(socket.SHUT_RDWR)
                return False
        conn.send(PROMPT)
        return True


class Server(socketserver.ThreadingTCPServer):
    allow_reuse_address = True
    daemon_threads = True

    def __init__(self, address, handler, unit):
        self.unit = unit
        super().__init__(address, handler, bind_and_activate=False)
        if unit.has("neg-flood"):
            # A small receive window, inherited by the accepted connection: the station's
            # answers fill it after a few kilobytes.
            self.socket.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
        try:
            self.server_bind()
            self.server_activate()
        except OSError:
            self.server_close()
            raise


def set_echo_ignore(value):
    """Sets icmp_echo_ignore_all, but only in a namespace whose one interface is loopback."""
    with open("/proc/self/net/dev") as f:
        interfaces = [l.split(":")[0].strip() for l in f.readlines()[2:]]
    if interfaces != ["lo"]:
        raise SystemExit("no-echo: refusing to change ICMP settings outside a network namespace of our own")
    path = "/proc/sys/net/ipv4/icmp_echo_ignore_all"
    with open(path) as f:
        old = f.read().strip()
    with open(path, "w") as f:
        f.write(value)
    return old


def main():
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0],
                                epilog="scenarios (comma-separated):\n" +
                                "\n".join("  %-18s %s" % kv for kv in SCENARIOS.items()),
                                formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--address", required=True, help="address to listen on, e.g. 192.168.1.178")
    p.add_argument("--telnet-port", type=int, default=23)
    p.add_argument("--ftp-port", type=int, default=21)
    p.add_argument("--scenario", default="pass")
    p.add_argument("--delay", type=float, default=0.0, help="seconds between report lines")
    p.add_argument("--gap", type=float, default=5.5, help="silence of slow-lines, seconds")
    p.add_argument("--serial", default="0123456789ABCDEF", help="text of the SN line")
    p.add_argument("--repeat", type=int, default=1, help="repeat the test lines N times")
    p.add_argument("--report", help="file whose lines replace the built-in report")
    p.add_argument("--log", help="file that receives every event")
    p.add_argument("--ftp-rate", type=float, default=0.0,
                   help="MiB/s the FTP data moves at both ways, as over a slow port (0: unpaced)")
    args = p.parse_args()
    unit = Unit(args)

    servers = []
    if not unit.has("telnet-refused"):
        servers.append(Server((args.address, args.telnet_port), TelnetHandler, unit))
    if not unit.has("ftp-refused"):
        servers.append(Server((args.address, args.ftp_port), FtpHandler, unit))
    old_echo = set_echo_ignore("1") if unit.has("no-echo") else None

    stop = threading.Event()
    signal.signal(signal.SIGTERM, lambda *_: stop.set())
    signal.signal(signal.SIGINT, lambda *_: stop.set())
    for s in servers:
        threading.Thread(target=s.serve_forever, kwargs={"poll_interval": 0.1}, daemon=True).start()
    ports = " ".join("%s=%s:%d" % ("telnet" if s.RequestHandlerClass is TelnetHandler else "ftp",
                                    *s.server_address[:2]) for s in servers)
    unit.log("ready " + ports + " scenario=" + args.scenario)
    print("ready " + ports, flush=True)
    try:
        while not stop.wait(0.2):
            pass
    finally:
        for s in servers:
            s.shutdown()
            s.server_close()
        if old_echo is not None:
            set_echo_ignore(old_echo)
        unit.log("stopped")


if __name__ == "__main__":
    main()
