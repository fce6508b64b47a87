"""Private test network for tests that send broadcasts or run the service.

A service namespace and a peer namespace joined by one veth pair (or, with
no_route, a service namespace holding only `lo`), so a datagram to
255.255.255.255 reaches the peer and nothing else. UDP datagrams are captured
on the peer side; everything is removed again, also after a failure or TERM.

    nimbrelnet.require()                      # exit 77, or 1 under CI=true, when not possible
    with nimbrelnet.Network() as net:
        cap = net.capture(9)                  # bound before this returns
        net.run([probe], check=True)
        packets = cap.wait(count=1)           # [Datagram(data, src, dst), ...]

As a program: `nimbrelnet.py run [--capture PORT]... -- command...` runs a
command in the service namespace with NIMBREL_NS_SERVICE and
NIMBREL_CAPTURE_DIR (udp-PORT.txt: "dst src hex" lines) set, and exits with
its status.
"""

import argparse
import os
import random
import shutil
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import threading
import time

SKIP_CODE = 77
PREFIX = "nimbrel-"
# Python starts and binds in well under this even on a loaded CI machine.
READY_TIMEOUT_S = 10.0
# Room for a burst of small datagrams while the receiver is descheduled.
RECEIVE_BUFFER_BYTES = 8 * 1024 * 1024
IP_PKTINFO = getattr(socket, "IP_PKTINFO", 8)
SO_RCVBUFFORCE = getattr(socket, "SO_RCVBUFFORCE", 33)


def refuse(reason):
    print("nimbrelnet: cannot create network namespaces: " + reason, file=sys.stderr)
    if os.environ.get("CI") == "true":
        print("nimbrelnet: CI=true, so this is a failure, not a skip", file=sys.stderr)
        sys.exit(1)
    sys.exit(SKIP_CODE)


def require():
    if os.geteuid() != 0:
        refuse("not running as root")
    if not shutil.which("ip"):
        refuse("the 'ip' command (iproute2) is missing")
    if subprocess.run(["unshare", "--net", "true"], stderr=subprocess.DEVNULL).returncode != 0:
        refuse("unshare --net is not permitted here")


# Empty tmpfs mounts on /var/log and /var/lib, optionally with a folder of the
# test bound onto the service's own subfolder, so a test never touches the machine's.
ISOLATE = """set -e
mount -t tmpfs -o mode=0755 nimbrel-test-log /var/log
mount -t tmpfs -o mode=0755 nimbrel-test-lib /var/lib
if [ -n "$1" ]; then mkdir /var/log/calvexa; mount --bind "$1" /var/log/calvexa; fi
if [ -n "$2" ]; then mkdir /var/lib/calvexa; mount --bind "$2" /var/lib/calvexa; fi
shift 2
exec "$@"
"""


def isolated(cmd, log_dir=None, lib_dir=None):
    """Wraps a command into a private mount namespace with its own /var/log and /var/lib."""
    return (["unshare", "--mount", "--propagation", "private", "--", "bash", "-c", ISOLATE, "isolated",
             os.path.abspath(log_dir) if log_dir else "", os.path.abspath(lib_dir) if lib_dir else ""]
            + [str(c) for c in cmd])


def ip(*args):
    subprocess.run(["ip"] + list(args), check=True)


def namespaces():
    out = subprocess.run(["ip", "netns", "list"], stdout=subprocess.PIPE, text=True).stdout
    return {line.split()[0] for line in out.splitlines() if line.strip()}


def remove_namespace(ns):
    pids = subprocess.run(["ip", "netns", "pids", ns], stdout=subprocess.PIPE, text=True).stdout.split()
    for pid in pids:
        try:
            os.kill(int(pid), signal.SIGKILL)
        except ProcessLookupError:
            pass
    subprocess.run(["ip", "netns", "del", ns], stderr=subprocess.DEVNULL)


def reap():
    """Namespaces of runs killed outright (SIGKILL skips every clean-up)."""
    for ns in namespaces():
        if ns.startswith(PREFIX):
            try:
                os.kill(int(ns.split("-")[1].split("x")[0]), 0)
            except ProcessLookupError:
                remove_namespace(ns)
            except ValueError:
                pass


class Datagram:
    __slots__ = ("data", "src", "dst")

    def __init__(self, data, src, dst):
        self.data, self.src, self.dst = data, src, dst

    def __repr__(self):
        return "Datagram(%s -> %s: %s)" % (self.src, self.dst, self.data.hex())


class Capture:
    """Datagrams arriving on one UDP port in the peer namespace."""

    def __init__(self, path):
        self.path = path

    def datagrams(self):
        with open(self.path, encoding="ascii") as f:
            lines = f.read().split("\n")[:-1]  # a line still being written is left out
        return [Datagram(bytes.fromhex(p), s, d) for d, s, p in (line.split(" ") for line in lines)]

    def wait(self, count, timeout=5.0):
        """Once `count` datagrams have arrived, or what arrived by the time limit."""
        deadline = time.monotonic() + timeout
        while len(self.datagrams()) < count and time.monotonic() < deadline:
            time.sleep(0.02)
        return self.datagrams()

    def quiet(self, seconds=0.3):
        """All datagrams, after waiting long enough for stray ones to arrive."""
        time.sleep(seconds)
        return self.datagrams()


class Watched:
    """A started process whose merged output lines are collected as they come."""

    def __init__(self, process):
        self.process = process
        self._lines = []
        self._ended = False
        self._cond = threading.Condition()
        self._thread = threading.Thread(target=self._read, daemon=True)
        self._thread.start()

    def _read(self):
        for line in self.process.stdout:
            with self._cond:
                self._lines.append(line.rstrip("\n"))
                self._cond.notify_all()
        with self._cond:
            self._ended = True
            self._cond.notify_all()

    def lines(self):
        with self._cond:
            return list(self._lines)

    def wait_for(self, text, timeout=10.0):
        """The first line containing `text`; None when the output ended or time ran out without it."""
        deadline = time.monotonic() + timeout
        with self._cond:
            while True:
                found = next((line for line in self._lines if text in line), None)
                remaining = deadline - time.monotonic()
                if found is not None or self._ended or remaining <= 0:
                    return found
                self._cond.wait(remaining)

    def finish(self, stdin_text="\n", timeout=10.0):
        """Writes to stdin, closes it and waits; the exit status."""
        try:
            self.process.stdin.write(stdin_text)
            self.process.stdin.close()
        except (BrokenPipeError, ValueError):
            pass
        rc = self.process.wait(timeout=timeout)
        self._thread.join(timeout)
        self.process.stdout.close()
        return rc


class Network:
    """Owns one pair of namespaces for the duration of a `with` block."""

    _live = []

    def __init__(self, no_route=False):
        self.no_route = no_route
        self._processes = []
        self.ns_service = None

    def __enter__(self):
        if not Network._live:
            # A TERM (CTest time-out, CI cancel) must unwind through __exit__.
            for sig in (signal.SIGTERM, signal.SIGHUP):
                signal.signal(sig, lambda signum, _: sys.exit(128 + signum))
        reap()
        net_id = "%dx%06x" % (os.getpid(), random.getrandbits(24))
        self.ns_service, self.ns_peer = PREFIX + net_id + "-svc", None
        self.service_ip = self.peer_ip = self.service_ip6 = self.peer_ip6 = None
        self.workdir = tempfile.mkdtemp(prefix="nimbrel-net-")
        Network._live.append(self)
        try:
            ip("netns", "add", self.ns_service)
            ip("-n", self.ns_service, "link", "set", "lo", "up")
            if not self.no_route:
                self._link(net_id)
        except BaseException:
            self.close()
            raise
        return self

    def _link(self, net_id):
        n = os.getpid() % 250 + 1  # only eases reading captures of parallel runs
        svc, self.ns_peer = self.ns_service, PREFIX + net_id + "-peer"
        self.service_ip, self.peer_ip = "10.203.%d.1" % n, "10.203.%d.2" % n
        self.service_ip6, self.peer_ip6 = "2001:db8:203:%d::1" % n, "2001:db8:203:%d::2" % n
        ip("netns", "add", self.ns_peer)
        ip("-n", self.ns_peer, "link", "set", "lo", "up")
        ip("link", "add", "veth0", "netns", svc, "type", "veth", "peer", "name", "veth0", "netns", self.ns_peer)
        for ns, v4, v6 in ((svc, self.service_ip, self.service_ip6), (self.ns_peer, self.peer_ip, self.peer_ip6)):
            ip("-n", ns, "addr", "add", v4 + "/30", "dev", "veth0")
            ip("-n", ns, "-6", "addr", "add", v6 + "/64", "dev", "veth0", "nodad")
            ip("-n", ns, "link", "set", "veth0", "up")
        ip("-n", svc, "route", "add", "default", "via", self.peer_ip, "dev", "veth0")
        ip("-n", svc, "-6", "route", "add", "default", "via", self.peer_ip6, "dev", "veth0")

    def __exit__(self, *exc):
        self.close()
        return False

    def close(self):
        if self not in Network._live:
            return
        Network._live.remove(self)
        for p in self._processes:
            if p.poll() is None:
                p.terminate()
        for p in self._processes:
            try:
                p.wait(timeout=5)
            except subprocess.TimeoutExpired:
                p.kill()
                p.wait()
        for ns in (self.ns_service, self.ns_peer):
            if ns in namespaces():
                remove_namespace(ns)
        shutil.rmtree(self.workdir, ignore_errors=True)

    def env(self, extra=None):
        return dict(os.environ, NIMBREL_NS_SERVICE=self.ns_service, **(extra or {}))

    def _wrap(self, ns, cmd):
        if ns is None:
            raise RuntimeError("this network has no peer namespace (no_route)")
        return ["ip", "netns", "exec", ns] + [str(c) for c in cmd]

    def run(self, cmd, timeout=60, env=None, peer=False, **kwargs):
        """Runs a command in the service (or peer) namespace; a CompletedProcess."""
        kwargs.setdefault("text", True)
        return subprocess.run(self._wrap(self.ns_peer if peer else self.ns_service, cmd), timeout=timeout,
                              env=self.env(env), **kwargs)

    def popen(self, cmd, env=None, peer=False, **kwargs):
        """Starts a command in the service (or peer) namespace; it is ended at tear-down."""
        p = subprocess.Popen(self._wrap(self.ns_peer if peer else self.ns_service, cmd), env=self.env(env), **kwargs)
        self._processes.append(p)
        return p

    def start(self, cmd, env=None):
        """Starts a command in the service namespace with piped stdin and watched output."""
        return Watched(self.popen(cmd, env=env, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                  stderr=subprocess.STDOUT, text=True, errors="replace"))

    def capture(self, port):
        """Starts capturing UDP datagrams to `port` in the peer namespace."""
        path = os.path.join(self.workdir, "udp-%d.txt" % port)
        p = self.popen([sys.executable, os.path.abspath(__file__), "receive", str(port), path], peer=True)
        deadline = time.monotonic() + READY_TIMEOUT_S
        while not os.path.exists(path):
            if p.poll() is not None or time.monotonic() >= deadline:
                raise RuntimeError("receiver on port %d did not start" % port)
            time.sleep(0.02)
        return Capture(path)


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
    f = open(out + ".starting", "w", encoding="ascii")
    os.rename(out + ".starting", out)
    while True:
        data, ancdata, _flags, addr = sock.recvmsg(65536, socket.CMSG_SPACE(12))
        dst = "?"
        for level, kind, value in ancdata:
            if level == socket.IPPROTO_IP and kind == IP_PKTINFO:
                dst = socket.inet_ntoa(struct.unpack("i4s4s", value[:12])[2])
        # One write per line so that a reader never sees half a datagram.
        f.write("%s %s:%d %s\n" % (dst, addr[0], addr[1], data.hex()))
        f.flush()


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    sub = parser.add_subparsers(dest="command", required=True)
    r = sub.add_parser("receive")
    r.add_argument("port", type=int)
    r.add_argument("out")
    run = sub.add_parser("run")
    run.add_argument("--capture", type=int, action="append", default=[])
    run.add_argument("cmd", nargs=argparse.REMAINDER)
    args = parser.parse_args(argv)
    if args.command == "receive":
        return receive(args.port, args.out)
    require()
    cmd = args.cmd[1:] if args.cmd[:1] == ["--"] else args.cmd
    with Network() as net:
        for port in args.capture:
            net.capture(port)
        rc = net.run(cmd, timeout=None, env={"NIMBREL_CAPTURE_DIR": net.workdir}).returncode
        if args.capture:
            time.sleep(0.2)  # datagrams cross the veth at once; this only covers scheduling
    sys.exit(rc)


if __name__ == "__main__":
    main(sys.argv[1:])
