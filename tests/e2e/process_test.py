#!/usr/bin/env python3
"""What a user of the `nimbrel` executable sees: options, exit codes, the
files and folders it makes (its own TLS identity among them), and the
start-ups it refuses.

Usage: process_test.py <nimbrel> [unittest args]
"""
import os
import subprocess
import unittest

import e2e_support as e2e
from e2e_support import STATUS_REPLY

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

    @classmethod
    def tearDownClass(cls):
        cls.lab.close()

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
        # An empty name file still gives a certificate, with an empty common name.
        cases = [("", HOST, 1444), ('echo > "$XDG_CONFIG_HOME/config/certhostname" && ', "", 1445)]
        services = []
        for prepare, _, port in cases:
            service = self.start("-p", str(port), seed=False, script=prepare + WITH_HOST_NAME)
            service.port, service.name = port, HOST
            service.cert = os.path.join(service.config_dir, "NimbrelCert.pem")
            services.append(service)
        for service, (_, common_name, _) in zip(services, cases):
            service.wait_listening(CREATE_TIMEOUT_S)
            if common_name:
                output = self.serve_and_stop(service)
            else:
                self.assertEqual(service.stop(), 0, service.output())
            subject = subprocess.run(["openssl", "x509", "-noout", "-subject", "-nameopt", "sep_multiline",
                                      "-in", service.cert], capture_output=True, text=True, check=True).stdout
            self.assertIn(f"\n    CN={common_name}\n", subject)
            self.assertEqual(os.stat(os.path.join(service.config_dir, "NimbrelKey.pem")).st_mode & 0o7777, 0o600)
        service = services[0]
        self.assertEqual(sorted(os.listdir(service.config_dir)),
                         ["Nimbrel.cfg", "NimbrelCert.pem", "NimbrelKey.pem", "certhostname"])
        self.assertTrue(os.path.isdir(os.path.join(service.home, "xdg-data", "data")))
        self.assertRegex(output, r"\d{4}\.\d\d\.\d\d \d\d:\d\d:\d\d\.\d{3} appcontext      INFO  - "
                                 r"Nimbrel 1\.3\.1482\.0 \([0-9a-f]{8}\) Running on \S")

    def test_folders_follow_snap_data_then_xdg_then_var_lib(self):
        snap = os.path.join(self.lab.workdir, "snap")
        lib = os.path.join(self.lab.workdir, "lib")
        self.lab.seed(os.path.join(snap, "config"))
        self.lab.seed(os.path.join(lib, "config"))
        cases = [({"SNAP_DATA": snap}, f"{snap}/config/", f"{snap}/", f"{snap}/data/"),
                 ({"XDG_CONFIG_HOME": "", "XDG_DATA_HOME": ""}, "/var/lib/calvexa/config/", "/etc/calvexa/",
                  "/var/lib/calvexa/data/")]
        for env, config, sysconfig, data in cases:
            script = f'mkdir /var/lib/calvexa && mount --bind {lib} /var/lib/calvexa && exec "$@"'
            service = self.start(level="debug", env=env, seed=False, script=script)
            output = self.serve_and_stop(service)
            for line in (f"Config directory:     {config}", f"Sysconfig directory:  {sysconfig}",
                         f"Data directory:       {data}", "Log directory:        /var/log/calvexa/"):
                self.assertIn("DEBUG - " + line, output)
            self.assertEqual(os.listdir(service.config_dir), [])
        self.assertEqual(sorted(os.listdir(snap)), ["config", "data"])
        self.assertEqual(sorted(os.listdir(lib)), ["config", "data"])

    def test_start_ups_that_fail_leave_the_files_alone(self):
        bad_port = e2e.config_text((("port", "abc"), ("wolPort", 9)))
        cfg = "$XDG_CONFIG_HOME/config/Nimbrel.cfg"
        cases = [
            (bad_port, "", "Error while loading webserver-config from file '{cfg}'"),
            (None, 'mount --bind "$XDG_CONFIG_HOME" "$XDG_CONFIG_HOME" && mount -o remount,bind,ro "$XDG_CONFIG_HOME"',
             "Error while saving webserver-config from file '{cfg}'"),
            (None, "umount /var/log/calvexa && rmdir /var/log/calvexa && mount -o remount,ro /var/log",
             "Error while creating directory /var/log/calvexa/. Error was: Read-only file system\n"),
        ]
        for config, prepare, error in cases:
            service = self.start(config=config, seed=False, script=(prepare + " && " if prepare else "") + 'exec "$@"')
            self.assertEqual(service.wait_exit(), 1, prepare)
            self.assertIn(error.format(cfg=service.config_file), service.output())
            self.assertTrue(service.output().rstrip().endswith("Context initialisation failed!"), service.output())
            self.assertEqual(os.listdir(service.config_dir), ["Nimbrel.cfg"] if config else [], prepare)
            if config:
                with open(service.config_file, encoding="utf-8") as f:
                    self.assertEqual(f.read(), config)

if __name__ == "__main__":
    e2e.main()
