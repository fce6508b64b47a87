#!/usr/bin/env python3
"""What clients of a running `nimbrel` see: the replies of both addresses and
the peer, magic packets on the wire, configured read limits, TLS versions and
ciphers, the port option, and the termination signals under traffic.

Usage: service_test.py <nimbrel> [unittest args]
"""
import signal
import ssl
import threading
import time
import unittest

import e2e_support as e2e
from e2e_support import (EMPTY_OK_REPLY, ERROR_REPLY, NO_CONTENT_REPLY, NOT_FOUND_REPLY, STATUS_REPLY, b64url,
                         magic_packet)

MAC = "AA:BB:CC:DD:EE:FF"
PASSWORD = "01:23:45:67:89:AB"
WOL = "/v1/sendWOL/" + b64url(MAC)
HEADER_LIMIT = 8192
PAYLOAD_LIMIT = 4096


def padded_request(size):
    """A request whose header block (through the empty line) is exactly `size` bytes."""
    head = "GET /status HTTP/1.1\r\nHost: localhost\r\nX-Pad: "
    return (head + "p" * (size - len(head) - 4) + "\r\n\r\n").encode()


class DefaultServiceTest(e2e.ServiceTestCase):
    """Default TLS switches; read limits from the file."""

    @classmethod
    def start_service(cls):
        return cls.lab.start("default", keys=[("httpMaxHeaderSize", HEADER_LIMIT),
                                              ("httpMaxPayloadSize", PAYLOAD_LIMIT)]).wait_listening()

    def test_replies_are_exact_on_both_families_and_from_the_peer(self):
        for host in ("127.0.0.1", "::1"):
            self.assertEqual(self.service.curl("/status", host=host), (0, STATUS_REPLY), host)
        for host in (self.lab.net.service_ip, self.lab.net.service_ip6):
            self.assertEqual(self.service.curl("/status", host=host, peer=True), (0, STATUS_REPLY), host)
        cases = [("GET", "/STATUS/", STATUS_REPLY), ("POST", "/status?x=1", STATUS_REPLY),
                 ("GET", "/status2", NOT_FOUND_REPLY), ("OPTIONS", "/status", NO_CONTENT_REPLY),
                 ("OPTIONS", "/nothing", NOT_FOUND_REPLY), ("OPTIONS", WOL, NO_CONTENT_REPLY),
                 ("GET", "/v1/sendWOL/", NOT_FOUND_REPLY)]
        with self.service.client() as client:
            for method, path, expected in cases:
                self.assertEqual(client.request(method, path).raw, expected, (method, path))
            # Body bytes after a HEAD reply would show up in front of the next one.
            self.assertEqual(client.request("HEAD", "/status").status, "HTTP/1.1 200 OK")
            self.assertEqual(client.request("GET", "/status").raw, STATUS_REPLY)

    def test_each_wake_on_lan_request_sends_exactly_its_packet(self):
        forged = MAC + "\n\x1b[31mforged"
        cases = [(WOL, EMPTY_OK_REPLY, magic_packet(MAC)),
                 (WOL + "/" + b64url(PASSWORD), EMPTY_OK_REPLY, magic_packet(MAC, PASSWORD)),
                 ("/V1/SENDWOL/" + b64url("aa:bb:cc:dd:ee:01"), EMPTY_OK_REPLY, magic_packet("aa:bb:cc:dd:ee:01")),
                 ("/v1/sendWOL/" + b64url(forged), EMPTY_OK_REPLY, magic_packet(MAC)),
                 ("/v1/sendWOL/" + b64url("AA:BB:CC:DD:EE"), ERROR_REPLY, None),
                 ("/v1/sendWOL/QUE6QkI6Q0M*REQ6RUU6RkY", ERROR_REPLY, None),
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
        # Client bytes never reach the log raw.
        self.assertIsNotNone(self.service.wait_for(
            "Sending WOL packet for mac 'AA:BB:CC:DD:EE:FF\\x0a\\x1b[31mforged'.", 0), self.service.output())

    def test_configured_read_limits_apply(self):
        with self.service.client() as client:
            client.send(padded_request(HEADER_LIMIT))
            self.assertEqual(client.read_response().raw, STATUS_REPLY)
            body = b"b" * PAYLOAD_LIMIT
            self.assertEqual(client.request("POST", "/status", [("Content-Length", len(body))], body).raw,
                             STATUS_REPLY)
        for request, status in ((padded_request(HEADER_LIMIT + 1), b"431 Request Header Fields Too Large"),
                                (b"POST /status HTTP/1.1\r\nContent-Length: %d\r\n\r\n" % (PAYLOAD_LIMIT + 1),
                                 b"413 Payload Too Large")):
            with self.service.client() as client:
                client.send(request)
                self.assertEqual(client.read_to_close(),
                                 b"HTTP/1.1 " + status + b"\r\nContent-Type: text/plain\r\nContent-Length: 0\r\nConnection: close\r\n\r\n")

    def test_tls_versions_follow_the_default_switches(self):
        for line in ("TLS 1.0  disabled", "TLS 1.1  enabled", "TLS 1.2  enabled", "TLS 1.3  enabled"):
            self.assertIsNotNone(self.service.wait_for(line, 0), line)
        for version in (ssl.TLSVersion.TLSv1_2, ssl.TLSVersion.TLSv1_3):
            with self.service.client(context=self.service.context(version, version)) as client:
                self.assertEqual(client.sock.version(), version.name.replace("_", "."))
                self.assertEqual(client.request("GET", "/status").raw, STATUS_REPLY)
        out = self.lab.net.run(["openssl", "s_client", "-brief", "-connect", "127.0.0.1:1444", "-tls1", "-cipher",
                                "DEFAULT:@SECLEVEL=0", "-CAfile", self.service.cert], input="", capture_output=True)
        self.assertIn("alert protocol version", out.stderr)  # refused by the service, not given up by the client


class ConfiguredServiceTest(e2e.ServiceTestCase):
    """The file sets port 1444, one cipher and TLS 1.3 off; the command line says port 1445."""

    CIPHER = "ECDHE-RSA-AES128-GCM-SHA256"
    OTHER = "ECDHE-RSA-AES256-GCM-SHA384"

    @classmethod
    def start_service(cls):
        service = cls.lab.start("configured", args=["-p", 1445],
                                keys=[("cipher", cls.CIPHER), ("enableTLSv1_3", "false")])
        service.port = 1445
        return service.wait_listening()

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

    def test_tls_switches_and_cipher_list_are_honoured(self):
        self.assertIsNotNone(self.service.wait_for("TLS 1.3  disabled", 0))
        with self.service.client() as client:
            self.assertEqual((client.sock.version(), client.sock.cipher()[0]), ("TLSv1.2", self.CIPHER))
        for context, reason in ((self.service.context(minimum=ssl.TLSVersion.TLSv1_3), "TLSV1_ALERT_PROTOCOL_VERSION"),
                                (self.service.context(maximum=ssl.TLSVersion.TLSv1_2, ciphers=self.OTHER),
                                 "SSLV3_ALERT_HANDSHAKE_FAILURE")):
            with self.assertRaises(ssl.SSLError) as refused:
                self.service.tls(context=context)
            self.assertEqual(refused.exception.reason, reason)

    def test_port_in_use_is_fatal(self):
        other = self.lab.start("conflict", args=["-p", 1445])
        self.assertEqual(other.wait_exit(), 1, other.output())
        self.assertIn("FATAL - Exception in server thread caught, exiting server. Exception was : Error binding to "
                      "port 1445", other.output())
        self.assertIn("FATAL - Starting Calvexa server failed, exiting.", other.output())


class TerminationSignalTest(unittest.TestCase):
    def setUp(self):
        self.lab = e2e.Lab()
        self.addCleanup(self.lab.close)

    def test_each_termination_signal_stops_the_service_under_traffic(self):
        signals = [signal.SIGTERM, signal.SIGINT, signal.SIGQUIT, signal.SIGTSTP]
        # All at once, so the 2-second pause before the stop is paid once.
        services = [self.lab.start(f"signal{int(s)}", port=1450 + i) for i, s in enumerate(signals)]
        busy = [BusyClient(service.wait_listening()) for service in services]
        for client in busy:
            self.addCleanup(client.close)
            self.assertTrue(client.warm.wait(e2e.CLIENT_TIMEOUT_S))
        started = time.monotonic()
        for service, signum in zip(services, signals):
            service.signal(signum)
        for service, signum, client in zip(services, signals, busy):
            self.assertEqual(service.wait_exit(), 0, service.output())
            self.assertGreaterEqual(time.monotonic() - started, 1.9, "stopped without the pause")
            lines = service.watch.lines()
            received = [i for i, line in enumerate(lines) if f"The interrupt signal is ({int(signum)})." in line]
            stopping = [i for i, line in enumerate(lines) if "Wake On Lan Proxy server stopping ..." in line]
            self.assertEqual(len(received), 1, service.output())
            self.assertGreater(stopping[0], received[0], service.output())
            self.assertTrue(client.ended.wait(e2e.CLIENT_TIMEOUT_S), "the sending client was never cut off")
            self.assertEqual(client.errors, [])
            self.assertEqual(e2e.HttpClient(client.idle).read_to_close(), b"")


class BusyClient:
    """One client sending back to back and one idle after its handshake, while the service stops."""

    def __init__(self, service):
        self.errors, self.warm, self.ended = [], threading.Event(), threading.Event()
        self.sending, self.idle = e2e.HttpClient(service.tls()), service.tls()
        threading.Thread(target=self._send, daemon=True).start()

    def _send(self):
        try:
            for count in range(2000):
                # Once the stop has begun a wake-up may fail, but it is answered or the connection closes.
                for path, replies in (("/status", (STATUS_REPLY,)), (WOL, (EMPTY_OK_REPLY, ERROR_REPLY))):
                    if self.sending.request("GET", path).raw not in replies:
                        self.errors.append(path)
                self.warm.set()
                time.sleep(0.01)
            self.errors.append("the connection stayed open during the stop")
        except (EOFError, OSError):
            pass
        finally:
            self.ended.set()

    def close(self):
        self.sending.sock.close()
        self.idle.close()


if __name__ == "__main__":
    e2e.main()
