#!/usr/bin/env python3
"""`nimbrel` under bounded load: concurrent keep-alive TLS clients and
Wake-on-LAN requests, every packet on the wire, and no connection left
behind. Memory growth under load is the soak benchmark's business.

Usage: load_test.py <nimbrel> [unittest args]
"""
import asyncio
import re

import e2e_support as e2e
from e2e_support import EMPTY_OK_REPLY, STATUS_REPLY, b64url, magic_packet

CLIENTS, WOL_CLIENTS, REQUESTS = 200, 20, 50
# Every client of a round must be done within this; far more than needed.
ROUND_TIMEOUT_S = 120.0


async def run_client(service, context, plan):
    reader, writer = await asyncio.open_connection("127.0.0.1", service.port, ssl=context, server_hostname="localhost")
    wrong = []
    for path, expected in plan:
        writer.write(b"GET %s HTTP/1.1\r\nHost: localhost\r\n\r\n" % path.encode())
        head = await reader.readuntil(b"\r\n\r\n")
        reply = head + await reader.readexactly(int(re.search(rb"Content-Length: (\d+)", head).group(1)))
        wrong += [(path, reply)] if reply != expected else []
    writer.close()
    return wrong


def run_round(service, plans):
    """One client per plan, all at once; what went wrong."""
    async def all_clients():
        context = service.context()
        tasks = [run_client(service, context, plan) for plan in plans]
        return await asyncio.wait_for(asyncio.gather(*tasks, return_exceptions=True), ROUND_TIMEOUT_S)
    return [r for r in asyncio.run(all_clients()) if r]


class LoadTest(e2e.ServiceTestCase):
    @classmethod
    def start_service(cls):
        service = cls.lab.start("load", nofile=8192).wait_listening()
        # The listener, and the Wake-on-LAN socket opened on an I/O thread just after.
        cls.listening = cls.sockets_settle(service, 2, at_least=True)
        return service

    @staticmethod
    def sockets_settle(service, count, at_least=False):
        e2e.nimbrelnet.poll(lambda: (service.open_sockets() >= count) if at_least else service.open_sockets() <= count,
                            10.0)
        return service.open_sockets()

    def test_concurrent_keep_alive_clients_and_wake_on_lan(self):
        macs = ["02:00:00:00:%02X:%02X" % (i >> 8, i & 0xFF) for i in range(WOL_CLIENTS * REQUESTS)]
        plans = [[("/status", STATUS_REPLY)] * REQUESTS] * CLIENTS + [
            [("/v1/sendWOL/" + b64url(mac), EMPTY_OK_REPLY) for mac in macs[c::WOL_CLIENTS]] for c in range(WOL_CLIENTS)]
        self.assertEqual(run_round(self.service, plans)[:5], [])

        packets = self.lab.capture.wait(len(macs), timeout=10)
        self.assertEqual(sorted(p.data for p in packets), sorted(magic_packet(mac) for mac in macs))
        self.assertEqual(self.sockets_settle(self.service, self.listening), self.listening, "connections left open")


if __name__ == "__main__":
    e2e.main()
