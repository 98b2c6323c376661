"""1,024 logged-on connections held at once (max_clients 1024): every one
answers an ECHO, the server's threads and resident size per connection, and
how fast connection 1,025 is turned away."""

import time

import common
import harness
import smb2raw

NAME = "connections"
CLIENTS = 1024
THREADS_SPARE = 8        # the process's own threads besides one per connection
RSS_PER_CONN_KIB = 64    # thread stack in use, connection state, a small receive buffer
ECHO_P50_MS = 5.0
ECHO_P99_MS = 50.0
REFUSE_MS = 100.0
RSS_BACK = 1.10          # an idle server hands back what ended connections freed
RSS_SETTLE_S = 5         # the acceptor trims within a poll of the last one ending


def refused_within(port, limit_s):
    """Seconds from connecting to the server's close, or None."""
    t0 = time.monotonic()
    extra = smb2raw.Client(port, timeout=limit_s)
    try:
        closed = extra.sees_close(limit_s)
        return time.monotonic() - t0 if closed else None
    finally:
        extra.close()


def run(table):
    common.raise_nofile()
    tree = {"data": {"small.txt": b"served\n"}}
    with harness.serve(tree=tree, opts={"max_clients": CLIENTS, "guest": "on"}) as srv:
        pid = srv.proc.pid
        idle_rss, idle_threads = common.proc_status(pid)
        clients = []
        failures = 0
        try:
            for _ in range(CLIENTS):
                c = smb2raw.Client(srv.port)
                clients.append(c)
                try:
                    c.logon_guest()
                    c.tree_connect("data")
                except (smb2raw.ProtocolError, smb2raw.Closed, OSError):
                    failures += 1
            served = 0
            latencies = []
            for c in clients:
                t0 = time.perf_counter()
                try:
                    c.echo()
                    served += 1
                    latencies.append((time.perf_counter() - t0) * 1000.0)
                except (smb2raw.ProtocolError, smb2raw.Closed, OSError):
                    pass
            held_rss, held_threads = common.proc_status(pid)
            refused_s = refused_within(srv.port, 5.0)
            still = sum(1 for c in clients[:: CLIENTS // 16] if _echoes(c))
        finally:
            for c in clients:
                c.close()
        drained = common.wait_until(lambda: common.proc_status(pid)[1] <= idle_threads, 30)
        common.wait_until(lambda: common.proc_status(pid)[0] <= idle_rss * RSS_BACK, RSS_SETTLE_S)
        end_rss, end_threads = common.proc_status(pid)

    table.add(NAME, "logged-on connections answering ECHO", "%d" % CLIENTS,
              "%d (logon failures %d)" % (served, failures), served == CLIENTS and failures == 0)
    p50, p99 = common.percentile(latencies, 50), common.percentile(latencies, 99)
    table.add(NAME, "ECHO round trip p50 / p99 (all %d)" % CLIENTS,
              "<= %.0f / %.0f ms" % (ECHO_P50_MS, ECHO_P99_MS), "%.2f / %.2f ms" % (p50, p99),
              p50 <= ECHO_P50_MS and p99 <= ECHO_P99_MS)
    per_conn = (held_rss - idle_rss) / float(CLIENTS)
    table.add(NAME, "server RSS per connection", "<= %d KiB" % RSS_PER_CONN_KIB,
              "%.1f KiB (idle %s, held %s)" % (per_conn, common.mib(idle_rss), common.mib(held_rss)),
              per_conn <= RSS_PER_CONN_KIB)
    table.add(NAME, "server threads while held", "<= %d" % (CLIENTS + THREADS_SPARE),
              "%d (idle %d)" % (held_threads, idle_threads), held_threads <= CLIENTS + THREADS_SPARE)
    table.add(NAME, "connection %d refused" % (CLIENTS + 1), "closed <= %.0f ms" % REFUSE_MS,
              "closed in %.2f ms" % (refused_s * 1000.0) if refused_s is not None else "not closed",
              refused_s is not None and refused_s * 1000.0 <= REFUSE_MS and still == 16)
    table.add(NAME, "threads after all closed", "back to %d" % idle_threads,
              "%d" % end_threads, drained and end_threads == idle_threads)
    table.add(NAME, "server RSS after all closed", "idle %s + %d %%" % (common.mib(idle_rss), (RSS_BACK - 1) * 100),
              common.mib(end_rss), end_rss <= idle_rss * RSS_BACK)


def _echoes(c):
    try:
        c.echo()
        return True
    except (smb2raw.ProtocolError, smb2raw.Closed, OSError):
        return False
