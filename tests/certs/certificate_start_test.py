#!/usr/bin/env python3
"""Usage: certificate_start_test.py <nimbrel>: the service's TLS identity at start.

Runs go through the namespace harness, the harness's private mounts and a private UTS namespace."""
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "harness"))
import nimbrelnet  # noqa: E402

NIMBREL = None
HOST = "nimbrel-test.example"
LISTENING = "TLS 1.3  "
# A 4096-bit RSA key can take half a minute on a slow, busy CI core.
CREATE_TIMEOUT = 120


class CertificateStartTest(unittest.TestCase):
    def setUp(self):
        self.net = nimbrelnet.Network(no_route=True).__enter__()
        self.addCleanup(self.net.close)
        self.tmp = tempfile.mkdtemp(prefix="nimbrel-certs-")
        self.addCleanup(shutil.rmtree, self.tmp, ignore_errors=True)

    def start(self, name, args=(), host_file=None):
        """nimbrel with its configuration in <tmp>/<name>/config/; returns (service, config folder)."""
        root = os.path.join(self.tmp, name)
        config = os.path.join(root, "config") + "/"
        os.makedirs(config)
        os.makedirs(os.path.join(root, "log"))
        if host_file is not None:
            with open(config + "certhostname", "w") as f:
                f.write(host_file)
        inner = ["env", "-u", "SNAP_DATA", "XDG_CONFIG_HOME=" + root, "XDG_DATA_HOME=" + root, NIMBREL, *args]
        uts = ["unshare", "--uts", "sh", "-c", 'hostname "$0" && exec "$@"', HOST, *inner]
        return self.net.start(nimbrelnet.isolated(uts, log_dir=os.path.join(root, "log"))), config

    def test_first_start_makes_a_pair_for_the_host_name_even_an_empty_one(self):
        (named, named_dir), (empty, empty_dir) = self.start("named"), self.start("empty", ["-p", "1445"], "\n")
        for service in (named, empty):
            self.assertIsNotNone(service.wait_for(LISTENING, timeout=CREATE_TIMEOUT), "\n".join(service.lines()))
        status = self.net.run(["curl", "-sS", "--max-time", "10", "--cacert", named_dir + "NimbrelCert.pem",
                               "--resolve", HOST + ":1444:127.0.0.1", "https://%s:1444/status" % HOST],
                              capture_output=True, timeout=20)
        for service in (named, empty):
            service.process.send_signal(signal.SIGTERM)
        self.assertEqual([named.finish(timeout=20), empty.finish(timeout=20)], [0, 0])
        self.assertEqual((status.returncode, status.stdout), (0, "1.3.1482.0"), status.stderr)
        self.assertEqual(sorted(os.listdir(named_dir)),
                         ["Nimbrel.cfg", "NimbrelCert.pem", "NimbrelKey.pem", "certhostname"])
        self.assertEqual(os.stat(named_dir + "NimbrelKey.pem").st_mode & 0o777, 0o600)
        subject = subprocess.run(["openssl", "x509", "-noout", "-subject", "-in", empty_dir + "NimbrelCert.pem"],
                                 capture_output=True, text=True).stdout
        self.assertIn(" CN = , ", subject)

    def test_a_key_that_does_not_belong_to_the_certificate_stops_the_start(self):
        cert, key = os.path.join(self.tmp, "a.crt"), os.path.join(self.tmp, "b.key")
        for out, keyout in ((cert, os.path.join(self.tmp, "a.key")), (os.path.join(self.tmp, "b.crt"), key)):
            subprocess.run(["openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256", "-nodes",
                            "-subj", "/CN=" + HOST, "-keyout", keyout, "-out", out], capture_output=True, check=True)
        service, config = self.start("foreign", ["-c", cert, "-k", key])
        self.assertEqual(service.finish(timeout=20), 1, "\n".join(service.lines()))
        self.assertEqual(os.listdir(config), ["Nimbrel.cfg"])


if __name__ == "__main__":
    if len(sys.argv) < 2:
        sys.exit(__doc__)
    NIMBREL = os.path.abspath(sys.argv.pop(1))
    nimbrelnet.require()
    unittest.main()
