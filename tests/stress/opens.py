"""One long-lived connection that opens and closes a file over and over: the
server must free what it closed. 1,000,000 compounds of CREATE + CLOSE (the
CLOSE related, on the CREATE's handle), then 100,000 of CREATE + a
QUERY_INFO that fails + CLOSE (both related), pipelined up to 64 compounds
deep within the credits granted. For each kind: the server's resident size
from after a warm-up to the end, the server's CPU time per compound in the
last tenth against the first, and every answer's status (the CLOSE must
succeed even after the failed QUERY_INFO). Then a plain CREATE on the same
connection must still be granted: handles left open by those compounds
would have used up max_handles (1024, the default).

STRESS_OPEN_PAIRS (default 1000000) and STRESS_OPEN_FAILING (default 100000)
set the two counts (at least 100 each)."""

import os
import socket
import statistics
import struct
import time

import common
import harness
import smb2raw

NAME = "opens"
PAIRS = max(100, int(os.environ.get("STRESS_OPEN_PAIRS", "1000000")))
FAILING = max(100, int(os.environ.get("STRESS_OPEN_FAILING", "100000")))
PAIRS_WARMUP = 10000
# Fewer than max_handles: handles a failed compound leaves open then still
# show in the resident size (past 1024 the CREATE is refused and holds nothing).
FAILING_WARMUP = 100
DEPTH = 64                   # compounds in flight, 192 requests at most: within max_credits 256
RSS_GROWTH_KIB = 1024
RSS_STOP_KIB = 256 << 10     # growth past which a run stops: its row failed long before
SLOWDOWN = 1.10
SLICES = 100                 # marks: a tenth is 10 of them
RECV_TIMEOUT_S = 30.0        # one reply may wait this long on a busy machine
PER_COMPOUND_S = 0.001       # the whole run's bound: more than ten times a compound's time here
FILE = "small.txt"
INFO_FILE, BAD_CLASS = 1, 0xFF
SUCCESS, BAD_INFO = smb2raw.STATUS_SUCCESS, smb2raw.STATUS_INVALID_INFO_CLASS


def cpu_ns(pid):
    """CPU time the process's live threads have run, in nanoseconds (the
    connection's thread lives through a whole run)."""
    total = 0
    task = "/proc/%d/task" % pid
    for tid in os.listdir(task):
        try:
            with open("%s/%s/schedstat" % (task, tid)) as f:
                total += int(f.read().split()[0])
        except (OSError, ValueError):
            pass  # a thread that ended meanwhile
    return total


def compound(c, tree, parts):
    """A message template for `parts` (command, body) and the offsets of
    their MessageIds: the first request names the tree and the file, the
    later ones are related and take its session, tree and handle."""
    msgs, mid_at, off = [], [], 4
    for i, (command, body) in enumerate(parts):
        last = i == len(parts) - 1
        pad = b"" if last else b"\x00" * ((-(smb2raw.HDR + len(body))) % 8)
        nxt = 0 if last else smb2raw.HDR + len(body) + len(pad)
        if i == 0:
            hdr = smb2raw.header(command, 0, tree_id=tree, session_id=c.session_id, next_command=nxt)
        else:
            hdr = smb2raw.header(command, 0, tree_id=smb2raw.RELATED_TREE_ID, session_id=smb2raw.RELATED_SESSION_ID,
                                 next_command=nxt, flags=smb2raw.FLAG_RELATED)
        msgs.append(hdr + body + pad)
        mid_at.append(off + 24)
        off += len(msgs[-1])
    return bytearray(smb2raw.netbios(b"".join(msgs))), mid_at


class Tally:
    """Every compound's answers: how many did not match, by position, and
    the first of them."""

    def __init__(self, expected):
        self.expected = list(expected)
        self.wrong_compounds = 0
        self.wrong = [0] * len(expected)  # by position
        self.first_wrong = None
        self.broken = 0      # not one answer per request, in order, in one message
        self.strays = 0      # answers to no compound in flight
        self.unanswered = 0
        self.ended = None    # why the connection failed a run
        self.stopped = None  # why a run sent no more

    def bad(self):
        return self.wrong_compounds + self.broken + self.strays + self.unanswered + (self.ended is not None)

    def describe(self, names):
        out = ["%s %d" % (n, w) for n, w in zip(names, self.wrong)]
        if self.first_wrong:
            out.append("first %s" % "/".join("%#x" % s for s in self.first_wrong))
        for what, n in (("broken", self.broken), ("stray", self.strays), ("unanswered", self.unanswered)):
            if n:
                out.append("%s %d" % (what, n))
        out += [why for why in (self.stopped, self.ended) if why]
        return ", ".join(out)


def pipeline(c, template, count, tally, marks=None, pid=0, rss_cap=0):
    """Sends `count` compounds of `template` with fresh MessageIds, at most
    DEPTH in flight and never more than the credits held, and checks each
    answer; the number answered. With `marks`, appends (monotonic s, server
    CPU ns) each time another 1/SLICES of the compounds is answered, the
    start included; with `rss_cap` (KiB), sends no more once the server's
    resident size is past it (a leak that has long failed its target need
    not take the machine's memory)."""
    msg, mid_at = template
    k = len(mid_at)
    commands = [struct.unpack_from("<H", msg, at - 12)[0] for at in mid_at]
    inflight = set()  # first MessageIds of the compounds in flight
    sent = answered = next_mark = 0
    stopped = False
    buf = bytearray()
    chunk = memoryview(bytearray(1 << 18))  # reused: a fresh large buffer per read costs a mapping
    limit_s = 60 + count * PER_COMPOUND_S
    deadline = time.monotonic() + limit_s
    drain_end = deadline + RECV_TIMEOUT_S  # for the answers in flight once none are sent
    c.sock.settimeout(RECV_TIMEOUT_S)
    while True:
        while marks is not None and next_mark <= SLICES and answered >= next_mark * count // SLICES:
            marks.append((time.monotonic(), cpu_ns(pid)))
            next_mark += 1
            if rss_cap and not stopped and common.proc_status(pid)[0] > rss_cap:
                stopped = True
                tally.stopped = "stopped after %d: server RSS past %s" % (answered, common.mib(rss_cap))
        out = []
        # Refilled in batches once half are answered: fewer, larger sends
        # and reads, so this client keeps up with the server.
        if not stopped and len(inflight) <= DEPTH // 2:
            while sent < count and len(inflight) < DEPTH and c.credits >= k:
                mid = c.next_mid
                for i, at in enumerate(mid_at):
                    struct.pack_into("<Q", msg, at, mid + i)
                out.append(bytes(msg))
                inflight.add(mid)
                c.next_mid += k
                c.credits -= k
                sent += 1
        if not inflight:
            if sent < count and not stopped:
                tally.ended = "holds %d credits, none in flight" % c.credits
            break
        now = time.monotonic()
        if now > deadline and not stopped:
            stopped = True
            tally.stopped = "not done within %.0f s" % limit_s
        if now > drain_end:
            tally.ended = "answers in flight not back within %.0f s" % RECV_TIMEOUT_S
            break
        try:
            if out:
                c.sock.sendall(b"".join(out))
            n = c.sock.recv_into(chunk)
        except socket.timeout:
            tally.ended = "no answer within %.0f s" % RECV_TIMEOUT_S
            break
        except OSError as e:
            tally.ended = "connection error: %s" % e
            break
        if not n:
            tally.ended = "server closed the connection"
            break
        buf += chunk[:n]
        pos = 0
        while len(buf) - pos >= 4:
            length = int.from_bytes(buf[pos + 1:pos + 4], "big")
            if len(buf) - pos - 4 < length:
                break
            if buf[pos] != 0:
                tally.broken += 1
            else:
                one, credits = _check(buf, pos + 4, pos + 4 + length, k, commands, inflight, tally)
                answered += one
                c.credits += credits
            pos += 4 + length
        del buf[:pos]
    tally.unanswered += len(inflight)
    return answered


def _check(buf, start, end, k, commands, inflight, tally):
    """Checks the answers in one message: (1 when they answer a compound in
    flight, else 0; the credits they grant)."""
    statuses, mids = [], []
    granted = 0
    off = start
    for _ in range(k + 1):
        if end - off < smb2raw.HDR or buf[off:off + 4] != b"\xfeSMB":
            tally.broken += 1
            return 0, granted
        status, command, credits, _, nxt, mid = struct.unpack_from("<IHHIIQ", buf, off + 8)
        granted += credits
        statuses.append(status)
        mids.append((mid, command))
        if not nxt:
            break
        off += nxt
    first = mids[0][0]
    if first not in inflight:
        tally.strays += 1
        return 0, granted
    inflight.remove(first)
    if mids != [(first + i, commands[i]) for i in range(k)]:
        tally.broken += 1
        return 1, granted
    if statuses != tally.expected:
        tally.wrong_compounds += 1
        tally.first_wrong = tally.first_wrong or statuses
        for i, (got, want) in enumerate(zip(statuses, tally.expected)):
            tally.wrong[i] += got != want
    return 1, granted


STATUS_NAMES = {SUCCESS: "SUCCESS", BAD_INFO: "INVALID_INFO_CLASS"}


def measure(table, c, pid, template, warmup, count, expected, names, what, unit):
    """A warm-up, then `count` compounds with timings; adds the rows of `what`."""
    tally = Tally(expected)
    pipeline(c, template, warmup, tally)
    warm_rss = common.proc_status(pid)[0]
    marks = []
    t0 = time.monotonic()
    done = pipeline(c, template, count, tally, marks, pid, warm_rss + RSS_STOP_KIB)
    took = time.monotonic() - t0
    end_rss = common.proc_status(pid)[0]
    print("   %d %s in %.1f s: %.0f per second" % (done, what, took, done / took if took else 0.0), flush=True)
    short = "" if done == count else " after %d" % done

    growth = end_rss - warm_rss
    table.add(NAME, "server RSS growth after %d %s" % (count, what), "< %d MiB" % (RSS_GROWTH_KIB // 1024),
              "%s%s (after %d warm-up: %s, end %s)" % (common.mib(growth), short, warmup, common.mib(warm_rss),
                                                        common.mib(end_rss)),
              growth < RSS_GROWTH_KIB and done == count)
    # Wall time per compound, the median over a tenth's slices: a burst of
    # other work on the shared machine moves a few slices, a server that
    # slows down as closed opens pile up moves them all. The server is what
    # limits the pace (its CPU time per compound is about the wall time), so
    # its slowing shows; its CPU time, shown beside, moves in steps of a
    # scheduler tick and is exact only over long runs. A run stopped early
    # compares as much as it has, apart.
    tenth = min(SLICES // 10, (len(marks) - 1) // 2)
    head, tail = range(0, tenth), range(len(marks) - 1 - tenth, len(marks) - 1)
    first, last = _median_wall(marks, count, head), _median_wall(marks, count, tail)
    cpu_first, cpu_last = _cpu(marks, count, head), _cpu(marks, count, tail)
    ratio = last / first if first else float("nan")
    table.add(NAME, "last tenth vs first tenth time per %s" % unit, "<= x%.1f" % SLOWDOWN,
              "x%.2f%s (%.1f vs %.1f us; server CPU x%.2f)" % (
                  ratio, short, last, first, cpu_last / cpu_first if cpu_first else float("nan")),
              done == count and ratio <= SLOWDOWN)
    want = ", ".join("%s %s" % (n, STATUS_NAMES[s]) for n, s in zip(names, expected))
    table.add(NAME, "%s answered otherwise" % what, "0 (%s)" % want,
              "%d (%s)" % (tally.bad(), tally.describe(names)), tally.bad() == 0)
    return tally


def _per_compound(marks, count, i, column):
    """What `column` of the marks (0: wall s, 1: server CPU ns) grew by per
    compound in slice i."""
    return (marks[i + 1][column] - marks[i][column]) / ((i + 1) * count // SLICES - i * count // SLICES)


def _median_wall(marks, count, slices):
    return statistics.median(_per_compound(marks, count, i, 0) * 1e6 for i in slices) if slices else 0.0


def _cpu(marks, count, slices):
    """Server CPU us per compound over the slices."""
    return sum(_per_compound(marks, count, i, 1) for i in slices) / 1000.0 / len(slices) if slices else 0.0


def run(table):
    tree = {"data": {FILE: b"opened and closed\n"}}
    with harness.serve(tree=tree, opts={"guest": "on"}) as srv:
        pid = srv.proc.pid
        c = smb2raw.Client(srv.port, timeout=RECV_TIMEOUT_S)
        try:
            c.logon_guest()
            tid = c.tree_connect("data")
            create = (smb2raw.CREATE, c.create_body(FILE))
            close = (smb2raw.CLOSE, c.close_body(smb2raw.RELATED_FILE_ID))
            query = (smb2raw.QUERY_INFO, c.query_info_body(smb2raw.RELATED_FILE_ID, INFO_FILE, BAD_CLASS))
            for template, warmup, count, expected, names, what, unit in (
                    ([create, close], PAIRS_WARMUP, PAIRS, (SUCCESS, SUCCESS), ("CREATE", "CLOSE"),
                     "create/close pairs", "pair"),
                    ([create, query, close], FAILING_WARMUP, FAILING, (SUCCESS, BAD_INFO, SUCCESS),
                     ("CREATE", "QUERY_INFO", "CLOSE"), "failing compounds", "failing compound")):
                tally = measure(table, c, pid, compound(c, tid, template), warmup, count, expected, names, what, unit)
                if tally.ended:  # answers may still come: the connection can no longer be read in step
                    raise smb2raw.ProtocolError("%s: %s" % (what, tally.ended))
            try:
                fid = c.create(tid, FILE)
                c.close_file(tid, fid)
                usable, result = True, "CREATE and CLOSE succeeded"
            except (smb2raw.ProtocolError, smb2raw.Closed, OSError) as e:
                usable, result = False, str(e)
            table.add(NAME, "handle usable after failing compounds", "CREATE succeeds", result, usable)
        finally:
            c.close()
