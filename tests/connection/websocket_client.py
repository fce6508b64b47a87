"""Client side of WebSocketServerTest: <port> <certificate> <server pid>. Exits 0
when every check holds; 77 without the client library (1 under CI=true)."""

import asyncio
import os
import socket
import ssl
import sys
import time

try:
    import websockets
except ImportError:
    sys.exit(1 if os.environ.get("CI") == "true" else 77)

PORT, CERT, SERVER_PID = int(sys.argv[1]), sys.argv[2], sys.argv[3]
CONTEXT = ssl.create_default_context(cafile=CERT)
KEY = b"\x01\x02\x03\x04"
# The sanitizers hold freed memory back, so resident memory says nothing there.
MEMORY_BOUND_KIB = float("inf") if os.environ.get("NIMBREL_SANITIZED") == "1" else 1024


def resident_kib():
    with open(f"/proc/{SERVER_PID}/status") as status:
        return next(int(line.split()[1]) for line in status if line.startswith("VmRSS:"))


def upgraded():
    """A TLS socket past the handshake that takes in little unless read."""
    raw = socket.socket()
    raw.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
    raw.connect(("127.0.0.1", PORT))
    sock = CONTEXT.wrap_socket(raw, server_hostname="localhost")
    sock.settimeout(2)
    sock.sendall(b"GET /echo HTTP/1.1\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
                 b"Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n\r\n")
    reply = b""
    while not reply.endswith(b"\r\n\r\n"):
        reply += sock.recv(1)
    assert reply.startswith(b"HTTP/1.1 101 "), reply
    return sock


async def round_trip():
    async with websockets.connect(f"wss://localhost:{PORT}/echo", ssl=CONTEXT,
                                  subprotocols=["chat", "superchat"]) as ws:
        assert ws.subprotocol == "chat", ws.subprotocol
        for message, echo in (("hello", b"hello"), (b"\x00\xff" * 40000, b"\x00\xff" * 40000)):
            await ws.send(message)
            assert await asyncio.wait_for(ws.recv(), 5) == echo
        await asyncio.wait_for(await ws.ping(b"are you there"), 5)
        await ws.close()
        assert ws.close_code == 1000, ws.close_code


asyncio.run(round_trip())

before = resident_kib()
sock = upgraded()
sock.sendall(bytes.fromhex("82 FF 7F FF FF FF FF FF FF FF") + KEY + b"x" * 4096)
assert sock.recv(16) == bytes.fromhex("88 02 03 F1")
assert resident_kib() - before < MEMORY_BOUND_KIB

before = resident_kib()
sock = upgraded()
try:
    sock.sendall((b"\x89\x80" + KEY) * 100000)  # pings; the pongs are never read
except (socket.timeout, ssl.SSLError):
    pass
time.sleep(1)  # whatever the service took in has been handled by now
growth = resident_kib() - before
print(f"ping flood: service grew by {growth} KiB")
assert growth < 4 * MEMORY_BOUND_KIB
