#!/usr/bin/env python3
"""How `nimbrel` starts and stops as a process: the port option, configured
TLS switches and cipher list, a port already in use, and the termination
signals while clients are connected and sending.

Usage: lifecycle_test.py <nimbrel> [unittest args]
"""
import re
import signal
import ssl
import subprocess
import threading
import time
import unittest

import e2e_support as e2e
from e2e_support import EMPTY_OK_REPLY, ERROR_REPLY, STATUS_REPLY, b64url

FILE_PORT = 1444
OPTION_PORT = 1445
CIPHER = "ECDHE-RSA-AES128-GCM-SHA256"
OTHER_CIPHER = "ECDHE-RSA-AES256-GCM-SHA384"


class ConfiguredServiceTest(e2e.ServiceTestCase):
    """A service whose file sets the port, the cipher list and TLS 1.3 off,
    started with another port on the command line."""

    lab_prefix = "nimbrel-e2e-life-"

    @classmethod
    def start_service(cls):
        service = cls.lab.start("configured", port=FILE_PORT, args=["-p", OPTION_PORT],
                                keys=[("cipher", CIPHER), ("enableTLSv1_3", "false")])
        service.port = OPTION_PORT
        service.wait_listening()
        return service

    def test_port_option_applies_to_this_run_only(self):
        self.assertIsNotNone(self.service.wait_for(
            f"using port '{OPTION_PORT}' set per parameter, port will not be configurable!", 0))
        self.assertIsNotNone(self.service.wait_for(f"Https server starting on port '{OPTION_PORT}' ...", 0))
        with self.service.client() as client:
            self.assertEqual(client.request("GET", "/status").raw, STATUS_REPLY)
        with self.assertRaises(ConnectionRefusedError):
            self.service.tcp(port=FILE_PORT).close()
        # The start rewrote the file (new time stamp) and kept its own port.
        with open(self.service.config_file, encoding="utf-8") as f:
            text = f.read()
        self.assertIn(f"<port>{FILE_PORT}</port>", text)
        self.assertNotIn("<lastUpdated>1700000000</lastUpdated>", text)

    def test_tls_switches_and_cipher_list_are_honoured(self):
        for line in ("TLS 1.0  disabled", "TLS 1.1  enabled", "TLS 1.2  enabled", "TLS 1.3  disabled"):
            self.assertIsNotNone(self.service.wait_for(line, 0), line)
        with self.subTest("default client settles on TLS 1.2 and the configured suite"):
            with e2e.HttpClient(self.service.tls()) as client:
                self.assertEqual(client.sock.version(), "TLSv1.2")
                self.assertEqual(client.sock.cipher()[0], CIPHER)
                self.assertEqual(client.request("GET", "/status").raw, STATUS_REPLY)
            rc, out = self.service.curl("/status")
            self.assertEqual((rc, out), (0, STATUS_REPLY))
        with self.subTest("TLS 1.3 only"):
            context = self.service.context(minimum=ssl.TLSVersion.TLSv1_3)
            with self.assertRaises(ssl.SSLError) as refused:
                self.service.tls(context=context).close()
            self.assertEqual(refused.exception.reason, "TLSV1_ALERT_PROTOCOL_VERSION")
            self.assertNotEqual(self.s_client("-tls1_3").returncode, 0)
        with self.subTest("only a suite outside the list"):
            context = self.service.context(maximum=ssl.TLSVersion.TLSv1_2, ciphers=OTHER_CIPHER)
            with self.assertRaises(ssl.SSLError) as refused:
                self.service.tls(context=context).close()
            self.assertEqual(refused.exception.reason, "SSLV3_ALERT_HANDSHAKE_FAILURE")
            self.assertNotEqual(self.s_client("-tls1_2", "-cipher", OTHER_CIPHER).returncode, 0)
            rc, _ = self.service.curl("/status", "--tls-max", "1.2", "--ciphers", OTHER_CIPHER)
            self.assertNotEqual(rc, 0)
        with self.subTest("a suite in the list among others"):
            out = self.s_client("-tls1_2", "-cipher", f"{OTHER_CIPHER}:{CIPHER}")
            self.assertEqual(out.returncode, 0, out.stdout)
            self.assertIn(f"Ciphersuite: {CIPHER}", out.stdout)

    def test_port_in_use_is_fatal(self):
        other = self.lab.start("conflict", port=FILE_PORT, args=["-p", OPTION_PORT])
        rc = other.wait_exit()
        output = other.output()
        self.assertEqual(rc, 1, output)
        self.assertRegex(output, re.escape(
            "FATAL - Exception in server thread caught, exiting server. Exception was : Error binding to port "
            f"{OPTION_PORT}"))
        self.assertIn("FATAL - Starting Calvexa server failed, exiting.", output)
        with self.service.client() as client:
            self.assertEqual(client.request("GET", "/status").raw, STATUS_REPLY)

    def s_client(self, *options):
        return self.lab.net.run(["openssl", "s_client", "-brief", "-connect", f"127.0.0.1:{OPTION_PORT}",
                                 "-servername", "localhost", "-CAfile", self.service.cert, *options],
                                input="", stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=20)


class BusyClients:
    """Clients of one service while it is told to stop: one sending requests
    back to back (status and Wake-on-LAN), one idle after its handshake, one
    stuck in the middle of a header block. Bounded in time."""

    SEND_FOR_S = 20.0

    def __init__(self, service):
        self.service = service
        self.errors = []
        self.answered = 0
        self.ended = threading.Event()
        self.sending = e2e.HttpClient(service.tls())
        self.idle = service.tls()
        self.partial = service.tls()
        self.partial.sendall(b"GET /status HTTP/1.1\r\nHost: loc")
        self.thread = threading.Thread(target=self._send, daemon=True)
        self.thread.start()

    def _send(self):
        wol = "/v1/sendWOL/" + b64url("02:00:00:00:00:01")
        deadline = time.monotonic() + self.SEND_FOR_S
        try:
            while time.monotonic() < deadline:
                reply = self.sending.request("GET", "/status").raw
                if reply != STATUS_REPLY:
                    self.errors.append(reply)
                # Once the stop has begun a wake-up may fail, but it is answered or the connection closes.
                reply = self.sending.request("GET", wol).raw
                if reply not in (EMPTY_OK_REPLY, ERROR_REPLY):
                    self.errors.append(reply)
                self.answered += 2
                time.sleep(0.02)
            self.errors.append("the connection stayed open during the stop")
        except (EOFError, OSError):
            pass  # closed by the stopping service
        finally:
            self.ended.set()

    def close(self):
        for sock in (self.sending, self.idle, self.partial):
            sock.close()


class TerminationSignalTest(unittest.TestCase):
    def setUp(self):
        self.lab = e2e.Lab("nimbrel-e2e-signal-")
        self.addCleanup(self.lab.close)

    def test_each_termination_signal_stops_the_service_in_order(self):
        signals = [signal.SIGTERM, signal.SIGINT, signal.SIGQUIT, signal.SIGTSTP]
        # All at once, so the 2-second pause before the stop is paid once.
        services = [self.lab.start(f"signal{int(s)}", port=1450 + i) for i, s in enumerate(signals)]
        for service in services:
            service.wait_listening()
        clients = []
        for service in services:
            clients.append(BusyClients(service))
            self.addCleanup(clients[-1].close)
        for busy in clients:
            deadline = time.monotonic() + e2e.CLIENT_TIMEOUT_S
            while busy.answered < 10 and not busy.ended.is_set() and time.monotonic() < deadline:
                time.sleep(0.01)
        started = time.monotonic()
        for service, signum in zip(services, signals):
            service.signal(signum)
        for service, signum, busy in zip(services, signals, clients):
            with self.subTest(signal=signum.name):
                rc = service.wait_exit()
                output = service.output()
                self.assertEqual(rc, 0, output)
                self.assertGreaterEqual(time.monotonic() - started, 1.9, "stopped without the pause")
                lines = output.splitlines()
                received = [i for i, line in enumerate(lines)
                            if f"INFO  - The interrupt signal is ({int(signum)})." in line]
                self.assertEqual(len(received), 1, output)
                stopping = [i for i, line in enumerate(lines) if "Wake On Lan Proxy server stopping ..." in line]
                self.assertTrue(stopping and stopping[0] > received[0], output)
                self.assertTrue(busy.ended.wait(e2e.CLIENT_TIMEOUT_S), "the sending client was never cut off")
                self.assertGreaterEqual(busy.answered, 10)
                self.assertEqual(busy.errors, [])
                for sock in (busy.idle, busy.partial):
                    self.assertEqual(e2e.HttpClient(sock).read_to_close(), b"")


if __name__ == "__main__":
    e2e.main(globals())
