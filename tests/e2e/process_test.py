#!/usr/bin/env python3
"""What users of the `nimbrel` executable see: options, exit codes, the files
and folders it makes (its own TLS identity among them), the start-ups it
refuses, the certificate files it is given and the termination signals; and
what its clients see: the replies of both address families and the peer,
magic packets on the wire, certificate chains, TLS versions and the port
option.

Usage: process_test.py <nimbrel> [unittest args]
"""
import os
import re
import select
import signal
import stat
import subprocess
import time
import unittest

import e2e_support as e2e
from e2e_support import (EMPTY_OK_REPLY, NO_CONTENT_REPLY, NOT_FOUND_REPLY, SERVER_ERROR_REPLY, STATUS_REPLY, b64url,
                         magic_packet)

MAC = "AA:BB:CC:DD:EE:FF"
PASSWORD = "01:23:45:67:89:AB"
WOL = "/v1/sendWOL/" + b64url(MAC)
HELP_START = "Nimbrel options:\n  -h [ --help ]          print help\n"
HOST = "nimbrel-test.example"
# A 4096-bit RSA key can take half a minute on a slow, busy CI core.
CREATE_TIMEOUT_S = 120
# A refused start-up ends in well under a second; this covers a loaded CI machine.
REFUSAL_TIMEOUT_S = 5.0
# The 2-second pause after SIGTERM, and room for a loaded CI machine.
PIPE_STOP_TIMEOUT_S = 8.0
# Runs of each way of sending a request behind one that closes.
CLOSE_RUNS = 20
# Runs the service under HOST as the machine's name.
WITH_HOST_NAME = f'exec unshare --uts bash -c \'hostname {HOST} && exec "$@"\' host "$@"'


def file_state(path):
    with open(path, "rb") as f:
        return f.read(), os.stat(path).st_mtime_ns


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
        # Opening it would wait for a writer for good; the start must neither wait nor replace it.
        a_pipe = f'mkfifo "{cfg}"'
        not_loaded = "Error while loading webserver-config from file '{cfg}'"
        with open(self.lab.cert, encoding="ascii") as f:
            cert = f.read()
        refused = "appcontext      FATAL - checkAndInitCertificate failed, this should never happen!\n"
        cases = [
            # configuration file, preparation, options, texts, what the configuration folder holds afterwards
            (bad_port, "", (), [not_loaded], {"Nimbrel.cfg": bad_port}),
            (None, under_a_file, (),
             ["appcontext      ERROR - Cannot determine the state of the config file '{cfg}'. Error was: Not a "
              "directory\n", not_loaded], {"Nimbrel.cfg": None}),
            (None, a_pipe, (),
             ["appcontext      ERROR - Config file '{cfg}' is not a regular file, stopping server.\n", not_loaded],
             {"Nimbrel.cfg": None}),
            (None, 'mount --bind "$XDG_CONFIG_HOME" "$XDG_CONFIG_HOME" && mount -o remount,bind,ro "$XDG_CONFIG_HOME"',
             (), ["Error while saving webserver-config from file '{cfg}'"], {}),
            (None, "umount /var/log/calvexa && rmdir /var/log/calvexa && mount -o remount,ro /var/log", (),
             ["Error while creating directory /var/log/calvexa/. Error was: Read-only file system\n"], {}),
            # A certificate without its key, given on the command line or found in the folder.
            (None, "", ("-c", self.lab.cert),
             ["appcontext      ERROR - Certificate set by parameter, but missing private key file!\n", refused],
             {"Nimbrel.cfg": None}),
            (None, f'cp {self.lab.cert} "$XDG_CONFIG_HOME/config/NimbrelCert.pem"', (),
             ["appcontext      ERROR - Certification file '{dir}NimbrelCert.pem' exists, but keyFile "
              "'{dir}NimbrelKey.pem' does not. Either add the corresponding keyFile, or delete the certification file, "
              "to let Calvexa generate a self-signed on startup if not provided by parameter.\n", refused],
             {"Nimbrel.cfg": None, "NimbrelCert.pem": cert}),
        ]
        for config, prepare, args, texts, left in cases:
            service = self.start(*args, config=config, seed=False,
                                 script=(prepare + " && " if prepare else "") + 'exec "$@"')
            self.assertEqual(service.wait_exit(REFUSAL_TIMEOUT_S), 1, prepare)
            for text in texts:
                self.assertIn(text.format(cfg=service.config_file, dir=service.config_dir + "/"), service.output())
            self.assertTrue(service.output().rstrip().endswith("Context initialisation failed!"), service.output())
            self.assertEqual(sorted(os.listdir(service.config_dir)), sorted(left), prepare)
            for name, content in left.items():
                if content is not None:
                    with open(os.path.join(service.config_dir, name), encoding="utf-8") as f:
                        self.assertEqual(f.read(), content, name)
            if prepare == under_a_file:
                self.assertEqual(os.readlink(service.config_file), os.path.join(service.home, "xdg-config/plain/cfg"))
                self.assertEqual(os.path.getsize(os.path.join(service.home, "xdg-config/plain")), 0)
            if prepare == a_pipe:
                self.assertTrue(stat.S_ISFIFO(os.lstat(service.config_file).st_mode), "the pipe was replaced")

    def test_certificate_files_are_used_as_given_and_chains_sent(self):
        chain = e2e.make_chain(self.lab.workdir)
        given = {path: file_state(path) for path in chain}
        folder = {"NimbrelCert.pem": chain.leaf, "NimbrelKey.pem": chain.key, "NimbrelChain.pem": chain.intermediate}
        cases = [
            # options, files copied into the configuration folder, certificates the handshake carries
            (("-c", chain.leaf, "-k", chain.key, "-a", chain.intermediate), {}, 2),
            ((), folder, 2),
            # "none" is no chain, and the folder's chain does not stand in for it.
            (("-c", chain.leaf, "-k", chain.key, "-a", "none"), {"NimbrelChain.pem": chain.intermediate}, 1),
        ]
        services = []
        for args, files, _ in cases:
            copies = "".join(f'cp -p {source} "$XDG_CONFIG_HOME/config/{name}" && ' for name, source in files.items())
            services.append(self.start(*args, seed=False, script=copies + 'exec "$@"', level="info", config="",
                                       port=1460 + len(services)))
        for service, (args, files, sent) in zip(services, cases):
            service.cert = chain.root  # the only certificate its clients trust
            service.wait_listening()
            self.assertEqual(service.s_client("-showcerts").count("-----BEGIN CERTIFICATE-----"), sent, args)
            # Without the intermediate the leaf cannot be traced to the root (curl: 60).
            self.assertEqual(service.curl("/status"), (0, STATUS_REPLY) if sent == 2 else (60, b""), args)
            for what, path in (("certificate", chain.leaf), ("key", chain.key)) if args else ():
                self.assertIn(f"WARN  - using {what} file '{path}' set per parameter, certificate will not be "
                              "configurable!", service.output())
        for service in services:
            service.signal(signal.SIGTERM)
        for service, (args, files, _) in zip(services, cases):
            self.assertEqual(service.wait_exit(), 0, service.output())
            self.assertEqual(sorted(os.listdir(service.config_dir)), sorted(["Nimbrel.cfg", *files]), args)
            for name, source in files.items():
                self.assertEqual(file_state(os.path.join(service.config_dir, name)), given[source], name)
        self.assertEqual({path: file_state(path) for path in chain}, given)

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

    def test_a_log_pipe_whose_reader_goes_away_stops_nothing(self):
        # A log collector that ends or restarts. A named pipe is left out at the start: once its
        # reader has gone, log4cplus's reopen of it would wait for a new one for good, holding every
        # thread that logs. The service's own standard output on a pipe takes the log, and only
        # loses it once the reader has gone.
        fifo = os.path.join(self.lab.workdir, "collector.fifo")
        os.mkfifo(fifo)
        collector = subprocess.Popen(["cat", fifo], stdout=subprocess.PIPE)
        self.addCleanup(collector.kill)

        def config(port, log_file):
            return e2e.config_text((("port", port), ("wolPort", 9)),
                                   appenders=f"<file><enabled>true</enabled><filename>{log_file}</filename></file>")
        named = self.start(level="info", port=1470, config=config(1470, fifo))
        read_end, write_end = os.pipe()
        reader = os.fdopen(read_end, "rb", buffering=0)
        self.addCleanup(reader.close)
        piped = self.start(port=1471, config=config(1471, "/dev/stdout"), stdout=write_end)
        os.close(write_end)
        named.wait_listening()
        refusal = (f"Log file '{fifo}' is not a regular file (named pipe, socket, directory or block device), "
                   "appender log4cplus::FileAppender left out.")
        self.assertIn("appcontext      WARN  - " + refusal, named.output())
        piped_log = bytearray()

        def piped_listening():
            if select.select([reader], [], [], 0)[0]:
                piped_log.extend(reader.read(65536))
            return b"TLS 1.3  " in piped_log
        self.assertTrue(e2e.nimbrelnet.poll(piped_listening, e2e.START_TIMEOUT_S), piped.output())
        # Both readers end.
        collector.kill()
        self.assertEqual(collector.communicate()[0], b"", "the named pipe was written")
        reader.close()
        # Lines further apart than log4cplus's reopen delay of a second make it open the file again.
        for turn in range(3):
            time.sleep(1.5 if turn else 0)
            for service in (named, piped):
                with service.client() as client:
                    self.assertEqual(client.request("GET", WOL).raw, EMPTY_OK_REPLY, service.output())
        for service in (named, piped):
            service.signal(signal.SIGTERM)
        for service in (named, piped):
            self.assertEqual(service.wait_exit(PIPE_STOP_TIMEOUT_S), 0, service.output())


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
        # A refused text sends nothing: each one is followed by a good request, and the
        # next datagram on the wire must be that request's.
        cases = [(WOL + "/" + b64url("01:23:45:67:89:AG"), None), (WOL, magic_packet(MAC)),
                 ("/v1/sendWOL/" + b64url("AA:BB:CC:DD:EE:FG"), None),
                 (WOL + "/" + b64url(PASSWORD), magic_packet(MAC, PASSWORD))]
        with self.service.client("::1") as client:
            before = len(self.lab.capture.datagrams())
            for path, packet in cases:
                reply = client.request("GET", path).raw
                self.assertEqual(reply, EMPTY_OK_REPLY if packet else SERVER_ERROR_REPLY, path)
                if packet:
                    got = self.lab.capture.wait(before + 1)[before:]
                    self.assertEqual([d.data for d in got], [packet], path)
                    self.assertEqual(got[0].dst, "255.255.255.255")
                    self.assertTrue(got[0].src.startswith(self.lab.net.service_ip + ":"), got[0].src)
                    before += 1

    def test_a_close_after_the_reply_never_resets_what_the_client_sent_behind(self):
        # Whatever the client still sends is read, not reset over, however it
        # arrives: with the request, a moment later, or split so that the
        # TLS session already holds the first part of it.
        before = e2e.tcp_counters()["Tcp.OutRsts"]
        for way in e2e.PIPELINE_WAYS:
            for _ in range(CLOSE_RUNS):
                plain, end = e2e.pipeline_behind_close(self.service, way)
                self.assertEqual((plain[-10:], end), (STATUS_REPLY[-10:], "fin"), way)
        self.assertEqual(e2e.tcp_counters()["Tcp.OutRsts"] - before, 0)

    def test_tls_versions_follow_the_switches(self):
        # Refused by a switch, or by OpenSSL 3's security level: the default cipher text's
        # @SECLEVEL=1 leaves TLS 1.0 and 1.1 out whatever their switches say. (No row switches
        # off a version between two enabled ones: a client of that version alone is then
        # answered with the next lower one.)
        off, level = "protocol version", "internal error"
        cases = [
            # settings besides the class's service's own (TLS 1.3 off); outcome for TLS 1.0, 1.1, 1.2, 1.3
            (None, (off, level, "TLSv1.2", off)),
            ((("enableTLSv1_1", "false"), ("enableTLSv1_2", "false")), (off, off, off, "TLSv1.3")),
            ((("enableTLSv1", "true"),), (level, level, "TLSv1.2", "TLSv1.3")),
            ((("cipher", "ALL:+HIGH:!EXPORT:!LOW:!MEDIUM:@SECLEVEL=0"), ("enableTLSv1", "true")),
             ("TLSv1", "TLSv1.1", "TLSv1.2", "TLSv1.3")),
        ]
        services = [self.service] + [self.lab.start(f"tls-{port}", port=port, keys=keys)
                                     for port, (keys, _) in enumerate(cases[1:], start=1446)]
        for service, (keys, outcomes) in zip(services, cases):
            service.wait_listening()
            switches = {"enableTLSv1": "false", **dict(keys or [("enableTLSv1_3", "false")])}
            for number, key in (("1.0", "enableTLSv1"), ("1.1", "enableTLSv1_1"), ("1.2", "enableTLSv1_2"),
                                ("1.3", "enableTLSv1_3")):
                line = f"TLS {number}  {'disabled' if switches.get(key) == 'false' else 'enabled'}"
                self.assertIsNotNone(service.wait_for(line, 0), (keys, line))
            for flag, expected in zip(("-tls1", "-tls1_1", "-tls1_2", "-tls1_3"), outcomes):
                output = service.s_client("-brief", flag)
                found = re.search(r"Protocol version: (\S+)|alert (protocol version|internal error)", output)
                with self.subTest(keys=keys, flag=flag):
                    self.assertEqual(found and (found.group(1) or found.group(2)), expected, output)
        for service in services[1:]:
            service.signal(signal.SIGTERM)
        for service in services[1:]:
            self.assertEqual(service.wait_exit(), 0, service.output())

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
