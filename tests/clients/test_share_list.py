"""The share list at the share cap with real clients: 256 shares with the
longest names allowed, half of them outside ASCII, make a NetrShareEnum
answer of many DCE/RPC fragments. smbclient -L (libsmbclient, as file
managers use it), rpcclient netshareenumall (info level 2) and impacket's
listShares (WRITE and READ on the pipe) must each list every share."""

import re
import shutil
import subprocess
import sys
import unittest

sys.dont_write_bytecode = True  # keep the source tree clean
import harness  # noqa: E402
from impacket_compat import seed_session_preauth  # noqa: E402

USERS = {"alice": "secret"}
SHARE_COUNT = 256
NAME_BYTES = 80  # the longest share name, in UTF-8 bytes
CLIENT_TIMEOUT_S = 60

try:
    from impacket import smb3structs
    from impacket.smbconnection import SMBConnection
    HAVE_IMPACKET = True
except ImportError:  # pragma: no cover
    HAVE_IMPACKET = False


def share_names():
    names = []
    for i in range(SHARE_COUNT):
        stem = "%03d-%s-" % (i, "Überraschungsfreigabe-äöü" if i % 2 else "plain-ascii-share")
        name = stem + ("x" if i % 2 else "y") * (NAME_BYTES - len(stem.encode()))
        assert len(name.encode()) == NAME_BYTES
        names.append(name)
    return names


NAMES = share_names()


def run(args):
    proc = subprocess.run(args, capture_output=True, timeout=CLIENT_TIMEOUT_S, stdin=subprocess.DEVNULL)
    return proc.returncode, (proc.stdout + proc.stderr).decode("utf-8", errors="replace")


class ShareList(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls._server = harness.serve(tree={name: {} for name in NAMES}, users=USERS)
        cls.srv = cls._server.__enter__()

    @classmethod
    def tearDownClass(cls):
        cls._server.__exit__(None, None, None)

    def assertListsEveryShare(self, listed):
        self.assertEqual(sorted(set(listed) - {"IPC$"}), sorted(NAMES))
        self.assertIn("IPC$", listed)
        self.assertTrue(self.srv.alive())

    @unittest.skipUnless(shutil.which("smbclient"), "smbclient not installed")
    def test_smbclient_list(self):
        rc, out = run(["smbclient", "-L", "//127.0.0.1", "-p", str(self.srv.port), "-U", "alice%secret"])
        self.assertEqual(rc, 0, out[-2000:])
        listed = re.findall(r"^\t(\S+)\s+(?:Disk|IPC)\s", out, re.M)
        self.assertListsEveryShare(listed)

    @unittest.skipUnless(shutil.which("rpcclient"), "rpcclient not installed")
    def test_rpcclient_netshareenumall(self):
        for level in ("", " 1", " 2"):
            with self.subTest(level=level or "default (2)"):
                rc, out = run(["rpcclient", "-p", str(self.srv.port), "-U", "alice%secret",
                               "-c", "netshareenumall" + level, "127.0.0.1"])
                self.assertEqual(rc, 0, out[-2000:])
                self.assertNotIn("WERR_", out)
                self.assertListsEveryShare(re.findall(r"^netname: (\S+)$", out, re.M))

    @unittest.skipUnless(HAVE_IMPACKET, "impacket not installed")
    def test_impacket_list_shares(self):
        for dialect in (smb3structs.SMB2_DIALECT_30, smb3structs.SMB2_DIALECT_311):
            with self.subTest(dialect=hex(dialect)):
                conn = SMBConnection("127.0.0.1", "127.0.0.1", sess_port=self.srv.port,
                                     preferredDialect=dialect, timeout=30)
                seed_session_preauth(conn)
                conn.login("alice", "secret")
                listed = [s["shi1_netname"][:-1] for s in conn.listShares()]
                self.assertListsEveryShare(listed)
                conn.logoff()
                conn.close()


if __name__ == "__main__":
    unittest.main()
