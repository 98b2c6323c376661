"""The share list at the share cap with real clients: 256 shares with the
longest names allowed, half of them outside ASCII, make a NetrShareEnum
answer of many DCE/RPC fragments. smbclient -L (libsmbclient, as file
managers use it), rpcclient netshareenumall (info level 2) and impacket's
listShares (WRITE and READ on the pipe) must each list every share.
And the other srvsvc calls rpcclient makes on an anonymous session:
srvinfo (NetrServerGetInfo) and netsharegetinfo (NetrShareGetInfo), also
with a share name so long that the request leaves in two fragments."""

import re
import shutil
import subprocess
import sys
import unittest

sys.dont_write_bytecode = True  # keep the source tree clean
import harness  # noqa: E402
from impacket_compat import logged_on  # noqa: E402

USERS = {"alice": "secret"}
SHARE_COUNT = 256
NAME_BYTES = 80  # the longest share name, in UTF-8 bytes
CLIENT_TIMEOUT_S = 60

try:
    from impacket import smb3structs
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
                conn = logged_on(self.srv.port, dialect, "alice", "secret")
                listed = [s["shi1_netname"][:-1] for s in conn.listShares()]
                self.assertListsEveryShare(listed)
                conn.logoff()
                conn.close()


@unittest.skipUnless(shutil.which("rpcclient"), "rpcclient not installed")
class ServerAndShareInfo(unittest.TestCase):
    SERVER_NAME = "FILER9"

    @classmethod
    def setUpClass(cls):
        cls._server = harness.serve(tree={"data": {"a.txt": b"a"}},
                                    opts={"guest": "on", "server_name": cls.SERVER_NAME})
        cls.srv = cls._server.__enter__()

    @classmethod
    def tearDownClass(cls):
        cls._server.__exit__(None, None, None)

    def rpcclient(self, commands):
        return run(["rpcclient", "-p", str(self.srv.port), "-U%", "-c", commands, "127.0.0.1"])

    def test_srvinfo(self):
        rc, out = self.rpcclient("srvinfo")
        self.assertEqual(rc, 0, out[-2000:])
        self.assertRegex(out, r"\b%s\s+Wk Sv NT SNT\b" % self.SERVER_NAME)
        self.assertRegex(out, r"platform_id\s+:\s+500\n")
        self.assertRegex(out, r"os version\s+:\s+10\.0\n")
        self.assertRegex(out, r"server type\s+:\s+0x9003\n")

    def test_netsharegetinfo(self):
        cases = (
            ("data", [r"^netname: data$", r"remark:\s+read-only share", r"SID: S-1-1-0"]),  # level 502
            ("DATA 1", [r"^netname: data$", r"remark:\s+read-only share"]),
            ("ipc$ 2", [r"^netname: IPC\$$", r"remark:\s+IPC share", r"password:\s+\(null\)"]),
            ("data 1005", [r"^flags: 0x0$"]),
        )
        for args, patterns in cases:
            with self.subTest(args=args):
                rc, out = self.rpcclient("netsharegetinfo " + args)
                self.assertEqual(rc, 0, out[-2000:])
                self.assertNotIn("WERR_", out)
                for pattern in patterns:
                    self.assertRegex(out, re.compile(pattern, re.M))
        rc, out = self.rpcclient("netsharegetinfo nosuch")
        self.assertNotEqual(rc, 0)
        self.assertIn("WERR_NERR_NETNAMENOTFOUND", out)
        self.assertTrue(self.srv.alive())

    def test_a_request_in_two_fragments_is_answered_and_the_pipe_lives_on(self):
        # 3000 characters make a stub longer than the 4280-byte fragment:
        # rpcclient WRITEs the first fragment and sends the last by transceive.
        rc, out = self.rpcclient("netsharegetinfo %s 1; srvinfo; netsharegetinfo data 1" % ("x" * 3000))
        self.assertEqual(rc, 0, out[-2000:])
        self.assertIn("WERR_NERR_NETNAMENOTFOUND", out)
        self.assertIn(self.SERVER_NAME, out)
        self.assertRegex(out, re.compile(r"^netname: data$", re.M))
        self.assertTrue(self.srv.alive())


if __name__ == "__main__":
    unittest.main()
