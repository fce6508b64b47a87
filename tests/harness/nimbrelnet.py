"""Private test network for tests that send broadcasts or run the service.

A service namespace and a peer namespace joined by one veth pair: a datagram
to 255.255.255.255 reaches the peer and nothing else. Datagrams are captured on
the peer side; everything is removed again, also after a failure or TERM.
`nimbrelnet.py run [--capture PORT]... -- command...` runs a command in the
service namespace with NIMBREL_NS_SERVICE and NIMBREL_CAPTURE_DIR
(udp-PORT.txt: "dst src hex" lines) set, and exits with its status.
"""

import collections
import os
import random
import shutil
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import time

SKIP_CODE = 77
PREFIX = "nimbrel-"
# Python starts and binds in well under this even on a loaded CI machine.
READY_TIMEOUT_S = 10.0
# Room for a burst of small datagrams while the receiver is descheduled.
RECEIVE_BUFFER_BYTES = 8 * 1024 * 1024
SO_RCVBUFFORCE, IP_PKTINFO = 33, 8  # Linux values; older Python versions do not name them
# Empty tmpfs mounts on /var/log and /var/lib, with a folder of the test bound
# onto the service's log folder, so a test never touches the machine's.
ISOLATE = """set -e
mount -t tmpfs -o mode=0755 nimbrel-test-log /var/log
mount -t tmpfs -o mode=0755 nimbrel-test-lib /var/lib
mkdir /var/log/calvexa
mount --bind "$1" /var/log/calvexa
shift
exec "$@"
"""
Datagram = collections.namedtuple("Datagram", "data src dst")


def require():
    """Exits with the skip code, or 1 under CI=true, when namespaces cannot be made."""
    reason = ("not running as root" if os.geteuid() != 0 else "the 'ip' command is missing" if not shutil.which("ip")
              else "unshare --net is not permitted" if subprocess.run(["unshare", "--net", "true"]).returncode
              else None)
    if reason:
        ci = os.environ.get("CI") == "true"
        print(f"nimbrelnet: cannot create network namespaces: {reason}{' (CI=true: a failure)' if ci else ''}",
              file=sys.stderr)
        sys.exit(1 if ci else SKIP_CODE)


def isolated(cmd, log_dir):
    """Wraps a command into a private mount namespace with its own /var/log and /var/lib."""
    return (["unshare", "--mount", "--propagation", "private", "--", "bash", "-c", ISOLATE, "isolated",
             os.path.abspath(log_dir)] + [str(c) for c in cmd])


def ip(*args):
    subprocess.run(["ip"] + list(args), check=True)


def namespaces():
    out = subprocess.run(["ip", "netns", "list"], stdout=subprocess.PIPE, text=True).stdout
    return {line.split()[0] for line in out.splitlines() if line.strip()}


def remove_namespace(ns):
    for pid in subprocess.run(["ip", "netns", "pids", ns], stdout=subprocess.PIPE, text=True).stdout.split():
        try:
            os.kill(int(pid), signal.SIGKILL)
        except ProcessLookupError:
            pass
    subprocess.run(["ip", "netns", "del", ns], stderr=subprocess.DEVNULL)


def poll(ready, timeout):
    """Calls `ready` until it is true or the time is up; its last result."""
    deadline = time.monotonic() + timeout
    while not (result := ready()) and time.monotonic() < deadline:
        time.sleep(0.02)
    return result


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
        poll(lambda: len(self.datagrams()) >= count, timeout)
        return self.datagrams()


class Network:
    """Owns one pair of namespaces for the duration of a `with` block."""

    def __init__(self):
        self._processes, self.workdir = [], None

    def __enter__(self):
        # A TERM (CTest time-out, CI cancel) must unwind through __exit__.
        for sig in (signal.SIGTERM, signal.SIGHUP):
            signal.signal(sig, lambda signum, _: sys.exit(128 + signum))
        name = "%s%dx%06x-" % (PREFIX, os.getpid(), random.getrandbits(24))
        self.ns_service, self.ns_peer = name + "svc", name + "peer"
        n = os.getpid() % 250 + 1  # only eases reading captures of parallel runs
        self.service_ip, self.peer_ip = "10.203.%d.1" % n, "10.203.%d.2" % n
        self.workdir = tempfile.mkdtemp(prefix="nimbrel-net-")
        try:
            for ns in (self.ns_service, self.ns_peer):
                ip("netns", "add", ns)
                ip("-n", ns, "link", "set", "lo", "up")
            ip("link", "add", "veth0", "netns", self.ns_service, "type", "veth", "peer", "name", "veth0", "netns",
               self.ns_peer)
            for ns, address in ((self.ns_service, self.service_ip), (self.ns_peer, self.peer_ip)):
                ip("-n", ns, "addr", "add", address + "/30", "dev", "veth0")
                ip("-n", ns, "link", "set", "veth0", "up")
            ip("-n", self.ns_service, "route", "add", "default", "via", self.peer_ip, "dev", "veth0")
        except BaseException:
            self.close()
            raise
        return self

    def __exit__(self, *exc):
        self.close()

    def close(self):
        if self.workdir is None:
            return  # never opened, or closed already
        for p in self._processes:
            p.kill()
            p.wait()
        for ns in {self.ns_service, self.ns_peer} & namespaces():
            remove_namespace(ns)
        shutil.rmtree(self.workdir, ignore_errors=True)
        self.workdir = None

    def _wrap(self, peer, cmd):
        return ["ip", "netns", "exec", self.ns_peer if peer else self.ns_service] + [str(c) for c in cmd]

    def run(self, cmd, timeout=60, env=None, peer=False, **kwargs):
        """Runs a command in the service (or peer) namespace; a CompletedProcess."""
        kwargs.setdefault("text", True)
        return subprocess.run(self._wrap(peer, cmd), timeout=timeout, env=dict(os.environ, **(env or {})), **kwargs)

    def popen(self, cmd, env=None, peer=False, **kwargs):
        """Starts a command in the service (or peer) namespace; it is ended at tear-down."""
        self._processes.append(subprocess.Popen(self._wrap(peer, cmd), env=dict(os.environ, **(env or {})), **kwargs))
        return self._processes[-1]

    def capture(self, port):
        """Starts capturing UDP datagrams to `port` in the peer namespace."""
        path = os.path.join(self.workdir, "udp-%d.txt" % port)
        p = self.popen([sys.executable, os.path.abspath(__file__), "receive", str(port), path], peer=True)
        if not poll(lambda: os.path.exists(path) or p.poll() is not None, READY_TIMEOUT_S) or not os.path.exists(path):
            raise RuntimeError("receiver on port %d did not start" % port)
        return Capture(path)


def receive(port, out):
    sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    sock.setsockopt(socket.SOL_SOCKET, SO_RCVBUFFORCE, RECEIVE_BUFFER_BYTES)
    sock.setsockopt(socket.IPPROTO_IP, IP_PKTINFO, 1)
    sock.bind(("0.0.0.0", port))
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(0))
    # The file appears only once the socket is bound: its existence means ready.
    f = open(out + ".starting", "w", encoding="ascii")
    os.rename(out + ".starting", out)
    while True:
        data, ancdata, _flags, addr = sock.recvmsg(65536, socket.CMSG_SPACE(12))
        dst = socket.inet_ntoa(struct.unpack("i4s4s", ancdata[0][2][:12])[2]) if ancdata else "?"
        # One write per line so that a reader never sees half a datagram.
        f.write("%s %s:%d %s\n" % (dst, addr[0], addr[1], data.hex()))
        f.flush()


def main(argv):
    if argv[0] == "receive":
        receive(int(argv[1]), argv[2])
    ports = []
    argv = argv[1:]  # "run"
    while argv[0] == "--capture":
        ports.append(int(argv[1]))
        argv = argv[2:]
    require()
    with Network() as net:
        for port in ports:
            net.capture(port)
        env = {"NIMBREL_NS_SERVICE": net.ns_service, "NIMBREL_CAPTURE_DIR": net.workdir}
        rc = net.run(argv[argv[:1] == ["--"]:], timeout=None, env=env).returncode
        time.sleep(0.2 if ports else 0)  # datagrams cross the veth at once; this covers scheduling
    sys.exit(rc)


if __name__ == "__main__":
    main(sys.argv[1:])
