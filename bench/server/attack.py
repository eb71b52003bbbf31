#!/usr/bin/env python3
"""Hostile clients against a quillmoth-server binary, on loopback only.

Starts the server on a scratch database, runs each attack from 127.0.0.2
and up while a measured client on 127.0.0.1 asks for a plain page 20 times,
and prints one line per attack: the worst plain request, and what else the
attack shows. Every loop is bounded in count and time.

    attack.py SERVER_BINARY GOLDEN_DOCUMENT [ATTACK...]
"""
import os
import select
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time

PLAIN_TIMEOUT = 10.0  # a plain request slower than this counts as timed out


def connect(source, port, timeout=5.0):
    s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    s.settimeout(timeout)
    s.bind((source, 0))
    s.connect(("127.0.0.1", port))
    return s


def attacker_address(i, spread):
    # 127.0.0.2 and up: `spread` addresses, sockets dealt round-robin.
    return "127.0.0.%d" % (2 + i % spread)


def plain_request(port):
    start = time.monotonic()
    try:
        s = connect("127.0.0.1", port, PLAIN_TIMEOUT)
        s.sendall(b"GET /style.css HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n")
        data = b""
        while time.monotonic() - start < PLAIN_TIMEOUT:
            chunk = s.recv(65536)
            if not chunk:
                break
            data += chunk
        s.close()
        ok = data.startswith(b"HTTP/1.1 200")
    except OSError:
        ok = False
    elapsed = time.monotonic() - start
    return elapsed if ok else None


def measure(port, count=20, gap=0.25):
    """The worst of count plain requests, or None when one failed or timed out."""
    worst, failed = 0.0, 0
    for _ in range(count):
        t = plain_request(port)
        if t is None:
            failed += 1
            if failed >= 2:  # bounded: two time-outs say enough
                return None, failed
        else:
            worst = max(worst, t)
        time.sleep(gap)
    return worst, failed


class Trickler(threading.Thread):
    """Sockets that each send one byte a second (or nothing: idle), reopening
    the ones the server closes when reconnect is set, until stopped."""

    def __init__(self, port, count, spread, opening, byte, reconnect=False, interval=1.0):
        super().__init__(daemon=True)
        self.port, self.count, self.spread = port, count, spread
        self.opening, self.byte, self.reconnect, self.interval = opening, byte, reconnect, interval
        self.socks, self.stop, self.opened, self.refused = [], threading.Event(), 0, 0

    def open_one(self, i):
        try:
            s = connect(attacker_address(i, self.spread), self.port, 2.0)
            s.setblocking(False)
            if self.opening:
                s.send(self.opening)
            self.opened += 1
            return s
        except OSError:
            self.refused += 1
            return None

    def run(self):
        self.socks = [self.open_one(i) for i in range(self.count)]
        deadline = time.monotonic() + 120
        while not self.stop.is_set() and time.monotonic() < deadline:
            for i, s in enumerate(self.socks):
                if s is None:
                    if self.reconnect:
                        self.socks[i] = self.open_one(i)
                    continue
                try:
                    if self.byte:
                        s.send(self.byte)
                    else:
                        if s.recv(1, socket.MSG_PEEK) == b"":
                            raise OSError("closed")
                except BlockingIOError:
                    pass
                except OSError:
                    s.close()
                    self.socks[i] = self.open_one(i) if self.reconnect else None
            self.stop.wait(self.interval)

    def close(self):
        self.stop.set()
        self.join(5)
        for s in self.socks:
            if s is not None:
                s.close()


def rss_kib(pid):
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return 0


def header_bomb(port, megabytes, results, index):
    sent, reply = 0, b""
    try:
        s = connect(attacker_address(index, 8), port, 5.0)
        s.sendall(b"GET / HTTP/1.1\r\nHost: x\r\n")
        line = b"X-Bomb-%06d: " + b"b" * 90 + b"\r\n"
        block = b"".join(line % (k % 1000000) for k in range(1000))
        deadline = time.monotonic() + 60
        while sent < megabytes << 20 and time.monotonic() < deadline:
            s.sendall(block)
            sent += len(block)
            if select.select([s], [], [], 0)[0]:
                reply = s.recv(64)
                break
        if not reply:
            s.sendall(b"\r\n")
            s.settimeout(10)
            reply = s.recv(64)
        s.close()
    except OSError:
        pass
    results[index] = (sent, reply[:12])


def upload(port, body, extra=b""):
    s = connect("127.0.0.1", port)
    s.sendall(b"POST /api/v1/submissions HTTP/1.1\r\nHost: x\r\nConnection: close\r\n" + extra +
              b"Content-Type: application/json\r\nContent-Length: %d\r\n\r\n" % len(body) + body)
    data = b""
    start = time.monotonic()
    try:
        while time.monotonic() - start < 10:
            chunk = s.recv(65536)
            if not chunk:
                break
            data += chunk
    except socket.timeout:
        data = data or b"no answer in 5 s"
    s.close()
    return data


class Server:
    def __init__(self, binary, workdir):
        self.db = os.path.join(workdir, "r.db")
        self.log = open(os.path.join(workdir, "err"), "wb")
        self.proc = subprocess.Popen([binary, "--listen", "127.0.0.1:0", "--db", self.db, "--upload-limit", "0"],
                                     stdout=subprocess.PIPE, stderr=self.log)
        line = self.proc.stdout.readline().decode()
        self.port = int(line.rsplit(":", 1)[1])

    def stop(self):
        if self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait(10)


def fmt(worst, failed):
    return "timed out (%d)" % failed if worst is None else "%.3f s" % worst


def main():
    binary, golden = sys.argv[1], open(sys.argv[2], "rb").read().strip()
    chosen = sys.argv[3:]
    attacks = []

    def attack(fn):
        attacks.append(fn)
        return fn

    @attack
    def baseline(srv):
        return "plain page, worst of 20: " + fmt(*measure(srv.port))

    @attack
    def slow_heads_16(srv):
        t = Trickler(srv.port, 16, 1, b"GET / HTTP/1.1\r\nHost: x\r\n", b"X")
        t.start(); time.sleep(1.5)
        r = measure(srv.port); t.close()
        return "16 slow heads from one address: worst plain %s" % fmt(*r)

    @attack
    def slow_heads_250(srv):
        t = Trickler(srv.port, 250, 8, b"GET / HTTP/1.1\r\nHost: x\r\n", b"X")
        t.start(); time.sleep(2)
        r = measure(srv.port); t.close()
        return "250 slow heads from 8 addresses: worst plain %s (%d accepted)" % (fmt(*r), t.opened)

    @attack
    def slow_bodies_20(srv):
        t = Trickler(srv.port, 20, 1,
                     b"POST /api/v1/submissions HTTP/1.1\r\nHost: x\r\nContent-Length: 100000\r\n\r\n{", b" ")
        t.start(); time.sleep(1.5)
        r = measure(srv.port); t.close()
        return "20 slow bodies: worst plain %s" % fmt(*r)

    @attack
    def keepalive_200(srv):
        t = Trickler(srv.port, 200, 8, b"GET /style.css HTTP/1.1\r\nHost: x\r\n\r\n", None, reconnect=True,
                     interval=0.2)
        t.start(); time.sleep(2)
        r = measure(srv.port); t.close()
        return "200 idle keep-alive clients reconnecting: worst plain %s" % fmt(*r)

    @attack
    def idle_2000(srv):
        t = Trickler(srv.port, 2000, 70, None, None)
        t.start(); time.sleep(3)
        r = measure(srv.port); t.close()
        return "2000 idle connections from 70 addresses: worst plain %s (%d accepted)" % (fmt(*r), t.opened)

    @attack
    def header_bombs(srv):
        before = rss_kib(srv.proc.pid)
        peak = [before]
        results = [None] * 4
        bombs = [threading.Thread(target=header_bomb, args=(srv.port, 100, results, i), daemon=True)
                 for i in range(4)]
        for b in bombs:
            b.start()
        stop = threading.Event()

        def sample():
            while not stop.is_set():
                peak[0] = max(peak[0], rss_kib(srv.proc.pid))
                stop.wait(0.05)
        sampler = threading.Thread(target=sample, daemon=True)
        sampler.start()
        r = measure(srv.port, gap=0.1)
        for b in bombs:
            b.join(70)
        stop.set(); sampler.join()
        sent = max((x[0] for x in results if x), default=0)
        replies = sorted(set(x[1] for x in results if x))
        return "4 x 100 MB header bombs: worst plain %s, memory growth %.1f MB, most sent %.1f MB, replies %s" % (
            fmt(*r), (peak[0] - before) / 1024.0, sent / 1048576.0, replies)

    @attack
    def nul_then_binary(srv):
        reply = upload(srv.port, golden + b"\0" + bytes(range(256)) * 400)
        return "valid document + NUL + 100 KB binary: " + reply.split(b"\r\n")[0][:30].decode(errors="replace")

    @attack
    def two_lengths(srv):
        body = golden
        reply = upload(srv.port, body, b"Content-Length: %d\r\n" % (len(body) + 10))
        return "two different Content-Length: " + reply.split(b"\r\n")[0][:30].decode(errors="replace")

    @attack
    def db_deleted(srv):
        first = upload(srv.port, golden)[:12]
        os.remove(srv.db)
        after = upload(srv.port, golden)[:12]
        return "upload before / after deleting the database: %s / %s" % (first.decode(), after.decode())

    @attack
    def sigterm_under_attack(srv):
        t = Trickler(srv.port, 20, 1, b"GET / HTTP/1.1\r\nHost: x\r\n", b"X")
        t.start(); time.sleep(1.5)
        start = time.monotonic()
        srv.proc.send_signal(signal.SIGTERM)
        try:
            srv.proc.wait(60)
            took = "%.2f s" % (time.monotonic() - start)
        except subprocess.TimeoutExpired:
            took = "over 60 s"
        t.close()
        return "SIGTERM with 20 slow clients: stopped in " + took

    for fn in attacks:
        if chosen and fn.__name__ not in chosen:
            continue
        with tempfile.TemporaryDirectory(prefix="qm_attack_") as work:
            srv = Server(binary, work)
            try:
                print("%-22s %s" % (fn.__name__, fn(srv)), flush=True)
            finally:
                srv.stop()


if __name__ == "__main__":
    main()
