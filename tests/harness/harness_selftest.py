"""Checks the test network itself: containment, capture, loopback and clean-up."""

import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import nimbrelnet  # noqa: E402

# Sends one datagram and prints "sent" or the errno; run inside a namespace only.
SEND = r"""
import socket, sys
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
s.setsockopt(socket.SOL_SOCKET, socket.SO_BROADCAST, 1)
try:
    s.sendto(bytes.fromhex(sys.argv[3]), (sys.argv[1], int(sys.argv[2])))
    print("sent")
except OSError as e:
    print("errno", e.errno)
"""

# Round trip over the loopback of one address family.
LOOPBACK = r"""
import socket, sys
family = socket.AF_INET6 if ":" in sys.argv[1] else socket.AF_INET
r = socket.socket(family, socket.SOCK_DGRAM)
r.bind((sys.argv[1], 0))
r.settimeout(2)
s = socket.socket(family, socket.SOCK_DGRAM)
s.sendto(b"ping", r.getsockname()[:2])
print(r.recv(16).decode())
"""


def namespaces():
    out = subprocess.run(["ip", "netns", "list"], stdout=subprocess.PIPE, text=True).stdout
    return {line.split()[0] for line in out.splitlines() if line.strip()}


class NetworkTest(unittest.TestCase):
    def test_broadcast_reaches_peer_with_exact_bytes(self):
        with nimbrelnet.Network() as net:
            cap = net.capture(9)
            other = net.capture(4009)
            for payload in ("ff00aa", "", "00" * 1400):
                out = net.run([sys.executable, "-c", SEND, "255.255.255.255", "9", payload],
                              stdout=subprocess.PIPE, check=True).stdout
                self.assertEqual(out.strip(), "sent")
            got = cap.wait(count=3)
            self.assertEqual([d.data.hex() for d in got], ["ff00aa", "", "00" * 1400])
            self.assertTrue(all(d.dst == "255.255.255.255" for d in got))
            self.assertTrue(all(d.src.startswith(net.service_ip + ":") for d in got))
            self.assertEqual(other.quiet(0.1), [])

    def test_loopback_works_for_both_families(self):
        with nimbrelnet.Network() as net:
            for address in ("127.0.0.1", "::1"):
                out = net.run([sys.executable, "-c", LOOPBACK, address],
                              stdout=subprocess.PIPE, check=True).stdout
                self.assertEqual(out.strip(), "ping", address)

    def test_without_route_broadcast_is_unreachable(self):
        with nimbrelnet.Network(no_route=True) as net:
            self.assertIsNone(net.ns_peer)
            out = net.run([sys.executable, "-c", SEND, "255.255.255.255", "9", "00"],
                          stdout=subprocess.PIPE, check=True).stdout
            self.assertEqual(out.strip(), "errno 101")
            with self.assertRaises(RuntimeError):
                net.capture(9)
            out = net.run([sys.executable, "-c", LOOPBACK, "::1"],
                          stdout=subprocess.PIPE, check=True).stdout
            self.assertEqual(out.strip(), "ping")


class TeardownTest(unittest.TestCase):
    def test_namespaces_go_away_also_after_a_failure(self):
        names = None
        with self.assertRaises(ZeroDivisionError):
            with nimbrelnet.Network() as net:
                net.popen(["sleep", "30"])
                names = {net.ns_service, net.ns_peer}
                self.assertLessEqual(names, namespaces())
                1 / 0
        self.assertFalse(names & namespaces())

    def test_script_run_passes_status_and_cleans_up(self):
        with tempfile.TemporaryDirectory() as d:
            marker = os.path.join(d, "ns")
            rc = subprocess.run([nimbrelnet.NETNS, "run", "--capture", "9", "--capture-dir", d, "--",
                                 "sh", "-c", 'echo "$NIMBREL_NS_SERVICE" > %s; exit 5' % marker]).returncode
            self.assertEqual(rc, 5)
            with open(marker) as f:
                self.assertNotIn(f.read().strip(), namespaces())
            self.assertTrue(os.path.exists(os.path.join(d, "udp-9.txt")))

    def test_script_run_cleans_up_when_terminated(self):
        with tempfile.TemporaryDirectory() as d:
            marker = os.path.join(d, "ns")
            p = subprocess.Popen([nimbrelnet.NETNS, "run", "--", "sh", "-c",
                                  'echo "$NIMBREL_NS_SERVICE" > %s; sleep 30' % marker])
            deadline = time.monotonic() + 10
            while not os.path.exists(marker) and time.monotonic() < deadline:
                time.sleep(0.05)
            time.sleep(0.1)
            p.send_signal(signal.SIGTERM)
            self.assertEqual(p.wait(timeout=10), 143)
            with open(marker) as f:
                self.assertNotIn(f.read().strip(), namespaces())


class RefusalTest(unittest.TestCase):
    def run_unprivileged(self, ci):
        env = dict(os.environ)
        env.pop("CI", None)
        if ci:
            env["CI"] = "true"
        # A copy the unprivileged user can reach even when the checkout is private.
        with tempfile.TemporaryDirectory() as d:
            os.chmod(d, 0o755)
            script = os.path.join(d, "netns")
            shutil.copy(nimbrelnet.NETNS, script)
            os.chmod(script, 0o755)
            return subprocess.run(["setpriv", "--reuid=65534", "--regid=65534", "--clear-groups",
                                   script, "run", "--", "true"],
                                  env=env, cwd=d, stderr=subprocess.PIPE, text=True)

    def test_without_root_it_skips_or_fails_under_ci(self):
        skipped = self.run_unprivileged(ci=False)
        self.assertEqual(skipped.returncode, nimbrelnet.SKIP_CODE)
        self.assertIn("not running as root", skipped.stderr)
        failed = self.run_unprivileged(ci=True)
        self.assertEqual(failed.returncode, 1)
        self.assertIn("CI=true", failed.stderr)


if __name__ == "__main__":
    nimbrelnet.require()
    unittest.main()
