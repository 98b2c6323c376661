"""Operating the server as an administrator meets it: the help text, the
configuration file with its permission rule, passwords from standard input,
the access log of a scripted smbclient session, the statistics line on
SIGUSR1 and --stats-interval, and the metrics endpoint (format, counters,
404/405/431, and slow HTTP clients that must not hold SMB clients up)."""

import contextlib
import json
import os
import re
import select
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time
import unittest
import urllib.error
import urllib.request

sys.dont_write_bytecode = True  # keep the source tree clean
import harness  # noqa: E402

USER, PASSWORD = "alice", "Pw-for-the-log-7"
CLIENT_TIMEOUT_S = 60
WAIT_S = 10.0
FILE_TEXT = b"operating twsmb3s\n"

# One access-log line: time, event, then key=value pairs (bare or quoted).
LOG_LINE = re.compile(r'^time=\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ event=[a-z_]+'
                      r'( [a-z_]+=("([^"\\]|\\.)*"|[^ "=\\]+))*$')
# One exposition sample: name, optional labels, value.
SAMPLE = re.compile(r'^([a-zA-Z_:][a-zA-Z0-9_:]*)(\{[^}]*\})? (-?[0-9.eE+]+|NaN|[+-]Inf)$')


def run(args, stdin=b"", env=None):
    p = subprocess.run([harness.binary()] + args, input=stdin, capture_output=True,
                       timeout=CLIENT_TIMEOUT_S, env=env)
    return p.returncode, p.stdout.decode(errors="replace"), p.stderr.decode(errors="replace")


def slurp(path):
    with open(path) as f:
        return f.read()


def wait_for(predicate, what):
    deadline = time.monotonic() + WAIT_S
    while time.monotonic() < deadline:
        value = predicate()
        if value:
            return value
        time.sleep(0.05)
    raise AssertionError("timed out waiting for " + what)


class Served:
    def __init__(self, proc, tmp, port):
        self.proc, self.tmp, self.port = proc, tmp, port

    def text(self, name):
        with open(os.path.join(self.tmp, name), "rb") as f:
            return f.read().decode(errors="replace")

    def metrics_port(self):
        m = wait_for(lambda: re.search(r"metrics on \S+ port (\d+)", self.text("stdout")), "metrics line")
        return int(m.group(1))


@contextlib.contextmanager
def serve(args, stdin=None):
    """`twsmb3s serve --port 0 ARGS` with a share "docs" at $ROOT (folder of
    hello.txt); ARGS may use {root} and {tmp}."""
    tmp = tempfile.mkdtemp(prefix="twsmb3s_ops_")
    proc = None
    try:
        root = os.path.join(tmp, "docs")
        harness.make_tree(root, {"hello.txt": FILE_TEXT, "sub": {"x.txt": b"x"}})
        port_file = os.path.join(tmp, "port")
        argv = [harness.binary(), "serve", "--port", "0", "--port-file", port_file]
        argv += [a.format(root=root, tmp=tmp) for a in args]
        with open(os.path.join(tmp, "stdout"), "wb") as out, open(os.path.join(tmp, "stderr"), "wb") as err:
            proc = subprocess.Popen(argv, stdout=out, stderr=err,
                                    stdin=subprocess.PIPE if stdin is not None else subprocess.DEVNULL)
        if stdin is not None:
            proc.stdin.write(stdin)
            proc.stdin.close()
        port = harness._wait_for_port_file(proc, port_file)
        if port is None:
            with open(os.path.join(tmp, "stderr"), "rb") as f:
                raise RuntimeError("server did not start: %r" % f.read())
        yield Served(proc, tmp, port)
    finally:
        if proc is not None:
            harness._stop(proc)
        shutil.rmtree(tmp, ignore_errors=True)


def smbclient(port, command, user="%s%%%s" % (USER, PASSWORD), share="docs"):
    args = ["smbclient", "//127.0.0.1/" + share, "-p", str(port), "-m", "SMB3", "-c", command]
    args += ["-N"] if user is None else ["-U", user]
    p = subprocess.run(args, capture_output=True, timeout=CLIENT_TIMEOUT_S)
    return p.returncode, (p.stdout + p.stderr).decode(errors="replace")


def http(port, path, method="GET"):
    req = urllib.request.Request("http://127.0.0.1:%d%s" % (port, path), method=method)
    try:
        with urllib.request.urlopen(req, timeout=WAIT_S) as r:
            return r.status, r.headers.get("Content-Type"), r.read().decode()
    except urllib.error.HTTPError as e:
        return e.code, e.headers.get("Content-Type"), e.read().decode()


def parse_exposition(text):
    """Checks the Prometheus text format (0.0.4) and returns {name: value}:
    every sample has a HELP and a TYPE line before it, counters end in
    _total, no name repeats."""
    helps, types, samples = set(), {}, {}
    for line in text.splitlines():
        if line.startswith("# HELP "):
            helps.add(line.split(" ")[2])
        elif line.startswith("# TYPE "):
            _, _, name, kind = line.split(" ")
            assert kind in ("counter", "gauge"), line
            assert kind != "counter" or name.endswith("_total"), line
            types[name] = kind
        else:
            m = SAMPLE.match(line)
            assert m, "not a sample line: %r" % line
            name = m.group(1)
            assert name in helps and name in types, "no HELP/TYPE before " + name
            assert name not in samples, "repeated " + name
            samples[name] = float(m.group(3))
    assert text.endswith("\n")
    return samples


@unittest.skipUnless(shutil.which("smbclient"), "smbclient not installed")
class Operating(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.mkdtemp(prefix="twsmb3s_opscfg_")
        self.root = os.path.join(self.tmp, "docs")
        harness.make_tree(self.root, {"hello.txt": FILE_TEXT})

    def tearDown(self):
        shutil.rmtree(self.tmp, ignore_errors=True)

    def conf(self, text, mode=0o600, name="c.conf"):
        path = os.path.join(self.tmp, name)
        with open(path, "wb") as f:
            f.write(text.encode() if isinstance(text, str) else text)
        os.chmod(path, mode)
        return path

    def test_help_and_version(self):
        _, usage_text, _ = run([])
        for args in (["--help"], ["-h"], ["help"]):
            code, out, err = run(args)
            self.assertEqual((code, err), (0, ""), args)
            for needle in ("usage: twsmb3s serve", "--config FILE", "--insecure-config", "--log FILE|-",
                           "--log-level", "--stats-interval", "--metrics", "max_clients=16",
                           "guest=auto", "idle_timeout_ms=300000", "Examples:", "kill -USR1"):
                self.assertIn(needle, out)
        self.assertEqual(run(["--version"]), run(["version"]))
        self.assertEqual(run(["--version"])[1], "twsmb3s 1.0.1\n")
        # Usage errors stay what they were: exit 2, usage on standard error.
        code, out, err = run(["serve", "--help"])
        self.assertEqual((code, out), (2, ""))
        self.assertTrue(err.startswith("unknown argument --help\nusage: twsmb3s serve"))

    def test_serving_values_are_checked_before_serving(self):
        cases = [
            (["--log-level", "verbose"], 2, "--log-level needs info or debug\n"),
            (["--metrics", "localhost"], 2, "--metrics needs [IP:]PORT\n"),
            (["--metrics", "127.0.0.1:"], 2, "--metrics needs [IP:]PORT\n"),
            (["--metrics", "127.0.0.1:99999"], 1, "metrics: port out of range\n"),
            (["--metrics", "nohost:9445"], 1, "metrics: nohost is not an IP address\n"),
            (["--log", os.path.join(self.tmp, "no", "such", "dir.log")], 1, None),
            (["--log"], 2, None),
        ]
        for args, code, err in cases:
            got = run(["serve", "--port", "0"] + args)
            self.assertEqual((got[0], got[1]), (code, ""), args)  # nothing announced
            if err is not None:
                self.assertEqual(got[2], err, args)

    def test_configuration_file_lines(self):
        root = self.root
        cases = [  # file text, the message after "FILE:LINE: "
            ("bogus x\n", 1, "unknown setting bogus"),
            ("\n# comment\nshare nosplit\n", 3, "share needs NAME=PATH"),
            ("user alice\n", 1, "user needs USER:PASS"),
            ("opt guest=maybe\n", 1, "set_option: guest: auto, on or off"),
            ("guest = maybe\n", 1, "set_option: guest: auto, on or off"),
            ("  max_clients =   0  \n", 1, "set_option: max_clients: 1..1024"),
            ("no_such_key = 1\n", 1, "set_option: unknown option no_such_key"),
            ("allow 10.0.0.0/33\n", 1, "allow_cidr: "),
            ("share docs=%s\nshare docs=%s\n" % (root, root), 2, "add_share: "),
            ("port\n", 1, "port needs a value"),
            (b"share caf\xe9=/x\n", 1, "not valid UTF-8 text"),
        ]
        for text, line, message in cases:
            path = self.conf(text)
            code, out, err = run(["serve", "--config", path, "--port", "0"])
            self.assertEqual(code, 1, text)
            self.assertTrue(err.startswith("%s:%d: %s" % (path, line, message)), (text, err))
            self.assertEqual(out, "")
        code, _, err = run(["serve", "--config", os.path.join(self.tmp, "missing.conf")])
        self.assertEqual(code, 1)
        self.assertIn("missing.conf: cannot read: No such file", err)

    def test_password_files_must_be_private(self):
        text = "share docs=%s\nuser %s:%s\nport 0\n" % (self.root, USER, PASSWORD)
        for mode in (0o644, 0o640, 0o604):
            path = self.conf(text, mode)
            code, out, err = run(["serve", "--config", path])
            self.assertEqual(code, 1, oct(mode))
            self.assertIn("holds passwords but others may read it (mode %04o)" % mode, err)
            self.assertIn("chmod 600", err)
            self.assertIn("--insecure-config", err)
            self.assertNotIn(PASSWORD, err)
        # A readable file without passwords is fine, and so is the switch.
        for text2, args, user in (("share docs=%s\n" % self.root, [], None),
                                  (text, ["--insecure-config"], "%s%%%s" % (USER, PASSWORD))):
            path = self.conf(text2, 0o644)
            with serve(["--config", path] + args) as srv:
                code, out = smbclient(srv.port, "ls", user=user)
                self.assertEqual(code, 0, out)

    def test_file_then_arguments_and_password_from_stdin(self):
        other = os.path.join(self.tmp, "other")
        harness.make_tree(other, {"o.txt": b"o"})
        path = self.conf("\ufeff# the file, with a byte order mark\r\nshare docs=%s\r\nport 1\nguest = off\n"
                         % self.root)
        # The arguments add a share and an account (password on standard
        # input, never in the process list) and override the file's port.
        args = ["--config", path, "--share", "other=" + other, "--user", USER]
        with serve(args, stdin=(PASSWORD + "\n").encode()) as srv:
            self.assertNotEqual(srv.port, 1)
            with open("/proc/%d/cmdline" % srv.proc.pid, "rb") as f:
                self.assertNotIn(PASSWORD.encode(), f.read())
            code, out = smbclient(srv.port, "ls")
            self.assertEqual(code, 0, out)
            self.assertIn("hello.txt", out)
            code, out = smbclient(srv.port, "ls", share="other")
            self.assertEqual(code, 0, out)
            self.assertIn("o.txt", out)
            self.assertNotEqual(smbclient(srv.port, "ls", user=None)[0], 0)  # guest = off from the file

    def test_password_prompt_on_a_terminal(self):
        master, slave = os.openpty()
        port_file, err_file = os.path.join(self.tmp, "port"), os.path.join(self.tmp, "err")
        argv = [harness.binary(), "serve", "--port", "0", "--port-file", port_file,
                "--share", "docs=" + self.root, "--user", USER]
        with open(err_file, "wb") as err:
            proc = subprocess.Popen(argv, stdin=slave, stdout=subprocess.DEVNULL, stderr=err)
        os.close(slave)
        try:
            wait_for(lambda: slurp(err_file) == "Password for %s: " % USER, "the prompt")
            os.write(master, (PASSWORD + "\n").encode())
            port = harness._wait_for_port_file(proc, port_file)
            self.assertIsNotNone(port)
            echoed = b""
            while select.select([master], [], [], 0.2)[0]:
                try:
                    echoed += os.read(master, 1024)
                except OSError:
                    break
            self.assertNotIn(PASSWORD.encode(), echoed)  # typed without echo
            code, out = smbclient(port, "ls")
            self.assertEqual(code, 0, out)
        finally:
            harness._stop(proc)
            os.close(master)

    def test_access_log_of_one_session(self):
        log = os.path.join(self.tmp, "access.log")
        with serve(["--share", "docs={root}", "--user", "%s:%s" % (USER, PASSWORD), "--log", log,
                    "--log-level", "debug"]) as srv:
            code, out = smbclient(srv.port, "get hello.txt %s; get missing.txt %s" % (
                os.path.join(self.tmp, "got"), os.path.join(self.tmp, "got2")))
            self.assertIn("_NOT_FOUND", out)
            code, out = smbclient(srv.port, "ls", user="%s%%wrong-password" % USER)
            self.assertNotEqual(code, 0)
            text = wait_for(lambda: self._log_with(log, 2, "close"), "two close lines")
        lines = text.splitlines()
        for line in lines:
            self.assertRegex(line, LOG_LINE)
        events = [re.search(r"event=(\S+)", line).group(1) for line in lines]
        first = events.index("close")
        self.assertEqual([e for e in events[:first + 1] if e != "request_refused"],
                         ["connect", "logon", "tree", "open", "close"])
        self.assertEqual([e for e in events[first + 1:] if e != "request_refused"],
                         ["connect", "logon_failed", "close"])

        def line_of(event):
            return next(line for line in lines if " event=%s " % event in line)
        self.assertIn("client=127.0.0.1 user=alice domain=", line_of("logon"))
        self.assertRegex(line_of("logon"), r"guest=no dialect=3\.1\.1 signing=(on|off) encryption=off$")
        self.assertIn("share=docs", line_of("tree"))
        self.assertRegex(line_of("open"), r" share=docs path=hello\.txt$")
        self.assertRegex(line_of("close"), r" duration_ms=\d+ bytes_sent=[1-9]\d* requests=[1-9]\d*$")
        self.assertRegex(line_of("logon_failed"), r"user=alice .*status=LOGON_FAILURE$")
        self.assertTrue(any(re.search(r"command=CREATE status=OBJECT_(\w+_)?NOT_FOUND$", line) for line in lines))
        self.assertNotIn(PASSWORD, text)
        self.assertNotIn("wrong-password", text)

    def _log_with(self, path, count, event):
        try:
            with open(path) as f:
                text = f.read()
        except OSError:
            return None
        return text if text.count(" event=%s " % event) >= count else None

    def test_info_log_and_a_log_that_cannot_be_written(self):
        log = os.path.join(self.tmp, "info.log")
        with serve(["--share", "docs={root}", "--opt", "guest=on", "--log", log]) as srv:
            self.assertEqual(smbclient(srv.port, "get nothing.txt /dev/null", user=None)[0], 1)
            wait_for(lambda: self._log_with(log, 1, "close"), "close line")
            with open(log) as f:
                self.assertNotIn("request_refused", f.read())
        # A client beyond max_clients is refused, and the log says why.
        log = os.path.join(self.tmp, "full.log")
        with serve(["--share", "docs={root}", "--opt", "max_clients=1", "--log", log]) as srv:
            with socket.create_connection(("127.0.0.1", srv.port), timeout=WAIT_S) as held:
                wait_for(lambda: self._log_with(log, 1, "connect"), "the first connection")
                with socket.create_connection(("127.0.0.1", srv.port), timeout=WAIT_S) as late:
                    self.assertEqual(late.recv(10), b"")
                text = wait_for(lambda: self._log_with(log, 1, "refused"), "the refusal")
                self.assertIn(" event=refused client=127.0.0.1 reason=full\n", text)
                held.close()
        # /dev/full refuses every write: the server serves all the same.
        with serve(["--share", "docs={root}", "--opt", "guest=on", "--log", "/dev/full"]) as srv:
            for _ in range(3):
                code, out = smbclient(srv.port, "ls", user=None)
                self.assertEqual(code, 0, out)
            self.assertIsNone(srv.proc.poll())

    def test_statistics_on_sigusr1_and_interval(self):
        with serve(["--share", "docs={root}", "--opt", "guest=on"]) as srv:
            self.assertEqual(smbclient(srv.port, "get hello.txt /dev/null", user=None)[0], 0)
            srv.proc.send_signal(signal.SIGUSR1)
            line = wait_for(lambda: srv.text("stderr").endswith("\n") and srv.text("stderr"), "statistics line")
            stats = json.loads(line)
            self.assertEqual((stats["running"], stats["port"]), (True, srv.port))
            self.assertGreaterEqual(stats["reads"], 1)
            self.assertIsNone(srv.proc.poll())  # SIGUSR1 no longer ends the process
        with serve(["--share", "docs={root}", "--stats-interval", "1"]) as srv:
            text = wait_for(lambda: srv.text("stderr").count("\n") >= 2 and srv.text("stderr"), "two lines")
            text = text[:text.rindex("\n") + 1]  # whole lines only
            for line in text.splitlines():
                self.assertTrue(json.loads(line)["running"])
        for bad in ("0", "x", "86401"):
            self.assertEqual(run(["serve", "--stats-interval", bad])[0:3:2],
                             (2, "--stats-interval needs SECONDS (1..86400)\n"))

    def test_metrics_endpoint(self):
        with serve(["--share", "docs={root}", "--opt", "guest=on", "--metrics", "127.0.0.1:0"]) as srv:
            mport = srv.metrics_port()
            status, ctype, body = http(mport, "/metrics")
            self.assertEqual(status, 200)
            self.assertTrue(ctype.startswith("text/plain; version=0.0.4"))
            before = parse_exposition(body)
            for name in ("twsmb3s_up", "twsmb3s_clients", "twsmb3s_connections_total",
                         "twsmb3s_bytes_sent_total", "twsmb3s_reads_total", "twsmb3s_connections_open",
                         "twsmb3s_trees_open"):
                self.assertIn(name, before)
            self.assertEqual(before["twsmb3s_up"], 1)
            self._promtool(body)
            self.assertEqual(smbclient(srv.port, "get hello.txt /dev/null", user=None)[0], 0)
            after = parse_exposition(http(mport, "/metrics")[2])
            self.assertEqual(after["twsmb3s_reads_total"], before["twsmb3s_reads_total"] + 1)
            self.assertGreater(after["twsmb3s_bytes_sent_total"], before["twsmb3s_bytes_sent_total"])
            self.assertEqual(after["twsmb3s_connections_total"], before["twsmb3s_connections_total"] + 1)
            status, ctype, body = http(mport, "/stats")
            self.assertEqual((status, ctype), (200, "application/json"))
            self.assertEqual(json.loads(body)["reads"], after["twsmb3s_reads_total"])
            self.assertEqual(http(mport, "/")[0], 404)
            self.assertEqual(http(mport, "/metrics/x")[0], 404)
            self.assertEqual(http(mport, "/metrics", method="POST")[0], 405)
            self.assertEqual(self._raw(mport, b"GET /metrics HTTP/1.1\r\nX: " + b"a" * 4096)[:12],
                             b"HTTP/1.1 431")
            self._slow_clients_do_not_matter(srv, mport)

    def _raw(self, port, data):
        with socket.create_connection(("127.0.0.1", port), timeout=WAIT_S) as s:
            try:
                s.sendall(data)
            except OSError:
                pass
            out = b""
            while True:
                try:
                    chunk = s.recv(65536)
                except OSError:
                    break
                if not chunk:
                    break
                out += chunk
            return out

    def _slow_clients_do_not_matter(self, srv, mport):
        # Idle HTTP clients fill every slot; more are turned away at once,
        # SMB clients are served meanwhile, and the slots free themselves.
        idle = [socket.create_connection(("127.0.0.1", mport), timeout=WAIT_S) for _ in range(6)]
        try:
            for s in idle:
                s.sendall(b"GET /metr")
            started = time.monotonic()
            code, out = smbclient(srv.port, "ls", user=None)
            self.assertEqual(code, 0, out)
            self.assertLess(time.monotonic() - started, 10)
            late = idle[-1]
            late.settimeout(WAIT_S)
            try:  # closed without an answer: a FIN, or a reset for its unread bytes
                self.assertEqual(late.recv(100), b"")
            except ConnectionResetError:
                pass
        finally:
            for s in idle:
                s.close()
        status = wait_for(lambda: http(mport, "/stats")[0], "metrics again")
        self.assertEqual(status, 200)

    def _promtool(self, body):
        promtool = shutil.which("promtool")
        if promtool:
            p = subprocess.run([promtool, "check", "metrics"], input=body.encode(), capture_output=True,
                               timeout=CLIENT_TIMEOUT_S)
            self.assertEqual(p.returncode, 0, p.stdout + p.stderr)


if __name__ == "__main__":
    unittest.main()
