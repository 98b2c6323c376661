"""Logon with real clients: impacket and smbclient negotiate, authenticate
with NTLMv2 (or as guest) and sign, and tshark finds nothing malformed in
the NEGOTIATE and SESSION_SETUP exchange. Share-level commands are not
judged here."""

import os
import re
import shutil
import subprocess
import sys
import tempfile
import time
import unittest

sys.dont_write_bytecode = True  # keep the source tree clean
import harness  # noqa: E402

USERS = {"alice": "secret"}
LOGON_FAILURE = 0xC0000064
CLIENT_TIMEOUT_S = 30
CAPTURE_S = 12

try:
    from impacket import smb3structs
    from impacket.smbconnection import SessionError, SMBConnection
    HAVE_IMPACKET = True
except ImportError:  # pragma: no cover
    HAVE_IMPACKET = False


def impacket_dialects():
    """The 3.x dialects impacket can be asked for (it has no 3.0.2)."""
    return [("3.0", smb3structs.SMB2_DIALECT_30, 0x0300), ("3.1.1", smb3structs.SMB2_DIALECT_311, 0x0311)]


@unittest.skipUnless(HAVE_IMPACKET, "impacket not installed")
class Impacket(unittest.TestCase):
    def connect(self, port, dialect):
        return SMBConnection("127.0.0.1", "127.0.0.1", sess_port=port, preferredDialect=dialect, timeout=5)

    def test_named_user(self):
        with harness.serve(users=USERS) as srv:
            for name, dialect, wire in impacket_dialects():
                with self.subTest(dialect=name):
                    conn = self.connect(srv.port, dialect)
                    self.assertEqual(conn.getDialect(), wire)
                    conn.login("alice", "secret")
                    self.assertFalse(conn.isGuestSession())
                    conn.close()

                    conn = self.connect(srv.port, dialect)
                    with self.assertRaises(SessionError) as ctx:
                        conn.login("alice", "wrong")
                    self.assertEqual(ctx.exception.getErrorCode(), LOGON_FAILURE)
                    conn.close()
            self.assertTrue(srv.alive())

    def test_guest_without_accounts(self):
        with harness.serve() as srv:
            for name, dialect, _ in impacket_dialects():
                with self.subTest(dialect=name):
                    conn = self.connect(srv.port, dialect)
                    conn.login("", "")
                    self.assertTrue(conn.isGuestSession())
                    conn.close()

    def test_no_guest_with_accounts(self):
        with harness.serve(users=USERS) as srv:
            for name, dialect, _ in impacket_dialects():
                with self.subTest(dialect=name):
                    conn = self.connect(srv.port, dialect)
                    with self.assertRaises(SessionError) as ctx:
                        conn.login("", "")
                    self.assertEqual(ctx.exception.getErrorCode(), LOGON_FAILURE)
                    conn.close()


def smbclient(port, max_protocol, algorithm, user="alice%secret"):
    """Runs smbclient against the share at debug level 4, the lowest that logs
    "session setup ok" and "tconx ok"; its whole output."""
    args = ["smbclient", "//127.0.0.1/public", "-p", str(port), "-U", user,
            "--option=client min protocol=SMB3_00",
            "--option=client max protocol=" + max_protocol,
            "--option=client signing=required",
            "--option=client smb3 signing algorithms=" + algorithm,
            "-d", "4", "-c", "ls"]
    proc = subprocess.run(args, capture_output=True, text=True, timeout=CLIENT_TIMEOUT_S)
    return proc.stdout + proc.stderr


# GMAC signing exists only from 3.1.1 on; smbclient refuses it below.
SMBCLIENT_CASES = [("SMB3_00", "aes-128-cmac"), ("SMB3_02", "aes-128-cmac"),
                   ("SMB3_11", "aes-128-cmac"), ("SMB3_11", "aes-128-gmac")]
SIGNATURE_TROUBLE = re.compile(r"(?i)bad smb2 signature|signature check failed|"
                               r"invalid signature|NT_STATUS_ACCESS_DENIED|NT_STATUS_LOGON_FAILURE")


@unittest.skipUnless(shutil.which("smbclient"), "smbclient not installed")
class Smbclient(unittest.TestCase):
    def test_signed_logon_for_every_dialect_and_algorithm(self):
        with harness.serve(users=USERS) as srv:
            for max_protocol, algorithm in SMBCLIENT_CASES:
                with self.subTest(protocol=max_protocol, algorithm=algorithm):
                    out = smbclient(srv.port, max_protocol, algorithm)
                    self.assertIn("session setup ok", out)
                    before_tcon = out.split("tconx ok")[0]
                    self.assertIsNone(SIGNATURE_TROUBLE.search(before_tcon), before_tcon[-2000:])
            self.assertTrue(srv.alive())

    def test_wrong_password_is_refused(self):
        with harness.serve(users=USERS) as srv:
            out = smbclient(srv.port, "SMB3_11", "aes-128-cmac", user="alice%wrong")
            self.assertNotIn("session setup ok", out)
            # Samba names 0xC0000064 "The specified account does not exist."
            self.assertRegex(out, r"login failed: The specified account does not exist")


LOGON_FILTER = "smb2.cmd == 0 || smb2.cmd == 1"
# The server's initial token carries MS-SPNG NegTokenInit2 negHints in [3];
# tshark reads [3] as the RFC 4178 mechListMIC OCTET STRING and warns. Every
# other malformed or error finding in the logon exchange is a fault.
NEGHINTS_WARNING = "BER Error: OctetString expected but class:UNIVERSAL(0) Constructed tag:16 was unexpected"


def tshark_expert(pcap, port):
    """The expert-info summary of the NEGOTIATE and SESSION_SETUP frames."""
    proc = subprocess.run(["tshark", "-r", pcap, "-d", "tcp.port==%d,nbss" % port, "-q",
                           "-z", "expert,note," + LOGON_FILTER],
                          capture_output=True, text=True, timeout=CLIENT_TIMEOUT_S)
    return proc.stdout


def tshark_logon_frames(pcap, port):
    proc = subprocess.run(["tshark", "-r", pcap, "-d", "tcp.port==%d,nbss" % port, "-Y", LOGON_FILTER,
                           "-T", "fields", "-e", "frame.number", "-e", "smb2.cmd"],
                          capture_output=True, text=True, timeout=CLIENT_TIMEOUT_S)
    return [line for line in proc.stdout.splitlines() if line.strip()]


def expert_findings(summary):
    """(section, line) for every finding line of a `-z expert` summary."""
    section = None
    for line in summary.splitlines():
        head = re.match(r"^(Errors|Warns|Notes|Chats|Comments) \(\d+\)", line)
        if head:
            section = head.group(1)
        elif section and re.match(r"^\s+\d+\s", line):
            yield section, line.strip()


@unittest.skipUnless(shutil.which("tshark") and shutil.which("smbclient"), "tshark or smbclient missing")
class Capture(unittest.TestCase):
    def test_logon_exchange_is_well_formed(self):
        tmp = tempfile.mkdtemp(prefix="twsmb3s_cap_")
        pcap = os.path.join(tmp, "logon.pcap")
        try:
            with harness.serve(users=USERS) as srv:
                cap = subprocess.Popen(["tshark", "-i", "lo", "-f", "tcp port %d" % srv.port,
                                        "-a", "duration:%d" % CAPTURE_S, "-w", pcap],
                                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
                try:
                    deadline = time.monotonic() + CAPTURE_S
                    while time.monotonic() < deadline and not os.path.exists(pcap):
                        time.sleep(0.1)
                    time.sleep(1.0)  # the capture is armed once the file exists
                    for max_protocol, algorithm in SMBCLIENT_CASES:
                        smbclient(srv.port, max_protocol, algorithm)
                finally:
                    try:
                        cap.wait(timeout=CAPTURE_S + 10)
                    except subprocess.TimeoutExpired:
                        cap.kill()
                        cap.wait()
                frames = tshark_logon_frames(pcap, srv.port)
                # Per connection: NEGOTIATE and two SESSION_SETUP legs, both ways.
                self.assertGreaterEqual(len(frames), 6 * len(SMBCLIENT_CASES), frames)
                summary = tshark_expert(pcap, srv.port)
                for section, line in expert_findings(summary):
                    self.assertNotEqual(section, "Errors", summary)
                    if "Malformed" in line:
                        self.assertIn(NEGHINTS_WARNING, line, summary)
        finally:
            shutil.rmtree(tmp, ignore_errors=True)


if __name__ == "__main__":
    unittest.main()
