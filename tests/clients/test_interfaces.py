"""The server's network interfaces as impacket asks for them
(FSCTL_QUERY_NETWORK_INTERFACE_INFO on IPC$, on 3.0 and 3.1.1):
with the `interfaces` option set, exactly its addresses, IPv4 and IPv6, in
well-formed NETWORK_INTERFACE_INFO entries; a MaxOutputResponse one byte
short of the list is refused with STATUS_BUFFER_TOO_SMALL and the session
lives on."""

import ipaddress
import struct
import sys
import unittest

sys.dont_write_bytecode = True  # keep the source tree clean
import harness  # noqa: E402
from impacket_compat import logged_on  # noqa: E402

try:
    from impacket import nt_errors, smb3structs
    from impacket.smb3 import SessionError  # what the raw ioctl() raises
    HAVE_IMPACKET = True
except ImportError:  # pragma: no cover
    HAVE_IMPACKET = False

USERS = {"alice": "secret"}
ADVERTISED = ["192.0.2.7", "2001:db8::7", "10.0.2.2"]
ENTRY_SIZE = 152  # NETWORK_INTERFACE_INFO (MS-SMB2 2.2.32.5)
AF_INET, AF_INET6 = 0x0002, 0x0017
LINK_SPEED_DEFAULT = 1000000000


def decode(out):
    """The entries as (IfIndex, Capability, LinkSpeed, address text), checking
    the layout on the way: Next chains whole entries and ends in 0, ports and
    unused bytes are 0."""
    entries = []
    off = 0
    for _ in range(len(out) // ENTRY_SIZE):
        nxt, index, capability, reserved, speed = struct.unpack_from("<IIIIQ", out, off)
        family, port = struct.unpack_from("<HH", out, off + 24)
        storage = out[off + 24:off + ENTRY_SIZE]
        assert reserved == 0 and port == 0, (reserved, port)
        if family == AF_INET:
            addr, used = ipaddress.IPv4Address(storage[4:8]), 8
        else:
            assert family == AF_INET6, family
            assert storage[4:8] == b"\0" * 4  # FlowInfo
            addr, used = ipaddress.IPv6Address(storage[8:24]), 28
        assert storage[used:] == b"\0" * (len(storage) - used), storage[used:]
        entries.append((index, capability, speed, str(addr)))
        if nxt == 0:
            assert off + ENTRY_SIZE == len(out), (off, len(out))
            return entries
        assert nxt == ENTRY_SIZE, nxt
        off += nxt
    raise AssertionError("entries do not end inside the %d bytes of output" % len(out))


@unittest.skipUnless(HAVE_IMPACKET, "impacket not installed")
class NetworkInterfaces(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls._server = harness.serve(tree={"data": {"a.txt": b"a"}}, users=USERS,
                                    opts={"interfaces": ",".join(ADVERTISED)})
        cls.srv = cls._server.__enter__()

    @classmethod
    def tearDownClass(cls):
        cls._server.__exit__(None, None, None)

    def query(self, smb, tree, max_out):
        return smb.ioctl(tree, None, smb3structs.FSCTL_QUERY_NETWORK_INTERFACE_INFO,
                         flags=smb3structs.SMB2_0_IOCTL_IS_FSCTL, maxInputResponse=0,
                         maxOutputResponse=max_out)

    def test_lists_the_option_and_refuses_a_short_buffer(self):
        for dialect in (smb3structs.SMB2_DIALECT_30, smb3structs.SMB2_DIALECT_311):
            with self.subTest(dialect=hex(dialect)):
                conn = logged_on(self.srv.port, dialect, "alice", "secret")
                smb = conn.getSMBServer()
                tree = conn.connectTree("IPC$")
                entries = decode(self.query(smb, tree, 65536))
                self.assertEqual([e[3] for e in entries], ADVERTISED)
                self.assertEqual([e[0] for e in entries], [1, 2, 3])
                self.assertTrue(all(e[2] == LINK_SPEED_DEFAULT and e[1] in (0, 1) for e in entries), entries)
                with self.assertRaises(SessionError) as refused:
                    self.query(smb, tree, ENTRY_SIZE * len(ADVERTISED) - 1)
                self.assertEqual(refused.exception.get_error_code(), nt_errors.STATUS_BUFFER_TOO_SMALL)
                self.assertEqual(len(decode(self.query(smb, tree, ENTRY_SIZE * len(ADVERTISED)))), 3)
                conn.logoff()
                conn.close()
        self.assertTrue(self.srv.alive())


if __name__ == "__main__":
    unittest.main()
