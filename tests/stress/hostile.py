"""Hostile clients beside normal ones: 16 tricklers, 16 stalled announcers and
64 stalled listings of a 100,000-entry folder hold connections while 8 normal
clients (4 smbclient, 4 impacket) log on, list and read with SHA-256 checks.
The normal clients must all succeed, every hostile connection must be closed
by the server within its deadline, and the server's resident size must stay
under the listing budget.

When the server closes a connection is read from /proc/net/tcp (the server's
side of the socket leaves ESTABLISHED), so a client that never reads is timed
as exactly as one that trickles."""

import hashlib
import io
import multiprocessing
import os
import shutil
import subprocess
import tempfile
import threading
import time

import common
import harness
import smb2raw
from impacket_compat import seed_session_preauth

NAME = "hostile"
IO_TIMEOUT_MS = 2000
IDLE_TIMEOUT_MS = 20000
LISTING_SETUP_S = 180       # for all 64 first pages of the huge folder, at most
RECV_MIN_RATE = 65536       # bytes/s a message's allowance grants beyond io_timeout_ms
SLACK_S = 1.5               # the loop's 100 ms polls on a busy, shared machine
ENTRIES = int(os.environ.get("STRESS_FOLDER_ENTRIES", "100000"))
BUDGET_MIB = 512            # the whole server's listing budget
PRELOGON_LEN = 65536        # the largest message accepted before logon
POSTLOGON_LEN = 512 << 10   # its allowance (10 s) ends before the idle timeout
TRICKLE_GAP_S = 0.05
GROUP = 8
LISTERS = 32                # of each kind: silent holders and non-readers
BURST = 150                 # 64 KiB READs a non-reader sends and never reads
NORMAL_EACH = 4
USER, PASSWORD = "alice", "secret"
BIG = os.urandom(4 << 20)


def deadline_s(length):
    """A trickled message's: its allowance, however steadily bytes come."""
    return (IO_TIMEOUT_MS + length * 1000 // RECV_MIN_RATE) / 1000.0


STALL_S = IO_TIMEOUT_MS / 1000.0  # a message whose bytes stop this long ends


class CloseWatch(common.Sampler):
    """Times when the server's side of each registered connection closes."""

    def __init__(self, server_port):
        super().__init__(0.05)
        self.server_port = server_port
        self.lock = threading.Lock()
        self.watch = {}   # client port -> (group, clock start or None, deadline s)
        self.closed = {}  # client port -> monotonic time of the close
        self.errors = []  # hostile clients that could not play their part
        self._missing = {}  # port -> when it was first missed

    def register(self, client, group, limit_s):
        port = client.sock.getsockname()[1]
        with self.lock:
            self.watch[port] = [group, None, limit_s]
        return port

    def start_clock(self, port, at=None):
        with self.lock:
            self.watch[port][1] = time.monotonic() if at is None else at

    def _established(self):
        """Client ports of the server's established connections. The table
        is read in one go; a socket missed while the table changes under the
        read is caught by the second look."""
        alive = set()
        suffix = ":%04X" % self.server_port
        for path in ("/proc/net/tcp", "/proc/net/tcp6"):
            try:
                fd = os.open(path, os.O_RDONLY)
                try:
                    text = b"".join(iter(lambda: os.read(fd, 1 << 22), b"")).decode()
                finally:
                    os.close(fd)
            except OSError:
                continue
            for line in text.splitlines()[1:]:
                parts = line.split()
                if parts[1].endswith(suffix) and parts[3] == "01":
                    alive.add(int(parts[2].rsplit(":", 1)[1], 16))
        return alive

    def sample(self):
        alive = self._established()
        now = time.monotonic()
        with self.lock:
            for port in self.watch:
                if port in alive or port in self.closed:
                    self._missing.pop(port, None)
                elif port in self._missing:
                    self.closed[port] = self._missing[port]
                else:
                    self._missing[port] = now

    def all_closed(self):
        with self.lock:
            return len(self.closed) == len(self.watch)

    def results(self, group):
        """(registered, closed at their deadline (neither later nor
        earlier than SLACK_S off it), shortest and longest seconds from clock
        to close)."""
        with self.lock:
            rows = [(p, w) for p, w in self.watch.items() if w[0] == group]
            n, ok, took = len(rows), 0, []
            for port, (_, started, limit) in rows:
                if port in self.closed and started is not None:
                    took.append(self.closed[port] - started)
                    ok += abs(took[-1] - limit) <= SLACK_S
            return n, ok, min(took, default=0.0), max(took, default=0.0)


def hostile_announcer(port, watch, group, logged_on, length, trickle, stop):
    """Announces `length` bytes, then sends one byte per TRICKLE_GAP_S (or
    nothing) until the server closes or `stop` is set."""
    c = smb2raw.Client(port)
    try:
        if logged_on:
            c.logon_guest()
        cport = watch.register(c, group, deadline_s(length) if trickle else STALL_S)
        c.send_raw(b"\x00" + length.to_bytes(3, "big"))
        watch.start_clock(cport)
        body = smb2raw.header(smb2raw.ECHO, c.next_mid) + b"\x00" * length
        for i in range(length):
            if stop.wait(TRICKLE_GAP_S) or not trickle:
                break
            try:
                c.sock.send(body[i:i + 1])
            except OSError:
                break
        stop.wait()
    finally:
        c.close()


def stalled_lister(port, watch, group, silent, ready, go, stop):
    """Opens the huge folder and reads its first page; once every lister has
    (`go`), holds the listing and either stays silent (closed at the idle
    timeout, counted from its last request) or asks for more than its socket
    buffers hold and never reads (closed once the server's send makes no
    progress for io_timeout_ms)."""
    c = smb2raw.Client(port, timeout=120, rcvbuf=65536)
    try:
        cport = watch.register(c, group, (IDLE_TIMEOUT_MS if silent else IO_TIMEOUT_MS) / 1000.0)
        try:
            c.logon_guest()
            tree = c.tree_connect("data")
            fid = c.create(tree, "huge", access=smb2raw.FILE_LIST_DIRECTORY, options=smb2raw.FILE_DIRECTORY_FILE)
            body = c.query_directory_body(fid, info_class=smb2raw.FILE_ID_BOTH_DIRECTORY_INFORMATION)
            r = c.call(smb2raw.QUERY_DIRECTORY, body, tree)
            if not r.ok():
                raise smb2raw.ProtocolError("first QUERY_DIRECTORY %#x" % r.status)
            if silent:
                watch.start_clock(cport)
        finally:
            ready.release()
        go.wait()
        if not silent:
            fid = c.create(tree, "big.bin")
            chunk = smb2raw.CREDIT_UNIT
            msgs = [c.request(smb2raw.READ, c.read_body(fid, (i * chunk) % len(BIG), chunk), tree)[1]
                    for i in range(min(BURST, c.credits))]
            c.send_raw(b"".join(smb2raw.netbios(m) for m in msgs))
            watch.start_clock(cport)
        stop.wait()
    except Exception as e:  # reported in the table: a lister must get this far
        watch.errors.append("%s: %s" % (group, e))
    finally:
        c.close()


def smbclient_round(port, tmp, k, want):
    local = os.path.join(tmp, "big.%d" % k)
    p = subprocess.run(["smbclient", "//127.0.0.1/data", "-p", str(port), "-U", "%s%%%s" % (USER, PASSWORD),
                        "-m", "SMB3", "-t", "30", "-c", "ls; ls docs\\*; get big.bin %s" % local],
                       capture_output=True, text=True, timeout=60)
    out = p.stdout + p.stderr
    if p.returncode != 0 or "small.txt" not in out or "guide.txt" not in out:
        raise RuntimeError("smbclient rc %d: %s" % (p.returncode, out[-400:]))
    with open(local, "rb") as f:
        if hashlib.sha256(f.read()).digest() != want:
            raise RuntimeError("smbclient: big.bin checksum differs")
    os.unlink(local)


def impacket_round(port, tmp, k, want):
    from impacket.smbconnection import SMBConnection
    conn = SMBConnection("127.0.0.1", "127.0.0.1", sess_port=port, timeout=30)
    try:
        seed_session_preauth(conn)
        conn.login(USER, PASSWORD)
        names = {f.get_longname() for f in conn.listPath("data", "*")}
        if not {"small.txt", "big.bin", "docs", "huge"} <= names:
            raise RuntimeError("impacket listing %s" % sorted(names))
        if {f.get_longname() for f in conn.listPath("data", "docs\\*")} - {".", ".."} != {"guide.txt"}:
            raise RuntimeError("impacket docs listing")
        buf = io.BytesIO()
        conn.getFile("data", "big.bin", buf.write)
        if hashlib.sha256(buf.getvalue()).digest() != want:
            raise RuntimeError("impacket: big.bin checksum differs")
        conn.logoff()
    finally:
        conn.close()


def normal_client(kind, port, tmp, k, want, stop, results):
    """Rounds of one normal client until `stop`; runs in a process of its own
    so its Python work never delays the close watch."""
    fn = {"smbclient": smbclient_round, "impacket": impacket_round}[kind]
    rounds, failures = 0, []
    while not stop.is_set() and rounds < 1000:
        try:
            fn(port, tmp, k, want)
        except Exception as e:  # every failure is reported, none may happen
            failures.append("%s: %s" % (kind, e))
        rounds += 1
    results.put((kind, rounds, failures))


def huge_folder(root):
    path = os.path.join(root, "data", "huge")
    os.makedirs(path, exist_ok=True)
    for i in range(ENTRIES):
        os.close(os.open(os.path.join(path, "entry %06d.dat" % i), os.O_CREAT | os.O_WRONLY, 0o644))


def run(table):
    common.raise_nofile()
    tree = {"data": {"small.txt": b"small\n", "big.bin": BIG, "docs": {"guide.txt": b"guide\n"}}}
    opts = {"max_clients": 256, "guest": "on", "io_timeout_ms": IO_TIMEOUT_MS, "idle_timeout_ms": IDLE_TIMEOUT_MS}
    tmp = tempfile.mkdtemp(prefix="twsmb3s_stress_")
    try:
        with harness.serve(tree=tree, users={USER: PASSWORD}, opts=opts) as srv:
            huge_folder(srv.root)
            _run(table, srv, tmp)
    finally:
        shutil.rmtree(tmp, ignore_errors=True)


def _run(table, srv, tmp):
    pid = srv.proc.pid
    stop = threading.Event()
    threads = []
    results = []

    def spawn(fn, *args):
        t = threading.Thread(target=fn, args=args, daemon=True)
        t.start()
        threads.append(t)

    with CloseWatch(srv.port) as watch, common.RssSampler(pid) as rss:
        # Every listing is open before the rest begins.
        ready, go = threading.Semaphore(0), threading.Event()
        for i in range(2 * LISTERS):
            spawn(stalled_lister, srv.port, watch, "silent listers" if i < LISTERS else "non-reading listers",
                  i < LISTERS, ready, go, stop)
        setup_end = time.monotonic() + LISTING_SETUP_S
        for _ in range(2 * LISTERS):
            ready.acquire(timeout=max(0.0, setup_end - time.monotonic()))
        listed_rss = common.proc_status(pid)[0]
        go.set()
        for group, logged_on, length, trickle in (
                ("tricklers before logon", False, PRELOGON_LEN, True),
                ("tricklers after logon", True, POSTLOGON_LEN, True),
                ("silent announcers before logon", False, PRELOGON_LEN, False),
                ("silent announcers after logon", True, POSTLOGON_LEN, False)):
            for _ in range(GROUP):
                spawn(hostile_announcer, srv.port, watch, group, logged_on, length, trickle, stop)
        mp = multiprocessing.get_context("spawn")
        normal_stop, queue = mp.Event(), mp.Queue()
        normal = []
        for k in range(NORMAL_EACH):
            for kind in ("smbclient", "impacket"):
                p = mp.Process(target=normal_client, args=(kind, srv.port, tmp, len(normal), hashlib.sha256(BIG).digest(),
                                                               normal_stop, queue))
                p.start()
                normal.append(p)
        longest = deadline_s(POSTLOGON_LEN) + IDLE_TIMEOUT_MS / 1000.0 + 30
        expected = 4 * GROUP + 2 * LISTERS
        common.wait_until(lambda: len(watch.closed) >= expected and watch.all_closed(), longest, 0.2)
        normal_stop.set()
        for _ in normal:
            try:
                results.append(queue.get(timeout=120))
            except Exception:  # a client that never reported counts as failed below
                break
        for p in normal:
            p.join(timeout=10)
        stop.set()
        for t in threads:
            t.join(timeout=10)
        alive = srv.alive()

    rounds = sum(r[1] for r in results)
    failures = [f for r in results for f in r[2]]
    table.add(NAME, "normal clients (4 smbclient, 4 impacket)", "all rounds succeed",
              "%d rounds by %d clients, %d failed%s" % (rounds, len(results), len(failures),
                                                        (": " + failures[0][:120]) if failures else ""),
              not failures and len(results) == 2 * NORMAL_EACH and all(r[1] > 0 for r in results) and alive)
    for group, limit in (("tricklers before logon", deadline_s(PRELOGON_LEN)),
                         ("tricklers after logon", deadline_s(POSTLOGON_LEN)),
                         ("silent announcers before logon", STALL_S),
                         ("silent announcers after logon", STALL_S),
                         ("silent listers", IDLE_TIMEOUT_MS / 1000.0),
                         ("non-reading listers", IO_TIMEOUT_MS / 1000.0)):
        n, ok, shortest, longest = watch.results(group)
        errors = [e for e in watch.errors if e.startswith(group + ":")]
        table.add(NAME, "%s closed" % group, "%d, each at %.1f s +-%.1f" % (n, limit, SLACK_S),
                  "%d at it, after %.2f..%.2f s%s" % (ok, shortest, longest, "; " + errors[0][:100] if errors else ""),
                  n > 0 and ok == n and not errors)
    table.add(NAME, "server RSS peak (%d listings of %d entries)" % (2 * LISTERS, ENTRIES),
              "<= %d MiB" % BUDGET_MIB, "%s (all listings open: %s)" % (common.mib(rss.peak), common.mib(listed_rss)),
              rss.peak <= BUDGET_MIB * 1024)
