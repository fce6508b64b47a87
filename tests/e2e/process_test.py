#!/usr/bin/env python3
"""What users of the `nimbrel` executable see: options, exit codes, the files
and folders it makes (its own TLS identity among them), the start-ups it
refuses and the termination signals; and what its clients see: the replies
of both address families and the peer, magic packets on the wire, TLS
versions and the port option.

Usage: process_test.py <nimbrel> [unittest args]
"""
import os
import signal
import ssl
import time
import unittest

import e2e_support as e2e
from e2e_support import EMPTY_OK_REPLY, NO_CONTENT_REPLY, NOT_FOUND_REPLY, STATUS_REPLY, b64url, magic_packet

MAC = "AA:BB:CC:DD:EE:FF"
PASSWORD = "01:23:45:67:89:AB"
WOL = "/v1/sendWOL/" + b64url(MAC)
HELP_START = "Nimbrel options:\n  -h [ --help ]          print help\n"
HOST = "nimbrel-test.example"
# A 4096-bit RSA key can take half a minute on a slow, busy CI core.
CREATE_TIMEOUT_S = 120
# Runs the service under HOST as the machine's name.
WITH_HOST_NAME = f'exec unshare --uts bash -c \'hostname {HOST} && exec "$@"\' host "$@"'


class ProcessTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.lab = e2e.Lab()
        cls.addClassCleanup(cls.lab.close)

    def start(self, *args, **kwargs):
        kwargs.setdefault("level", None)
        kwargs.setdefault("config", None)
        return self.lab.start(f"{self.id().rsplit('.', 1)[1]}-{len(self.lab.services)}", args=args, **kwargs)

    def serve_and_stop(self, service):
        """The service came up, served a request and ended cleanly on SIGTERM; its output."""
        service.wait_listening()
        self.assertEqual(service.curl("/status"), (0, STATUS_REPLY))
        self.assertEqual(service.stop(), 0, service.output())
        return service.output()

    def test_options_that_end_at_once(self):
        cases = [(["-v", "--help"], 0, HELP_START), (["--version"], 0, "Nimbrel 1.3.1482.0 (commit "),
                 (["--bogus"], 1, "unrecognised option '--bogus'\n" + HELP_START)]
        for args, code, text in cases:
            service = self.start(*args, seed=False)
            self.assertEqual(service.wait_exit(), code, args)
            self.assertTrue((service.output() + "\n").startswith(text), service.output())
            self.assertEqual(os.listdir(service.config_dir) + os.listdir(service.log_dir), [], args)

    def test_first_start_writes_the_configuration_and_an_identity_for_the_host_name(self):
        service = self.start(seed=False, script=WITH_HOST_NAME)
        # curl checks the new certificate against the host name.
        service.name, service.cert = HOST, os.path.join(service.config_dir, "NimbrelCert.pem")
        service.wait_listening(CREATE_TIMEOUT_S)
        output = self.serve_and_stop(service)
        self.assertEqual(sorted(os.listdir(service.config_dir)),
                         ["Nimbrel.cfg", "NimbrelCert.pem", "NimbrelKey.pem", "certhostname"])
        self.assertEqual(os.stat(os.path.join(service.config_dir, "NimbrelKey.pem")).st_mode & 0o7777, 0o600)
        self.assertTrue(os.path.isdir(os.path.join(service.home, "xdg-data", "data")))
        self.assertRegex(output, r"\d{4}\.\d\d\.\d\d \d\d:\d\d:\d\d\.\d{3} appcontext      INFO  - "
                                 r"Nimbrel 1\.3\.1482\.0 \([0-9a-f]{8}\) Running on \S")

    def test_folders_follow_snap_data_then_xdg_then_var_lib(self):
        snap, lib = os.path.join(self.lab.workdir, "snap"), os.path.join(self.lab.workdir, "lib")
        for root in (snap, lib):
            self.lab.seed(os.path.join(root, "config"))
        script = f'mkdir /var/lib/calvexa && mount --bind {lib} /var/lib/calvexa && exec "$@"'
        for env, root in (({"SNAP_DATA": snap}, snap), ({"XDG_CONFIG_HOME": "", "XDG_DATA_HOME": ""}, lib)):
            service = self.start(env=env, seed=False, script=script)
            self.serve_and_stop(service)
            self.assertEqual(sorted(os.listdir(root)), ["config", "data"])
            self.assertIn("Nimbrel.cfg", os.listdir(os.path.join(root, "config")))
            self.assertEqual(os.listdir(service.config_dir), [])

    def test_start_ups_that_fail_leave_the_files_alone(self):
        bad_port = e2e.config_text((("port", "abc"), ("wolPort", 9)))
        cfg = "$XDG_CONFIG_HOME/config/Nimbrel.cfg"
        # Its state cannot be read, which must not pass for a first start.
        under_a_file = f'touch "$XDG_CONFIG_HOME/plain" && ln -s "$XDG_CONFIG_HOME/plain/cfg" "{cfg}"'
        cases = [
            (bad_port, "", "Error while loading webserver-config from file '{cfg}'"),
            (None, 'mount --bind "$XDG_CONFIG_HOME" "$XDG_CONFIG_HOME" && mount -o remount,bind,ro "$XDG_CONFIG_HOME"',
             "Error while saving webserver-config from file '{cfg}'"),
            (None, "umount /var/log/calvexa && rmdir /var/log/calvexa && mount -o remount,ro /var/log",
             "Error while creating directory /var/log/calvexa/. Error was: Read-only file system\n"),
            (None, under_a_file,
             "Cannot determine the state of the config file '{cfg}'. Error was: Not a directory\n"),
        ]
        for config, prepare, error in cases:
            service = self.start(config=config, seed=False, script=(prepare + " && " if prepare else "") + 'exec "$@"')
            self.assertEqual(service.wait_exit(), 1, prepare)
            self.assertIn(error.format(cfg=service.config_file), service.output())
            self.assertTrue(service.output().rstrip().endswith("Context initialisation failed!"), service.output())
            planted = config or prepare == under_a_file
            self.assertEqual(os.listdir(service.config_dir), ["Nimbrel.cfg"] if planted else [], prepare)
            if prepare == under_a_file:
                self.assertEqual(os.readlink(service.config_file), os.path.join(service.home, "xdg-config/plain/cfg"))
                self.assertEqual(os.path.getsize(os.path.join(service.home, "xdg-config/plain")), 0)
            if config:
                with open(service.config_file, encoding="utf-8") as f:
                    self.assertEqual(f.read(), config)

    def test_each_termination_signal_stops_the_service_and_ends_its_connections(self):
        signals = [signal.SIGTERM, signal.SIGINT, signal.SIGQUIT, signal.SIGTSTP]
        # All at once, so the 2-second pause before the stop is paid once.
        services = [self.start(level="debug", config="", port=1450 + i) for i in range(len(signals))]
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
            output, received = service.output(), f"The interrupt signal is ({int(signum)})."
            self.assertEqual(output.count(received), 1, output)
            self.assertLess(output.index(received), output.index("Wake On Lan Proxy server stopping ..."), output)
            for client in connections:
                self.assertEqual(client.read_to_close(), b"")


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
        cases = [(WOL, magic_packet(MAC)), (WOL + "/" + b64url(PASSWORD), magic_packet(MAC, PASSWORD))]
        with self.service.client("::1") as client:
            for path, packet in cases:
                before = len(self.lab.capture.datagrams())
                self.assertEqual(client.request("GET", path).raw, EMPTY_OK_REPLY, path)
                got = self.lab.capture.wait(before + 1)[before:]
                self.assertEqual([d.data for d in got], [packet], path)
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


if __name__ == "__main__":
    e2e.main()
