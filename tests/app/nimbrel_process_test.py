#!/usr/bin/env python3
"""What a user of the nimbrel executable sees: options, files, logs and exit codes.

Usage: nimbrel_process_test.py <nimbrel> <isolated> [unittest args]

Every run goes through tests/support/isolated (private /var/log and /var/lib)
and a private network namespace, with XDG_CONFIG_HOME and XDG_DATA_HOME in a
scratch folder, so the machine's own files and network are never touched.
"""
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
# A service that is still running this long after it began listening is up.
SETTLE_SECONDS = 1.5
RUN_TIMEOUT = 60


class Result:
    def __init__(self, code, out, err, signalled):
        self.code, self.out, self.err, self.signalled = code, out, err, signalled

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
        env.update(XDG_CONFIG_HOME=self.cfg_home, XDG_DATA_HOME=self.data_home, RESULTS=self.results)
        for k, v in extra.items():
            if v is None:
                env.pop(k, None)
            else:
                env[k] = v
        return env

    def run_nimbrel(self, *args, env=None, script='exec "$@"', log_dir=True, lib_dir=False, cwd=None):
        """Runs nimbrel; a service that keeps running is stopped with SIGTERM."""
        cmd = [ISOLATED]
        if log_dir:
            cmd += ["--log-dir", self.log_dir]
        if lib_dir:
            cmd += ["--lib-dir", self.lib_dir]
        cmd += ["--", "unshare", "--net", "--", "bash", "-c", script, "nimbrel-test", NIMBREL, *args]
        with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
            proc = subprocess.Popen(cmd, stdout=out, stderr=err, env=env or self.env(), cwd=cwd or self.tmp)
            deadline = time.monotonic() + RUN_TIMEOUT
            listening_since = None
            signalled = False
            while proc.poll() is None:
                if time.monotonic() > deadline:
                    proc.kill()
                    proc.wait()
                    self.fail("nimbrel did not end")
                if listening_since is None:
                    out.seek(0)
                    if b"Https server starting on port" in out.read():
                        listening_since = time.monotonic()
                elif not signalled and time.monotonic() - listening_since > SETTLE_SECONDS:
                    proc.send_signal(signal.SIGTERM)
                    signalled = True
                time.sleep(0.02)
            out.seek(0)
            err.seek(0)
            return Result(proc.returncode, out.read().decode(), err.read().decode(), signalled)

    def read(self, path):
        with open(path, "rb") as f:
            return f.read()

    def write_config(self, text):
        os.makedirs(os.path.dirname(self.cfg_file), exist_ok=True)
        with open(self.cfg_file, "w") as f:
            f.write(text)

    def assert_ran_to_the_end(self, result, log=None):
        """The run got past start-up: either stopped by signal, or refused by the missing listener."""
        log = result if log is None else Result(None, log, "", False)
        if result.signalled:
            self.assertEqual(result.code, 0, result.out + result.err)
            self.assertEqual(log.messages("INFO").count("The interrupt signal is (15)."), 1, log.out)
        else:
            self.assertEqual(result.code, 1, result.out + result.err)
            self.assertIn("Starting Calvexa server failed, exiting.", log.messages("FATAL"), log.out)

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
        result = self.run_nimbrel("-l", "verbose")
        self.assertTrue(result.out.startswith(
            "\ncould not parse loglevel value 'verbose'. Assuming loglevel info.\n"), result.out)
        self.assertTrue(any(m.startswith("Nimbrel 1.3.1482.0 (") for m in result.messages("INFO")), result.out)
        self.assertEqual(result.messages("DEBUG"), [])
        self.assert_ran_to_the_end(result)

    # Configuration file

    def test_first_start_writes_the_default_configuration(self):
        result = self.run_nimbrel()
        self.assert_ran_to_the_end(result)
        text = self.read(self.cfg_file).decode()
        stamp = re.search(r"<lastUpdated>(\d+)</lastUpdated>", text)
        self.assertIsNotNone(stamp, text)
        self.assertLess(abs(int(stamp.group(1)) - time.time()), 120)
        self.assertEqual(text, config_text(DEFAULT_KEYS, stamp.group(1)))
        self.assertTrue(os.path.isdir(os.path.join(self.data_home, "data")))
        self.assertEqual(sorted(os.listdir(self.cfg_home)), ["config"])

        banner = [l for l in result.out.splitlines() if "Running on" in l]
        self.assertEqual(len(banner), 1, result.out)
        self.assertRegex(banner[0], r"^\d{4}\.\d\d\.\d\d \d\d:\d\d:\d\d\.\d{3} appcontext      INFO  - "
                                    r"Nimbrel 1\.3\.1482\.0 \([0-9a-f]{8}\) Running on \S.*$")
        self.assertEqual(result.err, "")

    def test_second_start_keeps_changed_settings(self):
        self.write_config(config_text([("port", "8443"), ("wolPort", "4009"), ("enableTLSv1_2", "false"),
                                       ("httpMaxHeaderSize", "8192")], "1000", log_level="30000"))
        for _ in range(2):
            result = self.run_nimbrel()
            self.assert_ran_to_the_end(result)
            text = self.read(self.cfg_file).decode()
            stamp = re.search(r"<lastUpdated>(\d+)</lastUpdated>", text).group(1)
            self.assertNotEqual(stamp, "1000")
            self.assertEqual(text, config_text([("port", "8443"), ("wolPort", "4009")], stamp,
                                               [("httpMaxHeaderSize", "8192"), ("enableTLSv1_2", "false")],
                                               log_level="30000"))
        # Only warnings and above at level 30000.
        self.assertEqual(result.messages("INFO"), [])

    def test_command_line_level_applies_to_this_run_only(self):
        self.write_config(config_text(DEFAULT_KEYS, "1000", console="false"))
        result = self.run_nimbrel("-l", "DEBUG")
        self.assert_ran_to_the_end(result)
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

    def test_directory_rules(self):
        snap = self.path("snap")
        os.makedirs(snap)
        result = self.run_nimbrel("-l", "debug", env=self.env(SNAP_DATA=snap))
        self.assert_ran_to_the_end(result)
        self.assertTrue(os.path.isfile(os.path.join(snap, "config", "Nimbrel.cfg")))
        self.assertTrue(os.path.isdir(os.path.join(snap, "data")))
        self.assertIn(f"Sysconfig directory:  {snap}/", result.messages("DEBUG"))
        self.assertEqual(os.listdir(self.cfg_home), [])
        self.assertEqual(os.listdir(self.data_home), [])

        # Without the variables (or with empty ones) everything lives below /var/lib/calvexa.
        for env in (self.env(XDG_CONFIG_HOME=None, XDG_DATA_HOME=None), self.env(XDG_CONFIG_HOME="", XDG_DATA_HOME="")):
            shutil.rmtree(self.lib_dir)
            os.makedirs(self.lib_dir)
            result = self.run_nimbrel("-l", "debug", env=env, lib_dir=True)
            self.assert_ran_to_the_end(result)
            self.assertEqual(sorted(os.listdir(self.lib_dir)), ["config", "data"])
            self.assertTrue(os.path.isfile(os.path.join(self.lib_dir, "config", "Nimbrel.cfg")))
            self.assertIn("Sysconfig directory:  /etc/calvexa/", result.messages("DEBUG"))

    def test_log_directory_that_cannot_be_created(self):
        result = self.run_nimbrel(script='mount -o remount,ro /var/log && exec "$@"', log_dir=False)
        self.assertEqual(result.code, 1)
        self.assertEqual(result.err,
                         "Error while creating directory /var/log/calvexa/. Error was: Read-only file system\n")
        self.assertEqual(result.out, "Context initialisation failed!")

    def test_executable_path_that_cannot_be_determined(self):
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
        self.write_config(config_text(DEFAULT_KEYS, "1000", console="false", file_enabled="true",
                                      rolling_enabled="true", daily_enabled="true", file_name="nimbrel.log",
                                      rolling_name="rolling.log", daily_name="daily.log"))
        result = self.run_nimbrel(cwd=workdir)
        self.assertEqual(result.log_lines(), [])
        self.assert_ran_to_the_end(result, log=self.read(os.path.join(self.log_dir, "nimbrel.log")).decode())
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

    def run_with_config_filesystem(self, prepare, seed=None):
        """Runs nimbrel with XDG_CONFIG_HOME on a small private tmpfs; returns (result, files, same)."""
        script = (
            'set -e\n'
            'mount -t tmpfs -o size=256k nimbrel-cfg "$XDG_CONFIG_HOME"\n'
            'mkdir "$XDG_CONFIG_HOME/config"\n'
            'if [ -n "$SEED" ]; then cp "$SEED" "$XDG_CONFIG_HOME/config/Nimbrel.cfg"; fi\n'
            f'{prepare}\n'
            'set +e\n'
            'timeout -s TERM 20 "$@"; rc=$?\n'
            'ls -A "$XDG_CONFIG_HOME/config" > "$RESULTS/files"\n'
            'if [ -n "$SEED" ] && cmp -s "$SEED" "$XDG_CONFIG_HOME/config/Nimbrel.cfg"; then\n'
            '  echo same > "$RESULTS/cmp"; else echo changed > "$RESULTS/cmp"; fi\n'
            'exit $rc\n'
        )
        env = self.env(SEED=seed or "")
        result = self.run_nimbrel(script=script, env=env)
        files = self.read(os.path.join(self.results, "files")).decode().split()
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
        self.assertEqual(files, ["Nimbrel.cfg"])
        cfg = f"{self.cfg_home}/config/Nimbrel.cfg"
        errors = result.messages("ERROR")
        self.assertTrue(any(m.startswith(f"Got exception while saving file '{cfg}' Exception was :")
                            and "Read-only file system" in m for m in errors), result.out)
        self.assertIn(f"Error while saving config to file '{cfg}'", result.messages("FATAL"))
        # The configuration read is still the one in force.
        self.assertIn("Https server starting on port '8443' ...", result.messages("INFO"))
        self.assert_ran_to_the_end(result)

    def test_failed_save_on_a_full_file_system_keeps_the_old_file(self):
        result, files, same = self.run_with_config_filesystem(
            'dd if=/dev/zero of="$XDG_CONFIG_HOME/fill" bs=4k 2>/dev/null || true', seed=self.seed_config())
        self.assertTrue(same, result.out)
        self.assertEqual(files, ["Nimbrel.cfg"])
        self.assertTrue(any("No space left on device" in m for m in result.messages("ERROR")), result.out)
        self.assert_ran_to_the_end(result)

    def test_failed_first_save_stops_the_start(self):
        result, files, _ = self.run_with_config_filesystem('mount -o remount,ro "$XDG_CONFIG_HOME"')
        self.assertEqual(result.code, 1)
        self.assertEqual(result.err,
                         f"Error while saving webserver-config from file '{self.cfg_home}/config/Nimbrel.cfg'")
        self.assertTrue(result.out.endswith("Context initialisation failed!"), result.out)
        self.assertEqual(files, [])


if __name__ == "__main__":
    if len(sys.argv) < 3:
        sys.exit(__doc__)
    NIMBREL, ISOLATED = os.path.abspath(sys.argv[1]), os.path.abspath(sys.argv[2])
    if os.geteuid() != 0:
        sys.exit("needs root for private mount and network namespaces")
    unittest.main(argv=[sys.argv[0], *sys.argv[3:]], verbosity=2)
