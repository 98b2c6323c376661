"""The soak: 64 mixed clients for STRESS_MINUTES (default 3; 30 supported)
against the server inside a host program (soak_host.py, the C API through
ctypes) that is stopped and started again every minute.

Clients: 44 raw guests (logon, listing, reads checked by SHA-256, refused
writes, compounds), 8 raw clients sending bad frames, 8 impacket and 4
smbclient named users. A connection cut while the server stops is expected
and retried; anything else that goes wrong is a failure. Every raw
connection's MessageIds must each be answered exactly once (a connection cut
by a stop may leave its last ones unanswered, never answered twice). After a
warm-up the idle host's descriptors, threads and resident size are the
baseline; after the soak they must be back to it (RSS within 5 %).
"""

import hashlib
import io
import json
import os
import random
import shutil
import struct
import subprocess
import sys
import tempfile
import threading
import time

import common
import harness
import smb2raw
from impacket_compat import seed_session_preauth

NAME = "soak"
MINUTES = float(os.environ.get("STRESS_MINUTES", "3"))
RESTART_EVERY_S = 60.0
WARMUP_S = 20.0
RAW, BAD, IMPACKET, SMBCLIENT = 44, 8, 8, 4
PAUSE_S = (0.1, 0.6)        # between one client's rounds: a soak, not a flood
RSS_TOLERANCE = 0.05
STOP_MAX_S = 5.0            # every connection ends within about 100 ms of its message in hand
USER, PASSWORD = "bob", "s0ak-pass"
CUT = (smb2raw.Closed, smb2raw.ProtocolError, OSError)
HERE = os.path.dirname(os.path.abspath(__file__))


def make_tree(rng):
    files = {"f%02d.bin" % i: rng.randbytes(rng.randint(1, 300 << 10)) for i in range(16)}
    files["big.bin"] = rng.randbytes(2 << 20)
    docs = {"doc %03d.txt" % i: ("document %d\n" % i).encode() for i in range(300)}
    return {"data": dict(files, docs=docs)}, files, set(docs)


class Host:
    """The host program: one command line in, one answer line out."""

    def __init__(self, config):
        # glibc raises its mmap threshold after the first large buffer is
        # freed; from then on every thread's arena keeps about one large
        # buffer resident (up to 8 arenas per core), which would hide a real
        # leak or fake one. A fixed threshold keeps the figure to what the
        # server holds.
        env = dict(os.environ, GLIBC_TUNABLES="glibc.malloc.mmap_threshold=131072")
        self.proc = subprocess.Popen([sys.executable, os.path.join(HERE, "soak_host.py"), json.dumps(config)],
                                     stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True, env=env)
        self.lock = threading.Lock()

    def ask(self, line):
        with self.lock:
            self.proc.stdin.write(line + "\n")
            self.proc.stdin.flush()
            return self.proc.stdout.readline().strip()

    def stats(self):
        return json.loads(self.ask("stats"))

    def figures(self):
        rss, threads = common.proc_status(self.proc.pid)
        return {"fds": common.fd_count(self.proc.pid), "threads": threads, "rss": rss}

    def quit(self):
        try:
            self.ask("quit")
            self.proc.wait(timeout=30)
        except (OSError, subprocess.TimeoutExpired):
            self.proc.kill()


class Restarts:
    """The stop/start cycle and its epoch: odd while the server is stopping
    or stopped. A connection opened in one epoch and cut in another was cut by
    a restart."""

    def __init__(self, host, port):
        self.host = host
        self.port = port
        self.epoch = 0
        self.count = 0
        self.stop_ms = []
        self.failures = []

    def cut_since(self, epoch):
        """True when a connection opened in `epoch` may have been cut by a
        stop: a stop began since, or one was under way then."""
        return self.epoch != epoch or epoch % 2 == 1

    def restart(self):
        self.epoch += 1
        t0 = time.monotonic()
        self.host.ask("stop")
        self.stop_ms.append((time.monotonic() - t0) * 1000.0)
        answer = self.host.ask("start %d" % self.port)
        if answer != "ok %d" % self.port:
            self.failures.append("start: " + answer)
        self.epoch += 1
        self.count += 1


class Tally:
    def __init__(self):
        self.lock = threading.Lock()
        self.rounds = {}
        self.cut = 0
        self.failures = []
        self.mids_sent = self.mids_answered = self.twice = self.strays = self.unanswered = 0

    def round(self, kind):
        with self.lock:
            self.rounds[kind] = self.rounds.get(kind, 0) + 1

    def fail(self, kind, what):
        with self.lock:
            self.failures.append("%s: %s" % (kind, what))

    def ledger(self, ledger, was_cut):
        with self.lock:
            self.mids_sent += len(ledger.sent)
            self.mids_answered += sum(ledger.answers.values())
            self.twice += len(ledger.twice())
            self.strays += ledger.strays
            if not was_cut:
                self.unanswered += len(ledger.unanswered())


class Run:
    def __init__(self, port, files, docs, restarts, tally, stop):
        self.port, self.files, self.docs = port, files, docs
        self.restarts, self.tally, self.stop = restarts, tally, stop

    def one(self, kind, fn, rng):
        """One round; a cut across a restart is retried, anything else fails."""
        epoch = self.restarts.epoch
        try:
            fn(rng)
            self.tally.round(kind)
        except Exception as e:  # sorted into cut (expected) and failure below
            if self.restarts.cut_since(epoch):
                with self.tally.lock:
                    self.tally.cut += 1
            else:
                self.tally.fail(kind, "%s: %s" % (type(e).__name__, e))

    def loop(self, kind, fn, seed):
        rng = random.Random(seed)
        for _ in range(1 << 20):
            if self.stop.is_set():
                return
            self.one(kind, fn, rng)
            self.stop.wait(rng.uniform(*PAUSE_S))

    # ---- raw guests ----

    def raw_client(self):
        return smb2raw.Client(self.port, timeout=15)

    def raw_round(self, rng):
        epoch = self.restarts.epoch
        c = self.raw_client()
        try:
            c.logon_guest()
            tree = c.tree_connect("data")
            d = c.create(tree, "docs", access=smb2raw.FILE_LIST_DIRECTORY, options=smb2raw.FILE_DIRECTORY_FILE)
            names = set(c.list_names(tree, d))
            if names != self.docs:
                raise AssertionError("listing has %d names, %d expected" % (len(names), len(self.docs)))
            c.close_file(tree, d)
            name = rng.choice(sorted(self.files))
            want = self.files[name]
            fid = c.create(tree, name)
            if hashlib.sha256(c.read_all(tree, fid, len(want))).digest() != hashlib.sha256(want).digest():
                raise AssertionError("%s: checksum differs" % name)
            # A refused write beside a READ and an ECHO in one compound.
            rs = c.compound([(smb2raw.WRITE, c.write_body(fid, b"no"), tree, 1),
                             (smb2raw.READ, c.read_body(fid, 0, 16), tree, 1),
                             (smb2raw.ECHO, struct.pack("<HH", 4, 0), 0, 1)])
            got = [r.status for r in rs]
            if got != [smb2raw.STATUS_ACCESS_DENIED, 0, 0] or rs[1].raw[80:96] != want[:16]:
                raise AssertionError("compound answered %s" % [hex(s) for s in got])
            c.close_file(tree, fid)
            try:
                c.create(tree, "new.txt", access=smb2raw.FILE_WRITE_DATA, disposition=smb2raw.FILE_OVERWRITE_IF)
                raise AssertionError("a create for writing was granted")
            except smb2raw.ProtocolError as e:
                if "0xc0000022" not in str(e):
                    raise
            c.logoff()
        finally:
            c.close()
            self.tally.ledger(c.ledger, self.restarts.cut_since(epoch))

    # ---- bad frames ----

    def bad_round(self, rng):
        epoch = self.restarts.epoch
        case = rng.choice(BAD_CASES)
        c = self.raw_client()
        try:
            tree = 0
            if case[1]:
                c.logon_guest()
                tree = c.tree_connect("data")
            case[2](c, tree)
            # Before the fault every request was answered; after a fault that
            # ends the connection nothing more is.
        finally:
            c.close()
            self.tally.ledger(c.ledger, self.restarts.cut_since(epoch))

    # ---- real clients with a named user ----

    def impacket_round(self, rng):
        from impacket.smbconnection import SMBConnection, SessionError
        conn = SMBConnection("127.0.0.1", "127.0.0.1", sess_port=self.port, timeout=15)
        try:
            seed_session_preauth(conn)
            conn.login(USER, PASSWORD)
            names = {f.get_longname() for f in conn.listPath("data", "docs\\*")} - {".", ".."}
            if names != self.docs:
                raise AssertionError("impacket listing has %d names" % len(names))
            name = rng.choice(sorted(self.files))
            buf = io.BytesIO()
            conn.getFile("data", name, buf.write)
            if hashlib.sha256(buf.getvalue()).digest() != hashlib.sha256(self.files[name]).digest():
                raise AssertionError("impacket %s: checksum differs" % name)
            try:
                conn.putFile("data", "up.txt", io.BytesIO(b"x").read)
                raise AssertionError("impacket: a write was accepted")
            except SessionError as e:
                if "ACCESS_DENIED" not in str(e):
                    raise
            conn.logoff()
        finally:
            conn.close()

    def smbclient_round(self, rng):
        name = rng.choice(sorted(self.files))
        local = os.path.join(self.tmp, "%s.%d" % (name, threading.get_ident()))
        p = subprocess.run(["smbclient", "//127.0.0.1/data", "-p", str(self.port), "-U", "%s%%%s" % (USER, PASSWORD),
                            "-m", "SMB3", "-t", "15", "-c", "ls docs\\*; get %s %s" % (name, local)],
                           capture_output=True, text=True, timeout=60)
        out = p.stdout + p.stderr
        try:
            if p.returncode != 0 or "doc 299.txt" not in out:
                raise RuntimeError("smbclient rc %d: %s" % (p.returncode, out[-300:]))
            with open(local, "rb") as f:
                if hashlib.sha256(f.read()).digest() != hashlib.sha256(self.files[name]).digest():
                    raise AssertionError("smbclient %s: checksum differs" % name)
        finally:
            if os.path.exists(local):
                os.unlink(local)


# ---- the bad frames: (name, logs on first, what it sends and expects) ----

def _closed_unanswered(c, tree, frame):
    """Sends a frame that must end the connection without an answer."""
    c.send_raw(frame)
    if not c.sees_close(5.0):
        raise AssertionError("the connection stayed open")


def _refused_then_serves(c, tree, command, body, charge=1):
    r = c.call(command, body, tree, charge)
    if r.ok():
        raise AssertionError("command %d was accepted" % command)
    c.echo()


def _replay(c, tree):
    # An ECHO with the MessageId of the NEGOTIATE: never answered.
    _closed_unanswered(c, tree, smb2raw.netbios(smb2raw.header(smb2raw.ECHO, 0, session_id=c.session_id) +
                                          struct.pack("<HH", 4, 0)))


BAD_CASES = [
    ("not SMB", False, lambda c, t: _closed_unanswered(c, t, smb2raw.netbios(b"XSMB" + b"\x00" * 60))),
    ("keep-alive type", False, lambda c, t: _closed_unanswered(c, t, b"\x85\x00\x00\x00")),
    ("too large before logon", False, lambda c, t: _closed_unanswered(c, t, b"\x00\x01\x00\x01" + b"\x00" * 64)),
    ("short header", True, lambda c, t: _closed_unanswered(c, t, smb2raw.netbios(b"\xfeSMB" + b"\x00" * 28))),
    ("replayed MessageId", True, _replay),
    ("bad CREATE size", True, lambda c, t: _refused_then_serves(c, t, smb2raw.CREATE, b"\x00" * 60)),
    ("unknown command", True, lambda c, t: _refused_then_serves(c, t, 0x77, b"\x04\x00\x00\x00")),
    ("READ over its charge", True,
     lambda c, t: _refused_then_serves(c, t, smb2raw.READ, smb2raw.Client.read_body(b"\x00" * 16, 0, 1 << 20))),
]


def phase(run, seconds, restart_every_s):
    """All 64 clients for `seconds`, restarting the server on schedule."""
    run.stop.clear()
    kinds = ([("raw", run.raw_round)] * RAW + [("bad frames", run.bad_round)] * BAD +
             [("impacket", run.impacket_round)] * IMPACKET + [("smbclient", run.smbclient_round)] * SMBCLIENT)
    threads = [threading.Thread(target=run.loop, args=(k, fn, i), daemon=True) for i, (k, fn) in enumerate(kinds)]
    for t in threads:
        t.start()
    t0 = time.monotonic()
    next_restart = t0 + restart_every_s
    while time.monotonic() < t0 + seconds:
        time.sleep(min(1.0, max(0.0, t0 + seconds - time.monotonic())))
        if time.monotonic() >= next_restart and time.monotonic() < t0 + seconds - 5:
            run.restarts.restart()
            next_restart += restart_every_s
    run.stop.set()
    for t in threads:
        t.join(timeout=90)
    return sum(t.is_alive() for t in threads)


def settle(host):
    """Waits until no connection is served and the figures stop moving."""
    common.wait_until(lambda: host.stats()["clients"] == 0, 30, 0.2)
    time.sleep(1.0)
    return host.figures()


def run(table):
    common.raise_nofile()
    rng = random.Random(11)
    tree, files, docs = make_tree(rng)
    tmp = tempfile.mkdtemp(prefix="twsmb3s_soak_")
    host = None
    try:
        harness.make_tree(os.path.join(tmp, "shares"), tree)
        config = {"shares": {"data": os.path.join(tmp, "shares", "data")}, "users": {USER: PASSWORD},
                  "opts": {"max_clients": 128, "guest": "on"}}
        host = Host(config)
        answer = host.ask("start 0")
        if not answer.startswith("ok "):
            raise RuntimeError("host start: " + answer)
        port = int(answer.split()[1])
        restarts = Restarts(host, port)
        stop = threading.Event()
        warm = Run(port, files, docs, restarts, Tally(), stop)
        warm.tmp = tmp
        phase(warm, WARMUP_S, WARMUP_S / 2)
        base = settle(host)
        tally = Tally()
        soak = Run(port, files, docs, restarts, tally, stop)
        soak.tmp = tmp
        restarts.count, restarts.stop_ms = 0, []
        stuck = phase(soak, MINUTES * 60.0, RESTART_EVERY_S)
        end = settle(host)
        stats = host.stats()
    finally:
        if host:
            host.quit()
        shutil.rmtree(tmp, ignore_errors=True)
    report(table, tally, restarts, base, end, stuck, stats, warm.tally)


def report(table, tally, restarts, base, end, stuck, stats, warm):
    rounds = sum(tally.rounds.values())
    detail = ", ".join("%s %d" % kv for kv in sorted(tally.rounds.items()))
    fails = tally.failures + warm.failures + restarts.failures
    table.add(NAME, "%g min, 64 clients: rounds without failure" % MINUTES, "0 failed",
              "%d rounds (%s), %d cut by restarts, %d failed%s" % (
                  rounds, detail, tally.cut, len(fails), (": " + fails[0][:160]) if fails else ""),
              not fails and stuck == 0 and all(tally.rounds.get(k, 0) > 0 for k in
                                               ("raw", "bad frames", "impacket", "smbclient")))
    want_restarts = int((MINUTES * 60.0 - 5) // RESTART_EVERY_S)
    longest_stop = max(restarts.stop_ms, default=0)
    table.add(NAME, "stop/start through the C API",
              "every %.0f s (%d), stop <= %.0f s" % (RESTART_EVERY_S, want_restarts, STOP_MAX_S),
              "%d, longest stop %.0f ms" % (restarts.count, longest_stop),
              restarts.count >= want_restarts and longest_stop <= STOP_MAX_S * 1000)
    table.add(NAME, "MessageIds answered exactly once", "0 twice, 0 stray, 0 lost",
              "%d sent, %d twice, %d stray, %d lost" % (tally.mids_sent, tally.twice, tally.strays,
                                                         tally.unanswered),
              tally.mids_sent > 0 and tally.twice == 0 and tally.strays == 0 and tally.unanswered == 0)
    table.add(NAME, "descriptors / threads back to baseline", "%d / %d" % (base["fds"], base["threads"]),
              "%d / %d" % (end["fds"], end["threads"]),
              end["fds"] == base["fds"] and end["threads"] == base["threads"])
    grew = (end["rss"] - base["rss"]) / float(base["rss"])
    table.add(NAME, "host RSS back to baseline", "%s +-%.0f %%" % (common.mib(base["rss"]), RSS_TOLERANCE * 100),
              "%s (%+.1f %%)" % (common.mib(end["rss"]), grew * 100), abs(grew) <= RSS_TOLERANCE)
