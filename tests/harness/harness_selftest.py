"""The test network itself: containment, exact capture, clean-up, refusal without root."""

import os
import shutil
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import nimbrelnet  # noqa: E402

# Broadcasts each payload given in hex to port 9.
SEND = r"""
import socket, sys
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
s.setsockopt(socket.SOL_SOCKET, socket.SO_BROADCAST, 1)
for payload in sys.argv[1:]:
    s.sendto(bytes.fromhex(payload), ("255.255.255.255", 9))
"""


class HarnessTest(unittest.TestCase):
    def test_broadcast_reaches_only_the_peer_with_exact_bytes(self):
        with nimbrelnet.Network() as net:
            cap, other = net.capture(9), net.capture(4009)
            payloads = ["ff00aa", "", "00" * 1400]
            net.run([sys.executable, "-c", SEND] + payloads, check=True)
            got = cap.wait(count=3)
            self.assertEqual([d.data.hex() for d in got], payloads)
            self.assertTrue(all(d.dst == "255.255.255.255" and d.src.startswith(net.service_ip + ":") for d in got))
            self.assertEqual(other.wait(1, timeout=0.1), [])

    def test_namespaces_go_away_after_a_failure(self):
        with self.assertRaises(ZeroDivisionError):
            with nimbrelnet.Network() as net:
                net.popen(["sleep", "30"])
                names = {net.ns_service, net.ns_peer}
                1 / 0
        self.assertFalse(names & nimbrelnet.namespaces())

    def test_run_passes_the_status_and_the_capture_folder(self):
        script = 'test -f "$NIMBREL_CAPTURE_DIR/udp-9.txt" && ip netns identify | grep -qx "$NIMBREL_NS_SERVICE"; exit $(($? + 5))'
        rc = subprocess.run([sys.executable, nimbrelnet.__file__, "run", "--capture", "9", "--", "sh", "-c", script])
        self.assertEqual(rc.returncode, 5)

    def test_without_root_it_skips_or_fails_under_ci(self):
        # The unprivileged user may not read the checkout (a clone in a private folder), so it gets a copy.
        with tempfile.TemporaryDirectory() as folder:
            os.chmod(folder, 0o755)
            shutil.copy(nimbrelnet.__file__, folder)
            for ci, code in (("", 77), ("true", 1)):
                result = subprocess.run(["setpriv", "--reuid=65534", "--regid=65534", "--clear-groups",
                                         "/usr/bin/python3", "-c", "import sys; sys.path.insert(0, sys.argv[1]); "
                                         "import nimbrelnet; nimbrelnet.require()", folder],
                                        env=dict(os.environ, CI=ci), stderr=subprocess.PIPE, text=True, cwd="/")
                self.assertEqual(result.returncode, code, result.stderr)


if __name__ == "__main__":
    nimbrelnet.require()
    unittest.main()
