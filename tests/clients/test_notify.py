"""Change notifications against real clients: smbclient's notify returns
when a file appears in the host folder, impacket's raw CHANGE_NOTIFY sees
the action and the name, and tshark decodes the exchange cleanly."""

import os
import shutil
import signal
import struct
import subprocess
import sys
import tempfile
import threading
import time
import unittest

sys.dont_write_bytecode = True  # keep the source tree clean
import harness  # noqa: E402

USER, PASSWORD = "alice", "Secret-123"
CONTENT = {"sub": {"old.txt": b"old\n"}}
WAIT_S = 20          # the longest any change may take to reach a client
STEP_S = 0.5         # between files made while a client may not yet be waiting
FILE_ADDED = 1
FILE_MODIFIED = 3
STATUS_NOTIFY_ENUM_DIR = 0x0000010C
STRESS_CLIENTS, STRESS_FILES = 16, 1000


class Server:
    ctx = None
    srv = None


def setUpModule():
    Server.ctx = harness.serve(tree={"pub": CONTENT, "busy": {}}, users={USER: PASSWORD},
                               opts={"max_clients": STRESS_CLIENTS + 4})
    Server.srv = Server.ctx.__enter__()


def tearDownModule():
    Server.ctx.__exit__(None, None, None)


def host_dir():
    return os.path.join(Server.srv.root, "pub", "sub")


def smbclient_notify(marker, options=()):
    """Runs smbclient's notify on sub and makes files on the host until one of
    them shows in its output. The output, and whether it was seen."""
    # smbclient's notify prints as changes come but never flushes a pipe.
    args = ["stdbuf", "-oL", "smbclient", "//127.0.0.1/pub", "-p", str(Server.srv.port), "-U", "%s%%%s" % (USER, PASSWORD),
            "-m", "SMB3_11", "-c", "notify sub"] + ["--option=" + o for o in options]
    proc = subprocess.Popen(args, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL)
    out = b""
    seen = False
    try:
        os.set_blocking(proc.stdout.fileno(), False)
        deadline = time.monotonic() + WAIT_S
        i = 0
        while time.monotonic() < deadline and not seen and proc.poll() is None:
            # The first files may come before the request reached the server.
            with open(os.path.join(host_dir(), "%s%d.txt" % (marker, i)), "w") as f:
                f.write("x")
            i += 1
            time.sleep(STEP_S)
            out += proc.stdout.read() or b""
            seen = marker.encode() in out
    finally:
        proc.send_signal(signal.SIGTERM)
        try:
            proc.wait(timeout=10)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait(timeout=10)
        out += proc.stdout.read() or b""
        proc.stdout.close()
    return out.decode(errors="replace"), seen


@unittest.skipUnless(shutil.which("smbclient"), "smbclient not installed")
class Smbclient(unittest.TestCase):
    def test_notify_returns_when_a_host_file_appears(self):
        out, seen = smbclient_notify("fresh")
        self.assertTrue(seen, out)
        self.assertNotIn("NT_STATUS", out)
        self.assertTrue(Server.srv.alive())

    def test_notify_on_an_encrypted_session(self):
        # A client that encrypts drops anything plain of its session: the
        # completion must come sealed like any answer.
        for cipher in ("aes-128-gcm", "aes-128-ccm"):
            with self.subTest(cipher=cipher):
                out, seen = smbclient_notify("sealed", ("client smb encrypt=required",
                                                        "client smb3 encryption algorithms=" + cipher))
                self.assertTrue(seen, out)
                self.assertNotIn("NT_STATUS", out)


def impacket_modules():
    try:
        from impacket import smb3structs
        from impacket.smbconnection import SMBConnection
    except ImportError:
        return None
    return smb3structs, SMBConnection


def notify_records(buf):
    out = []
    at = 0
    for _ in range(1000):
        if at + 12 > len(buf):
            break
        nxt, action, n = struct.unpack_from("<III", buf, at)
        out.append((action, buf[at + 12:at + 12 + n].decode("utf-16-le")))
        if nxt == 0:
            break
        at += nxt
    return out


RSS_GROWTH_MAX_KIB = 16 * 1024
SETTLE_S = 10


def rss_kib(pid):
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return 0


@unittest.skipUnless(impacket_modules(), "impacket not installed")
class Impacket(unittest.TestCase):
    def watcher(self, share, folder):
        """A logged-on connection with a CHANGE_NOTIFY waiting on folder (the
        server has taken it when this returns)."""
        s3, SMBConnection = impacket_modules()
        conn = SMBConnection("127.0.0.1", "127.0.0.1", sess_port=Server.srv.port,
                             preferredDialect=s3.SMB2_DIALECT_30, timeout=WAIT_S)
        conn.login(USER, PASSWORD)
        smb = conn.getSMBServer()
        tid = conn.connectTree(share)
        fid = smb.create(tid, folder, s3.FILE_READ_DATA | s3.FILE_READ_ATTRIBUTES | s3.READ_CONTROL,
                         s3.FILE_SHARE_READ | s3.FILE_SHARE_WRITE | s3.FILE_SHARE_DELETE,
                         s3.FILE_DIRECTORY_FILE, s3.FILE_OPEN, 0)
        p = smb.SMB_PACKET()
        p["Command"] = s3.SMB2_CHANGE_NOTIFY
        p["TreeID"] = tid
        req = s3.SMB2ChangeNotify()
        req["OutputBufferLength"] = 4096
        req["FileID"] = fid
        req["CompletionFilter"] = s3.FILE_NOTIFY_CHANGE_FILE_NAME
        p["Data"] = req
        mid = smb.sendSMB(p)
        # The host folder is watched from the moment the server takes the
        # request, and a change made before that is not reported. A
        # connection's messages are answered in order, so once an ECHO sent
        # after it is answered the request is waiting (impacket passes over
        # its interim answer); on a loaded host that can be long after sending.
        smb.echo()
        return conn, smb, tid, fid, mid

    def test_many_watchers_of_a_busy_folder_all_complete(self):
        """16 clients watch one folder while 1,000 files appear in it: each
        completes with records or NOTIFY_ENUM_DIR, and memory stays put."""
        watchers = [self.watcher("busy", "") for _ in range(STRESS_CLIENTS)]
        before = rss_kib(Server.srv.proc.pid)
        folder = os.path.join(Server.srv.root, "busy")
        for i in range(STRESS_FILES):
            open(os.path.join(folder, "f%04d" % i), "w").close()
        outcomes = set()
        for conn, smb, tid, fid, mid in watchers:
            ans = smb.recvSMB(mid)
            self.assertIn(ans["Status"], (0, STATUS_NOTIFY_ENUM_DIR))
            outcomes.add(ans["Status"])
            smb.close(tid, fid)
            conn.logoff()
            conn.close()
        # The server ends each connection after its client has gone; give
        # the threads of a loaded host a bounded moment to finish that.
        deadline = time.monotonic() + SETTLE_S
        grown = rss_kib(Server.srv.proc.pid) - before
        while grown >= RSS_GROWTH_MAX_KIB and time.monotonic() < deadline:
            time.sleep(0.1)
            grown = rss_kib(Server.srv.proc.pid) - before
        sys.stderr.write("stress: %d clients, %d files: %s, server grew %d KiB\n"
                         % (STRESS_CLIENTS, STRESS_FILES, sorted(outcomes), grown))
        self.assertLess(grown, RSS_GROWTH_MAX_KIB)
        self.assertTrue(Server.srv.alive())

    def test_raw_change_notify_sees_the_action_and_name(self):
        s3, _ = impacket_modules()
        conn, smb, tid, fid, mid = self.watcher("pub", "sub")
        # The request waits on the server before the file is made.
        maker = threading.Timer(1.0, lambda: open(os.path.join(host_dir(), "Zürich.txt"), "w").close())
        maker.start()
        try:
            ans = smb.recvSMB(mid)
        finally:
            maker.join()
        self.assertEqual(ans["Status"], 0)
        self.assertTrue(ans["Flags"] & s3.SMB2_FLAGS_ASYNC_COMMAND)
        resp = s3.SMB2ChangeNotify_Response(ans["Data"])
        # Creating the file is one ADDED; on a loaded host the close of the
        # same write may land in the same completion as a MODIFIED of it.
        records = notify_records(resp["Buffer"])
        self.assertEqual(records[:1], [(FILE_ADDED, "Zürich.txt")])
        self.assertEqual([r for r in records[1:] if r != (FILE_MODIFIED, "Zürich.txt")], [])
        smb.close(tid, fid)
        conn.logoff()
        conn.close()


@unittest.skipUnless(shutil.which("tshark") and shutil.which("smbclient") and os.geteuid() == 0,
                     "tshark, smbclient and capture rights needed")
class Capture(unittest.TestCase):
    def test_notify_exchange_decodes_cleanly(self):
        port = Server.srv.port
        with tempfile.TemporaryDirectory(prefix="twsmb3s_notify_") as tmp:
            pcap = os.path.join(tmp, "notify.pcapng")
            cap = subprocess.Popen(["tshark", "-i", "lo", "-f", "tcp port %d" % port, "-a", "duration:60",
                                    "-w", pcap], stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
            try:
                deadline = time.monotonic() + 15
                started = b""
                while time.monotonic() < deadline and b"Capturing on" not in started and cap.poll() is None:
                    started += cap.stderr.read1(4096)
                self.assertIn(b"Capturing on", started)
                out, seen = smbclient_notify("captured")
                self.assertTrue(seen, out)
                time.sleep(1)
            finally:
                cap.send_signal(signal.SIGINT)
                cap.wait(timeout=30)
                cap.stderr.close()
            decode = ["tshark", "-r", pcap, "-d", "tcp.port==%d,nbss" % port]
            p = subprocess.run(decode + ["-Y", "_ws.malformed || smb2.cmd == 15", "-T", "fields",
                                         "-e", "frame.number", "-e", "_ws.malformed", "-e", "smb2.nt_status",
                                         "-e", "smb2.cmd"],
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=120)
            lines = [ln.split("\t") for ln in p.stdout.decode().splitlines() if ln.strip()]
            self.assertTrue([ln for ln in lines if ln[3] == "15"], "no CHANGE_NOTIFY captured")
            # The one complaint tolerated is the logon tests' business: Wireshark's
            # reading of the SPNEGO token in the NEGOTIATE response.
            self.assertEqual([ln for ln in lines if ln[1] and ln[3] != "0"], [], p.stdout.decode())
            statuses = " ".join(ln[2] for ln in lines)
            self.assertIn("0x00000103", statuses)  # the interim answer
            self.assertIn("0x00000000", statuses)  # and the completion


if __name__ == "__main__":
    unittest.main()
