#!/usr/bin/python3
"""Listing memory and first-query cost of the server, with impacket.

    bench/listing_memory.py [--bin build/twsmb3s] [--before OTHER_BINARY]
                            [--entries 100000] [--handles 1024] [--conns 16]

Serves a temporary folder of --entries empty files as a guest share, then
prints one table:
  - the server CPU of the first QUERY_DIRECTORY on that folder (a fresh
    listing each time: the handle is closed between runs), median of five,
    for --bin and, when given, for the --before binary;
  - one connection holding --handles folder handles, each after one query:
    server RSS (target < 256 MiB);
  - --conns connections doing the same at once: server RSS (target under
    the 512 MiB server budget);
  - server RSS after every handle has closed and every connection ended,
    against its idle figure before any listing (target within 10 %).
Everything runs on 127.0.0.1; the folder is removed afterwards.
"""

import argparse
import os
import shutil
import subprocess
import sys
import tempfile
import threading
import time

from impacket import smb3structs as s3
from impacket.smbconnection import SMBConnection

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
FOLDER = "big"
QD_CLASS = s3.FILEID_BOTH_DIRECTORY_INFORMATION
QD_BUFFER = 65536
MIB = 1024 * 1024


def make_folder(root, entries):
    path = os.path.join(root, FOLDER)
    os.makedirs(path)
    for i in range(entries):
        os.close(os.open(os.path.join(path, "file-%06d.dat" % i), os.O_CREAT | os.O_WRONLY, 0o644))


class Server:
    def __init__(self, binary, root, conns):
        self.port_file = os.path.join(root, "port")
        if os.path.exists(self.port_file):
            os.unlink(self.port_file)
        share = os.path.join(root, "share")
        self.proc = subprocess.Popen(
            [binary, "serve", "--port", "0", "--port-file", self.port_file, "--share", "public=" + share,
             "--opt", "guest=on", "--opt", "max_handles=1024", "--opt", "max_clients=%d" % (conns + 2),
             "--opt", "idle_timeout_ms=600000"],
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        for _ in range(200):
            if os.path.exists(self.port_file) and os.path.getsize(self.port_file) > 0:
                break
            time.sleep(0.05)
        with open(self.port_file) as f:
            self.port = int(f.read())

    def rss_mib(self, field="VmRSS"):
        with open("/proc/%d/status" % self.proc.pid) as f:
            for line in f:
                if line.startswith(field + ":"):
                    return int(line.split()[1]) / 1024.0
        return 0.0

    def cpu_s(self):
        # utime + stime of every thread, dead ones included.
        with open("/proc/%d/stat" % self.proc.pid) as f:
            fields = f.read().rsplit(")", 1)[1].split()
        return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")

    def thread_ns(self):
        # Finer than cpu_s: nanoseconds run by the live threads.
        total = 0
        for tid in os.listdir("/proc/%d/task" % self.proc.pid):
            try:
                with open("/proc/%d/task/%s/schedstat" % (self.proc.pid, tid)) as f:
                    total += int(f.read().split()[0])
            except OSError:
                pass
        return total

    def stop(self):
        self.proc.kill()
        self.proc.wait()


class Client:
    def __init__(self, port):
        self.conn = SMBConnection("127.0.0.1", "127.0.0.1", sess_port=port, timeout=120)
        self.conn.login("", "")
        self.smb = self.conn.getSMBServer()
        self.tid = self.conn.connectTree("public")

    def open_dir(self):
        return self.smb.create(self.tid, FOLDER, s3.FILE_READ_DATA | s3.FILE_READ_ATTRIBUTES, s3.FILE_SHARE_READ,
                               s3.FILE_DIRECTORY_FILE, s3.FILE_OPEN, 0)

    def first_query(self, fid):
        """One QUERY_DIRECTORY; True when it succeeded."""
        try:
            self.smb.queryDirectory(self.tid, fid, "*", informationClass=QD_CLASS, maxBufferSize=QD_BUFFER)
            return True
        except Exception:  # INSUFFICIENT_RESOURCES and the like
            return False

    def close(self, fid):
        try:
            self.smb.close(self.tid, fid)
        except KeyError:
            # impacket files opens by name: the second close of a name fails
            # in its bookkeeping after the server has answered.
            self.smb._Session["OpenTable"].pop(fid, None)

    def end(self):
        try:
            self.conn.logoff()
        except Exception:
            pass
        self.conn.close()


def first_query_cpu(binary, root, runs=5):
    srv = Server(binary, root, 1)
    try:
        cli = Client(srv.port)
        samples = []
        for _ in range(runs):
            fid = cli.open_dir()
            before = srv.thread_ns()
            cli.first_query(fid)
            samples.append((srv.thread_ns() - before) / 1e9)
            cli.close(fid)
        cli.end()
        samples.sort()
        return samples[len(samples) // 2]
    finally:
        srv.stop()


def hold_handles(port, handles, results, index):
    cli = Client(port)
    fids, ok = [], 0
    for _ in range(handles):
        fid = cli.open_dir()
        fids.append(fid)
        ok += cli.first_query(fid)
    results[index] = (cli, fids, ok)


def memory_rows(binary, root, handles, conns):
    srv = Server(binary, root, conns)
    rows = []
    try:
        Client(srv.port).end()  # one connection has come and gone, no listing
        time.sleep(1.0)
        idle = srv.rss_mib()
        rows.append(("idle server RSS", "%.1f MiB" % idle, ""))

        results = [None]
        hold_handles(srv.port, handles, results, 0)
        cli, fids, ok = results[0]
        rss1 = srv.rss_mib()
        rows.append(("1 connection x %d handles: RSS" % handles, "%.1f MiB" % rss1,
                     "%s (< 256 MiB; %d/%d queries answered)" % ("met" if rss1 < 256 else "MISSED", ok, handles)))
        for fid in fids:
            cli.close(fid)
        cli.end()

        results = [None] * conns
        threads = [threading.Thread(target=hold_handles, args=(srv.port, handles, results, i)) for i in range(conns)]
        start = time.time()
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        took = time.time() - start
        rss16 = srv.rss_mib()
        peak = srv.rss_mib("VmHWM")
        answered = sum(r[2] for r in results)
        rows.append(("%d connections x %d handles: RSS" % (conns, handles), "%.1f MiB" % rss16,
                     "%s (< 512 MiB; peak %.1f MiB; %d/%d answered in %.0f s)" %
                     ("met" if peak < 512 else "MISSED", peak, answered, conns * handles, took)))
        for cli, fids, _ in results:
            for fid in fids:
                cli.close(fid)
            cli.end()
        time.sleep(1.0)
        after = srv.rss_mib()
        rows.append(("RSS after every handle closed", "%.1f MiB" % after,
                     "%s (within 10 %% of idle: %+.1f %%)" % (
                         "met" if after <= idle * 1.10 else "MISSED", 100.0 * (after - idle) / idle)))
    finally:
        srv.stop()
    return rows


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--bin", default=os.path.join(ROOT, "build", "twsmb3s"))
    ap.add_argument("--before", help="an earlier server binary for the first-query CPU figure")
    ap.add_argument("--entries", type=int, default=100000)
    ap.add_argument("--handles", type=int, default=1024)
    ap.add_argument("--conns", type=int, default=16)
    ap.add_argument("--cpu-only", action="store_true")
    args = ap.parse_args()

    root = tempfile.mkdtemp(prefix="tw3-listing-bench-")
    try:
        os.makedirs(os.path.join(root, "share"))
        make_folder(os.path.join(root, "share"), args.entries)
        time.sleep(2.5)  # a folder changed this very second is not shared
        rows = []
        after = first_query_cpu(args.bin, root)
        if args.before:
            before = first_query_cpu(args.before, root)
            rows.append(("first query CPU, before", "%.3f s" % before, ""))
            rows.append(("first query CPU, after", "%.3f s" % after,
                         "%s (%.2fx, target <= 0.5x)" % ("met" if after <= before * 0.5 else "MISSED", after / before)))
        else:
            rows.append(("first query CPU", "%.3f s" % after, ""))
        if not args.cpu_only:
            rows += memory_rows(args.bin, root, args.handles, args.conns)
        print("%-40s %-12s %s" % ("measure (%d entries)" % args.entries, "value", "target"))
        for name, value, note in rows:
            print("%-40s %-12s %s" % (name, value, note))
    finally:
        shutil.rmtree(root, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
