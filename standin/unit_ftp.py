"""The stand-in unit's FTP server, with the scenarios that make it misbehave."""

import hashlib
import socket
import socketserver
import time


def printable(data):
    """Bytes as text with everything outside printable ASCII shown as \\xNN."""
    out = []
    for b in data:
        if b == 0x5C:
            out.append("\\\\")
        elif 0x20 <= b < 0x7F:
            out.append(chr(b))
        else:
            out.append("\\x%02x" % b)
    return "".join(out)


class Pace:
    """Holds a transfer to `rate` MiB/s (0: unpaced): after each chunk it sleeps until the
    bytes so far are due, as a port that negotiated a slow link would move them."""

    def __init__(self, rate):
        self.rate = rate * 1024 * 1024
        self.start = time.monotonic()
        self.done = 0

    def chunk(self):
        return 16384 if self.rate else 65536

    def moved(self, count):
        self.done += count
        if self.rate:
            due = self.start + self.done / self.rate
            time.sleep(max(0.0, due - time.monotonic()))


class FtpHandler(socketserver.StreamRequestHandler):
    def setup(self):
        super().setup()
        self.unit = self.server.unit
        self.user = None
        self.logged_in = False
        self.rest = 0
        self.passive = None
        self.active = None
        self.binary = True

    def reply(self, text):
        self.wfile.write(text.encode("latin-1") + b"\r\n")
        self.wfile.flush()

    def handle(self):
        log = self.unit.log
        log("ftp connect %s:%d" % self.client_address[:2])
        if self.unit.has("ftp-trickle-greeting"):
            log("ftp trickle greeting")
            for b in b"220-" + b"CFN-LR stand-in FTP " * 1000:
                self.wfile.write(bytes([b]))
                self.wfile.flush()
                time.sleep(0.8)
        self.reply("220 CFN-LR stand-in FTP ready")
        try:
            while True:
                raw = self.rfile.readline(4096)
                if not raw:
                    break
                line = raw.rstrip(b"\r\n").decode("latin-1")
                log("ftp command " + printable(line.encode("latin-1")))
                verb, _, arg = line.partition(" ")
                verb = verb.upper()
                if verb == "QUIT":
                    self.reply("221 Goodbye")
                    break
                handler = getattr(self, "ftp_" + verb, None)
                if handler is None:
                    self.reply("502 Command not implemented")
                elif verb not in ("USER", "PASS", "FEAT", "SYST", "NOOP") and not self.logged_in:
                    self.reply("530 Please login with USER and PASS")
                else:
                    handler(arg)
        except OSError as e:
            log("ftp error " + str(e))
        finally:
            self.close_passive()
            log("ftp close")

    # log-in and session
    def ftp_USER(self, arg):
        self.user = arg
        self.logged_in = False
        self.reply("331 Password required for " + arg)

    def ftp_PASS(self, arg):
        if self.unit.has("ftp-refuse-login") or self.user != "root" or arg != "":
            self.reply("530 Login incorrect")
        else:
            self.logged_in = True
            self.reply("230 User root logged in")

    def ftp_FEAT(self, arg):
        self.wfile.write(b"211-Features:\r\n EPSV\r\n EPRT\r\n PASV\r\n SIZE\r\n REST STREAM\r\n")
        self.reply("211 End")

    def ftp_SYST(self, arg):
        self.reply("215 UNIX Type: L8")

    def ftp_NOOP(self, arg):
        self.reply("200 NOOP ok")

    def ftp_TYPE(self, arg):
        self.binary = arg.upper().startswith("I")
        self.reply("200 Type set to " + arg)

    def ftp_STRU(self, arg):
        self.reply("200 Structure set to F" if arg.upper() == "F" else "504 Only F")

    def ftp_MODE(self, arg):
        self.reply("200 Mode set to S" if arg.upper() == "S" else "504 Only S")

    def ftp_PWD(self, arg):
        self.reply('257 "/" is the current directory')

    def ftp_CWD(self, arg):
        self.reply("250 CWD command successful")

    def ftp_ALLO(self, arg):
        self.reply("202 No storage allocation necessary")

    def ftp_REST(self, arg):
        try:
            self.rest = int(arg)
        except ValueError:
            self.reply("501 Bad restart position")
            return
        self.reply("350 Restarting at %d" % self.rest)

    def ftp_SIZE(self, arg):
        with self.unit.files_lock:
            data = self.unit.files.get(arg)
        self.reply("550 No such file" if data is None else "213 %d" % len(data))

    def ftp_DELE(self, arg):
        with self.unit.files_lock:
            found = self.unit.files.pop(arg, None) is not None
        self.reply("250 Deleted" if found else "550 No such file")

    # data connections
    def close_passive(self):
        if self.passive is not None:
            self.passive.close()
            self.passive = None

    def listen(self):
        self.close_passive()
        self.active = None
        s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        s.bind((self.connection.getsockname()[0], 0))
        s.listen(1)
        s.settimeout(10)
        self.passive = s
        return s.getsockname()

    def ftp_PASV(self, arg):
        host, port = self.listen()
        self.reply("227 Entering Passive Mode (%s,%d,%d)" % (host.replace(".", ","), port >> 8, port & 255))

    def ftp_EPSV(self, arg):
        if arg.upper() == "ALL":
            self.reply("200 EPSV ALL ok")
            return
        if arg not in ("", "1"):
            self.reply("522 Network protocol not supported, use (1)")
            return
        _, port = self.listen()
        self.reply("229 Entering Extended Passive Mode (|||%d|)" % port)

    def ftp_PORT(self, arg):
        try:
            n = [int(x) for x in arg.split(",")]
            if len(n) != 6 or any(not 0 <= x <= 255 for x in n):
                raise ValueError
        except ValueError:
            self.reply("501 Bad PORT argument")
            return
        self.close_passive()
        self.active = ("%d.%d.%d.%d" % tuple(n[:4]), n[4] * 256 + n[5])
        self.reply("200 PORT command successful")

    def ftp_EPRT(self, arg):
        parts = arg.split(arg[:1]) if arg else []
        try:
            if len(parts) != 5 or parts[1] != "1":
                raise ValueError
            self.active = (parts[2], int(parts[3]))
        except ValueError:
            self.reply("522 Network protocol not supported, use (1)")
            return
        self.close_passive()
        self.reply("200 EPRT command successful")

    def data_connection(self):
        if self.passive is not None:
            conn, _ = self.passive.accept()
            self.close_passive()
            return conn
        if self.active is not None:
            target, self.active = self.active, None
            return socket.create_connection(target, timeout=10)
        return None

    def open_data(self):
        try:
            conn = self.data_connection()
        except OSError:
            conn = None
        if conn is None:
            self.reply("425 Can't open data connection")
            return None
        conn.settimeout(30)
        self.reply("150 Opening %s mode data connection" % ("BINARY" if self.binary else "ASCII"))
        return conn

    def ftp_STOR(self, arg):
        conn = self.open_data()
        if conn is None:
            return
        chunks = []
        slow = self.unit.has("ftp-slow-data")
        if slow:
            self.unit.log("ftp slow data")
        pace = Pace(self.unit.ftp_rate)
        try:
            while True:
                if slow:
                    time.sleep(0.5)
                data = conn.recv(1024 if slow else pace.chunk())
                if not data:
                    break
                chunks.append(data)
                pace.moved(len(data))
        except OSError as e:
            conn.close()
            self.reply("426 Transfer aborted: " + str(e))
            return
        conn.close()
        data = b"".join(chunks)
        with self.unit.files_lock:
            old = self.unit.files.get(arg, b"")
            data = old[:self.rest] + data if self.rest else data
            self.unit.files[arg] = data
        self.rest = 0
        self.unit.log("ftp stored %s %d sha256=%s" % (arg, len(data), hashlib.sha256(data).hexdigest()))
        self.reply("226 Transfer complete")

    def ftp_RETR(self, arg):
        with self.unit.files_lock:
            data = self.unit.files.get(arg)
        if data is None:
            self.reply("550 %s: No such file or directory" % arg)
            return
        data = data[self.rest:]
        self.rest = 0
        if self.unit.has("ftp-truncate"):
            data = data[:len(data) // 2]
        if self.unit.has("ftp-corrupt") and data:
            i = len(data) // 2
            data = data[:i] + bytes([data[i] ^ 0xFF]) + data[i + 1:]
        if self.unit.has("ftp-lengthen"):
            data = data + b"\xA5" * 4096
        conn = self.open_data()
        if conn is None:
            return
        try:
            pace = Pace(self.unit.ftp_rate)
            for i in range(0, len(data), pace.chunk()):
                conn.sendall(data[i:i + pace.chunk()])
                pace.moved(min(pace.chunk(), len(data) - i))
            conn.shutdown(socket.SHUT_WR)
        except OSError as e:
            conn.close()
            self.reply("426 Transfer aborted: " + str(e))
            return
        conn.close()
        self.unit.log("ftp sent %s %d" % (arg, len(data)))
        self.reply("226 Transfer complete")

    def ftp_LIST(self, arg):
        self.listing(arg, names_only=False)

    def ftp_NLST(self, arg):
        self.listing(arg, names_only=True)

    def listing(self, arg, names_only):
        conn = self.open_data()
        if conn is None:
            return
        with self.unit.files_lock:
            entries = sorted(self.unit.files.items())
        lines = []
        for name, data in entries:
            base = name.rsplit("/", 1)[-1]
            lines.append(base if names_only else
                         "-rw-r--r--    1 root     root     %8d Jan  1 00:00 %s" % (len(data), base))
        conn.sendall("".join(l + "\r\n" for l in lines).encode("latin-1"))
        conn.close()
        self.reply("226 Transfer complete")
