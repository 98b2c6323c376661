"""Host names SMB cannot carry, and lookups in another case, against real
clients: a share whose folder holds a backslash, the characters Windows
reserves, final dots and spaces, a control character, a private-use
character, names differing only in case. smbclient lists the folder whole
and reads every file by the name it was shown; impacket and rclone list and
read them too; names in another case open the right file unless
case_sensitive is on."""

import contextlib
import io
import os
import shutil
import subprocess
import sys
import tempfile
import unittest

sys.dont_write_bytecode = True  # keep the source tree clean
import harness  # noqa: E402

CLIENT_TIMEOUT_S = 120
FILE_GENERIC_READ = 0x00120089
SHARE = "names"

# Host name -> content. Each file's content is its own name, so a read that
# reaches the wrong file shows.
HOST_NAMES = ["back\\slash.txt", "a:b.txt", "q?x.txt", "star*.txt", "lt<gt>.txt", "pipe|x.txt", "quote\".txt",
              "trail.", "trail ", "bell\x07ring.txt", "A.txt", "a.txt", "Mixed Case.TXT", "plain.txt"]
HIDDEN = ["pu\uf022x.txt", "del\x7f.txt"]  # would read back as another name / still invalid
SUBDIR = "dir:with?marks"
SUBFILE = "Inner File.Txt"

RESERVED = "\"*:<>?\\|"


def client_name(host):
    """The name a client is shown: control characters to U+F001-U+F01F, the
    reserved characters to U+F020-U+F027, a final space or period to U+F028/9."""
    out = []
    for i, ch in enumerate(host):
        last = i == len(host) - 1
        if 1 <= ord(ch) <= 0x1F:
            out.append(chr(0xF000 + ord(ch)))
        elif ch in RESERVED:
            out.append(chr(0xF020 + RESERVED.index(ch)))
        elif last and ch == " ":
            out.append("\uf028")
        elif last and ch == ".":
            out.append("\uf029")
        else:
            out.append(ch)
    return "".join(out)


def content(host):
    return ("content of %r\n" % host).encode()


def tree():
    files = {name: content(name) for name in HOST_NAMES + HIDDEN}
    files[SUBDIR] = {SUBFILE: content(SUBFILE)}
    return {SHARE: files}


def shown_root():
    return {client_name(n) for n in HOST_NAMES} | {client_name(SUBDIR)}


def run(args, timeout=CLIENT_TIMEOUT_S):
    p = subprocess.run(args, stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=timeout,
                       stdin=subprocess.DEVNULL)
    return p.returncode, p.stdout.decode(errors="replace"), p.stderr.decode(errors="replace")


class Servers:
    stack = None
    insensitive = None
    sensitive = None
    tmp = None


def setUpModule():
    Servers.stack = contextlib.ExitStack()
    Servers.insensitive = Servers.stack.enter_context(harness.serve(tree=tree(), opts={"guest": "on"}))
    Servers.sensitive = Servers.stack.enter_context(
        harness.serve(tree=tree(), opts={"guest": "on", "case_sensitive": "on"}))
    Servers.tmp = Servers.stack.enter_context(tempfile.TemporaryDirectory(prefix="twsmb3s_names_"))


def tearDownModule():
    Servers.stack.close()


def smb_quote(name):
    return '"%s"' % name


@unittest.skipUnless(shutil.which("smbclient"), "smbclient not installed")
class Smbclient(unittest.TestCase):
    def smbclient(self, server, commands):
        return run(["smbclient", "//127.0.0.1/" + SHARE, "-p", str(server.port), "-U", "guest%", "-m", "SMB3_11",
                    "-t", "60", "-c", commands])

    def get(self, server, remote):
        """The bytes smbclient reads from `remote`, or None when it cannot."""
        local = os.path.join(Servers.tmp, "got")
        if os.path.exists(local):
            os.unlink(local)
        rc, out, err = self.smbclient(server, "get %s %s" % (smb_quote(remote), local))
        if rc != 0 or not os.path.exists(local):
            return None
        with open(local, "rb") as f:
            return f.read()

    def listed(self, server, pattern):
        """smbclient's ls output of a pattern, which must end without an error."""
        rc, out, err = self.smbclient(server, "ls %s" % smb_quote(pattern))
        self.assertEqual(rc, 0, out + err)
        self.assertNotIn("NT_STATUS", out + err)
        self.assertIn("blocks available", out)
        return out

    def test_lists_the_folder_whole_and_reads_each_file(self):
        out = self.listed(Servers.insensitive, "*")
        for name in shown_root():
            self.assertIn("  " + name + " ", out, "%r not listed:\n%s" % (name, out))
        for name in HIDDEN:
            self.assertNotIn(client_name(name), out)
            self.assertNotIn(name, out)
        for host in HOST_NAMES:
            with self.subTest(host=host):
                self.assertEqual(self.get(Servers.insensitive, client_name(host)), content(host))
        inner = client_name(SUBDIR) + "\\" + SUBFILE
        self.assertEqual(self.get(Servers.insensitive, inner), content(SUBFILE))

    def test_patterns_end(self):
        out = self.listed(Servers.insensitive, "*?*")
        self.assertIn("  " + client_name("a:b.txt") + " ", out)
        out = self.listed(Servers.insensitive, "*.TXT")
        self.assertIn("  Mixed Case.TXT ", out)
        self.assertIn("  plain.txt ", out)

    def test_names_in_another_case(self):
        cases = [("mixed case.txt", "Mixed Case.TXT"), ("MIXED CASE.TXT", "Mixed Case.TXT"),
                 ("PLAIN.TXT", "plain.txt"), ("A.txt", "A.txt"), ("a.txt", "a.txt"), ("A.TXT", "A.txt"),
                 (client_name("A:B.TXT"), "a:b.txt"), (client_name("TRAIL."), "trail."),
                 (client_name(SUBDIR.upper()) + "\\" + SUBFILE.lower(), SUBFILE)]
        for asked, host in cases:
            with self.subTest(asked=asked):
                self.assertEqual(self.get(Servers.insensitive, asked), content(host))
        # Exact names only with case_sensitive on.
        for asked, host in cases:
            with self.subTest(asked=asked, case_sensitive="on"):
                exact = asked in (client_name(h) for h in HOST_NAMES)
                self.assertEqual(self.get(Servers.sensitive, asked), content(host) if exact else None)

    def test_hidden_names_cannot_be_opened(self):
        for name in HIDDEN:
            for spelling in (name, client_name(name)):
                with self.subTest(name=spelling):
                    self.assertIsNone(self.get(Servers.insensitive, spelling))


def impacket_modules():
    try:
        from impacket.smbconnection import SMBConnection, SessionError
        return SMBConnection, SessionError
    except ImportError:
        return None


@unittest.skipUnless(impacket_modules(), "impacket not installed")
class Impacket(unittest.TestCase):
    def connect(self, server):
        SMBConnection, _ = impacket_modules()
        conn = SMBConnection("127.0.0.1", "127.0.0.1", sess_port=server.port, timeout=30)
        conn.login("guest", "")
        self.addCleanup(conn.close)
        return conn

    def read(self, conn, name):
        buf = io.BytesIO()
        conn.getFile(SHARE, name, buf.write)
        return buf.getvalue()

    def test_lists_and_reads(self):
        conn = self.connect(Servers.insensitive)
        names = {f.get_longname() for f in conn.listPath(SHARE, "*")} - {".", ".."}
        self.assertEqual(names, shown_root())
        for host in HOST_NAMES:
            with self.subTest(host=host):
                self.assertEqual(self.read(conn, client_name(host)), content(host))
        self.assertEqual(len(conn.listPath(SHARE, "*?*")), len(shown_root()) + 2, "the names and the dots")
        self.assertEqual(self.read(conn, "mixed case.TXT"), content("Mixed Case.TXT"))
        self.assertEqual(self.read(conn, "A.txt"), content("A.txt"))
        self.assertEqual(self.read(conn, "a.txt"), content("a.txt"))

    def test_file_system_attributes_say_how_names_are_looked_up(self):
        SMBConnection, SessionError = impacket_modules()
        from impacket import smb3structs
        for server, case_flag in ((Servers.insensitive, 0), (Servers.sensitive, 1)):
            with self.subTest(case_sensitive=bool(case_flag)):
                conn = self.connect(server)
                tid = conn.connectTree(SHARE)
                fid = conn.openFile(tid, "plain.txt", desiredAccess=FILE_GENERIC_READ)
                raw = conn.getSMBServer().queryInfo(tid, fid, infoType=smb3structs.SMB2_0_INFO_FILESYSTEM,
                                                    fileInfoClass=smb3structs.SMB2_FILESYSTEM_ATTRIBUTE_INFO)
                flags = int.from_bytes(raw[:4], "little")
                self.assertEqual(flags & 1, case_flag)  # FILE_CASE_SENSITIVE_SEARCH
                self.assertEqual(flags & 2, 2)          # FILE_CASE_PRESERVED_NAMES
                conn.closeFile(tid, fid)


@unittest.skipUnless(shutil.which("rclone"), "rclone not installed")
class Rclone(unittest.TestCase):
    def rclone(self, *args):
        env = dict(os.environ, RCLONE_CONFIG=os.devnull)
        return subprocess.run(["rclone", "--contimeout", "10s", "--timeout", "60s", "--low-level-retries", "1",
                               "--retries", "1"] + list(args), stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                              timeout=CLIENT_TIMEOUT_S, env=env, stdin=subprocess.DEVNULL)

    def remote(self, path):
        return ":smb,host=127.0.0.1,port=%d,user=guest:%s" % (Servers.insensitive.port, path)

    def test_lists_and_reads(self):
        p = self.rclone("lsf", self.remote(SHARE))
        self.assertEqual(p.returncode, 0, p.stderr.decode())
        names = {line.rstrip("/") for line in p.stdout.decode().splitlines()}
        self.assertEqual(names, shown_root())
        for host in HOST_NAMES:
            with self.subTest(host=host):
                p = self.rclone("cat", self.remote(SHARE + "/" + client_name(host)))
                self.assertEqual(p.returncode, 0, p.stderr.decode())
                self.assertEqual(p.stdout, content(host))


if __name__ == "__main__":
    unittest.main(verbosity=2)
