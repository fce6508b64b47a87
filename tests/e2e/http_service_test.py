#!/usr/bin/env python3
"""What an HTTPS client of a running `nimbrel` sees: the status and
Wake-on-LAN paths, the read limits, malformed and pipelined requests, and the
TLS versions of the default switches.

Usage: http_service_test.py <nimbrel> [unittest args]

One service with small read limits serves every case; it runs inside a
private network namespace and every magic packet is captured in the peer one.
"""
import ssl
import subprocess
import threading
import time
import unittest
import warnings

import e2e_support as e2e
from e2e_support import (EMPTY_OK_REPLY, ERROR_REPLY, NO_CONTENT_REPLY, NOT_FOUND_REPLY, STATUS_REPLY,
                         b64url, magic_packet)

HEADER_LIMIT = 8192
PAYLOAD_LIMIT = 4096
HEADER_TOO_LARGE = "HTTP/1.1 431 Request Header Fields Too Large"
PAYLOAD_TOO_LARGE = "HTTP/1.1 413 Payload Too Large"

MAC = "AA:BB:CC:DD:EE:FF"
PASSWORD = "01:23:45:67:89:AB"
WOL = "/v1/sendWOL/" + b64url(MAC)


def padded_request(size, method="GET", path="/status", extra_headers=""):
    """A request whose header block (through the empty line) is exactly `size` bytes."""
    head = f"{method} {path} HTTP/1.1\r\nHost: localhost\r\n{extra_headers}X-Pad: "
    pad = size - len(head) - len("\r\n\r\n")
    assert pad > 0
    return (head + "p" * pad + "\r\n\r\n").encode()


class HttpServiceTest(e2e.ServiceTestCase):
    lab_prefix = "nimbrel-e2e-http-"

    @classmethod
    def start_service(cls):
        service = cls.lab.start("limits", keys=[("httpMaxHeaderSize", HEADER_LIMIT),
                                                ("httpMaxPayloadSize", PAYLOAD_LIMIT)])
        service.wait_listening()
        return service

    def packets(self):
        return self.lab.capture.datagrams()

    def expect_no_new_packets(self, before):
        self.assertEqual(len(self.lab.capture.quiet(0.3)), before, "a request sent a magic packet it must not send")

    def assertErrorReplyThenClose(self, data, status_line):
        """One empty error reply, then the end of the connection."""
        head, separator, rest = data.partition(b"\r\n\r\n")
        self.assertEqual(separator, b"\r\n\r\n", data)
        lines = head.decode("latin-1").split("\r\n")
        self.assertEqual(lines[0], status_line)
        headers = dict(line.split(": ", 1) for line in lines[1:])
        self.assertEqual(headers.get("Content-Length"), "0", data)
        self.assertIn(headers.get("Connection", "close"), ("close",), data)
        self.assertEqual(rest, b"", "bytes after the error reply")

    # Status and routing ----------------------------------------------------

    def test_status_reply_is_exact_for_every_client(self):
        for host in ("127.0.0.1", "::1"):
            with self.subTest(client="python", host=host), self.service.client(host) as client:
                self.assertEqual(client.request("GET", "/status").raw, STATUS_REPLY)
            with self.subTest(client="curl", host=host):
                rc, out = self.service.curl("/status", host=host)
                self.assertEqual((rc, out), (0, STATUS_REPLY))
        with self.subTest(client="peer namespace"):
            # Reached from the other end of the link, over IPv4 and IPv6.
            for address in (self.lab.net.service_ip, f"[{self.lab.net.service_ip6}]"):
                result = self.lab.net.run_peer(
                    ["curl", "-s", "-i", "--max-time", "10", "--cacert", self.service.cert, "--resolve",
                     f"localhost:1444:{address}", "https://localhost:1444/status"],
                    capture_output=True, text=False)
                self.assertEqual((result.returncode, result.stdout), (0, STATUS_REPLY), address)

    def test_paths_are_routed_on_one_keep_alive_connection(self):
        cases = [
            ("GET", "/status", STATUS_REPLY),
            ("GET", "/STATUS", STATUS_REPLY),
            ("GET", "/status/", STATUS_REPLY),
            ("GET", "/status?verbose=1", STATUS_REPLY),
            ("GET", "https://localhost:1444/status", STATUS_REPLY),
            ("POST", "/status", STATUS_REPLY),
            ("GET", "/", NOT_FOUND_REPLY),
            ("GET", "/status2", NOT_FOUND_REPLY),
            ("GET", "/status/x", NOT_FOUND_REPLY),
            ("GET", "/v1", NOT_FOUND_REPLY),
            ("DELETE", "/nothing/here", NOT_FOUND_REPLY),
            ("OPTIONS", "/status", NO_CONTENT_REPLY),
            ("OPTIONS", "/status/", NO_CONTENT_REPLY),
            ("OPTIONS", "/nothing", NOT_FOUND_REPLY),
            ("OPTIONS", "/v1/sendWOL", NOT_FOUND_REPLY),
            ("GET", "/status", STATUS_REPLY),
        ]
        with self.service.client() as client:
            for method, path, expected in cases:
                with self.subTest(method=method, path=path):
                    self.assertEqual(client.request(method, path).raw, expected)

    def test_head_answers_headers_only_and_the_connection_goes_on(self):
        with self.service.client() as client:
            head = client.request("HEAD", "/status")
            self.assertEqual(head.status, "HTTP/1.1 200 OK")
            self.assertEqual(head.headers.get("content-type"), "text/plain")
            # Body bytes after the HEAD reply would show up in front of this one.
            self.assertEqual(client.request("GET", "/status").raw, STATUS_REPLY)
            self.assertEqual(client.request("HEAD", "/missing").status, "HTTP/1.1 404 Not Found")
            self.assertEqual(client.request("GET", "/status").raw, STATUS_REPLY)
        rc, out = self.service.curl("/status", "--head")
        self.assertEqual(rc, 0)
        self.assertTrue(out.startswith(b"HTTP/1.1 200 OK\r\n"), out)
        self.assertNotIn(b"1.3.1482.0", out)

    # Wake-on-LAN -----------------------------------------------------------

    def test_wake_on_lan_sends_exactly_one_magic_packet_per_request(self):
        cases = [
            (WOL, magic_packet(MAC)),
            (WOL + "/" + b64url(PASSWORD), magic_packet(MAC, PASSWORD)),
            ("/V1/SENDWOL/" + b64url("aa:bb:cc:dd:ee:01"), magic_packet("aa:bb:cc:dd:ee:01")),
            (WOL + "/", magic_packet(MAC)),
        ]
        first = len(self.packets())
        with self.service.client("::1") as client:
            for path, packet in cases:
                with self.subTest(path=path):
                    before = len(self.packets())
                    self.assertEqual(client.request("GET", path).raw, EMPTY_OK_REPLY)
                    got = self.lab.capture.wait(before + 1)
                    self.assertEqual(len(got), before + 1, "no magic packet arrived")
                    self.assertEqual(got[-1].data, packet)
                    self.assertEqual(len(got[-1].data), 108 if packet[102:] else 102)
                    self.assertEqual(got[-1].dst, "255.255.255.255")
                    self.assertTrue(got[-1].src.startswith(self.lab.net.service_ip + ":"), got[-1].src)
        with self.subTest(client="curl"):
            before = len(self.packets())
            rc, out = self.service.curl(WOL)
            self.assertEqual((rc, out), (0, EMPTY_OK_REPLY))
            got = self.lab.capture.wait(before + 1)
            self.assertEqual([d.data for d in got[before:]], [magic_packet(MAC)])
        self.expect_no_new_packets(first + len(cases) + 1)

    def test_bad_wake_on_lan_requests_send_nothing(self):
        cases = [
            ("/v1/sendWOL/" + b64url("AA:BB:CC:DD:EE"), ERROR_REPLY),
            ("/v1/sendWOL/" + b64url("AA-BB-CC-DD-EE-FF"), ERROR_REPLY),
            ("/v1/sendWOL/" + b64url("AA:BB:CC:DD:EE:FF:"), ERROR_REPLY),
            ("/v1/sendWOL/QUE6QkI6Q0M*REQ6RUU6RkY", ERROR_REPLY),
            (WOL + "/" + b64url("01:23:45"), ERROR_REPLY),
            (WOL + "/AB*CD", ERROR_REPLY),
            ("/v1/sendWOL//" + b64url(PASSWORD), ERROR_REPLY),
            ("/v1/sendWOL", NOT_FOUND_REPLY),
            ("/v1/sendWOL/", NOT_FOUND_REPLY),
        ]
        before = len(self.packets())
        with self.service.client() as client:
            for path, expected in cases:
                with self.subTest(path=path):
                    self.assertEqual(client.request("GET", path).raw, expected)
            with self.subTest(method="OPTIONS"):
                self.assertEqual(client.request("OPTIONS", WOL).raw, NO_CONTENT_REPLY)
        self.expect_no_new_packets(before)

    # Read limits -----------------------------------------------------------

    def test_header_block_at_the_limit_is_served(self):
        with self.service.client() as client:
            client.send(padded_request(HEADER_LIMIT))
            self.assertEqual(client.read_response().raw, STATUS_REPLY)
            # Both limits at once: the body arriving with the header block does not count towards it.
            body = b"b" * PAYLOAD_LIMIT
            client.send(padded_request(HEADER_LIMIT, "POST", extra_headers=f"Content-Length: {len(body)}\r\n")
                        + body)
            self.assertEqual(client.read_response().raw, STATUS_REPLY)
            self.assertEqual(client.request("GET", "/status").raw, STATUS_REPLY)

    def test_header_block_over_the_limit_answers_431_and_closes(self):
        with self.subTest(arrival="at once"), self.service.client() as client:
            client.send(padded_request(HEADER_LIMIT + 1))
            self.assertErrorReplyThenClose(client.read_to_close(), HEADER_TOO_LARGE)
        with self.subTest(arrival="in pieces, no end"), self.service.client() as client:
            client.send(b"GET /status HTTP/1.1\r\nHost: localhost\r\n")
            sent = 0
            while sent <= HEADER_LIMIT:
                client.send(b"X-Pad: " + b"p" * 500 + b"\r\n")
                sent += 509
                time.sleep(0.002)
            self.assertErrorReplyThenClose(client.read_to_close(), HEADER_TOO_LARGE)

    def test_body_at_the_limit_is_served_and_over_it_answers_413_and_closes(self):
        with self.service.client() as client:
            body = bytes(range(256)) * (PAYLOAD_LIMIT // 256)
            self.assertEqual(len(body), PAYLOAD_LIMIT)
            reply = client.request("POST", "/status", [("Content-Length", PAYLOAD_LIMIT)], body)
            self.assertEqual(reply.raw, STATUS_REPLY)
            self.assertEqual(client.request("GET", "/status").raw, STATUS_REPLY)
        with self.service.client() as client:
            client.send(b"POST /status HTTP/1.1\r\nHost: localhost\r\nContent-Length: %d\r\n\r\n"
                        % (PAYLOAD_LIMIT + 1))
            self.assertErrorReplyThenClose(client.read_to_close(), PAYLOAD_TOO_LARGE)
        with self.service.client() as client:
            # The whole oversized body already sent: the reply still arrives intact.
            client.send(b"POST /status HTTP/1.1\r\nHost: localhost\r\nContent-Length: %d\r\n\r\n"
                        % (4 * PAYLOAD_LIMIT) + b"x" * (4 * PAYLOAD_LIMIT))
            self.assertErrorReplyThenClose(client.read_to_close(), PAYLOAD_TOO_LARGE)

    # Malformed and pipelined requests ---------------------------------------

    def test_malformed_request_closes_without_reply(self):
        cases = [
            b"BREW /status HTTP/1.1\r\nHost: localhost\r\n\r\n",
            b"GET /status\r\n\r\n",
            b"GET HTTP/1.1\r\n\r\n",
            b"\x00\x01\x02\x03\r\n\r\n",
            b"GET /status HTTP/1.1\r\nContent-Length: -5\r\n\r\n",
        ]
        for request in cases:
            with self.subTest(request=request), self.service.client() as client:
                client.send(request)
                self.assertEqual(client.read_to_close(), b"")
        with self.service.client() as client:
            self.assertEqual(client.request("GET", "/status").raw, STATUS_REPLY)

    def test_pipelined_requests_are_answered_in_order(self):
        with self.service.client() as client:
            client.send(b"GET /status HTTP/1.1\r\nHost: a\r\n\r\n"
                        b"GET /missing HTTP/1.1\r\nHost: a\r\n\r\n"
                        b"OPTIONS /status HTTP/1.1\r\nHost: a\r\n\r\n"
                        b"POST /status HTTP/1.1\r\nHost: a\r\nContent-Length: 5\r\n\r\nhello"
                        b"GET /v1/sendWOL HTTP/1.1\r\nHost: a\r\n\r\n"
                        b"GET /STATUS HTTP/1.1\r\nHost: a\r\n\r\n")
            replies = [client.read_response().raw for _ in range(6)]
            self.assertEqual(replies, [STATUS_REPLY, NOT_FOUND_REPLY, NO_CONTENT_REPLY, STATUS_REPLY,
                                       NOT_FOUND_REPLY, STATUS_REPLY])
        with self.service.client() as client:
            # Many at once, none read until all are sent.
            count = 500
            client.send(b"".join(b"GET /%s HTTP/1.1\r\nHost: a\r\n\r\n" % (b"status" if i % 2 else b"x%d" % i)
                                 for i in range(count)))
            for i in range(count):
                self.assertEqual(client.read_response().raw, STATUS_REPLY if i % 2 else NOT_FOUND_REPLY, i)

    def test_backtracking_request_line_is_refused_at_once_while_others_are_served(self):
        attack = b"GET /x" + b"?a" * 2000 + b" HTTX/1.1\r\nHost: localhost\r\n\r\n"
        self.assertLess(len(attack), HEADER_LIMIT)
        attackers = [self.service.client() for _ in range(4)]
        results = [None] * len(attackers)

        def run(i):
            start = time.monotonic()
            try:
                attackers[i].send(attack)
                results[i] = (attackers[i].read_to_close(timeout=20), time.monotonic() - start)
            except Exception as e:  # reported below
                results[i] = (e, time.monotonic() - start)

        threads = [threading.Thread(target=run, args=(i,)) for i in range(len(attackers))]
        for t in threads:
            t.start()
        try:
            start = time.monotonic()
            with self.service.client(timeout=5) as client:
                for _ in range(5):
                    self.assertEqual(client.request("GET", "/status").raw, STATUS_REPLY)
            self.assertLess(time.monotonic() - start, 3.0)
        finally:
            for t in threads:
                t.join(30)
            for a in attackers:
                a.close()
        for data, seconds in results:
            self.assertEqual(data, b"")
            self.assertLess(seconds, 3.0)

    # TLS ------------------------------------------------------------------

    def test_tls_versions_follow_the_default_switches(self):
        for line in ("TLS 1.0  disabled", "TLS 1.1  enabled", "TLS 1.2  enabled", "TLS 1.3  enabled"):
            self.assertIsNotNone(self.service.wait_for(line, 0), line)
        for version, name in ((ssl.TLSVersion.TLSv1_2, "TLSv1.2"), (ssl.TLSVersion.TLSv1_3, "TLSv1.3")):
            with self.subTest(client="python", version=name):
                context = self.service.context(minimum=version, maximum=version)
                with e2e.HttpClient(self.service.tls(context=context)) as client:
                    self.assertEqual(client.sock.version(), name)
                    self.assertEqual(client.request("GET", "/status").raw, STATUS_REPLY)
            with self.subTest(client="openssl", version=name):
                out = self.s_client("-tls1_2" if name == "TLSv1.2" else "-tls1_3")
                self.assertEqual(out.returncode, 0, out.stdout)
                self.assertIn(f"Protocol version: {name}", out.stdout)
                self.assertIn("Verification: OK", out.stdout)
        with self.subTest(client="python", version="TLSv1"), warnings.catch_warnings():
            warnings.simplefilter("ignore", DeprecationWarning)
            context = self.service.context(minimum=ssl.TLSVersion.TLSv1, maximum=ssl.TLSVersion.TLSv1,
                                           ciphers="DEFAULT:@SECLEVEL=0")
            with self.assertRaises(ssl.SSLError) as refused:
                self.service.tls(context=context).close()
            # Refused by the service, not given up by the client.
            self.assertEqual(refused.exception.reason, "TLSV1_ALERT_PROTOCOL_VERSION")
        with self.subTest(client="openssl", version="TLSv1"):
            out = self.s_client("-tls1", "-cipher", "DEFAULT:@SECLEVEL=0")
            self.assertNotEqual(out.returncode, 0, out.stdout)
            self.assertNotIn("Protocol version: TLSv1", out.stdout)
        with self.service.client() as client:
            self.assertEqual(client.request("GET", "/status").raw, STATUS_REPLY)

    def s_client(self, *options):
        return self.lab.net.run(["openssl", "s_client", "-brief", "-connect", "127.0.0.1:1444",
                                 "-servername", "localhost", "-verify_hostname", "localhost",
                                 "-CAfile", self.service.cert, *options],
                                input="", stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=20)


if __name__ == "__main__":
    e2e.main(globals())
