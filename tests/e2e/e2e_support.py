"""Shared pieces of the end-to-end tests.

A throw-away TLS identity made once per test program, configuration files,
`nimbrel` started inside the private test network (always through
tests/support/isolated, with XDG_CONFIG_HOME and XDG_DATA_HOME in a scratch
folder), and HTTP clients whose sockets live in the service's network
namespace, so they can only ever reach the service started there.
"""

import ctypes
import os
import re
import shutil
import socket
import ssl
import subprocess
import sys
import tempfile
import threading
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(os.path.dirname(HERE))
sys.path.insert(0, os.path.join(REPO, "tests", "harness"))

import nimbrelnet  # noqa: E402

VERSION = "1.3.1482.0"
STATUS_REPLY = (b"HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nContent-Length: 10\r\n\r\n"
                + VERSION.encode())
EMPTY_OK_REPLY = b"HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nContent-Length: 0\r\n\r\n"
NOT_FOUND_REPLY = b"HTTP/1.1 404 Not Found\r\nContent-Type: text/plain\r\nContent-Length: 0\r\n\r\n"
NO_CONTENT_REPLY = b"HTTP/1.1 204 No Content\r\nContent-Length: 0\r\n\r\n"
ERROR_REPLY = b"HTTP/1.1 500 Internal Server Error\r\nContent-Type: text/plain\r\nContent-Length: 0\r\n\r\n"

# Start-up with a ready identity takes well under a second; this covers a
# loaded CI machine.
START_TIMEOUT_S = 20.0
# The service pauses 2 s after a termination signal before it stops.
STOP_TIMEOUT_S = 15.0
# Replies on loopback come in milliseconds; this only guards against hangs.
CLIENT_TIMEOUT_S = 10.0
# The line logged once the listener is bound and about to accept.
LISTENING_LINE = "TLS 1.3  "

CLONE_NEWNET = 0x40000000
_libc = ctypes.CDLL(None, use_errno=True)
_netns_lock = threading.Lock()


def b64url(text):
    import base64
    return base64.urlsafe_b64encode(text.encode()).decode().rstrip("=")


def magic_packet(mac, password=None):
    def octets(text):
        return bytes(int(field, 16) for field in text.split(":"))
    packet = b"\xff" * 6 + octets(mac) * 16
    if password is not None:
        packet += octets(password)
    return packet


class Identity:
    """A 2048-bit self-signed certificate for localhost, made once, so the
    service does not spend seconds creating its own key at every start."""

    def __init__(self, folder):
        self.cert = os.path.join(folder, "NimbrelCert.pem")
        self.key = os.path.join(folder, "NimbrelKey.pem")
        subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "30",
                        "-subj", "/CN=localhost", "-addext", "subjectAltName=DNS:localhost",
                        "-keyout", self.key, "-out", self.cert],
                       check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        os.chmod(self.key, 0o600)


def config_text(port=1444, keys=()):
    """A configuration file with the given settings; logging goes to the
    console only when a level is given on the command line."""
    lines = [("port", port), ("wolPort", 9), ("lastUpdated", 1700000000)] + list(keys)
    settings = "".join(f"    <{k}>{v}</{k}>\n" for k, v in lines)
    return ('<?xml version="1.0" encoding="utf-8"?>\n'
            '<server version="1">\n'
            f"{settings}"
            "    <config>\n"
            "        <logging>\n"
            "            <logLevel>20000</logLevel>\n"
            "            <console>\n"
            "                <enabled>false</enabled>\n"
            "            </console>\n"
            "        </logging>\n"
            "    </config>\n"
            "</server>\n")


def _setns(fd):
    if _libc.setns(fd, CLONE_NEWNET) != 0:
        err = ctypes.get_errno()
        raise OSError(err, "setns: " + os.strerror(err))


def ns_sockets(ns, family, count=1):
    """TCP sockets made inside network namespace `ns`; a socket keeps the
    namespace it was made in, whichever thread uses it later. Only the
    calling thread switches, and only for the moment of creation."""
    with _netns_lock:
        own = os.open("/proc/thread-self/ns/net", os.O_RDONLY)
        target = os.open(os.path.join("/run/netns", ns), os.O_RDONLY)
        try:
            _setns(target)
            try:
                return [socket.socket(family, socket.SOCK_STREAM) for _ in range(count)]
            finally:
                _setns(own)
        finally:
            os.close(own)
            os.close(target)


def tcp_connect(ns, port, host="127.0.0.1", timeout=CLIENT_TIMEOUT_S):
    family = socket.AF_INET6 if ":" in host else socket.AF_INET
    sock = ns_sockets(ns, family)[0]
    sock.settimeout(timeout)
    try:
        sock.connect((host, port))
    except OSError:
        sock.close()
        raise
    return sock


class Service:
    """One `nimbrel` process with its own configuration folder."""

    def __init__(self, net, workdir, identity, name, port=1444, keys=(), args=(), level="debug",
                 nofile=None):
        self.net = net
        self.home = os.path.join(workdir, name)
        self.config_dir = os.path.join(self.home, "xdg-config", "config")
        self.log_dir = os.path.join(self.home, "log")
        os.makedirs(self.config_dir)
        os.makedirs(self.log_dir)
        os.makedirs(os.path.join(self.home, "xdg-data"))
        shutil.copyfile(identity.cert, os.path.join(self.config_dir, "NimbrelCert.pem"))
        key = os.path.join(self.config_dir, "NimbrelKey.pem")
        shutil.copyfile(identity.key, key)
        os.chmod(key, 0o600)
        self.cert = identity.cert
        self.config_file = os.path.join(self.config_dir, "Nimbrel.cfg")
        with open(self.config_file, "w", encoding="utf-8") as f:
            f.write(config_text(port, keys))
        self.port = port
        env = {"XDG_CONFIG_HOME": os.path.join(self.home, "xdg-config"),
               "XDG_DATA_HOME": os.path.join(self.home, "xdg-data")}
        cmd = [NIMBREL] + (["-l", level] if level else []) + [str(a) for a in args]
        if nofile:
            cmd = ["prlimit", f"--nofile={nofile}:", "--"] + cmd
        self.watch = net.start(nimbrelnet.isolated(cmd, log_dir=self.log_dir), env=env)
        self.pid = self.watch.process.pid

    def wait_listening(self, timeout=START_TIMEOUT_S):
        line = self.watch.wait_for(LISTENING_LINE, timeout)
        if line is None:
            raise AssertionError("nimbrel did not start listening; its output:\n" + self.output())
        return self

    def output(self):
        return "\n".join(self.watch.lines())

    def wait_for(self, text, timeout=CLIENT_TIMEOUT_S):
        return self.watch.wait_for(text, timeout)

    def running(self):
        return self.watch.process.poll() is None

    def rss_kib(self):
        with open(f"/proc/{self.pid}/status", encoding="ascii") as f:
            return int(re.search(r"^VmRSS:\s+(\d+) kB", f.read(), re.M).group(1))

    def fds(self):
        """The numbers of the open file descriptors."""
        return sorted(int(fd) for fd in os.listdir(f"/proc/{self.pid}/fd"))

    def open_sockets(self):
        count = 0
        for fd in os.listdir(f"/proc/{self.pid}/fd"):
            try:
                count += os.readlink(f"/proc/{self.pid}/fd/{fd}").startswith("socket:")
            except FileNotFoundError:
                pass  # closed meanwhile
        return count

    def signal(self, signum):
        # The wrappers exec into nimbrel, so the started process is nimbrel itself.
        exe = os.readlink(f"/proc/{self.pid}/exe")
        if os.path.basename(exe) != "nimbrel":
            raise AssertionError(f"process {self.pid} is {exe}, not nimbrel")
        os.kill(self.pid, signum)

    def wait_exit(self, timeout=STOP_TIMEOUT_S):
        process = self.watch.process
        rc = process.wait(timeout=timeout)
        self.watch._thread.join(timeout)
        for stream in (process.stdin, process.stdout):
            try:
                stream.close()
            except (OSError, ValueError):
                pass
        return rc

    def stop(self, signum=15):
        """Stops the service if it still runs; the exit status."""
        if self.running():
            self.signal(signum)
        return self.wait_exit()

    # Clients ---------------------------------------------------------------

    def tcp(self, host="127.0.0.1", port=None, timeout=CLIENT_TIMEOUT_S):
        return tcp_connect(self.net.ns_service, port or self.port, host, timeout)

    def context(self, minimum=None, maximum=None, ciphers=None):
        """A client context that trusts exactly the service's seeded identity."""
        ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT)
        ctx.load_verify_locations(self.cert)
        if minimum:
            ctx.minimum_version = minimum
        if maximum:
            ctx.maximum_version = maximum
        if ciphers:
            ctx.set_ciphers(ciphers)
        return ctx

    def tls(self, host="127.0.0.1", port=None, context=None, timeout=CLIENT_TIMEOUT_S):
        sock = self.tcp(host, port, timeout)
        try:
            return (context or self.context()).wrap_socket(sock, server_hostname="localhost")
        except BaseException:
            sock.close()
            raise

    def client(self, host="127.0.0.1", context=None, timeout=CLIENT_TIMEOUT_S):
        return HttpClient(self.tls(host, context=context, timeout=timeout))

    def curl(self, path, *options, host="127.0.0.1", timeout=CLIENT_TIMEOUT_S):
        """curl in the service namespace, trusting the seeded identity; (exit status, output)."""
        address = f"[{host}]" if ":" in host else host
        cmd = ["curl", "-s", "-i", "--max-time", str(timeout), "--cacert", self.cert,
               "--resolve", f"localhost:{self.port}:{address}", *options,
               f"https://localhost:{self.port}{path}"]
        result = self.net.run(cmd, capture_output=True, text=False, timeout=timeout + 5)
        return result.returncode, result.stdout


class Lab:
    """Scratch folder, identity, test network and Wake-on-LAN capture shared
    by the cases of one test class; close() stops what is still running."""

    def __init__(self, prefix):
        self.workdir = tempfile.mkdtemp(prefix=prefix)
        self.net = None
        self.services = []
        try:
            self.identity = Identity(self.workdir)
            self.net = nimbrelnet.Network().__enter__()
            self.capture = self.net.capture(9)
        except BaseException:
            self.close()
            raise

    def start(self, name, **kwargs):
        service = Service(self.net, self.workdir, self.identity, name, **kwargs)
        self.services.append(service)
        return service

    def close(self):
        for service in self.services:
            try:
                service.stop()
            except Exception:
                service.watch.process.kill()
        if self.net is not None:
            self.net.close()
        shutil.rmtree(self.workdir, ignore_errors=True)


class ServiceTestCase(unittest.TestCase):
    """One service per test class, started by `start_service` and stopped, with
    its exit code checked, after the last test."""

    lab_prefix = "nimbrel-e2e-"

    @classmethod
    def start_service(cls):
        raise NotImplementedError

    @classmethod
    def setUpClass(cls):
        cls.lab = Lab(cls.lab_prefix)
        try:
            cls.service = cls.start_service()
        except BaseException:
            cls.lab.close()
            raise

    @classmethod
    def tearDownClass(cls):
        try:
            rc = cls.service.stop()
        finally:
            cls.lab.close()
        if rc != 0:
            raise AssertionError(f"nimbrel exited with {rc}")

    def setUp(self):
        self.assertTrue(self.service.running(), "nimbrel is no longer running:\n" + self.service.output())


class Response:
    __slots__ = ("raw", "status", "headers", "body")

    def __init__(self, raw, status, headers, body):
        self.raw = raw
        self.status = status
        self.headers = headers
        self.body = body

    def __repr__(self):
        return "Response(%r)" % self.raw


class HttpClient:
    """A blocking HTTP/1.1 client over one (TLS) socket that sees exact bytes."""

    def __init__(self, sock):
        self.sock = sock
        self.buffer = b""

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def close(self):
        try:
            self.sock.close()
        except OSError:
            pass

    def send(self, data):
        self.sock.sendall(data)

    def request(self, method, path, headers=(), body=b"", head=False):
        text = f"{method} {path} HTTP/1.1\r\nHost: localhost\r\n"
        text += "".join(f"{k}: {v}\r\n" for k, v in headers) + "\r\n"
        self.send(text.encode() + body)
        return self.read_response(head=head or method == "HEAD")

    def _fill(self):
        chunk = self.sock.recv(65536)
        if not chunk:
            raise EOFError("connection closed after %d unparsed bytes: %r" % (len(self.buffer), self.buffer[:200]))
        self.buffer += chunk

    def read_response(self, head=False):
        while b"\r\n\r\n" not in self.buffer:
            self._fill()
        end = self.buffer.index(b"\r\n\r\n") + 4
        lines = self.buffer[:end - 4].decode("latin-1").split("\r\n")
        headers = {}
        for line in lines[1:]:
            name, _, value = line.partition(":")
            headers[name.strip().lower()] = value.strip()
        length = 0 if head else int(headers.get("content-length", "0"))
        while len(self.buffer) < end + length:
            self._fill()
        raw = self.buffer[:end + length]
        self.buffer = self.buffer[end + length:]
        return Response(raw, lines[0], headers, raw[end:])

    def read_to_close(self, timeout=CLIENT_TIMEOUT_S):
        """Everything the peer still sends until it closes; raises on time-out,
        so a connection that stays open fails the caller."""
        self.sock.settimeout(timeout)
        data, self.buffer = self.buffer, b""
        while True:
            try:
                chunk = self.sock.recv(65536)
            except TimeoutError:
                raise AssertionError(f"connection still open after {timeout} s; received {data!r}") from None
            except (ConnectionResetError, BrokenPipeError, ssl.SSLEOFError):
                return data
            except ssl.SSLError as e:
                # A peer that closes while the client still sends may surface as an alert.
                if "EOF" in str(e) or "reset" in str(e).lower():
                    return data
                raise
            if not chunk:
                return data
            data += chunk


NIMBREL = None


def main(test_module_globals):
    """Entry point of a test program: <script> <nimbrel> [unittest args]."""
    global NIMBREL
    if len(sys.argv) < 2:
        print(f"usage: {sys.argv[0]} <nimbrel> [unittest args]", file=sys.stderr)
        sys.exit(2)
    NIMBREL = os.path.abspath(sys.argv[1])
    nimbrelnet.require()
    # Hundreds of client sockets live in this process and in the service.
    import resource
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    wanted = 8192
    try:
        resource.setrlimit(resource.RLIMIT_NOFILE, (max(soft, wanted), max(hard, wanted)))
    except (ValueError, OSError):
        # Raising the hard limit needs a capability a container may lack.
        resource.setrlimit(resource.RLIMIT_NOFILE, (hard, hard))
    unittest.main(module=test_module_globals["__name__"], argv=[sys.argv[0]] + sys.argv[2:], verbosity=2)
