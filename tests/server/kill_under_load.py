#!/usr/bin/env python3
"""kill_under_load.py SERVER GOLDEN_DOCUMENT [--uploads N] [--clients C] [--seconds S]

Uploads N documents from C concurrent clients to quillmoth-server on a
loopback port while the server is killed with SIGKILL and restarted on the
same database, again and again. Each document carries its own tag in the
CPU name; a client retries a document until it gets a 201 (a retry after a
lost answer may store it twice, so every attempt has a tag of its own).
Afterwards: every attempt that got a 201 is stored under the id it was
given, byte for byte; no attempt is stored twice; PRAGMA integrity_check is
ok. Everything is bounded: the whole run ends after S seconds at most.
"""

import argparse, http.client, json, os, random, signal, sqlite3, subprocess, sys, tempfile, threading, time


def start_server(binary, db):
    proc = subprocess.Popen([binary, "--listen", "127.0.0.1:0", "--db", db, "--upload-limit", "0"],
                            stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
    line = proc.stdout.readline()  # "quillmoth-server: listening on http://127.0.0.1:PORT"
    if "listening on http://127.0.0.1:" not in line:
        proc.kill()
        raise RuntimeError("server did not start: %r" % line)
    return proc, int(line.rsplit(":", 1)[1])


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("server")
    ap.add_argument("golden")
    ap.add_argument("--uploads", type=int, default=2000)
    ap.add_argument("--clients", type=int, default=16)
    ap.add_argument("--seconds", type=float, default=240)
    args = ap.parse_args()
    with open(args.golden, "rb") as f:
        golden = f.read().strip()
    assert golden.count(b"Sample CPU @ 3.00GHz") == 1

    work = tempfile.mkdtemp(prefix="qm_kill_")
    db = os.path.join(work, "results.db")
    deadline = time.monotonic() + args.seconds
    state = {"port": None, "proc": None}
    lock = threading.Lock()
    state["proc"], state["port"] = start_server(args.server, db)

    acked = {}      # tag -> (id, body)
    next_doc = [0]
    attempts = [0]
    kills = [0]
    done = threading.Event()

    def client():
        conn, port = None, None
        while time.monotonic() < deadline:
            with lock:
                if next_doc[0] >= args.uploads:
                    return
                n = next_doc[0]
                next_doc[0] += 1
            attempt = 0
            while time.monotonic() < deadline:
                tag = ("load-%05d-%d" % (n, attempt)).encode()
                attempt += 1
                with lock:
                    attempts[0] += 1
                body = golden.replace(b"Sample CPU @ 3.00GHz", tag)
                try:
                    if conn is None or port != state["port"]:
                        port = state["port"]
                        conn = http.client.HTTPConnection("127.0.0.1", port, timeout=10)
                    conn.request("POST", "/api/v1/submissions", body, {"Content-Type": "application/json"})
                    reply = conn.getresponse()
                    data = reply.read()
                except (OSError, http.client.HTTPException):
                    conn = None
                    time.sleep(0.02)
                    continue
                if reply.status == 201:
                    with lock:
                        acked[tag.decode()] = (json.loads(data)["id"], body)
                    break
                if reply.status != 503:
                    print("unexpected status %d: %r" % (reply.status, data[:200]))
                    os._exit(1)

    def killer():
        rng = random.Random(1234)
        while not done.wait(rng.uniform(0.2, 0.6)):
            with lock:
                proc = state["proc"]
            proc.send_signal(signal.SIGKILL)
            proc.wait()
            kills[0] += 1
            new_proc, new_port = start_server(args.server, db)
            with lock:
                state["proc"], state["port"] = new_proc, new_port

    threads = [threading.Thread(target=client) for _ in range(args.clients)]
    for t in threads:
        t.start()
    k = threading.Thread(target=killer)
    k.start()
    for t in threads:
        t.join()
    done.set()
    k.join()
    state["proc"].send_signal(signal.SIGTERM)
    state["proc"].wait(timeout=30)

    failures = []
    if len(acked) < args.uploads:
        failures.append("only %d of %d uploads acknowledged before the deadline" % (len(acked), args.uploads))
    con = sqlite3.connect(db)
    integrity = con.execute("PRAGMA integrity_check").fetchone()[0]
    if integrity != "ok":
        failures.append("integrity_check: %s" % integrity)
    stored = {}
    for rid, cpu, doc in con.execute("SELECT id, cpu, document FROM results"):
        if cpu in stored:
            failures.append("stored twice: %s" % cpu)
        stored[cpu] = (rid, bytes(doc))
    for tag, (rid, body) in acked.items():
        if tag not in stored:
            failures.append("acknowledged but lost: %s (%s)" % (tag, rid))
        elif stored[tag] != (rid, body):
            failures.append("stored differently: %s" % tag)
    con.close()
    print("%d uploads acknowledged in %d attempts, %d stored, %d kills" % (len(acked), attempts[0], len(stored), kills[0]))
    for f in failures[:20]:
        print("FAIL:", f)
    if not failures:
        for name in os.listdir(work):
            os.remove(os.path.join(work, name))
        os.rmdir(work)
    if kills[0] == 0:
        failures.append("the server was never killed")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
