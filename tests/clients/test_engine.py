"""The engine behind real sockets: framing answers, ECHO before logon, both
address families, and a real smbclient that must never hurt the server."""

import shutil
import socket
import struct
import subprocess
import sys
import time
import unittest

sys.dont_write_bytecode = True  # keep the source tree clean
import harness  # noqa: E402

SESSION_REQUEST = b"\x81\x00\x00\x44" + b"\x20" + b"A" * 66 + b"\x00"
POSITIVE_RESPONSE = b"\x82\x00\x00\x00"
SMB2_ECHO = 13
WAIT_S = 5.0


def echo_request(message_id):
    # MS-SMB2 2.2.28: StructureSize 4, Reserved.
    return harness.netbios(harness.smb2_header(SMB2_ECHO, message_id) + struct.pack("<HH", 4, 0))


def session_request_answered(port, host="127.0.0.1"):
    with harness.connect(port, host) as s:
        s.sendall(SESSION_REQUEST)
        return harness.recv_exact(s, 4) == POSITIVE_RESPONSE


def eventually(cond):
    deadline = time.monotonic() + WAIT_S
    while time.monotonic() < deadline:
        if cond():
            return True
        time.sleep(0.02)
    return cond()


class Framing(unittest.TestCase):
    def test_session_request_then_echo(self):
        with harness.serve() as srv:
            with harness.connect(srv.port) as s:
                s.sendall(SESSION_REQUEST)
                self.assertEqual(harness.recv_exact(s, 4), POSITIVE_RESPONSE)
                for message_id in (0, 1):
                    s.sendall(echo_request(message_id))
                    kind, reply = harness.recv_message(s)
                    self.assertEqual(kind, 0)
                    self.assertEqual(reply[:4], b"\xfeSMB")
                    status, command = struct.unpack_from("<IH", reply, 8)
                    self.assertEqual(status, 0)
                    self.assertEqual(command, SMB2_ECHO)
                    self.assertEqual(struct.unpack_from("<Q", reply, 24)[0], message_id)
                    self.assertEqual(reply[64:], b"\x04\x00\x00\x00")

    def test_keep_alive_ends_the_connection_and_is_counted(self):
        with harness.library() as lib:
            before = lib.stats()["protocol_errors"]
            with harness.connect(lib.port) as s:
                s.sendall(b"\x85\x00\x00\x00")
                self.assertEqual(s.recv(16), b"")  # closed without an answer
            self.assertTrue(eventually(lambda: lib.stats()["protocol_errors"] == before + 1))
            self.assertTrue(eventually(lambda: lib.client_count() == 0))
            self.assertTrue(session_request_answered(lib.port))

    def test_any_ipv6_address_serves_both_families(self):
        if not socket.has_ipv6:
            self.skipTest("no IPv6")
        with harness.serve(bind="::") as srv:
            self.assertTrue(session_request_answered(srv.port, "127.0.0.1"))
            self.assertTrue(session_request_answered(srv.port, "::1"))


@unittest.skipUnless(shutil.which("smbclient"), "smbclient not installed")
class RealClient(unittest.TestCase):
    """Whatever smbclient achieves against the server, the server survives it
    and goes on serving; this holds as more of the protocol is answered."""

    def run_smbclient(self, port, *args):
        return subprocess.run(
            ["smbclient", "-p", str(port), "-N", "-m", "SMB3", *args],
            stdout=subprocess.PIPE, stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL, timeout=60)

    def test_share_listing_leaves_the_server_serving(self):
        with harness.serve(opts={"guest": "on"}) as srv:
            self.run_smbclient(srv.port, "-L", "//127.0.0.1")
            self.assertTrue(srv.alive(), srv.stderr_text())
            self.assertTrue(session_request_answered(srv.port))

    def test_password_may_contain_a_colon(self):
        with harness.serve(users={"alice": "pa:ss"}) as srv:
            got = self.run_smbclient(srv.port, "//127.0.0.1/public", "-U", "alice%pa:ss",
                                     "-c", "get hello.txt -")
            self.assertEqual(got.returncode, 0, got.stdout)
            self.assertIn(b"Hello from twsmb3s", got.stdout)
            wrong = self.run_smbclient(srv.port, "//127.0.0.1/public", "-U", "alice%pa", "-c", "ls")
            self.assertNotEqual(wrong.returncode, 0, wrong.stdout)
            self.assertTrue(srv.alive(), srv.stderr_text())

    def test_listing_is_counted_and_every_connection_ends(self):
        with harness.library(opts={"guest": "on"}) as lib:
            before = lib.stats()
            self.run_smbclient(lib.port, "-L", "//127.0.0.1")
            self.assertTrue(eventually(lambda: lib.client_count() == 0))
            after = lib.stats()
            self.assertGreater(after["bytes_sent"] + after["protocol_errors"],
                               before["bytes_sent"] + before["protocol_errors"])
            self.assertEqual(after["connections"], before["connections"])
            self.assertTrue(session_request_answered(lib.port))


if __name__ == "__main__":
    unittest.main()
