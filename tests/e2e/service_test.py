#!/usr/bin/env python3
"""What clients of a running `nimbrel` see: the replies of both addresses and
the peer, magic packets on the wire, TLS versions, the port option, and the
termination signals under traffic.

Usage: service_test.py <nimbrel> [unittest args]
"""
import signal
import ssl
import time
import unittest

import e2e_support as e2e
from e2e_support import (EMPTY_OK_REPLY, ERROR_REPLY, NO_CONTENT_REPLY, NOT_FOUND_REPLY, STATUS_REPLY, b64url,
                         magic_packet)

MAC = "AA:BB:CC:DD:EE:FF"
PASSWORD = "01:23:45:67:89:AB"
WOL = "/v1/sendWOL/" + b64url(MAC)


class ServiceTest(e2e.ServiceTestCase):
    """The file sets port 1444 and TLS 1.3 off; the command line says port 1445."""

    @classmethod
    def start_service(cls):
        service = cls.lab.start("configured", args=["-p", 1445], keys=[("enableTLSv1_3", "false")])
        service.port = 1445
        return service.wait_listening()

    def test_replies_are_exact_on_both_families_and_from_the_peer(self):
        for host in ("127.0.0.1", "::1"):
            self.assertEqual(self.service.curl("/status", host=host), (0, STATUS_REPLY), host)
        self.assertEqual(self.service.curl("/status", host=self.lab.net.service_ip, peer=True), (0, STATUS_REPLY))
        cases = [("POST", "/status?x=1", STATUS_REPLY), ("GET", "/status2", NOT_FOUND_REPLY),
                 ("OPTIONS", "/status", NO_CONTENT_REPLY), ("OPTIONS", "/nothing", NOT_FOUND_REPLY),
                 ("OPTIONS", WOL, NO_CONTENT_REPLY)]
        with self.service.client() as client:
            for method, path, expected in cases:
                self.assertEqual(client.request(method, path).raw, expected, (method, path))

    def test_each_wake_on_lan_request_sends_exactly_its_packet(self):
        cases = [(WOL, EMPTY_OK_REPLY, magic_packet(MAC)),
                 (WOL + "/" + b64url(PASSWORD), EMPTY_OK_REPLY, magic_packet(MAC, PASSWORD)),
                 ("/v1/sendWOL/" + b64url("AA:BB:CC:DD:EE"), ERROR_REPLY, None),
                 (WOL + "/" + b64url("01:23:45"), ERROR_REPLY, None)]
        with self.service.client("::1") as client:
            for path, reply, packet in cases:
                before = len(self.lab.capture.datagrams())
                self.assertEqual(client.request("GET", path).raw, reply, path)
                got = self.lab.capture.wait(before + 1, timeout=5 if packet else 0.3)[before:]
                self.assertEqual([d.data for d in got], [packet] if packet else [], path)
                if packet:
                    self.assertEqual(got[0].dst, "255.255.255.255")
                    self.assertTrue(got[0].src.startswith(self.lab.net.service_ip + ":"), got[0].src)

    def test_tls_versions_follow_the_switches(self):
        for line in ("TLS 1.0  disabled", "TLS 1.1  enabled", "TLS 1.2  enabled", "TLS 1.3  disabled"):
            self.assertIsNotNone(self.service.wait_for(line, 0), line)
        with self.service.client() as client:
            self.assertEqual(client.sock.version(), "TLSv1.2")
        with self.assertRaises(ssl.SSLError) as refused:
            self.service.tls(context=self.service.context(minimum=ssl.TLSVersion.TLSv1_3))
        self.assertEqual(refused.exception.reason, "TLSV1_ALERT_PROTOCOL_VERSION")
        out = self.lab.net.run(["openssl", "s_client", "-brief", "-connect", "127.0.0.1:1445", "-tls1", "-cipher",
                                "DEFAULT:@SECLEVEL=0", "-CAfile", self.service.cert], input="", capture_output=True)
        self.assertIn("alert protocol version", out.stderr)  # refused by the service, not given up by the client

    def test_port_option_applies_to_this_run_only(self):
        self.assertIsNotNone(self.service.wait_for(
            "using port '1445' set per parameter, port will not be configurable!", 0))
        self.assertEqual(self.service.curl("/status"), (0, STATUS_REPLY))
        with self.assertRaises(ConnectionRefusedError):
            self.service.tls(port=1444)
        with open(self.service.config_file, encoding="utf-8") as f:
            text = f.read()
        self.assertIn("<port>1444</port>", text)
        self.assertNotIn("<lastUpdated>1700000000</lastUpdated>", text)

    def test_port_in_use_is_fatal(self):
        other = self.lab.start("conflict", args=["-p", 1445])
        self.assertEqual(other.wait_exit(), 1, other.output())
        self.assertIn("FATAL - Exception in server thread caught, exiting server. Exception was : Error binding to "
                      "port 1445", other.output())
        self.assertIn("FATAL - Starting Calvexa server failed, exiting.", other.output())


class TerminationSignalTest(unittest.TestCase):
    def test_each_termination_signal_stops_the_service_and_ends_its_connections(self):
        lab = e2e.Lab()
        self.addCleanup(lab.close)
        signals = [signal.SIGTERM, signal.SIGINT, signal.SIGQUIT, signal.SIGTSTP]
        # All at once, so the 2-second pause before the stop is paid once.
        services = [lab.start(f"signal{int(s)}", port=1450 + i) for i, s in enumerate(signals)]
        clients = []
        for service in services:
            # One client idle after its handshake, one half way through its second request.
            idle, busy = e2e.HttpClient(service.wait_listening().tls()), service.client()
            self.assertEqual(busy.request("GET", "/status").raw, STATUS_REPLY)
            busy.send(b"GET /status HTTP/1.1\r\n")
            clients.append((idle, busy))
        started = time.monotonic()
        for service, signum in zip(services, signals):
            service.signal(signum)
        for service, signum, connections in zip(services, signals, clients):
            self.assertEqual(service.wait_exit(), 0, service.output())
            self.assertGreaterEqual(time.monotonic() - started, 1.9, "stopped without the pause")
            lines = service.output().splitlines()
            received = [i for i, line in enumerate(lines) if f"The interrupt signal is ({int(signum)})." in line]
            stopping = [i for i, line in enumerate(lines) if "Wake On Lan Proxy server stopping ..." in line]
            self.assertEqual(len(received), 1, service.output())
            self.assertGreater(stopping[0], received[0], service.output())
            for client in connections:
                self.assertEqual(client.read_to_close(), b"")


if __name__ == "__main__":
    e2e.main()
