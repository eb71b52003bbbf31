#!/usr/bin/env python3
"""A stand-in for the results service, for the upload tests.

Listens on a loopback address, takes a POST, checks the result document,
records what it received and answers as the test asks (with several reply
files, connection k gets reply k). On demand it
misbehaves: closes at once, stays silent, answers slowly, answers one byte at
a time, or keeps the connection open after its reply.

Prints "PORT <n>" on standard output once it listens. It ends after
its last connection, when its standard input is closed, or after
--lifetime seconds, whichever comes first.

Files written for the test (when named):
  --record   the request bytes exactly as received (the last request)
  --report   "valid" or "invalid" on the first line, then one problem a line
             (over all requests)
  --summary  one line per test result: suite id pass threads iterations checksum
             (the last request)
"""

import argparse
import ipaddress
import json
import os
import re
import select
import socket
import struct
import sys
import time

MAX_REQUEST = 1 << 20

IDS = [
    "native_integer", "wide_integer", "floating_point", "primes", "extended_instructions",
    "compression", "encryption", "physics", "sorting", "memory_latency", "memory_bandwidth",
]
TOP_KEYS = [
    "cpu", "model", "cpu_cores", "cpu_threads", "architecture", "l1_cache_kb", "l2_cache_kb",
    "l3_cache_kb", "memory_mb", "operating_system", "compiler", "lumatile_version",
    "workload_suite", "duration_ms", "score_details",
]
SCORE_KEYS = ["minimum_test_seconds", "repeats", "system_environment", "raw_tests", "real_tests"]
ENV_KEYS = [
    "kernel", "sample_seconds", "background_cpu_average_percent", "background_cpu_peak_percent",
    "available_memory_mb", "process_count",
]
TEST_KEYS = ["id", "name", "detail", "unit", "start_iterations", "work_per_iteration",
             "multicore", "singlecore"]
PASS_KEYS = ["display_metric", "rate", "seconds", "iterations", "threads", "checksum"]

REASONS = {200: "OK", 201: "Created", 302: "Found", 401: "Unauthorized", 422: "Unprocessable Entity",
           500: "Internal Server Error"}


class Obj(list):
    """A JSON object as its (key, value) pairs, in document order."""


def is_int(v):
    return isinstance(v, int) and not isinstance(v, bool)


def is_num(v):
    return (isinstance(v, (int, float))) and not isinstance(v, bool)


class Checker:
    def __init__(self):
        self.errors = []
        self.summary = []

    def fail(self, text):
        self.errors.append(text)

    def fields(self, obj, keys, where):
        if not isinstance(obj, Obj):
            self.fail("%s is not an object" % where)
            return None
        got = [k for k, _ in obj]
        if got != keys:
            self.fail("%s has keys %s, expected %s" % (where, got, keys))
            return None
        return dict(obj)

    def expect(self, cond, text):
        if not cond:
            self.fail(text)

    def check_pass(self, p, where, test_id):
        f = self.fields(p, PASS_KEYS, where)
        if f is None:
            return None
        for k in ("display_metric", "rate", "seconds"):
            self.expect(is_num(f[k]), "%s.%s is not a number" % (where, k))
        for k in ("iterations", "threads"):
            self.expect(is_int(f[k]), "%s.%s is not an integer" % (where, k))
        c = f["checksum"]
        if not (isinstance(c, str) and re.fullmatch(r"0|[1-9][0-9]*", c) and int(c) < 2 ** 64):
            self.fail("%s.checksum %r is not a decimal string below 2^64" % (where, c))
            return None
        if is_num(f["display_metric"]) and is_num(f["rate"]) and is_num(f["seconds"]) and is_int(f["iterations"]):
            if test_id == "memory_latency":
                if f["iterations"] > 0:
                    ns = f["seconds"] / (f["iterations"] * 1e6) * 1e9
                    self.expect(abs(f["display_metric"] - ns) <= 1e-12 * abs(ns),
                                "%s.display_metric is not ns per access" % where)
            else:
                self.expect(f["display_metric"] == f["rate"], "%s.display_metric differs from rate" % where)
        return f

    def check_suite(self, tests, suite):
        if not isinstance(tests, list) or isinstance(tests, Obj):
            self.fail("%s is not an array" % suite)
            return
        if len(tests) != len(IDS):
            self.fail("%s has %d tests, expected %d" % (suite, len(tests), len(IDS)))
            return
        for i, t in enumerate(tests):
            where = "%s[%d]" % (suite, i)
            f = self.fields(t, TEST_KEYS, where)
            if f is None:
                continue
            self.expect(f["id"] == IDS[i], "%s.id is %r, expected %r" % (where, f["id"], IDS[i]))
            for k in ("name", "detail", "unit"):
                self.expect(isinstance(f[k], str) and f[k] != "", "%s.%s is not a text" % (where, k))
            self.expect(is_int(f["start_iterations"]), "%s.start_iterations is not an integer" % where)
            self.expect(is_num(f["work_per_iteration"]), "%s.work_per_iteration is not a number" % where)
            for name in ("multicore", "singlecore"):
                p = self.check_pass(f[name], "%s.%s" % (where, name), IDS[i])
                if p is not None:
                    self.summary.append("%s %s %s %s %s %s" % (suite, IDS[i], name, p["threads"],
                                                               p["iterations"], p["checksum"]))

    def check_document(self, body, version):
        try:
            text = body.decode("utf-8")
        except UnicodeDecodeError:
            self.fail("body is not UTF-8")
            return
        in_string = escaped = False
        for ch in text:
            if in_string:
                if escaped:
                    escaped = False
                elif ch == "\\":
                    escaped = True
                elif ch == '"':
                    in_string = False
                elif ord(ch) < 32:
                    self.fail("control character inside a string")
                    return
            elif ch == '"':
                in_string = True
            elif ch in " \t\r\n":
                self.fail("whitespace outside strings")
                return

        def no_constants(name):
            raise ValueError("not a JSON number: " + name)

        try:
            doc = json.loads(text, object_pairs_hook=Obj, parse_constant=no_constants)
        except ValueError as e:
            self.fail("body is not JSON: %s" % e)
            return
        top = self.fields(doc, TOP_KEYS, "document")
        if top is None:
            return
        for k in ("cpu", "model", "operating_system", "compiler"):
            self.expect(isinstance(top[k], str), "%s is not a text" % k)
        for k in ("cpu_cores", "cpu_threads", "l1_cache_kb", "l2_cache_kb", "l3_cache_kb", "memory_mb",
                  "duration_ms"):
            self.expect(is_int(top[k]), "%s is not an integer" % k)
        self.expect(top["architecture"] == "x86-64", "architecture is %r" % top["architecture"])
        self.expect(top["lumatile_version"] == version, "version is %r" % top["lumatile_version"])
        self.expect(top["workload_suite"] == "quillmoth-cpu-v2", "workload_suite is %r" % top["workload_suite"])
        score = self.fields(top["score_details"], SCORE_KEYS, "score_details")
        if score is None:
            return
        self.expect(score["minimum_test_seconds"] == 0.4, "minimum_test_seconds is not 0.4")
        self.expect(score["repeats"] == 3 and is_int(score["repeats"]), "repeats is not 3")
        env = self.fields(score["system_environment"], ENV_KEYS, "system_environment")
        if env is not None:
            self.expect(isinstance(env["kernel"], str), "kernel is not a text")
            for k in ("sample_seconds", "available_memory_mb", "process_count"):
                self.expect(is_int(env[k]), "%s is not an integer" % k)
            for k in ("background_cpu_average_percent", "background_cpu_peak_percent"):
                self.expect(is_num(env[k]), "%s is not a number" % k)
        self.check_suite(score["raw_tests"], "raw")
        self.check_suite(score["real_tests"], "real")

    def check_request(self, request, path, version):
        head, sep, body = request.partition(b"\r\n\r\n")
        if not sep:
            self.fail("request has no end of header")
            return
        lines = head.split(b"\r\n")
        self.expect(lines[0] == b"POST " + path.encode() + b" HTTP/1.1", "request line is %r" % lines[0])
        headers = lines[1:]
        if len(headers) != 4:
            self.fail("request has %d header lines, expected 4" % len(headers))
            return
        self.expect(re.fullmatch(rb"Host: \S+:[0-9]+", headers[0]) is not None,
                    "Host line %r does not name host and port" % headers[0])
        self.expect(headers[1] == b"Content-Type: application/json", "bad line %r" % headers[1])
        m = re.fullmatch(rb"Content-Length: ([0-9]+)", headers[2])
        if m is None:
            self.fail("bad line %r" % headers[2])
        else:
            self.expect(int(m.group(1)) == len(body),
                        "Content-Length %s, body has %d bytes" % (m.group(1).decode(), len(body)))
        self.expect(headers[3] == b"Connection: close", "bad line %r" % headers[3])
        self.check_document(body, version)


def content_length(head):
    m = re.search(rb"\r\nContent-Length:[ \t]*([0-9]+)", head, re.IGNORECASE)
    return int(m.group(1)) if m else 0


def read_request(conn, deadline):
    """Reads one request: the header and Content-Length bytes of body."""
    data = b""
    need = None
    while (need is None or len(data) < need) and len(data) < MAX_REQUEST:
        left = deadline - time.monotonic()
        if left <= 0:
            break
        conn.settimeout(left)
        try:
            chunk = conn.recv(65536)
        except OSError:
            break
        if not chunk:
            break
        data += chunk
        if need is None:
            end = data.find(b"\r\n\r\n")
            if end >= 0:
                need = end + 4 + content_length(data[:end + 2])
    return data


def wait_for_close(conn, deadline):
    """Reads and drops whatever comes until the peer closes or the deadline."""
    while True:
        left = deadline - time.monotonic()
        if left <= 0:
            return
        conn.settimeout(left)
        try:
            if not conn.recv(65536):
                return
        except OSError:
            return


def send_quietly(conn, data):
    try:
        conn.sendall(data)
        return True
    except OSError:  # the client may stop reading at its buffer's end
        return False


def write_file(path, data):
    if path:
        with open(path, "wb") as f:
            f.write(data)


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--host", default="127.0.0.1")
    ap.add_argument("--port", type=int, default=0)
    ap.add_argument("--mode", default="answer",
                    choices=["answer", "close-early", "silent", "slow", "trickle", "linger", "backlog-full"])
    ap.add_argument("--reply-file", action="append", default=[],
                    help="raw reply bytes, sent as they are; repeat for several connections")
    ap.add_argument("--status", type=int, default=201, help="0: 201 for a valid document, else 422")
    ap.add_argument("--body", default="")
    ap.add_argument("--delay", type=float, default=0.0, help="seconds before the reply, or between bytes")
    ap.add_argument("--lifetime", type=float, default=20.0)
    ap.add_argument("--path", default="/api/v1/submissions")
    ap.add_argument("--version", default="0.4.2")
    ap.add_argument("--record")
    ap.add_argument("--report")
    ap.add_argument("--summary")
    args = ap.parse_args()

    if not ipaddress.ip_address(args.host).is_loopback:
        sys.exit("results_server: only loopback addresses are served, not " + args.host)
    end = time.monotonic() + min(args.lifetime, 3600.0)
    family = socket.AF_INET6 if ":" in args.host else socket.AF_INET
    listener = socket.socket(family, socket.SOCK_STREAM)
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    listener.bind((args.host, args.port))
    filler = []
    if args.mode == "backlog-full":
        # A queue that is full and never accepted from: a connect cannot finish.
        listener.listen(0)
        for _ in range(3):
            c = socket.socket(family, socket.SOCK_STREAM)
            c.setblocking(False)
            try:
                c.connect(listener.getsockname()[:2])
            except BlockingIOError:
                pass
            filler.append(c)
        time.sleep(0.2)
    else:
        listener.listen(8)
    print("PORT %d" % listener.getsockname()[1], flush=True)

    connections = max(1, len(args.reply_file))
    errors = []
    served = 0
    while served < connections and time.monotonic() < end:
        watch = [sys.stdin]
        if args.mode != "backlog-full":
            watch.append(listener)
        ready, _, _ = select.select(watch, [], [], max(0.0, min(0.5, end - time.monotonic())))
        if sys.stdin in ready:
            if not os.read(sys.stdin.fileno(), 4096):
                break  # the test is done with us
        if listener not in ready:
            continue
        conn, _ = listener.accept()
        served += 1
        with conn:
            handle(conn, args, end, served - 1, errors)
    listener.close()
    for c in filler:
        c.close()


def handle(conn, args, end, index, errors):
    if args.mode == "close-early":
        # Reset as soon as the request starts to come in.
        conn.settimeout(max(0.0, end - time.monotonic()))
        try:
            conn.recv(1)
        except OSError:
            pass
        conn.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
        return
    request = read_request(conn, min(end, time.monotonic() + 10.0))
    write_file(args.record, request)
    checker = Checker()
    checker.check_request(request, args.path, args.version)
    errors += checker.errors
    report = "valid\n" if not errors else "invalid\n" + "".join(e + "\n" for e in errors)
    write_file(args.report, report.encode())
    write_file(args.summary, "".join(s + "\n" for s in checker.summary).encode())

    if args.reply_file:
        with open(args.reply_file[index], "rb") as f:
            reply = f.read()
    else:
        status = args.status if args.status != 0 else (201 if not checker.errors else 422)
        body = args.body.encode() if status != 422 or args.status != 0 else report.encode()
        reply = (b"HTTP/1.1 %d %s\r\nContent-Type: application/json\r\nContent-Length: %d\r\n"
                 b"Connection: close\r\n\r\n" % (status, REASONS.get(status, "Status").encode(), len(body))) + body

    if args.mode == "silent":
        wait_for_close(conn, end)
    elif args.mode == "slow":
        time.sleep(max(0.0, min(args.delay, end - time.monotonic())))
        send_quietly(conn, reply)
    elif args.mode == "trickle":
        for i in range(len(reply)):
            if time.monotonic() >= end or not send_quietly(conn, reply[i:i + 1]):
                break
            time.sleep(args.delay)
    elif args.mode == "linger":
        send_quietly(conn, reply)
        wait_for_close(conn, end)
    else:
        send_quietly(conn, reply)


if __name__ == "__main__":
    main()
