"""File and volume information against real clients: smbclient's allinfo,
volume and du on shares with one-letter, two-letter and long non-ASCII
names; smbcacls showing the fixed security descriptor (and failing to change
it); impacket reading the descriptor raw, with its size rule."""

import os
import re
import shutil
import struct
import subprocess
import sys
import tempfile
import unittest

sys.dont_write_bytecode = True  # keep the source tree clean
import harness  # noqa: E402
from impacket_compat import logged_on  # noqa: E402

USER, PASSWORD = "alice", "Secret-123"
CLIENT_TIMEOUT_S = 120
WIDE = "Größere Sammlung – 日本語のファイル mit einem recht langen Namen"
SHARES = ("m", "ab", WIDE)
CONTENT = {"ten.txt": b"0123456789", "Grüße aus Köln.txt": b"umlauts\n", "sub": {"deep.txt": b"deep\n"}}

# The descriptor every object carries, as MS-DTYP lays it out.
ADMINS = bytes([1, 2, 0, 0, 0, 0, 0, 5]) + struct.pack("<II", 32, 544)
USERS = bytes([1, 2, 0, 0, 0, 0, 0, 5]) + struct.pack("<II", 32, 545)
EVERYONE = bytes([1, 1, 0, 0, 0, 0, 0, 1]) + struct.pack("<I", 0)


def descriptor(ace_flags):
    acl = struct.pack("<BBHHH", 2, 0, 28, 1, 0) + struct.pack("<BBHI", 0, ace_flags, 20, 0x001200A9) + EVERYONE
    return struct.pack("<BBHIIII", 1, 0, 0x8004, 20, 36, 0, 52) + ADMINS + USERS + acl


def run(args, timeout=CLIENT_TIMEOUT_S):
    p = subprocess.run(args, stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=timeout,
                       stdin=subprocess.DEVNULL)
    return p.returncode, p.stdout.decode(errors="replace"), p.stderr.decode(errors="replace")


def allinfo_blocks(text):
    """smbclient allinfo output cut into one {field: [values]} per file."""
    blocks = []
    for line in text.splitlines():
        if line.startswith("altname:"):
            blocks.append({})
        if blocks and ":" in line:
            key, _, value = line.partition(":")
            blocks[-1].setdefault(key.strip(), []).append(value.strip())
    return blocks


class Server:
    ctx = None
    srv = None


def setUpModule():
    Server.ctx = harness.serve(tree={share: CONTENT for share in SHARES}, users={USER: PASSWORD})
    Server.srv = Server.ctx.__enter__()


def tearDownModule():
    Server.ctx.__exit__(None, None, None)


@unittest.skipUnless(shutil.which("smbclient"), "smbclient not installed")
class Smbclient(unittest.TestCase):
    def smbclient(self, share, dialect, commands):
        return run(["smbclient", "//127.0.0.1/" + share, "-p", str(Server.srv.port), "-m", dialect,
                    "-U", "%s%%%s" % (USER, PASSWORD), "-t", "60", "-c", commands])

    def test_allinfo_volume_and_du(self):
        st = os.statvfs(os.path.join(Server.srv.root, "m"))
        total = st.f_blocks * st.f_frsize
        for share in SHARES:
            for dialect in ("SMB3_00", "SMB3_11"):
                with self.subTest(share=share, dialect=dialect):
                    rc, out, err = self.smbclient(share, dialect, 'allinfo ten.txt; allinfo sub; '
                                                  'allinfo "Grüße aus Köln.txt"; volume; du')
                    self.assertNotIn("NT_STATUS", out + err)
                    self.assertEqual(rc, 0, out + err)
                    info = allinfo_blocks(out)
                    self.assertEqual(len(info), 3, out)
                    file, folder, wide = info
                    self.assertEqual(file["altname"], ["TEN.TXT"])
                    self.assertEqual(file["stream"], ["[::$DATA], 10 bytes"])
                    self.assertEqual(file["attributes"], ["RA (21)"])
                    self.assertEqual(folder["altname"], ["SUB"])
                    self.assertNotIn("stream", folder, "a folder has no data stream")
                    self.assertEqual(folder["attributes"], ["RD (11)"])
                    self.assertEqual(wide["altname"], [""], "no 8.3 name for a long one")
                    self.assertEqual(wide["stream"], ["[::$DATA], 8 bytes"])
                    self.assertRegex(out, r"(?m)^Volume: \|%s\| serial number 0x[0-9a-f]+$" % re.escape(share))
                    blocks = re.search(r"(\d+) blocks of size (\d+)\. (\d+) blocks available", out)
                    self.assertIsNotNone(blocks, out)
                    count, size, avail = (int(g) for g in blocks.groups())
                    self.assertEqual(count * size, total)
                    self.assertTrue(0 < avail <= count, out)
                    self.assertIn("Total number of bytes: ", out)
        self.assertTrue(Server.srv.alive())


def unshare_works():
    if os.geteuid() != 0 or not shutil.which("unshare") or not shutil.which("ip"):
        return False
    return subprocess.run(["unshare", "-n", "true"], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                          timeout=30).returncode == 0


# smbcacls always dials port 445 (it has no port option), so it runs with its
# own server in a fresh network namespace, whose loopback nobody else uses.
SMBCACLS_SCRIPT = r"""
set -u
ip link set lo up
"$TWSMB3S_BIN" serve --bind 127.0.0.1 --port 445 --port-file "$TMP/port" --share "m=$TMP/m" \
  --user "$CRED_USER:$CRED_PASS" >"$TMP/server.log" 2>&1 &
pid=$!
i=0
while [ ! -s "$TMP/port" ] && [ $i -lt 100 ]; do sleep 0.1; i=$((i+1)); done
c() { echo "== $*"; timeout 60 smbcacls //127.0.0.1/m "$@" -U "$CRED_USER%$CRED_PASS" 2>&1; echo "rc=$?"; }
c ten.txt
c sub --numeric
c ten.txt -a "ACL:S-1-1-0:ALLOWED/0x0/FULL"
c sub -C S-1-5-32-545
c ten.txt
{ kill $pid; wait $pid; } 2>/dev/null
"""


@unittest.skipUnless(shutil.which("smbcacls") and unshare_works(), "smbcacls and a network namespace needed")
class Smbcacls(unittest.TestCase):
    def test_shows_the_descriptor_and_refuses_changes(self):
        with tempfile.TemporaryDirectory(prefix="twsmb3s_cacls_") as tmp:
            harness.make_tree(os.path.join(tmp, "m"), CONTENT)
            env = dict(os.environ, TMP=tmp, CRED_USER=USER, CRED_PASS=PASSWORD, TWSMB3S_BIN=harness.binary())
            p = subprocess.run(["unshare", "-n", "sh", "-c", SMBCACLS_SCRIPT], stdout=subprocess.PIPE,
                               stderr=subprocess.STDOUT, timeout=CLIENT_TIMEOUT_S * 3, env=env,
                               stdin=subprocess.DEVNULL)
            out = p.stdout.decode(errors="replace")
            runs = [chunk.strip().splitlines() for chunk in out.split("== ")[1:]]
            self.assertEqual(len(runs), 5, out)
            show_file, show_dir, add, chown, again = runs
            self.assertEqual(show_file[1:], ["REVISION:1", "CONTROL:SR|DP", "OWNER:S-1-5-32-544",
                                             "GROUP:S-1-5-32-545", "ACL:S-1-1-0:ALLOWED/0x0/READ", "rc=0"])
            self.assertEqual(show_dir[1:], ["REVISION:1", "CONTROL:0x8004", "OWNER:S-1-5-32-544",
                                            "GROUP:S-1-5-32-545", "ACL:S-1-1-0:0/0x3/0x001200a9", "rc=0"])
            for refused in (add, chown):
                self.assertIn("NT_STATUS_ACCESS_DENIED", "\n".join(refused))
                self.assertNotEqual(refused[-1], "rc=0")
            self.assertEqual(again, show_file, "nothing changed")


def impacket_modules():
    try:
        from impacket import smb3, smb3structs
        from impacket.smbconnection import SMBConnection, SessionError
        return smb3, smb3structs, SMBConnection, SessionError
    except ImportError:
        return None


@unittest.skipUnless(impacket_modules(), "impacket not installed")
class ImpacketSecurity(unittest.TestCase):
    def short_query(self, conn, tree, fid, out_len):
        """A security query with a small OutputBufferLength: (status, error body)."""
        smb3, smb3structs, _, _ = impacket_modules()
        raw = conn.getSMBServer()
        packet = raw.SMB_PACKET()
        packet["Command"] = smb3structs.SMB2_QUERY_INFO
        packet["TreeID"] = tree
        q = smb3structs.SMB2QueryInfo()
        q["FileID"] = fid
        q["InfoType"] = smb3structs.SMB2_0_INFO_SECURITY
        q["FileInfoClass"] = 0
        q["OutputBufferLength"] = out_len
        q["AdditionalInformation"] = 7
        q["InputBufferOffset"] = 0
        q["Buffer"] = "\x00"
        packet["Data"] = q
        ans = raw.recvSMB(raw.sendSMB(packet))
        return ans["Status"], ans["Data"]

    def test_descriptor_bytes_size_rule_and_no_changes(self):
        smb3, smb3structs, _, _ = impacket_modules()
        for dialect in (smb3structs.SMB2_DIALECT_30, smb3structs.SMB2_DIALECT_311):
            with self.subTest(hex(dialect)):
                conn = logged_on(Server.srv.port, dialect, USER, PASSWORD)
                raw = conn.getSMBServer()
                tree = conn.connectTree(WIDE)
                for name, flags in (("ten.txt", 0), ("sub", 3)):
                    # READ_CONTROL | READ_ATTRIBUTES, a file or a folder
                    fid = conn.openFile(tree, name, desiredAccess=0x00020080, creationOption=0)
                    sd = raw.queryInfo(tree, fid, infoType=smb3structs.SMB2_0_INFO_SECURITY, fileInfoClass=0,
                                       additionalInformation=7)
                    self.assertEqual(bytes(sd), descriptor(flags), name)
                    status, body = self.short_query(conn, tree, fid, 16)
                    self.assertEqual(status, 0xC0000023)
                    need = struct.pack("<I", len(descriptor(0)))
                    if dialect == smb3structs.SMB2_DIALECT_311:
                        self.assertEqual(bytes(body[:20]), struct.pack("<HBBIII", 9, 1, 0, 12, 4, 0) + need)
                    else:
                        self.assertEqual(bytes(body[:12]), struct.pack("<HBBI", 9, 0, 0, 4) + need)
                    with self.assertRaises(smb3.SessionError) as refused:
                        raw.setInfo(tree, fid, inputBlob=descriptor(0), infoType=smb3structs.SMB2_0_INFO_SECURITY,
                                    fileInfoClass=0, additionalInformation=4)
                    self.assertIn("ACCESS_DENIED", str(refused.exception))
                    conn.closeFile(tree, fid)
                conn.logoff()
                conn.close()


if __name__ == "__main__":
    unittest.main(verbosity=2)
