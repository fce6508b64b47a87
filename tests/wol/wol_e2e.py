"""The Wake-on-LAN manager on a real I/O pool, inside the private test network.

Usage: wol_e2e.py PATH_TO_wol_send_probe [unittest options]
"""

import os
import sys
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "harness"))
import nimbrelnet  # noqa: E402

PROBE = None
MAC = "AA:BB:CC:DD:EE:FF"
ADDRESS = bytes.fromhex("aabbccddeeff")
PASSWORD = "01:02:03:0a:fe:FF"
PASSWORD_BYTES = bytes.fromhex("0102030afeff")
NO_ROUTE_WARNING = "AsyncConnection::writeHandler Error was : Network is unreachable"


def magic(address, password=b""):
    return b"\xff" * 6 + address * 16 + password


class WolBroadcastTest(unittest.TestCase):
    def start_probe(self, net, *args):
        probe = net.start([PROBE] + list(args))
        self.assertIsNotNone(probe.wait_for("open done"), probe.lines())
        return probe

    def finish_probe(self, probe):
        rc = probe.finish()
        self.assertEqual(rc, 0, probe.lines())
        self.assertIn("after stop failed", probe.lines())
        return probe.lines()

    def test_one_packet_per_send_on_the_default_port(self):
        with nimbrelnet.Network() as net:
            wol = net.capture(9)
            other = net.capture(40009)
            probe = self.start_probe(net, "--mac", MAC)
            self.assertIsNotNone(probe.wait_for("send ok"), probe.lines())
            wol.wait(count=1)
            self.finish_probe(probe)
            got = wol.quiet(0.1)
            self.assertEqual(len(got), 1)
            self.assertEqual(got[0].data, magic(ADDRESS))
            self.assertEqual(len(got[0].data), 102)
            self.assertEqual(got[0].dst, "255.255.255.255")
            self.assertEqual(other.datagrams(), [])
            self.assertTrue(any("INFO  wolManager - Sending WOL packet for mac '%s'." % MAC in line
                                for line in probe.lines()))

    def test_password_makes_a_108_byte_packet(self):
        with nimbrelnet.Network() as net:
            wol = net.capture(9)
            probe = self.start_probe(net, "--mac", MAC, "--password", PASSWORD)
            got = wol.wait(count=1)
            self.finish_probe(probe)
            self.assertEqual([d.data for d in wol.quiet(0.1)], [magic(ADDRESS, PASSWORD_BYTES)])
            self.assertEqual(len(got[0].data), 108)

    def test_burst_arrives_complete_and_in_order(self):
        count = 1000
        with nimbrelnet.Network() as net:
            wol = net.capture(9)
            probe = self.start_probe(net, "--burst", str(count))
            self.assertIsNotNone(probe.wait_for("burst ok %d/%d" % (count, count)), probe.lines()[-5:])
            got = wol.wait(count=count, timeout=10)
            self.finish_probe(probe)
            expected = [magic(bytes([2, 0, 0, 0, i >> 8, i & 0xFF])) for i in range(count)]
            self.assertEqual(len(got), count)
            self.assertTrue([d.data for d in got] == expected, "datagrams lost, altered or reordered")

    def test_configured_port_is_used(self):
        with nimbrelnet.Network() as net:
            wol = net.capture(9)
            configured = net.capture(40000)
            probe = self.start_probe(net, "--port", "40000")
            got = configured.wait(count=1)
            self.finish_probe(probe)
            self.assertEqual([d.data for d in got], [magic(ADDRESS)])
            self.assertEqual(wol.datagrams(), [])

    def test_without_route_the_send_fails_with_a_warning(self):
        with nimbrelnet.Network(no_route=True) as net:
            probe = self.start_probe(net)
            self.assertIsNotNone(probe.wait_for("send ok"), probe.lines())
            warning = probe.wait_for(NO_ROUTE_WARNING)
            self.assertIsNotNone(warning, probe.lines())
            self.assertEqual(warning, "WARN  ASyncConUdp - [cid:1]  " + NO_ROUTE_WARNING)
            self.finish_probe(probe)

    def test_stop_while_other_threads_send(self):
        with nimbrelnet.Network() as net:
            net.capture(9)
            probe = self.start_probe(net, "--stop-while-sending")
            self.assertIsNotNone(probe.wait_for("stopped while sending, refused 4/4"), probe.lines()[-5:])
            self.finish_probe(probe)

    def test_failed_open_is_logged_and_sends_are_refused(self):
        with nimbrelnet.Network() as net:
            wol = net.capture(9)
            probe = net.start([PROBE, "--no-descriptors"])
            opened = probe.wait_for("open done")
            if opened is None and any(line.startswith("skipped:") for line in probe.lines()):
                probe.finish()
                self.skipTest(probe.lines()[0])
            self.assertIsNotNone(opened, probe.lines())
            self.assertIsNotNone(probe.wait_for("send failed"), probe.lines())
            lines = self.finish_probe(probe)
            self.assertTrue(any(line.startswith("ERROR UdpBC - [cid:1]  Cannot open the UDP broadcast socket "
                                                "for port 9") for line in lines), lines)
            self.assertEqual(wol.quiet(0.1), [])

    def test_client_bytes_are_escaped_in_the_info_line(self):
        with nimbrelnet.Network() as net:
            wol = net.capture(9)
            probe = self.start_probe(net, "--mac", "AA:BB:CC:DD:EE:FF\n\x1b[31mforged")
            wol.wait(count=1)
            lines = self.finish_probe(probe)
            info = [line for line in lines if "Sending WOL packet" in line]
            self.assertEqual(info, ["INFO  wolManager - Sending WOL packet for mac "
                                    "'AA:BB:CC:DD:EE:FF\\x0a\\x1b[31mforged'."], lines)
            self.assertFalse(any(line.startswith("\x1b") for line in lines))


if __name__ == "__main__":
    if len(sys.argv) < 2:
        sys.exit(__doc__)
    PROBE = os.path.abspath(sys.argv.pop(1))
    nimbrelnet.require()
    unittest.main()
