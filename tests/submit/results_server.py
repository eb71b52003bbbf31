#!/usr/bin/env python3
"""A stand-in for the results service: results_server.py DIR [--port N] [--mode M] [--delay S]

Listens on 127.0.0.1, writes the port to DIR/port and answers connection k
with the bytes of DIR/reply<k>. Keeps the last request in DIR/request, its
passes in DIR/summary ("suite id pass threads iterations checksum
display_metric seconds") and its machine description in DIR/machine ("key
value" lines); DIR/report says "valid", or "invalid" and the problems, over
all requests. Ends after the last reply file or when its standard input closes.
"""

import argparse, json, os, re, select, socket, struct, sys, time

IDS = ("native_integer wide_integer floating_point primes extended_instructions compression encryption physics "
       "sorting memory_latency memory_bandwidth").split()
TOP = ("cpu model cpu_cores cpu_threads architecture l1_cache_kb l2_cache_kb l3_cache_kb memory_mb operating_system "
       "compiler lumatile_version workload_suite duration_ms score_details")
SCORE = "minimum_test_seconds repeats system_environment raw_tests real_tests"
ENV = "kernel sample_seconds background_cpu_average_percent background_cpu_peak_percent available_memory_mb process_count"
TEST = "id name detail unit start_iterations work_per_iteration multicore singlecore"
PASS = "display_metric rate seconds iterations threads checksum"


class Obj(list):
    """A JSON object as its (key, value) pairs, in document order."""


def fields(value, keys, where):
    if not isinstance(value, Obj) or [k for k, _ in value] != keys.split():
        raise ValueError("%s does not have the keys %s in order" % (where, keys))
    return dict(value)


def reject_constant(name):
    raise ValueError("not a JSON number: " + name)


# What the console report shows of the machine, in the order it shows it.
MACHINE = ("cpu model cpu_cores cpu_threads memory_mb l1_cache_kb l2_cache_kb l3_cache_kb operating_system "
           "architecture kernel compiler lumatile_version duration_ms").split()


def summarize(body):
    """The summary and machine lines of a valid document; raises ValueError otherwise."""
    doc = json.loads(body, object_pairs_hook=Obj, parse_constant=reject_constant)
    top = fields(doc, TOP, "document")
    score = fields(top["score_details"], SCORE, "score_details")
    env = fields(score["system_environment"], ENV, "system_environment")
    values = dict(top, kernel=env["kernel"])
    machine = "".join("%s %s\n" % (key, values[key]) for key in MACHINE)
    lines = []
    for suite in ("raw", "real"):
        tests = score[suite + "_tests"]
        if isinstance(tests, Obj) or not isinstance(tests, list) or len(tests) != len(IDS):
            raise ValueError("%s_tests is not an array of %d tests" % (suite, len(IDS)))
        for test_id, test in zip(IDS, tests):
            test = fields(test, TEST, test_id)
            if test["id"] != test_id:
                raise ValueError("%s test %r where %r belongs" % (suite, test["id"], test_id))
            for which in ("multicore", "singlecore"):
                p = fields(test[which], PASS, "%s %s %s" % (suite, test_id, which))
                c = p["checksum"]
                if not (isinstance(c, str) and re.fullmatch(r"0|[1-9][0-9]*", c) and int(c) < 2 ** 64):
                    raise ValueError("%s %s %s checksum %r" % (suite, test_id, which, c))
                lines.append("%s %s %s %s %s %s %r %r\n" % (suite, test_id, which, p["threads"], p["iterations"], c,
                                                           p["display_metric"], p["seconds"]))
    return "".join(lines), machine


def receive(conn, deadline, whole_request):
    """The request (header and Content-Length bytes of body), or with
    whole_request False whatever comes until the client closes."""
    data, need = b"", None
    try:
        while (need is None or len(data) < need) and time.monotonic() < deadline:
            conn.settimeout(deadline - time.monotonic())
            chunk = conn.recv(65536)
            if not chunk:
                break
            data += chunk
            end = data.find(b"\r\n\r\n")
            if whole_request and need is None and end >= 0:
                m = re.search(rb"\r\nContent-Length: *([0-9]+)", data[:end + 2], re.IGNORECASE)
                need = end + 4 + (int(m.group(1)) if m else 0)
    except OSError:
        pass
    return data


def write(path, data):
    with open(path + ".tmp", "wb") as f:
        f.write(data if isinstance(data, bytes) else data.encode())
    os.replace(path + ".tmp", path)  # never seen half written


def handle(conn, args, reply, problems):
    deadline = time.monotonic() + 30
    if args.mode == "close-early":  # end, then reset, as soon as the request starts to come in
        conn.settimeout(10)
        conn.recv(1)
        conn.shutdown(socket.SHUT_WR)  # a reset after the end makes the client's send fail with EPIPE
        conn.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
        return
    request = receive(conn, deadline, True)
    write("request", request)
    try:
        summary, machine = summarize(request.partition(b"\r\n\r\n")[2])
        write("summary", summary)
        write("machine", machine)
    except (ValueError, KeyError, TypeError) as e:
        problems.append("%s\n" % e)
    write("report", "".join(["invalid\n" if problems else "valid\n"] + problems))
    if args.mode == "slow":
        time.sleep(args.delay)
    try:
        if args.mode == "trickle":  # one byte at a time
            for i in range(len(reply)):
                conn.sendall(reply[i:i + 1])
                time.sleep(args.delay)
        elif args.mode != "silent":
            conn.sendall(reply)
    except OSError:  # the client stops reading when its buffer is full
        pass
    if args.mode in ("silent", "linger"):  # keep the connection until the client closes it
        receive(conn, deadline, False)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("dir")
    ap.add_argument("--port", type=int, default=0)
    ap.add_argument("--mode", default="answer", choices=["answer", "close-early", "silent", "slow", "trickle", "linger"])
    ap.add_argument("--delay", type=float, default=0.0)
    args = ap.parse_args()
    os.chdir(args.dir)
    listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    listener.bind(("127.0.0.1", args.port))
    listener.listen(8)
    write("port", str(listener.getsockname()[1]))
    problems = []
    for k in range(len([f for f in os.listdir() if f.startswith("reply")])):
        if sys.stdin in select.select([sys.stdin, listener], [], [])[0]:
            return  # the test is done with us: we are never written to
        conn, _ = listener.accept()
        with conn, open("reply%d" % k, "rb") as f:
            handle(conn, args, f.read(), problems)


if __name__ == "__main__":
    main()
