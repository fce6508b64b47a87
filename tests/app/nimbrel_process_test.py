#!/usr/bin/env python3
"""What a user of the nimbrel executable sees: options, files, logs and exit codes.

Usage: nimbrel_process_test.py <nimbrel> <isolated> [test names]

Every run goes through tests/support/isolated (private /var/log and /var/lib)
and a private network namespace holding only `lo`, with XDG_CONFIG_HOME and
XDG_DATA_HOME in a scratch folder, so the machine's own files and network are
never touched. A run that comes up is shown to serve TLS, then stopped with
SIGTERM. Configuration folders are seeded with a throw-away certificate so the
service only checks it instead of generating its own 4096-bit key.

The cases run concurrently: each one mostly waits for the service's fixed
pause after a stop signal, so they overlap well even on two cores.
"""
import concurrent.futures
import io
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import unittest

NIMBREL = None
ISOLATED = None
# Folder holding the throw-away NimbrelCert.pem and NimbrelKey.pem of this run.
IDENTITY = None

HELP = (
    "Nimbrel options:\n"
    "  -h [ --help ]          print help\n"
    "  -v [ --version ]       print version\n"
    "  -p [ --port ] arg (=0) specify the https port\n"
    "  -c [ --cert ] arg      external certificate file in pem format\n"
    "  -k [ --key ] arg       external private key file in pem format\n"
    "  -a [ --chain ] arg     external chain file in pem format\n"
    "  -l [ --loglevel ] arg  sets the loglevel, possible values are: 'trace', \n"
    "                         'debug', 'info', 'warn', 'error', 'fatal' and 'off'.\n"
    "\n"
)

PATTERN = "%d{%Y.%m.%d %H:%M:%S.%q} %-15.15c %-5.5p - %m%n"


def appender(name, enabled, extra=""):
    return (
        f"            <{name}>\n"
        "                <layout>log4cplus::PatternLayout</layout>\n"
        f"                <conversationPattern>{PATTERN}</conversationPattern>\n"
        f"                <enabled>{enabled}</enabled>\n"
        f"{extra}"
        f"            </{name}>\n"
    )


def config_text(server_keys, last_updated, later_keys=(), log_level="20000", console="true", file_enabled="false",
                rolling_enabled="false", daily_enabled="false", file_name="Calvexa.log", rolling_name=None,
                daily_name=None):
    """The configuration file exactly as the service writes it."""
    keys = "".join(f"    <{k}>{v}</{k}>\n" for k, v in server_keys)
    later = "".join(f"    <{k}>{v}</{k}>\n" for k, v in later_keys)
    rolling_name = rolling_name or file_name
    daily_name = daily_name or file_name
    return (
        '<?xml version="1.0" encoding="utf-8"?>\n'
        '<server version="1">\n'
        f"{keys}"
        f"    <lastUpdated>{last_updated}</lastUpdated>\n"
        f"{later}"
        "    <config>\n"
        "        <logging>\n"
        f"            <logLevel>{log_level}</logLevel>\n"
        + appender("console", console)
        + appender("dailyrollingfile", daily_enabled,
                   f"                <filename>{daily_name}</filename>\n"
                   "                <maxBackupIndex>10</maxBackupIndex>\n"
                   "                <schedule>3</schedule>\n")
        + appender("file", file_enabled, f"                <filename>{file_name}</filename>\n")
        + appender("rollingfile", rolling_enabled,
                   f"                <filename>{rolling_name}</filename>\n"
                   "                <maxBackupIndex>10</maxBackupIndex>\n"
                   "                <maxFileSize>10485760</maxFileSize>\n")
        + appender("win32debug", "false")
        + "        </logging>\n"
        "    </config>\n"
        "</server>\n"
    )


DEFAULT_KEYS = [("port", "1444"), ("wolPort", "9")]
LOG_LINE = re.compile(r"^\d{4}\.\d\d\.\d\d \d\d:\d\d:\d\d\.\d{3} (.{15}) (.{5}) - (.*)$")
CERT_FILES = ("NimbrelCert.pem", "NimbrelKey.pem")
STOPPED_BY_SIGNAL = "The interrupt signal is (15)."

# Start, handshake and the 2 s stop pause take about 2.5 s; a loaded 2-core machine may be far slower.
RUN_TIMEOUT = 60
# One handshake against a listening service; generous for a busy machine.
HANDSHAKE_TIMEOUT = 15
POLL_SECONDS = 0.02
# Cases in flight at once; they are mostly asleep, so this need not follow the core count.
PARALLEL_CASES = 8
LISTEN_STATE = "0A"

# Runs inside the service's network namespace: a full TLS handshake, nothing else.
HANDSHAKE = """
import socket, ssl, sys
ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT)
ctx.check_hostname = False
ctx.verify_mode = ssl.CERT_NONE
with socket.create_connection((sys.argv[1], int(sys.argv[2])), timeout=float(sys.argv[3])) as s:
    with ctx.wrap_socket(s) as tls:
        print(tls.version())
"""


def make_identity(folder):
    """A throw-away self-signed pair, made once per run (2048 bits: cheap, and only checked)."""
    subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2",
                    "-subj", "/CN=nimbrel-test", "-keyout", os.path.join(folder, "NimbrelKey.pem"),
                    "-out", os.path.join(folder, "NimbrelCert.pem")],
                   check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    os.chmod(os.path.join(folder, "NimbrelKey.pem"), 0o600)


def listening_endpoint(pid):
    """(loopback address, port) the nimbrel process `pid` listens on in its own namespace, or None.

    Only a process that already is nimbrel and sits in another network namespace
    than ours counts, so a listener of the machine itself is never mistaken for it.
    """
    try:
        with open(f"/proc/{pid}/comm") as f:
            if f.read().strip() != "nimbrel":
                return None
        if os.readlink(f"/proc/{pid}/ns/net") == os.readlink("/proc/self/ns/net"):
            return None
        for table, host in (("tcp6", "::1"), ("tcp", "127.0.0.1")):
            with open(f"/proc/{pid}/net/{table}") as f:
                for line in f.readlines()[1:]:
                    fields = line.split()
                    if fields[3] == LISTEN_STATE:
                        return host, int(fields[1].rsplit(":", 1)[1], 16)
    except (OSError, IndexError, ValueError):
        pass
    return None


def serves_tls(pid, host, port):
    """True once a TLS handshake with the service succeeds from inside its namespace."""
    cmd = ["nsenter", f"--net=/proc/{pid}/ns/net", "--", sys.executable, "-c", HANDSHAKE,
           host, str(port), str(HANDSHAKE_TIMEOUT)]
    try:
        return subprocess.run(cmd, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                              timeout=HANDSHAKE_TIMEOUT + 5).returncode == 0
    except subprocess.TimeoutExpired:
        return False


class Result:
    def __init__(self, code, out, err, served):
        # served: a TLS handshake succeeded and the service was then sent SIGTERM.
        self.code, self.out, self.err, self.served = code, out, err, served

    def log_lines(self):
        """(logger, level, message) of every console log line."""
        lines = []
        for line in self.out.splitlines():
            m = LOG_LINE.match(line)
            if m:
                lines.append((m.group(1).strip(), m.group(2).strip(), m.group(3)))
        return lines

    def messages(self, level=None):
        return [msg for _, lvl, msg in self.log_lines() if level is None or lvl == level]


class NimbrelProcessTest(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.mkdtemp(prefix="nimbrel-e2e-")
        self.cfg_home = self.path("xdg-config")
        self.data_home = self.path("xdg-data")
        self.log_dir = self.path("log")
        self.lib_dir = self.path("lib")
        self.results = self.path("results")
        for d in (self.cfg_home, self.data_home, self.log_dir, self.lib_dir, self.results):
            os.makedirs(d)
        self.cfg_file = os.path.join(self.cfg_home, "config", "Nimbrel.cfg")

    def tearDown(self):
        shutil.rmtree(self.tmp, ignore_errors=True)

    def path(self, *parts):
        return os.path.join(self.tmp, *parts)

    def env(self, **extra):
        env = {k: v for k, v in os.environ.items() if k not in ("SNAP_DATA", "XDG_CONFIG_HOME", "XDG_DATA_HOME")}
        env.update(XDG_CONFIG_HOME=self.cfg_home, XDG_DATA_HOME=self.data_home, RESULTS=self.results,
                   IDENTITY=IDENTITY)
        for k, v in extra.items():
            if v is None:
                env.pop(k, None)
            else:
                env[k] = v
        return env

    def seed_certificate(self, config_dir=None):
        """Puts the throw-away pair where nimbrel looks for its own certificate."""
        config_dir = config_dir or os.path.dirname(self.cfg_file)
        os.makedirs(config_dir, exist_ok=True)
        for name in CERT_FILES:
            shutil.copy(os.path.join(IDENTITY, name), config_dir)
        os.chmod(os.path.join(config_dir, "NimbrelKey.pem"), 0o600)

    def run_nimbrel(self, *args, env=None, script='exec "$@"', log_dir=True, lib_dir=False, cwd=None):
        """Runs nimbrel; once it serves TLS it is stopped with SIGTERM.

        A script that keeps nimbrel as its child instead of exec-ing it writes
        the child's pid to $RESULTS/nimbrel.pid.
        """
        cmd = [ISOLATED]
        if log_dir:
            cmd += ["--log-dir", self.log_dir]
        if lib_dir:
            cmd += ["--lib-dir", self.lib_dir]
        # The namespace's lo starts down; the handshake needs it.
        script = "ip link set lo up || exit 97\n" + script
        cmd += ["--", "unshare", "--net", "--", "bash", "-c", script, "nimbrel-test", NIMBREL, *args]
        pid_file = os.path.join(self.results, "nimbrel.pid")
        with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
            proc = subprocess.Popen(cmd, stdout=out, stderr=err, env=env or self.env(), cwd=cwd or self.tmp,
                                    start_new_session=True)
            deadline = time.monotonic() + RUN_TIMEOUT
            served = False
            try:
                while proc.poll() is None:
                    if time.monotonic() > deadline:
                        self.fail("nimbrel did not end")
                    if not served:
                        pid = self.service_pid(proc, pid_file)
                        endpoint = pid and listening_endpoint(pid)
                        if endpoint and serves_tls(pid, *endpoint) and proc.poll() is None:
                            os.kill(pid, signal.SIGTERM)
                            served = True
                    time.sleep(POLL_SECONDS)
            finally:
                if proc.poll() is None:
                    os.killpg(proc.pid, signal.SIGKILL)
                    proc.wait()
            out.seek(0)
            err.seek(0)
            return Result(proc.returncode, out.read().decode(), err.read().decode(), served)

    @staticmethod
    def service_pid(proc, pid_file):
        try:
            with open(pid_file) as f:
                return int(f.read())
        except FileNotFoundError:
            return proc.pid  # isolated, unshare and bash exec into nimbrel
        except ValueError:
            return None  # still being written

    def read(self, path):
        with open(path, "rb") as f:
            return f.read()

    def write_config(self, text):
        os.makedirs(os.path.dirname(self.cfg_file), exist_ok=True)
        with open(self.cfg_file, "w") as f:
            f.write(text)

    def assert_served_and_stopped(self, result, log=None):
        """The service came up, served TLS and ended cleanly on SIGTERM.

        log: the text where its INFO lines went, when not the console; False when
        the configured level hides them.
        """
        self.assertTrue(result.served, result.out + result.err)
        self.assertEqual(result.code, 0, result.out + result.err)
        if log is False:
            return
        log = result if log is None else Result(None, log, "", False)
        self.assertEqual(log.messages("INFO").count(STOPPED_BY_SIGNAL), 1, log.out)
        self.assertIn("Wake On Lan Proxy server stopping ...", log.messages("INFO"), log.out)

    # Options

    def test_help_prints_options_and_creates_nothing(self):
        script = 'set -e; "$@"; test ! -e /var/log/calvexa; test ! -e /var/lib/calvexa'
        for args in (["--help"], ["-h", "-p", "8443", "-l", "debug"], ["-v", "--help"]):
            result = self.run_nimbrel(*args, script=script, log_dir=False)
            self.assertEqual(result.code, 0, result.err)
            self.assertEqual(result.out, HELP)
            self.assertEqual(result.err, "")
        self.assertEqual(os.listdir(self.cfg_home), [])
        self.assertEqual(os.listdir(self.data_home), [])

    def test_version_line(self):
        result = self.run_nimbrel("--version", "-p", "1")
        self.assertEqual(result.code, 0)
        self.assertRegex(result.out, r"^Nimbrel 1\.3\.1482\.0 \(commit [0-9a-f]{8} \)\n$")
        self.assertEqual(os.listdir(self.cfg_home), [])

    def test_option_errors_print_the_library_message_and_help(self):
        cases = [
            (["--bogus"], "unrecognised option '--bogus'\n"),
            (["-p", "70000"], "the argument ('70000') for option '--port' is invalid\n"),
            (["--port=-1"], "the argument ('-1') for option '--port' is invalid\n"),
            (["-p", "abc"], "the argument ('abc') for option '--port' is invalid\n"),
            (["-l"], "the required argument for option '--loglevel' is missing\n"),
        ]
        for args, error in cases:
            with self.subTest(args=args):
                result = self.run_nimbrel(*args)
                self.assertEqual(result.code, 1)
                self.assertEqual(result.err, error)
                self.assertEqual(result.out, HELP)
        self.assertEqual(os.listdir(self.cfg_home), [])

    def test_unknown_log_level_runs_at_info(self):
        self.seed_certificate()
        result = self.run_nimbrel("-l", "verbose")
        self.assertTrue(result.out.startswith(
            "\ncould not parse loglevel value 'verbose'. Assuming loglevel info.\n"), result.out)
        self.assertTrue(any(m.startswith("Nimbrel 1.3.1482.0 (") for m in result.messages("INFO")), result.out)
        self.assertEqual(result.messages("DEBUG"), [])
        self.assert_served_and_stopped(result)

    # Configuration file

    def test_first_start_writes_the_default_configuration(self):
        self.seed_certificate()
        result = self.run_nimbrel()
        self.assert_served_and_stopped(result)
        text = self.read(self.cfg_file).decode()
        stamp = re.search(r"<lastUpdated>(\d+)</lastUpdated>", text)
        self.assertIsNotNone(stamp, text)
        self.assertLess(abs(int(stamp.group(1)) - time.time()), 120)
        self.assertEqual(text, config_text(DEFAULT_KEYS, stamp.group(1)))
        self.assertTrue(os.path.isdir(os.path.join(self.data_home, "data")))
        self.assertEqual(sorted(os.listdir(self.cfg_home)), ["config"])
        # An existing pair is only checked, never replaced.
        self.assertEqual(sorted(os.listdir(os.path.dirname(self.cfg_file))), ["Nimbrel.cfg", *CERT_FILES])
        for name in CERT_FILES:
            self.assertEqual(self.read(os.path.join(self.cfg_home, "config", name)),
                             self.read(os.path.join(IDENTITY, name)))

        banner = [l for l in result.out.splitlines() if "Running on" in l]
        self.assertEqual(len(banner), 1, result.out)
        self.assertRegex(banner[0], r"^\d{4}\.\d\d\.\d\d \d\d:\d\d:\d\d\.\d{3} appcontext      INFO  - "
                                    r"Nimbrel 1\.3\.1482\.0 \([0-9a-f]{8}\) Running on \S.*$")
        info = result.messages("INFO")
        self.assertIn("Https server starting on port '1444' ...", info)
        self.assertIn("TLS 1.3  enabled", info)
        self.assertEqual(result.err, "")

    def test_second_start_keeps_changed_settings(self):
        self.seed_certificate()
        self.write_config(config_text([("port", "8443"), ("wolPort", "4009"), ("enableTLSv1_2", "false"),
                                       ("httpMaxHeaderSize", "8192")], "1000", log_level="30000"))
        for _ in range(2):
            result = self.run_nimbrel()
            # Only warnings and above at level 30000.
            self.assert_served_and_stopped(result, log=False)
            self.assertEqual(result.messages("INFO"), [])
            text = self.read(self.cfg_file).decode()
            stamp = re.search(r"<lastUpdated>(\d+)</lastUpdated>", text).group(1)
            self.assertNotEqual(stamp, "1000")
            self.assertEqual(text, config_text([("port", "8443"), ("wolPort", "4009")], stamp,
                                               [("httpMaxHeaderSize", "8192"), ("enableTLSv1_2", "false")],
                                               log_level="30000"))

    def test_command_line_level_applies_to_this_run_only(self):
        self.seed_certificate()
        self.write_config(config_text(DEFAULT_KEYS, "1000", console="false"))
        result = self.run_nimbrel("-l", "DEBUG")
        self.assert_served_and_stopped(result)
        debug = result.messages("DEBUG")
        self.assertIn(f"Config directory:     {self.cfg_home}/config/", debug)
        self.assertIn(f"Sysconfig directory:  {self.cfg_home}/", debug)
        self.assertIn(f"Data directory:       {self.data_home}/data/", debug)
        self.assertIn("Log directory:        /var/log/calvexa/", debug)
        self.assertIn("Using http read limitation: true", debug)
        text = self.read(self.cfg_file).decode()
        stamp = re.search(r"<lastUpdated>(\d+)</lastUpdated>", text).group(1)
        self.assertEqual(text, config_text(DEFAULT_KEYS, stamp, console="false"))

        # Next start without the option: the file's level and console switch rule again.
        result = self.run_nimbrel()
        self.assert_served_and_stopped(result, log=False)
        self.assertEqual(result.log_lines(), [])

    def test_unreadable_port_stops_the_start_and_keeps_the_file(self):
        original = config_text([("port", "abc"), ("wolPort", "9")], "1000").encode()
        self.write_config(original.decode())
        result = self.run_nimbrel()
        self.assertEqual(result.code, 1)
        self.assertEqual(result.err, f"Error while loading webserver-config from file '{self.cfg_file}'")
        self.assertTrue(result.out.endswith("Context initialisation failed!"), result.out)
        self.assertTrue(any("abc" in m for m in result.messages("ERROR")), result.out)
        self.assertEqual(self.read(self.cfg_file), original)
        self.assertEqual(os.listdir(os.path.dirname(self.cfg_file)), ["Nimbrel.cfg"])

    def test_config_file_that_cannot_be_examined_is_not_replaced(self):
        os.makedirs(os.path.dirname(self.cfg_file))
        os.symlink("Nimbrel.cfg", self.cfg_file)  # a loop: stat fails, but something is there
        result = self.run_nimbrel()
        self.assertEqual(result.code, 1)
        self.assertEqual(result.err, f"Error while loading webserver-config from file '{self.cfg_file}'")
        self.assertEqual(os.readlink(self.cfg_file), "Nimbrel.cfg")

    # Directories

    def test_snap_data_takes_precedence_over_xdg(self):
        snap = self.path("snap")
        self.seed_certificate(os.path.join(snap, "config"))
        result = self.run_nimbrel("-l", "debug", env=self.env(SNAP_DATA=snap))
        self.assert_served_and_stopped(result)
        self.assertTrue(os.path.isfile(os.path.join(snap, "config", "Nimbrel.cfg")))
        self.assertTrue(os.path.isdir(os.path.join(snap, "data")))
        debug = result.messages("DEBUG")
        self.assertIn(f"Config directory:     {snap}/config/", debug)
        self.assertIn(f"Sysconfig directory:  {snap}/", debug)
        self.assertIn(f"Data directory:       {snap}/data/", debug)
        self.assertEqual(os.listdir(self.cfg_home), [])
        self.assertEqual(os.listdir(self.data_home), [])

    def test_without_xdg_variables_everything_lives_below_var_lib(self):
        # Unset and empty variables alike.
        for env in (self.env(XDG_CONFIG_HOME=None, XDG_DATA_HOME=None), self.env(XDG_CONFIG_HOME="", XDG_DATA_HOME="")):
            with self.subTest(xdg=env.get("XDG_CONFIG_HOME")):
                shutil.rmtree(self.lib_dir)
                self.seed_certificate(os.path.join(self.lib_dir, "config"))
                result = self.run_nimbrel("-l", "debug", env=env, lib_dir=True)
                self.assert_served_and_stopped(result)
                self.assertEqual(sorted(os.listdir(self.lib_dir)), ["config", "data"])
                self.assertTrue(os.path.isfile(os.path.join(self.lib_dir, "config", "Nimbrel.cfg")))
                debug = result.messages("DEBUG")
                self.assertIn("Config directory:     /var/lib/calvexa/config/", debug)
                self.assertIn("Sysconfig directory:  /etc/calvexa/", debug)
                self.assertIn("Data directory:       /var/lib/calvexa/data/", debug)

    def test_log_directory_that_cannot_be_created(self):
        result = self.run_nimbrel(script='mount -o remount,ro /var/log && exec "$@"', log_dir=False)
        self.assertEqual(result.code, 1)
        self.assertEqual(result.err,
                         "Error while creating directory /var/log/calvexa/. Error was: Read-only file system\n")
        self.assertEqual(result.out, "Context initialisation failed!")

    def test_executable_path_that_cannot_be_determined(self):
        if os.environ.get("NIMBREL_SANITIZED"):
            self.skipTest("the sanitizer runtime itself needs /proc and reports its absence")
        result = self.run_nimbrel(script='mount -t tmpfs nimbrel-noproc /proc && exec "$@"')
        self.assertEqual(result.code, 1)
        self.assertTrue(result.err.startswith("Error while determining the executable directory. Error was: "),
                        result.err)
        self.assertEqual(result.out, "Context initialisation failed!")
        self.assertEqual(os.listdir(self.cfg_home), [])

    # Logging

    def test_file_appenders_write_into_the_log_directory(self):
        workdir = self.path("work")
        os.makedirs(workdir)
        self.seed_certificate()
        self.write_config(config_text(DEFAULT_KEYS, "1000", console="false", file_enabled="true",
                                      rolling_enabled="true", daily_enabled="true", file_name="nimbrel.log",
                                      rolling_name="rolling.log", daily_name="daily.log"))
        result = self.run_nimbrel(cwd=workdir)
        self.assertEqual(result.log_lines(), [])
        self.assert_served_and_stopped(result, log=self.read(os.path.join(self.log_dir, "nimbrel.log")).decode())
        self.assertEqual(os.listdir(workdir), [])
        names = sorted(os.listdir(self.log_dir))
        self.assertIn("nimbrel.log", names)
        self.assertIn("rolling.log", names)
        self.assertTrue(any(n.startswith("daily.log") for n in names), names)
        for name in ("nimbrel.log", "rolling.log"):
            content = self.read(os.path.join(self.log_dir, name)).decode()
            self.assertRegex(content, r"appcontext      INFO  - Nimbrel 1\.3\.1482\.0 \([0-9a-f]{8}\) Running on ")
        # The file names in the configuration stay as written.
        self.assertIn("<filename>rolling.log</filename>", self.read(self.cfg_file).decode())

    # Saving

    def run_with_config_filesystem(self, prepare, seed=None, certificate=True):
        """Runs nimbrel with XDG_CONFIG_HOME on a small private tmpfs; returns (result, files, same).

        The certificate is seeded before `prepare` runs, as a full or read-only
        file system would not let nimbrel create one.
        """
        script = (
            'set -e\n'
            'mount -t tmpfs -o size=256k nimbrel-cfg "$XDG_CONFIG_HOME"\n'
            'mkdir "$XDG_CONFIG_HOME/config"\n'
            'if [ -n "$SEED" ]; then cp "$SEED" "$XDG_CONFIG_HOME/config/Nimbrel.cfg"; fi\n'
            'if [ -n "$SEED_CERT" ]; then\n'
            '  cp "$IDENTITY/NimbrelCert.pem" "$IDENTITY/NimbrelKey.pem" "$XDG_CONFIG_HOME/config/"\n'
            '  chmod 600 "$XDG_CONFIG_HOME/config/NimbrelKey.pem"\n'
            'fi\n'
            f'{prepare}\n'
            'set +e\n'
            '"$@" &\n'
            'echo $! > "$RESULTS/nimbrel.pid.tmp" && mv "$RESULTS/nimbrel.pid.tmp" "$RESULTS/nimbrel.pid"\n'
            'wait $!; rc=$?\n'
            'ls -A "$XDG_CONFIG_HOME/config" > "$RESULTS/files"\n'
            'if [ -n "$SEED" ] && cmp -s "$SEED" "$XDG_CONFIG_HOME/config/Nimbrel.cfg"; then\n'
            '  echo same > "$RESULTS/cmp"; else echo changed > "$RESULTS/cmp"; fi\n'
            'exit $rc\n'
        )
        env = self.env(SEED=seed or "", SEED_CERT="1" if certificate else "")
        result = self.run_nimbrel(script=script, env=env)
        files = sorted(self.read(os.path.join(self.results, "files")).decode().split())
        same = self.read(os.path.join(self.results, "cmp")).decode().strip() == "same"
        return result, files, same

    def seed_config(self):
        seed = self.path("seed.cfg")
        with open(seed, "w") as f:
            f.write(config_text([("port", "8443"), ("wolPort", "9")], "1000"))
        return seed

    def test_failed_save_on_a_read_only_file_system_keeps_the_old_file(self):
        result, files, same = self.run_with_config_filesystem(
            'mount -o remount,ro "$XDG_CONFIG_HOME"', seed=self.seed_config())
        self.assertTrue(same, result.out)
        self.assertEqual(files, ["Nimbrel.cfg", *CERT_FILES])
        cfg = f"{self.cfg_home}/config/Nimbrel.cfg"
        errors = result.messages("ERROR")
        self.assertTrue(any(m.startswith(f"Got exception while saving file '{cfg}' Exception was :")
                            and "Read-only file system" in m for m in errors), result.out)
        self.assertIn(f"Error while saving config to file '{cfg}'", result.messages("FATAL"))
        # The configuration read is still the one in force.
        self.assertIn("Https server starting on port '8443' ...", result.messages("INFO"))
        self.assert_served_and_stopped(result)

    def test_failed_save_on_a_full_file_system_keeps_the_old_file(self):
        result, files, same = self.run_with_config_filesystem(
            'dd if=/dev/zero of="$XDG_CONFIG_HOME/fill" bs=4k 2>/dev/null || true', seed=self.seed_config())
        self.assertTrue(same, result.out)
        self.assertEqual(files, ["Nimbrel.cfg", *CERT_FILES])
        self.assertTrue(any("No space left on device" in m for m in result.messages("ERROR")), result.out)
        self.assertIn("Https server starting on port '8443' ...", result.messages("INFO"))
        self.assert_served_and_stopped(result)

    def test_failed_first_save_stops_the_start(self):
        result, files, _ = self.run_with_config_filesystem('mount -o remount,ro "$XDG_CONFIG_HOME"',
                                                           certificate=False)
        self.assertEqual(result.code, 1)
        self.assertEqual(result.err,
                         f"Error while saving webserver-config from file '{self.cfg_home}/config/Nimbrel.cfg'")
        self.assertTrue(result.out.endswith("Context initialisation failed!"), result.out)
        self.assertEqual(files, [])


class _Stream:
    """The writer TextTestResult expects, into a buffer."""

    def __init__(self):
        self.buffer = io.StringIO()

    def write(self, text):
        self.buffer.write(text)

    def writeln(self, text=""):
        self.buffer.write(text + "\n")

    def flush(self):
        pass


def run_case(test):
    stream = _Stream()
    result = unittest.TextTestResult(stream, descriptions=False, verbosity=2)
    started = time.monotonic()
    test(result)
    return result, stream, time.monotonic() - started


def run_concurrently(suite):
    """Runs every case on its own thread; prints the reports in the suite's order."""
    tests = []
    pending = [suite]
    while pending:
        item = pending.pop(0)
        if isinstance(item, unittest.TestSuite):
            pending[:0] = list(item)
        else:
            tests.append(item)
    started = time.monotonic()
    with concurrent.futures.ThreadPoolExecutor(PARALLEL_CASES) as pool:
        outcomes = list(pool.map(run_case, tests))
    failed = 0
    for result, stream, seconds in outcomes:
        result.printErrors()
        sys.stderr.write(stream.buffer.getvalue().replace(" ... ", f" [{seconds:.1f} s] ... ", 1))
        failed += len(result.failures) + len(result.errors) + len(result.unexpectedSuccesses)
    sys.stderr.write(f"\nRan {len(tests)} tests in {time.monotonic() - started:.1f} s: "
                     f"{'OK' if failed == 0 else f'FAILED ({failed})'}\n")
    return failed == 0


if __name__ == "__main__":
    if len(sys.argv) < 3:
        sys.exit(__doc__)
    NIMBREL, ISOLATED = os.path.abspath(sys.argv[1]), os.path.abspath(sys.argv[2])
    if os.geteuid() != 0:
        sys.exit("needs root for private mount and network namespaces")
    loader = unittest.defaultTestLoader
    module = sys.modules[__name__]
    suite = loader.loadTestsFromNames(sys.argv[3:], module) if sys.argv[3:] else loader.loadTestsFromModule(module)
    with tempfile.TemporaryDirectory(prefix="nimbrel-identity-") as identity:
        make_identity(identity)
        IDENTITY = identity
        ok = run_concurrently(suite)
    sys.exit(0 if ok else 1)
