#!/usr/bin/env python3
"""Requests per second of "/status" on a running `nimbrel`.

Usage: status_throughput.py <nimbrel> [--seconds S] [--connections C] [--threads T] [--workers W]

Runs the service inside the private test network (needs root), like the
end-to-end tests, and measures two things there:

- keep-alive: `wrk` with C connections on T threads for S seconds;
- new connection per request: W client processes, each opening a TLS
  connection, sending one request, reading the reply and closing, for S
  seconds. `wrk` cannot do this one: it opens a new connection only when the
  server asks to close, and the service keeps every connection open.
"""
import argparse
import os
import re
import socket
import ssl
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(os.path.dirname(HERE))
sys.path.insert(0, os.path.join(REPO, "tests", "e2e"))

REQUEST = b"GET /status HTTP/1.1\r\nHost: localhost\r\n\r\n"


def new_connection_worker(port, seconds, cert):
    """Runs inside the service namespace; prints the number of replies."""
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT)
    context.load_verify_locations(cert)
    expected = None
    done = 0
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        with socket.create_connection(("127.0.0.1", port), timeout=10) as raw:
            with context.wrap_socket(raw, server_hostname="localhost") as sock:
                sock.sendall(REQUEST)
                reply = b""
                while expected is None or len(reply) < expected:
                    chunk = sock.recv(4096)
                    if not chunk:
                        raise SystemExit("connection closed before the whole reply")
                    reply += chunk
                    if expected is None and b"\r\n\r\n" in reply:
                        head = reply[:reply.index(b"\r\n\r\n")]
                        length = int(re.search(rb"Content-Length: (\d+)", head).group(1))
                        expected = len(head) + 4 + length
                if not reply.startswith(b"HTTP/1.1 200 OK\r\n"):
                    raise SystemExit("unexpected reply: %r" % reply)
        done += 1
    print(done)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("nimbrel")
    parser.add_argument("--seconds", type=int, default=10)
    parser.add_argument("--connections", type=int, default=64)
    parser.add_argument("--threads", type=int, default=2)
    parser.add_argument("--workers", type=int, default=os.cpu_count() or 2)
    args = parser.parse_args()

    import subprocess
    import e2e_support as e2e
    e2e.NIMBREL = os.path.abspath(args.nimbrel)
    e2e.nimbrelnet.require()
    lab = e2e.Lab()
    try:
        service = lab.start("bench", level="info").wait_listening()
        url = f"https://127.0.0.1:{service.port}/status"

        result = lab.net.run(["wrk", "-t", str(args.threads), "-c", str(args.connections),
                              "-d", f"{args.seconds}s", url], capture_output=True,
                             timeout=args.seconds + 60)
        if result.returncode != 0:
            sys.exit("wrk failed:\n" + result.stdout + result.stderr)
        rate = re.search(r"Requests/sec:\s+([\d.]+)", result.stdout)
        if not rate or "Non-2xx" in result.stdout or "Socket errors" in result.stdout:
            sys.exit("wrk reported errors:\n" + result.stdout)
        print(f"keep-alive ({args.connections} connections, {args.threads} threads, {args.seconds} s): "
              f"{float(rate.group(1)):.0f} requests/s")

        workers = [lab.net.popen([sys.executable, os.path.abspath(__file__), "--worker", str(service.port),
                                  str(args.seconds), service.cert], stdout=subprocess.PIPE, text=True)
                   for _ in range(args.workers)]
        total = 0
        for worker in workers:
            out, _ = worker.communicate(timeout=args.seconds + 60)
            if worker.returncode != 0:
                sys.exit("a new-connection worker failed")
            total += int(out)
        print(f"new connection per request ({args.workers} clients, {args.seconds} s): "
              f"{total / args.seconds:.0f} requests/s")
        if service.stop() != 0:
            sys.exit("nimbrel did not stop cleanly:\n" + service.output())
    finally:
        lab.close()


if __name__ == "__main__":
    if len(sys.argv) == 5 and sys.argv[1] == "--worker":
        new_connection_worker(int(sys.argv[2]), float(sys.argv[3]), sys.argv[4])
    else:
        main()
