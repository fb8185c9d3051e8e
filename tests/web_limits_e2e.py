#!/usr/bin/env python3
"""The web view's limits, on the built `pitwall web` as a user runs it.

With no plug-in behind it (the bridge keeps retrying), the process is hit as
an attacker or a crowd would: more event streams than --max-viewers, slow
senders and thousands of idle connections, request bodies and header floods.
Checks that the page and the API stay answered, that the extra viewers are
told to retry at once, and that the process's memory does not grow with
what clients send. A second web view on the same port must fail.

Usage: web_limits_e2e.py PITWALL
"""
import resource
import socket
import subprocess
import sys
import threading
import time

from e2e_helpers import free_port, wait_for_port

PITWALL = sys.argv[1]
failures = []


def check(ok, what):
    print(("ok   " if ok else "FAIL ") + what, flush=True)
    if not ok:
        failures.append(what)


def resident_kib(pid):
    with open(f"/proc/{pid}/status") as status:
        for line in status:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return 0


def connect(port):
    s = socket.create_connection(("127.0.0.1", port), timeout=10)
    s.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
    return s


def read_head(s, limit=65536):
    data = b""
    while b"\r\n\r\n" not in data and len(data) < limit:
        chunk = s.recv(4096)
        if not chunk:
            break
        data += chunk
    return data


def status_of(head):
    parts = head.split(b" ", 2)
    return int(parts[1]) if len(parts) > 1 and parts[1].isdigit() else 0


def get(port, path):
    """(status, milliseconds) of a GET on a new connection."""
    start = time.monotonic()
    with connect(port) as s:
        s.sendall(f"GET {path} HTTP/1.1\r\nHost: 127.0.0.1:{port}\r\nConnection: close\r\n\r\n".encode())
        head = read_head(s)
    return status_of(head), (time.monotonic() - start) * 1000


def answered_quickly(port, what):
    for path in ("/", "/api/state", "/api/status"):
        status, ms = get(port, path)
        # 503 is /api/state's answer while the bridge has no state yet.
        check(status in (200, 503), f"{what}: {path} answered ({status}) in {ms:.1f} ms")
        check(ms < 1000, f"{what}: {path} took {ms:.1f} ms, an answer and not a wait")


def start_web(port, *extra):
    return subprocess.Popen([PITWALL, "web", "127.0.0.1:1", "--listen", f"127.0.0.1:{port}", *extra],
                            stdout=subprocess.PIPE, stderr=subprocess.STDOUT)


def main():
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    resource.setrlimit(resource.RLIMIT_NOFILE, (min(hard, 8192), hard))
    port = free_port()
    web = start_web(port, "--max-per-address", "5000")
    try:
        wait_for_port(port)

        # A second web view on the same port fails at once, saying why.
        second = start_web(port)
        out, _ = second.communicate(timeout=10)
        check(second.returncode == 1, f"a second web view on the port exits 1 ({second.returncode})")
        check(b"in use" in out, "and says the port is in use: " + out.decode(errors="replace").strip())

        # 220 event streams against the default 200: the 20 over are told at once.
        streams, statuses = [], []
        for _ in range(220):
            s = connect(port)
            s.sendall(f"GET /api/events HTTP/1.1\r\nHost: 127.0.0.1:{port}\r\n\r\n".encode())
            streams.append(s)
        start = time.monotonic()
        for s in streams:
            statuses.append(status_of(read_head(s)))
        ms = (time.monotonic() - start) * 1000
        check(statuses.count(200) == 200 and statuses.count(503) == 20,
              f"220 streams: {statuses.count(200)} served, {statuses.count(503)} told to retry "
              f"(all answered within {ms:.0f} ms)")
        answered_quickly(port, "with 200 streams open")
        for s in streams:
            s.close()

        # Slow senders (a byte at a time) and idle connections hold no capacity.
        slow = [connect(port) for _ in range(250)]
        for s in slow:
            s.sendall(b"G")
        idle = [connect(port) for _ in range(2000)]
        answered_quickly(port, "with 250 slow senders and 2000 idle connections")
        for s in slow + idle:
            s.close()

        # Bodies and header floods: answered on the head, and nothing kept.
        time.sleep(0.5)
        before = resident_kib(web.pid)
        body = b"x" * (10 << 20)
        codes = []
        lock = threading.Lock()

        def send_body():
            with connect(port) as s:
                s.sendall(f"POST /api/state HTTP/1.1\r\nHost: 127.0.0.1:{port}\r\n"
                          f"Content-Length: {len(body)}\r\n\r\n".encode())
                try:
                    s.sendall(body)
                except OSError:
                    pass  # the server stops reading once it has answered
                with lock:
                    codes.append(("body", status_of(read_head(s))))

        def send_headers():
            with connect(port) as s:
                try:
                    s.sendall(f"GET / HTTP/1.1\r\nHost: 127.0.0.1:{port}\r\n".encode() +
                              b"X-Flood: 1\r\n" * 100000)
                except OSError:
                    pass
                with lock:
                    codes.append(("headers", status_of(read_head(s))))

        threads = [threading.Thread(target=send_body) for _ in range(8)]
        threads += [threading.Thread(target=send_headers) for _ in range(20)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        after = resident_kib(web.pid)
        check(sorted(set(codes)) == [("body", 413), ("headers", 431)],
              f"8 x 10 MB bodies got 413 and 20 x 100000 headers got 431: {sorted(set(codes))}")
        check(after - before < 8192,
              f"memory {before} KiB before, {after} KiB after ({(after - before) / 1024:.1f} MiB more)")
        answered_quickly(port, "after the floods")
    finally:
        web.terminate()
        web.wait(timeout=10)
    print(f"{len(failures) == 0 and 'passed' or 'FAILED'}: {len(failures)} failure(s)")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
