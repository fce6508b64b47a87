#!/usr/bin/env python3
"""`nimbrel` under bounded load: many concurrent keep-alive TLS clients and
Wake-on-LAN requests, memory after they leave, and idle connections.

Usage: load_test.py <nimbrel> [unittest args]
"""
import asyncio
import os
import re
import resource
import socket
import ssl
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


def rss_kib(service):
    with open(f"/proc/{service.process.pid}/status", encoding="ascii") as f:
        return int(re.search(r"^VmRSS:\s+(\d+) kB", f.read(), re.M).group(1))


def wol_mac(i):
    return "02:00:00:00:%02X:%02X" % (i >> 8, i & 0xFF)


async def run_client(service, context, requests, failures):
    reader, writer = await asyncio.open_connection("127.0.0.1", service.port, ssl=context, server_hostname="localhost",
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
        baseline = rss_kib(self.service)
        first_packet = len(self.lab.capture.datagrams())

        plans = [[("/status", STATUS_REPLY)] * STATUS_REQUESTS for _ in range(STATUS_CLIENTS)]
        macs = [wol_mac(i) for i in range(WOL_CLIENTS * WOL_REQUESTS)]
        for c in range(WOL_CLIENTS):
            plans.append([("/v1/sendWOL/" + b64url(mac), EMPTY_OK_REPLY)
                          for mac in macs[c * WOL_REQUESTS:(c + 1) * WOL_REQUESTS]])
        failures = asyncio.run(run_round(self.service, plans))
        self.assertEqual(failures[:5], [], f"{len(failures)} requests went wrong")

        packets = self.lab.capture.wait(first_packet + len(macs), timeout=10)[first_packet:]
        self.assertEqual(len(packets), len(macs))
        self.assertEqual(sorted(p.data for p in packets), sorted(magic_packet(mac) for mac in macs))

        self.assertLessEqual(self.wait_for_sockets(self.listening), self.listening, "connections left open")
        after = rss_kib(self.service)
        # AddressSanitizer holds freed memory in quarantine on purpose.
        if not os.environ.get("NIMBREL_SANITIZED"):
            self.assertLessEqual(after, baseline + RSS_SLACK_KIB)
        self.assertTrue(self.status_served())

    def test_idle_connections_do_not_keep_new_clients_out(self):
        if self.nofile < IDLE_CONNECTIONS + 200:
            self.skipTest(f"the descriptor limit {self.nofile} leaves no room for {IDLE_CONNECTIONS} connections")
        idle = []
        try:
            for _ in range(IDLE_CONNECTIONS):
                idle.append(socket.create_connection(("127.0.0.1", self.service.port), e2e.CLIENT_TIMEOUT_S))
            started = time.monotonic()
            self.assertTrue(self.status_served())
            self.assertLess(time.monotonic() - started, 5.0)
            # The idle ones are still held, not dropped to make room.
            self.assertGreaterEqual(self.service.open_sockets(), IDLE_CONNECTIONS)
        finally:
            for sock in idle:
                sock.close()
        self.assertLessEqual(self.wait_for_sockets(self.listening), self.listening, "idle connections left open")


if __name__ == "__main__":
    e2e.main()
