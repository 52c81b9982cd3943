#!/usr/bin/env python3
"""Scanners on Linux pseudo-terminals for the Windows tests under Wine.

A Windows test program cannot open a pseudo-terminal itself, so this server
does it for it. Every TCP connection from the test program owns one
scanner: a pty whose slave the Wine prefix links as COM<n>. Commands are
lines, each answered with "ok" once done:

    open N          make the pty and link dosdevices/comN to its slave
    answer T R      reply R to every command frame whose text is T
    silent          reply to nothing
    send B          write B to the code under test
    sync            nothing; every event before the "ok" has been sent
    hangup          close the master side, as a pulled adapter (once
                    everything sent before it is written)
    lag MS          after each read, leave the line unread for MS ms

T, R and B are hexadecimal. The server tells the test program what the code
under test wrote ("w B") and each complete command frame ("f"), after it
answered it. Usage: scanner_peer.py PORTFILE (the port is written there).
"""
import errno
import os
import select
import socket
import sys
import time
import tty

SYN = 0x16


class Scanner:
    def __init__(self, conn, prefix):
        self.conn = conn
        self.prefix = prefix
        self.inbox = b""
        self.outbox = b""  # to the test program
        self.line = b""  # to the code under test
        self.master = -1
        self.slave = -1
        self.link = None
        self.answers = {}
        self.hangup_pending = False
        self.state = 0
        self.text = bytearray()
        self.lag = 0.0
        self.next_read = 0.0

    def open(self, com):
        self.master, self.slave = os.openpty()
        # Raw from the start, so that nothing is rewritten before the
        # library configures the line; the kept slave keeps the master
        # readable between the library's opens.
        tty.setraw(self.slave)
        os.set_blocking(self.master, False)
        self.link = os.path.join(self.prefix, "dosdevices", "com%d" % com)
        try:
            os.unlink(self.link)
        except FileNotFoundError:
            pass
        os.symlink(os.ttyname(self.slave), self.link)

    def close_pty(self):
        for fd in (self.master, self.slave):
            if fd >= 0:
                os.close(fd)
        self.master = self.slave = -1

    def close(self):
        self.close_pty()
        if self.link:
            try:
                os.unlink(self.link)
            except FileNotFoundError:
                pass
        self.conn.close()

    def event(self, data):
        self.outbox += data

    def command(self, line):
        words = line.split()
        verb = words[0] if words else b""
        if verb == b"open":
            self.open(int(words[1]))
        elif verb == b"answer":
            self.answers[bytes.fromhex(words[1].decode())] = bytes.fromhex(
                words[2].decode() if len(words) > 2 else "")
        elif verb == b"lag":
            self.lag = int(words[1]) / 1000.0
        elif verb == b"silent":
            self.answers = {}
        elif verb == b"send":
            if self.master >= 0:
                self.line += bytes.fromhex(words[1].decode())
        elif verb == b"hangup":
            self.hangup_pending = True
            self.flush_line()
            return  # answered once the master is closed
        self.event(b"ok\n")

    def flush_line(self):
        if self.line and self.master >= 0:
            try:
                n = os.write(self.master, self.line)
                self.line = self.line[n:]
            except BlockingIOError:
                pass
        if self.hangup_pending and not self.line:
            self.close_pty()
            self.hangup_pending = False
            self.event(b"ok\n")

    def wire(self, data):
        self.event(b"w " + data.hex().encode() + b"\n")
        for byte in data:
            self.parse(byte)

    # Command frames are SYN 'M' CR text ('.' | '!'); trigger frames SYN 'T'
    # CR and SYN 'U' CR count as frames too.
    def parse(self, byte):
        if self.state == 0:
            if byte == SYN:
                self.state = 1
            return
        if self.state == 1:
            if byte in b"MTU":
                self.text = bytearray([byte])
                self.state = 2
            else:
                self.state = 1 if byte == SYN else 0
            return
        if self.state == 2:
            if byte != 0x0D:
                self.state = 0
                return
            if self.text == b"M":
                self.text = bytearray()
                self.state = 3
                return
        elif self.state == 3:
            if byte not in b".!":
                self.text.append(byte)
                return
        self.state = 0
        reply = self.answers.get(bytes(self.text))
        if reply:
            self.line += reply
            self.flush_line()
        self.event(b"f\n")


def main():
    prefix = os.environ["WINEPREFIX"]
    listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    listener.bind(("127.0.0.1", 0))
    listener.listen(32)
    port_file = sys.argv[1]
    with open(port_file + ".tmp", "w") as f:
        f.write(str(listener.getsockname()[1]))
    os.rename(port_file + ".tmp", port_file)

    scanners = {}
    while True:
        readers = [listener] + [s.conn for s in scanners.values()]
        now = time.monotonic()
        readers += [s.master for s in scanners.values() if s.master >= 0 and s.next_read <= now]
        writers = [s.conn for s in scanners.values() if s.outbox]
        writers += [s.master for s in scanners.values() if s.line and s.master >= 0]
        # A lagging scanner's line is looked at again once its lag is over.
        lagging = [s.next_read - now for s in scanners.values()
                   if s.master >= 0 and s.next_read > now]
        timeout = min(lagging) if lagging else None
        readable, writable, _ = select.select(readers, writers, [], timeout)
        for s in list(scanners.values()):
            if s.master >= 0 and s.master in readable:
                try:
                    data = os.read(s.master, 65536)
                except OSError as e:
                    if e.errno not in (errno.EAGAIN, errno.EIO):
                        raise
                    data = b""
                if data:
                    s.wire(data)
                    if s.lag:
                        s.next_read = time.monotonic() + s.lag
            if s.master >= 0 and s.master in writable:
                s.flush_line()
            if s.conn in readable:
                data = s.conn.recv(65536)
                if not data:
                    s.close()
                    del scanners[s.conn]
                    continue
                s.inbox += data
                while b"\n" in s.inbox:
                    line, s.inbox = s.inbox.split(b"\n", 1)
                    s.command(line.strip())
            if s.outbox and s.conn in writable:
                n = s.conn.send(s.outbox)
                s.outbox = s.outbox[n:]
        if listener in readable:
            conn, _ = listener.accept()
            conn.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
            scanners[conn] = Scanner(conn, prefix)


if __name__ == "__main__":
    main()
