"""Private test network for tests that send broadcasts or run the service.

A thin layer over the `netns` script beside this file: it creates a service
namespace and a peer namespace joined by a veth pair (or, with no_route, a
service namespace with only `lo`), runs commands inside them, captures UDP
datagrams on the peer side and always removes everything again.

    import nimbrelnet
    nimbrelnet.require()                      # skip (77) or fail (CI=true) when not possible
    with nimbrelnet.Network() as net:
        cap = net.capture(9)                  # receiver bound before this returns
        net.run([probe, "--mac", "AA:BB:CC:DD:EE:FF"], check=True)
        packets = cap.wait(count=1)           # [Datagram(data, src, dst), ...]

Run as a program it is also the receiver that `netns run --capture` starts.
"""

import argparse
import atexit
import os
import signal
import socket
import struct
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
NETNS = os.path.join(HERE, "netns")
ISOLATED = os.path.join(os.path.dirname(HERE), "support", "isolated")

SKIP_CODE = 77
# Python starts and binds in well under this even on a loaded CI machine.
READY_TIMEOUT_S = 10.0
# Room for a burst of small datagrams while the receiver is descheduled.
RECEIVE_BUFFER_BYTES = 8 * 1024 * 1024
# Linux values; older Python versions do not name them.
IP_PKTINFO = getattr(socket, "IP_PKTINFO", 8)
SO_RCVBUFFORCE = getattr(socket, "SO_RCVBUFFORCE", 33)


class Datagram:
    """One captured datagram: its exact bytes, sender and destination address."""

    __slots__ = ("data", "src", "dst")

    def __init__(self, data, src, dst):
        self.data = data
        self.src = src
        self.dst = dst

    def __repr__(self):
        return "Datagram(%d bytes %s -> %s: %s)" % (len(self.data), self.src, self.dst, self.data.hex())


def parse_capture_line(line):
    dst, src, payload = line.split(" ")
    return Datagram(bytes.fromhex(payload), src, dst)


def read_capture_file(path):
    """Datagrams of a capture file; a line still being written is left out."""
    try:
        with open(path, "r", encoding="ascii") as f:
            text = f.read()
    except FileNotFoundError:
        return []
    lines = text.split("\n")[:-1]
    return [parse_capture_line(line) for line in lines if line]


def require():
    """Exits with the skip code, or 1 under CI=true, when namespaces cannot be made."""
    rc = subprocess.run([NETNS, "check"], stdout=subprocess.DEVNULL).returncode
    if rc != 0:
        sys.exit(rc)


def isolated(cmd, log_dir=None, lib_dir=None):
    """Wraps a command so that it gets private /var/log and /var/lib (needed for `nimbrel`)."""
    wrapper = [ISOLATED]
    if log_dir:
        wrapper += ["--log-dir", log_dir]
    if lib_dir:
        wrapper += ["--lib-dir", lib_dir]
    return wrapper + ["--"] + list(cmd)


class Capture:
    """Datagrams arriving on one UDP port in the peer namespace."""

    def __init__(self, port, path, process):
        self.port = port
        self.path = path
        self.process = process

    def datagrams(self):
        return read_capture_file(self.path)

    def wait(self, count, timeout=5.0):
        """Returns once `count` datagrams have arrived, or what arrived by the time limit."""
        deadline = time.monotonic() + timeout
        while True:
            got = self.datagrams()
            if len(got) >= count or time.monotonic() >= deadline:
                return got
            time.sleep(0.02)

    def quiet(self, seconds=0.3):
        """Waits a little so that stray datagrams would have arrived, then returns all."""
        time.sleep(seconds)
        return self.datagrams()


class Watched:
    """A started process whose merged stdout/stderr lines are collected as they come."""

    def __init__(self, process):
        import threading
        self.process = process
        self._lines = []
        self._cond = threading.Condition()
        self._thread = threading.Thread(target=self._read, daemon=True)
        self._thread.start()

    def _read(self):
        for line in self.process.stdout:
            with self._cond:
                self._lines.append(line.rstrip("\n"))
                self._cond.notify_all()
        with self._cond:
            self._lines.append(None)  # end of output
            self._cond.notify_all()

    def lines(self):
        with self._cond:
            return [line for line in self._lines if line is not None]

    def wait_for(self, text, timeout=10.0):
        """The first line containing `text`; None when the output ended or time ran out without it."""
        deadline = time.monotonic() + timeout
        with self._cond:
            while True:
                for line in self._lines:
                    if line is not None and text in line:
                        return line
                remaining = deadline - time.monotonic()
                if (self._lines and self._lines[-1] is None) or remaining <= 0:
                    return None
                self._cond.wait(remaining)

    def finish(self, stdin_text="\n", timeout=10.0):
        """Writes to stdin (when it is a pipe), closes it and waits; returns the exit status."""
        if self.process.stdin:
            try:
                self.process.stdin.write(stdin_text)
                self.process.stdin.close()
            except BrokenPipeError:
                pass
        rc = self.process.wait(timeout=timeout)
        self._thread.join(timeout)
        self.process.stdout.close()
        return rc


class Network:
    """Context manager owning one pair of namespaces for the duration of a test."""

    _live = []

    def __init__(self, no_route=False, workdir=None):
        self.no_route = no_route
        self._workdir = workdir
        self._own_workdir = workdir is None
        self._processes = []
        self.id = None

    # Set-up and tear-down ---------------------------------------------------

    def __enter__(self):
        self._install_signal_handlers()
        args = [NETNS, "up", "--owner", str(os.getpid())]
        if self.no_route:
            args.append("--no-route")
        result = subprocess.run(args, stdout=subprocess.PIPE, text=True)
        if result.returncode != 0:
            sys.exit(result.returncode if result.returncode == SKIP_CODE else 1)
        env = dict(line.split("=", 1) for line in result.stdout.splitlines() if "=" in line)
        self.id = env["NIMBREL_NET_ID"]
        self.ns_service = env["NIMBREL_NS_SERVICE"]
        self.ns_peer = env["NIMBREL_NS_PEER"] or None
        self.service_ip = env["NIMBREL_SERVICE_IP"] or None
        self.peer_ip = env["NIMBREL_PEER_IP"] or None
        self.service_ip6 = env["NIMBREL_SERVICE_IP6"] or None
        self.peer_ip6 = env["NIMBREL_PEER_IP6"] or None
        self.env = env
        Network._live.append(self)
        if self._workdir is None:
            import tempfile
            self._workdir = tempfile.mkdtemp(prefix="nimbrel-net-")
        return self

    def __exit__(self, *exc):
        self.close()
        return False

    def close(self):
        if self.id is None:
            return
        for p in self._processes:
            if p.poll() is None:
                p.terminate()
        for p in self._processes:
            try:
                p.wait(timeout=5)
            except subprocess.TimeoutExpired:
                p.kill()
                p.wait()
        subprocess.run([NETNS, "down", self.id])
        self.id = None
        if self in Network._live:
            Network._live.remove(self)
        if self._own_workdir and self._workdir:
            import shutil
            shutil.rmtree(self._workdir, ignore_errors=True)

    @classmethod
    def _close_all(cls):
        for net in list(cls._live):
            net.close()

    _handlers_installed = False

    @classmethod
    def _install_signal_handlers(cls):
        # A TERM (CTest time-out, CI cancel) must unwind through __exit__.
        if cls._handlers_installed:
            return
        cls._handlers_installed = True
        atexit.register(cls._close_all)

        def on_signal(signum, _frame):
            raise SystemExit(128 + signum)

        for sig in (signal.SIGTERM, signal.SIGHUP):
            signal.signal(sig, on_signal)

    # Running things ----------------------------------------------------------

    def _wrap(self, ns, cmd):
        if ns is None:
            raise RuntimeError("this network has no peer namespace (no_route)")
        return ["ip", "netns", "exec", ns] + [str(c) for c in cmd]

    def _env(self, extra):
        env = dict(os.environ)
        env.update(self.env)
        if extra:
            env.update(extra)
        return env

    def run(self, cmd, timeout=60, env=None, **kwargs):
        """Runs a command in the service namespace; returns subprocess.CompletedProcess."""
        kwargs.setdefault("text", True)
        return subprocess.run(self._wrap(self.ns_service, cmd), timeout=timeout,
                              env=self._env(env), **kwargs)

    def popen(self, cmd, env=None, **kwargs):
        """Starts a command in the service namespace; it is ended at tear-down."""
        p = subprocess.Popen(self._wrap(self.ns_service, cmd), env=self._env(env), **kwargs)
        self._processes.append(p)
        return p

    def start(self, cmd, env=None):
        """Starts a command in the service namespace with piped stdin and watched output."""
        p = self.popen(cmd, env=env, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                       stderr=subprocess.STDOUT, text=True, errors="replace")
        return Watched(p)

    def run_peer(self, cmd, timeout=60, env=None, **kwargs):
        """Runs a command in the peer namespace (a client reaching the service over the veth)."""
        kwargs.setdefault("text", True)
        return subprocess.run(self._wrap(self.ns_peer, cmd), timeout=timeout,
                              env=self._env(env), **kwargs)

    def popen_peer(self, cmd, env=None, **kwargs):
        p = subprocess.Popen(self._wrap(self.ns_peer, cmd), env=self._env(env), **kwargs)
        self._processes.append(p)
        return p

    def capture(self, port):
        """Starts capturing UDP datagrams to `port` in the peer namespace."""
        path = os.path.join(self._workdir, "udp-%d-%d.txt" % (port, len(self._processes)))
        p = self.popen_peer([sys.executable, os.path.abspath(__file__), "receive",
                             "--port", str(port), "--out", path])
        deadline = time.monotonic() + READY_TIMEOUT_S
        while not os.path.exists(path):
            if p.poll() is not None:
                raise RuntimeError("receiver on port %d exited with %d" % (port, p.returncode))
            if time.monotonic() >= deadline:
                raise RuntimeError("receiver on port %d did not start" % port)
            time.sleep(0.02)
        return Capture(port, path, p)


# Receiver ---------------------------------------------------------------------

def receive(port, out):
    sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    try:
        sock.setsockopt(socket.SOL_SOCKET, SO_RCVBUFFORCE, RECEIVE_BUFFER_BYTES)
    except OSError:
        sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, RECEIVE_BUFFER_BYTES)
    sock.setsockopt(socket.IPPROTO_IP, IP_PKTINFO, 1)
    sock.bind(("0.0.0.0", port))
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(0))
    # The file appears only once the socket is bound: its existence means ready.
    tmp = out + ".starting"
    f = open(tmp, "w", encoding="ascii")
    os.rename(tmp, out)
    cmsg_space = socket.CMSG_SPACE(12)
    while True:
        data, ancdata, _flags, addr = sock.recvmsg(65536, cmsg_space)
        dst = "?"
        for level, kind, value in ancdata:
            if level == socket.IPPROTO_IP and kind == IP_PKTINFO and len(value) >= 12:
                _ifindex, _spec_dst, header_dst = struct.unpack("i4s4s", value[:12])
                dst = socket.inet_ntoa(header_dst)
        # One write per line so a reader never sees half a datagram.
        f.write("%s %s:%d %s\n" % (dst, addr[0], addr[1], data.hex()))
        f.flush()


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    sub = parser.add_subparsers(dest="command", required=True)
    r = sub.add_parser("receive", help="write each UDP datagram on a port as a line: dst src hex")
    r.add_argument("--port", type=int, required=True)
    r.add_argument("--out", required=True)
    args = parser.parse_args(argv)
    if args.command == "receive":
        receive(args.port, args.out)


if __name__ == "__main__":
    main(sys.argv[1:])
