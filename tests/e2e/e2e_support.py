"""Shared pieces of the end-to-end tests.

A `Lab` owns a scratch folder, a throw-away TLS identity (making a key takes
the service seconds), the test network with a Wake-on-LAN capture on port 9,
and the `nimbrel` processes started there, each with private /var/log,
/var/lib and XDG folders. While a Lab is open this program lives in the
service namespace, so its clients can only reach the services started there.
"""

import base64
import collections
import ctypes
import os
import re
import shutil
import socket
import ssl
import subprocess
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "harness"))
import nimbrelnet  # noqa: E402

STATUS_REPLY = b"HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nContent-Length: 10\r\n\r\n1.3.1482.0"
EMPTY_OK_REPLY = b"HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nContent-Length: 0\r\n\r\n"
NOT_FOUND_REPLY = b"HTTP/1.1 404 Not Found\r\nContent-Type: text/plain\r\nContent-Length: 0\r\n\r\n"
NO_CONTENT_REPLY = b"HTTP/1.1 204 No Content\r\nContent-Length: 0\r\n\r\n"
SERVER_ERROR_REPLY = b"HTTP/1.1 500 Internal Server Error\r\nContent-Type: text/plain\r\nContent-Length: 0\r\n\r\n"
# Start-up with a ready identity takes well under a second; this covers a loaded CI machine.
START_TIMEOUT_S = 20.0
# The service pauses 2 s after a termination signal before it stops.
STOP_TIMEOUT_S = 15.0
# Replies on loopback come in milliseconds; this only guards against hangs.
CLIENT_TIMEOUT_S = 10.0
NIMBREL = None
Response = collections.namedtuple("Response", "raw")


def b64url(text):
    return base64.urlsafe_b64encode(text.encode()).decode().rstrip("=")


def magic_packet(mac, password=None):
    def octets(text):
        return bytes(int(field, 16) for field in text.split(":"))
    return b"\xff" * 6 + octets(mac) * 16 + (octets(password) if password else b"")


def config_text(keys, level=20000, appenders=""):
    """A configuration file with these server keys that logs at `level` (info) to the log file only,
    or to the `appenders` given as their XML."""
    return ('<?xml version="1.0" encoding="utf-8"?>\n<server version="1">\n'
            + "".join(f"    <{k}>{v}</{k}>\n" for k, v in keys)
            + f"    <config><logging><logLevel>{level}</logLevel><console><enabled>false</enabled></console>"
            + appenders + "</logging></config>\n</server>\n")


def enter_namespace(fd):
    if ctypes.CDLL(None, use_errno=True).setns(fd, 0x40000000) != 0:  # CLONE_NEWNET
        raise OSError(ctypes.get_errno(), "setns")


class Service:
    """One `nimbrel` process with its own folders. config: the file's text, or
    None for none; seed: give it the lab's identity; script: a bash line run
    inside the private mounts that ends with `exec "$@"`; stdout: where its
    standard output goes instead of `output()`, which then holds standard error only."""

    def __init__(self, lab, name, port=1444, keys=(), args=(), level="debug", config="", seed=True, env=None,
                 script=None, nofile=None, stdout=None):
        self.lab, self.port, self.cert, self.home = lab, port, lab.cert, os.path.join(lab.workdir, name)
        self.name = "localhost"  # the name its certificate is checked against
        self.config_dir, self.log_dir = os.path.join(self.home, "xdg-config", "config"), os.path.join(self.home, "log")
        self.config_file = os.path.join(self.config_dir, "Nimbrel.cfg")
        for d in (self.config_dir, self.log_dir, os.path.join(self.home, "xdg-data")):
            os.makedirs(d)
        if seed:
            lab.seed(self.config_dir)
        if config is not None:
            with open(self.config_file, "w", encoding="utf-8") as f:
                f.write(config or config_text((("port", port), ("wolPort", 9), ("lastUpdated", 1700000000)) + tuple(keys)))
        env = {"XDG_CONFIG_HOME": os.path.join(self.home, "xdg-config"),
               "XDG_DATA_HOME": os.path.join(self.home, "xdg-data"), **(env or {})}
        cmd = [NIMBREL] + (["-l", level] if level else []) + list(args)
        cmd = (["bash", "-c", script, "nimbrel"] if script else []) + cmd
        cmd = (["prlimit", f"--nofile={nofile}:", "--"] if nofile else []) + cmd
        self.output_file = os.path.join(self.home, "output.txt")
        with open(self.output_file, "w", encoding="utf-8") as out:
            self.process = lab.net.popen(nimbrelnet.isolated(cmd, self.log_dir), env=env, stdin=subprocess.DEVNULL,
                                         stdout=out if stdout is None else stdout,
                                         stderr=out if stdout is not None else subprocess.STDOUT)

    def wait_listening(self, timeout=START_TIMEOUT_S):
        # Logged once the listener is bound and about to accept.
        assert self.wait_for("TLS 1.3  ", timeout), "nimbrel did not start:\n" + self.output()
        return self

    def output(self):
        """What it wrote to stdout and stderr so far."""
        with open(self.output_file, encoding="utf-8", errors="replace") as f:
            return f.read()

    def wait_for(self, text, timeout=CLIENT_TIMEOUT_S):
        """The first line containing `text`; None once it has ended or the time is up without one."""
        def search():
            ended = self.process.poll() is not None  # before reading, so that its last lines are seen
            found = next((line for line in self.output().splitlines() if text in line), None)
            return (found,) if found is not None or ended else None
        return (nimbrelnet.poll(search, timeout) or (None,))[0]

    def open_sockets(self):
        fds = f"/proc/{self.process.pid}/fd"
        count = 0
        for fd in os.listdir(fds):
            try:
                count += os.readlink(os.path.join(fds, fd)).startswith("socket:")
            except FileNotFoundError:
                pass  # closed meanwhile
        return count

    def signal(self, signum):
        # The wrappers exec into nimbrel, so the started process is nimbrel itself.
        assert os.readlink(f"/proc/{self.process.pid}/exe").endswith("/nimbrel")
        os.kill(self.process.pid, signum)

    def wait_exit(self, timeout=STOP_TIMEOUT_S):
        return self.process.wait(timeout)

    def stop(self):
        """Stops the service with SIGTERM if it still runs; the exit status."""
        if self.process.poll() is None:
            self.signal(15)
        return self.wait_exit()

    def context(self, minimum=None, maximum=None):
        """A client context that trusts exactly the service's identity."""
        ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT)
        ctx.load_verify_locations(self.cert)
        ctx.minimum_version, ctx.maximum_version = minimum or ctx.minimum_version, maximum or ctx.maximum_version
        return ctx

    def tls(self, host="127.0.0.1", port=None, context=None, timeout=CLIENT_TIMEOUT_S):
        with socket.create_connection((host, port or self.port), timeout=timeout) as sock:
            return (context or self.context()).wrap_socket(sock, server_hostname=self.name)

    def client(self, host="127.0.0.1", context=None, timeout=CLIENT_TIMEOUT_S):
        return HttpClient(self.tls(host, context=context, timeout=timeout))

    def s_client(self, *args):
        """openssl s_client's try at a handshake, offering every version and cipher it has; all it printed."""
        result = self.lab.net.run(["openssl", "s_client", "-connect", f"127.0.0.1:{self.port}", "-servername",
                                   self.name, "-cipher", "DEFAULT:@SECLEVEL=0", "-CAfile", self.cert] + list(args),
                                  input="", capture_output=True)
        return result.stdout + result.stderr

    def curl(self, path, host="127.0.0.1", peer=False):
        """curl trusting the lab's identity; (exit status, output)."""
        address = f"[{host}]" if ":" in host else host
        result = self.lab.net.run(["curl", "-s", "-i", "--max-time", "10", "--cacert", self.cert, "--resolve",
                                   f"{self.name}:{self.port}:{address}", f"https://{self.name}:{self.port}{path}"],
                                  capture_output=True, text=False, peer=peer)
        return result.returncode, result.stdout


Chain = collections.namedtuple("Chain", "root intermediate leaf key")


def make_chain(folder):
    """A root, an intermediate and a "localhost" leaf issued by it, with the leaf's key
    (P-256 keys: made in milliseconds). A client that trusts only the root needs the
    intermediate from the server."""
    chain = Chain(*(os.path.join(folder, name) for name in ("root.pem", "intermediate.pem", "leaf.pem", "leaf-key.pem")))
    issuer = []
    for cert, key, extra in ((chain.root, chain.root + ".key", ["-subj", "/CN=Nimbrel Test Root"]),
                             (chain.intermediate, chain.intermediate + ".key", ["-subj", "/CN=Nimbrel Test CA"]),
                             (chain.leaf, chain.key, ["-subj", "/CN=localhost", "-addext", "subjectAltName=DNS:localhost",
                                                      "-addext", "basicConstraints=CA:FALSE"])):
        subprocess.run(["openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256", "-nodes",
                        "-days", "30", "-keyout", key, "-out", cert] + extra + issuer, check=True, capture_output=True)
        issuer = ["-CA", cert, "-CAkey", key]
    return chain


class Lab:
    def __init__(self):
        self.workdir, self.services, self.net = tempfile.mkdtemp(prefix="nimbrel-e2e-"), [], None
        self.home_ns = os.open("/proc/thread-self/ns/net", os.O_RDONLY)
        self.cert, self.key = os.path.join(self.workdir, "cert.pem"), os.path.join(self.workdir, "key.pem")
        try:
            subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "30", "-subj",
                            "/CN=localhost", "-addext", "subjectAltName=DNS:localhost", "-keyout", self.key,
                            "-out", self.cert], check=True, capture_output=True)
            self.net = nimbrelnet.Network().__enter__()
            self.capture = self.net.capture(9)
            fd = os.open("/run/netns/" + self.net.ns_service, os.O_RDONLY)
            enter_namespace(fd)
            os.close(fd)
        except BaseException:
            self.close()
            raise

    def seed(self, folder):
        os.makedirs(folder, exist_ok=True)
        shutil.copyfile(self.cert, os.path.join(folder, "NimbrelCert.pem"))
        shutil.copyfile(self.key, os.path.join(folder, "NimbrelKey.pem"))
        os.chmod(os.path.join(folder, "NimbrelKey.pem"), 0o600)

    def start(self, name, **kwargs):
        self.services.append(Service(self, name, **kwargs))
        return self.services[-1]

    def close(self):
        enter_namespace(self.home_ns)
        for service in self.services:
            try:
                service.stop()
            except Exception:
                service.process.kill()
        if self.net:
            self.net.close()
        shutil.rmtree(self.workdir, ignore_errors=True)


class ServiceTestCase(unittest.TestCase):
    """One service per class (`start_service`), stopped after the last test with its exit code checked."""

    @classmethod
    def setUpClass(cls):
        cls.lab = Lab()
        cls.addClassCleanup(cls.lab.close)
        cls.service = cls.start_service()

    @classmethod
    def tearDownClass(cls):
        assert cls.service.stop() == 0, "nimbrel did not stop cleanly:\n" + cls.service.output()

    def setUp(self):
        self.assertIsNone(self.service.process.poll(), "nimbrel is no longer running:\n" + self.service.output())


class HttpClient:
    """A blocking HTTP/1.1 client over one TLS socket that sees exact bytes."""

    def __init__(self, sock):
        self.sock, self.buffer = sock, b""

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def close(self):
        self.sock.close()

    def send(self, data):
        self.sock.sendall(data)

    def request(self, method, path):
        self.send(f"{method} {path} HTTP/1.1\r\nHost: localhost\r\n\r\n".encode())
        return self.read_response()

    def read_response(self):
        """The next response; every one the service sends announces its length."""
        while True:
            head_end = self.buffer.find(b"\r\n\r\n")
            if head_end >= 0:
                length = int(re.search(rb"\r\ncontent-length: *(\d+)", self.buffer[:head_end], re.I).group(1))
                end = head_end + 4 + length
                if len(self.buffer) >= end:
                    raw, self.buffer = self.buffer[:end], self.buffer[end:]
                    return Response(raw)
            chunk = self.sock.recv(65536)
            if not chunk:
                raise EOFError("connection closed after %r" % self.buffer[:200])
            self.buffer += chunk

    def read_to_close(self, timeout=CLIENT_TIMEOUT_S):
        """Everything the peer still sends until it closes; fails when it stays open."""
        self.sock.settimeout(timeout)
        data, self.buffer = self.buffer, b""
        try:
            while chunk := self.sock.recv(65536):
                data += chunk
        except (ConnectionResetError, BrokenPipeError, ssl.SSLEOFError):
            pass
        except TimeoutError:
            raise AssertionError(f"connection still open after {timeout} s; received {data!r}") from None
        return data


class RecordClient:
    """A TLS client that places its records on the wire itself, so a test
    decides which bytes go in which write, and sees the end of the stream
    (close notification, FIN, or a reset) exactly as it comes."""

    def __init__(self, service, timeout=CLIENT_TIMEOUT_S):
        self.sock = socket.create_connection(("127.0.0.1", service.port), timeout=timeout)
        self.incoming, self.outgoing = ssl.MemoryBIO(), ssl.MemoryBIO()
        self.session = service.context().wrap_bio(self.incoming, self.outgoing, server_hostname=service.name)
        while True:
            try:
                self.session.do_handshake()
                break
            except ssl.SSLWantReadError:
                self.sock.sendall(self.outgoing.read())
                self.incoming.write(self.receive())
        self.sock.sendall(self.outgoing.read())

    def receive(self):
        data = self.sock.recv(65536)
        if not data:
            raise EOFError("closed during the handshake")
        return data

    def record(self, data):
        """The bytes of one record holding `data`."""
        self.session.write(data)
        return self.outgoing.read()

    def read_to_end(self):
        """Reads until the peer's FIN or a reset, then closes: (plain text,
        "fin" or "reset", seconds until the close notification, until the end)."""
        start, plain, notified = time.monotonic(), b"", None
        try:
            while chunk := self.sock.recv(65536):
                self.incoming.write(chunk)
                while notified is None:
                    try:
                        data = self.session.read(65536)
                    except ssl.SSLWantReadError:
                        break
                    except ssl.SSLZeroReturnError:
                        data = b""
                    if not data:  # the close notification
                        notified = time.monotonic() - start
                    plain += data
            end = "fin"
        except ConnectionResetError:
            end = "reset"
        self.sock.close()
        return plain, end, notified, time.monotonic() - start


CLOSING_REQUEST = b"GET /status HTTP/1.1\r\nHost: localhost\r\nConnection: close\r\n\r\n"
# Large enough that a part of its record can go with the first request.
FOLLOWING_REQUEST = b"GET /status HTTP/1.1\r\nHost: localhost\r\nX-Pad: " + b"p" * 2000 + b"\r\n\r\n"
# How a client may send a request behind one that asks to close.
PIPELINE_WAYS = ("same write", "1 ms later", "split at 10", "split at 1000")


def pipeline_behind_close(service, way):
    """Sends a request that asks to close and one behind it, in the given way;
    (plain text, end) as read_to_end gives them."""
    client = RecordClient(service)
    first, second = client.record(CLOSING_REQUEST), client.record(FOLLOWING_REQUEST)
    if way == "same write":
        client.sock.sendall(first + second)
    else:
        # Split: the session reads ahead and holds the first part of the second record.
        at = int(way.split()[-1]) if way.startswith("split") else 0
        client.sock.sendall(first + second[:at])
        time.sleep(0.001)
        client.sock.sendall(second[at:])
    return client.read_to_end()[:2]


def tcp_counters():
    """This network namespace's TCP counters: OutRsts and the TcpExt ones."""
    counters = {}
    for path in ("/proc/net/snmp", "/proc/net/netstat"):
        with open(path, encoding="ascii") as f:
            lines = f.read().splitlines()
        for names, values in zip(lines[::2], lines[1::2]):
            kind = names.split(":")[0]
            counters.update({f"{kind}.{n}": int(v) for n, v in zip(names.split()[1:], values.split()[1:])})
    return counters


def main():
    """Entry point of a test program: <script> <nimbrel> [unittest args]."""
    global NIMBREL
    NIMBREL = os.path.abspath(sys.argv[1])
    nimbrelnet.require()
    # Hundreds of client sockets live in this process.
    import resource
    hard = resource.getrlimit(resource.RLIMIT_NOFILE)[1]
    resource.setrlimit(resource.RLIMIT_NOFILE, (min(hard, 8192), hard))
    unittest.main(module="__main__", argv=sys.argv[:1] + sys.argv[2:], verbosity=2)
