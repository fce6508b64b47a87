#!/usr/bin/env python3
"""`nimbrel` under bounded load: many concurrent keep-alive TLS clients and
Wake-on-LAN requests, memory after they leave, idle connections, and running
out of file descriptors.

Usage: load_test.py <nimbrel> [unittest args]
"""
import asyncio
import os
import resource
import socket
import ssl
import subprocess
import threading
import time
import unittest

import e2e_support as e2e
from e2e_support import EMPTY_OK_REPLY, STATUS_REPLY, b64url, magic_packet

STATUS_CLIENTS = 200
STATUS_REQUESTS = 50
WOL_CLIENTS = 20
WOL_REQUESTS = 50
IDLE_CONNECTIONS = 1000
# Every client of a round must be done within this; far more than needed.
ROUND_TIMEOUT_S = 120.0
# What a round may leave behind in allocator caches; the connections' own
# buffers and TLS state of a round come to about as much again.
RSS_SLACK_KIB = 12 * 1024
# Descriptors for the idle connections and the load (the usual soft limit is
# 1024), within the hard limit this program has.
WANTED_NOFILE = 8192


def wol_mac(i):
    return "02:00:00:00:%02X:%02X" % (i >> 8, i & 0xFF)


async def run_client(service, context, requests, failures):
    sock = service.tcp()
    sock.setblocking(False)
    reader, writer = await asyncio.open_connection(sock=sock, ssl=context, server_hostname="localhost",
                                                   ssl_handshake_timeout=ROUND_TIMEOUT_S)
    try:
        for path, expected in requests:
            writer.write(b"GET %s HTTP/1.1\r\nHost: localhost\r\n\r\n" % path.encode())
            head = await reader.readuntil(b"\r\n\r\n")
            length = 0
            for line in head.split(b"\r\n"):
                if line.lower().startswith(b"content-length:"):
                    length = int(line.split(b":", 1)[1])
            reply = head + await reader.readexactly(length)
            if reply != expected:
                failures.append((path, reply))
    finally:
        writer.close()
        try:
            await writer.wait_closed()
        except (OSError, ssl.SSLError):
            pass


async def run_round(service, plans):
    """Runs one client per plan at once; the failures, and exceptions as failures."""
    context = service.context()
    failures = []
    tasks = [run_client(service, context, plan, failures) for plan in plans]
    results = await asyncio.wait_for(asyncio.gather(*tasks, return_exceptions=True), ROUND_TIMEOUT_S)
    failures += [repr(r) for r in results if isinstance(r, BaseException)]
    return failures


class LoadTest(e2e.ServiceTestCase):
    lab_prefix = "nimbrel-e2e-load-"

    @classmethod
    def start_service(cls):
        cls.nofile = min(WANTED_NOFILE, resource.getrlimit(resource.RLIMIT_NOFILE)[1])
        service = cls.lab.start("load", nofile=cls.nofile).wait_listening()
        # The listener and the Wake-on-LAN sender, whose socket opens on an I/O
        # thread shortly after the listener.
        deadline = time.monotonic() + 10.0
        while service.open_sockets() < 2 and time.monotonic() < deadline:
            time.sleep(0.05)
        cls.listening = service.open_sockets()
        return service

    def wait_for_sockets(self, at_most, timeout=10.0):
        """The service's socket count once it is at most `at_most`, or at the time limit."""
        deadline = time.monotonic() + timeout
        while self.service.open_sockets() > at_most and time.monotonic() < deadline:
            time.sleep(0.05)
        return self.service.open_sockets()

    def warm_up(self):
        """A round of short connections, so every I/O thread has its poller
        and caches before anything is measured."""
        warm = [[("/status", STATUS_REPLY)] * 10 for _ in range(20)]
        self.assertEqual(asyncio.run(run_round(self.service, warm)), [])
        self.assertLessEqual(self.wait_for_sockets(self.listening), self.listening, "connections left open")

    def status_served(self):
        with self.service.client(timeout=5) as client:
            return client.request("GET", "/status").raw == STATUS_REPLY

    def test_concurrent_keep_alive_clients_and_wake_on_lan(self):
        # glibc keeps freed memory in its per-thread arenas, so the baseline is
        # taken after a first round of the same size: what a second round
        # leaves on top of it is what the clients' departure failed to free.
        warm = [[("/status", STATUS_REPLY)] * STATUS_REQUESTS for _ in range(STATUS_CLIENTS + WOL_CLIENTS)]
        self.assertEqual(asyncio.run(run_round(self.service, warm)), [])
        self.assertLessEqual(self.wait_for_sockets(self.listening), self.listening, "connections left open")
        baseline = self.service.rss_kib()
        first_packet = len(self.lab.capture.datagrams())

        plans = [[("/status", STATUS_REPLY)] * STATUS_REQUESTS for _ in range(STATUS_CLIENTS)]
        macs = [wol_mac(i) for i in range(WOL_CLIENTS * WOL_REQUESTS)]
        for c in range(WOL_CLIENTS):
            plans.append([("/v1/sendWOL/" + b64url(mac), EMPTY_OK_REPLY)
                          for mac in macs[c * WOL_REQUESTS:(c + 1) * WOL_REQUESTS]])
        peak = [baseline]
        sampling = threading.Event()

        def sample():
            while not sampling.wait(0.05):
                peak[0] = max(peak[0], self.service.rss_kib())

        sampler = threading.Thread(target=sample, daemon=True)
        sampler.start()
        started = time.monotonic()
        try:
            failures = asyncio.run(run_round(self.service, plans))
        finally:
            sampling.set()
            sampler.join()
        seconds = time.monotonic() - started
        self.assertEqual(failures[:5], [], f"{len(failures)} requests went wrong")

        packets = self.lab.capture.wait(first_packet + len(macs), timeout=10)[first_packet:]
        self.assertEqual(len(packets), len(macs))
        self.assertEqual(sorted(p.data for p in packets), sorted(magic_packet(mac) for mac in macs))

        self.assertLessEqual(self.wait_for_sockets(self.listening), self.listening, "connections left open")
        after = self.service.rss_kib()
        print(f"\n  {STATUS_CLIENTS * STATUS_REQUESTS + len(macs)} requests in {seconds:.1f} s; VmRSS "
              f"{baseline} kB before, {peak[0]} kB at peak, {after} kB after", flush=True)
        # AddressSanitizer holds freed memory in quarantine on purpose.
        if not os.environ.get("NIMBREL_SANITIZED"):
            self.assertLessEqual(after, baseline + RSS_SLACK_KIB)
        self.assertTrue(self.status_served())

    def test_idle_connections_do_not_keep_new_clients_out(self):
        if self.nofile < IDLE_CONNECTIONS + 200:
            self.skipTest(f"the descriptor limit {self.nofile} leaves no room for {IDLE_CONNECTIONS} connections")
        idle = e2e.ns_sockets(self.lab.net.ns_service, socket.AF_INET, IDLE_CONNECTIONS)
        try:
            for sock in idle:
                sock.settimeout(e2e.CLIENT_TIMEOUT_S)
                sock.connect(("127.0.0.1", self.service.port))
            started = time.monotonic()
            rc, out = self.service.curl("/status", timeout=5)
            self.assertEqual((rc, out), (0, STATUS_REPLY))
            self.assertTrue(self.status_served())
            self.assertLess(time.monotonic() - started, 5.0)
            # The idle ones are still held, not dropped to make room.
            self.assertGreaterEqual(self.service.open_sockets(), IDLE_CONNECTIONS)
        finally:
            for sock in idle:
                sock.close()
        self.assertLessEqual(self.wait_for_sockets(self.listening), self.listening, "idle connections left open")

    def test_listener_accepts_again_once_descriptors_are_free(self):
        self.warm_up()
        pid = self.service.pid
        fds = self.service.fds()
        limit = len(fds) + 3
        free = limit - len([fd for fd in fds if fd < limit])
        held = []
        # Only the soft limit: raising a hard limit again needs a capability a container may lack.
        subprocess.run(["prlimit", "--pid", str(pid), f"--nofile={limit}:"], check=True)
        try:
            # More clients than free descriptors: the accepts beyond them fail.
            for _ in range(free + 5):
                held.append(self.service.tcp())
            self.assertIsNotNone(self.service.wait_for("Handle_accept error. Error was: 'Too many open files'"),
                                 self.service.output()[-2000:])
            with self.assertRaises(OSError):
                with self.service.client(timeout=1.0) as client:
                    client.request("GET", "/status")
            # Clients leaving is enough; the limit stays where it is.
            for sock in held:
                sock.close()
            held = []
            deadline = time.monotonic() + e2e.CLIENT_TIMEOUT_S
            served = False
            while not served and time.monotonic() < deadline:
                try:
                    served = self.status_served()
                except OSError:
                    time.sleep(0.1)
            self.assertTrue(served, "the listener did not accept again")
        finally:
            for sock in held:
                sock.close()
            subprocess.run(["prlimit", "--pid", str(pid), f"--nofile={self.nofile}:"], check=True)
        self.assertTrue(self.status_served())

if __name__ == "__main__":
    e2e.main(globals())
