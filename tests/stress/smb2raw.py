"""A raw SMB2 client for the stress suite: exact control over every byte, a
guest logon (no signing), and a ledger of MessageIds so a run can check that
the server answered each request exactly once.

    c = Client(port)
    c.logon_guest()
    tree = c.tree_connect("data")
    fid = c.create(tree, "big.bin")
    data = c.read_all(tree, fid, size)
    c.close()

Every socket operation has a timeout; every loop is bounded.
"""

import socket
import struct
import time

# MS-SMB2 2.2.1 commands.
NEGOTIATE, SESSION_SETUP, LOGOFF, TREE_CONNECT, TREE_DISCONNECT = 0, 1, 2, 3, 4
CREATE, CLOSE, FLUSH, READ, WRITE = 5, 6, 7, 8, 9
ECHO, QUERY_DIRECTORY, QUERY_INFO = 13, 14, 16

STATUS_SUCCESS = 0
STATUS_PENDING = 0x00000103
STATUS_MORE_PROCESSING_REQUIRED = 0xC0000016
STATUS_INVALID_PARAMETER = 0xC000000D
STATUS_ACCESS_DENIED = 0xC0000022
STATUS_NO_MORE_FILES = 0x80000006
STATUS_END_OF_FILE = 0xC0000011
STATUS_INSUFFICIENT_RESOURCES = 0xC000009A
STATUS_INVALID_INFO_CLASS = 0xC0000003

FLAG_RESPONSE = 0x1
FLAG_ASYNC = 0x2
FLAG_RELATED = 0x4
RELATED_SESSION_ID = 0xFFFFFFFFFFFFFFFF  # a related request takes the ids of the one before it
RELATED_TREE_ID = 0xFFFFFFFF
RELATED_FILE_ID = b"\xff" * 16
DIALECT_302 = 0x0302
FILE_DIRECTORY_INFORMATION = 0x01
FILE_NAMES_INFORMATION = 0x0C
FILE_ID_BOTH_DIRECTORY_INFORMATION = 0x25
RESTART_SCANS = 0x01
GENERIC_READ = 0x80000000
FILE_WRITE_DATA = 0x00000002
FILE_READ_DATA_ATTRS = 0x00120089  # read data, attributes, EAs, control, synchronize
FILE_LIST_DIRECTORY = 0x00000001
FILE_SHARE_ALL = 0x7
FILE_OPEN = 1
FILE_OVERWRITE_IF = 5
FILE_DIRECTORY_FILE = 0x1
FILE_NON_DIRECTORY_FILE = 0x40
CREDIT_UNIT = 65536
CREDITS_ASKED = 64
HDR = 64
OPLOCK = 0
NTLM_FLAGS = 0x60088215  # unicode, NTLM, always sign, extended security, 128, key exchange


class ProtocolError(Exception):
    """The server answered something this client did not expect."""


class Closed(Exception):
    """The server ended the connection."""


def netbios(payload):
    return b"\x00" + len(payload).to_bytes(3, "big") + payload


def header(command, mid, charge=1, credits=CREDITS_ASKED, tree_id=0, session_id=0, next_command=0, flags=0):
    return (b"\xfeSMB" + struct.pack("<HHIHHIIQIIQ", HDR, charge, 0, command, credits, flags, next_command,
                                     mid, 0, tree_id, session_id) + b"\x00" * 16)


def utf16(text):
    return text.encode("utf-16-le")


def charge_for(length):
    return max(1, (length + CREDIT_UNIT - 1) // CREDIT_UNIT)


class Response:
    def __init__(self, raw):
        (self.status, self.command, self.credits, self.flags, self.next_command, self.mid, _,
         self.tree_id, self.session_id) = struct.unpack_from("<IHHIIQIIQ", raw, 8)
        self.raw = raw
        self.body = raw[HDR:]

    def ok(self):
        return self.status == STATUS_SUCCESS


class Ledger:
    """Which MessageIds went out and how often each was answered."""

    def __init__(self):
        self.sent = set()
        self.answers = {}
        self.strays = 0  # answers to MessageIds never sent

    def note_sent(self, mid):
        self.sent.add(mid)

    def note_answer(self, mid):
        if mid not in self.sent:
            self.strays += 1
        self.answers[mid] = self.answers.get(mid, 0) + 1

    def unanswered(self):
        return sorted(m for m in self.sent if m not in self.answers)

    def twice(self):
        return sorted(m for m, n in self.answers.items() if n > 1)


class Client:
    def __init__(self, port, host="127.0.0.1", timeout=10.0, rcvbuf=0):
        """rcvbuf: a small fixed receive buffer (no autotuning), for a client
        that means to stop reading."""
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        if rcvbuf:
            self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, rcvbuf)
        self.sock.settimeout(timeout)
        self.sock.connect((host, port))
        self.next_mid = 0
        self.credits = 1
        self.session_id = 0
        self.ledger = Ledger()

    # ---- framing ----

    def close(self):
        try:
            self.sock.close()
        except OSError:
            pass

    def _recv_exact(self, n):
        chunks = []
        got = 0
        while got < n:
            try:
                chunk = self.sock.recv(min(n - got, 1 << 20))
            except ConnectionResetError:
                chunk = b""
            if not chunk:
                raise Closed("closed after %d of %d bytes" % (got, n))
            chunks.append(chunk)
            got += len(chunk)
        return b"".join(chunks)

    def recv_message(self):
        """The responses of one NetBIOS message (a compound splits)."""
        head = self._recv_exact(4)
        length = int.from_bytes(head[1:4], "big")
        payload = self._recv_exact(length)
        if head[0] != 0:
            raise ProtocolError("NetBIOS message type %#x" % head[0])
        out = []
        off = 0
        for _ in range(256):  # a compound holds far fewer
            if payload[off:off + 4] != b"\xfeSMB":
                raise ProtocolError("not an SMB2 response")
            r = Response(payload[off:])
            end = off + r.next_command if r.next_command else len(payload)
            r.raw = payload[off:end]
            r.body = r.raw[HDR:]
            if r.status == STATUS_PENDING and r.flags & FLAG_ASYNC:
                off = end  # an interim answer; the final one follows
            else:
                self.ledger.note_answer(r.mid)
                self.credits += r.credits
                out.append(r)
            if not r.next_command:
                return out
            off = end
        raise ProtocolError("endless compound")

    def take_mid(self, charge=1):
        if charge > self.credits:
            raise ProtocolError("needs %d credits, holds %d" % (charge, self.credits))
        mid = self.next_mid
        self.next_mid += charge
        self.credits -= charge
        self.ledger.note_sent(mid)
        return mid

    def request(self, command, body, tree_id=0, charge=1, next_command=0):
        mid = self.take_mid(charge)
        return mid, header(command, mid, charge, CREDITS_ASKED, tree_id, self.session_id, next_command) + body

    def send_raw(self, data):
        self.sock.sendall(data)

    def call(self, command, body, tree_id=0, charge=1):
        _, msg = self.request(command, body, tree_id, charge)
        self.send_raw(netbios(msg))
        rs = self.recv_message()
        if len(rs) != 1:
            raise ProtocolError("%d answers to one request" % len(rs))
        return rs[0]

    def compound(self, parts):
        """parts: (command, body, tree_id, charge); unrelated requests in one
        message, each 8-byte aligned. Returns the answers in order."""
        msgs = []
        for i, (command, body, tree_id, charge) in enumerate(parts):
            last = i == len(parts) - 1
            pad = b"" if last else b"\x00" * ((-(HDR + len(body))) % 8)
            nxt = 0 if last else HDR + len(body) + len(pad)
            _, msg = self.request(command, body, tree_id, charge, nxt)
            msgs.append(msg + pad)
        self.send_raw(netbios(b"".join(msgs)))
        rs = self.recv_message()
        if len(rs) != len(parts):
            raise ProtocolError("%d answers to %d requests" % (len(rs), len(parts)))
        return rs

    # ---- commands ----

    def negotiate(self):
        body = struct.pack("<HHHHI16sQ", 36, 1, 1, 0, 0, b"stress-client-01", 0) + struct.pack("<H", DIALECT_302)
        r = self.call(NEGOTIATE, body)
        if not r.ok():
            raise ProtocolError("NEGOTIATE %#x" % r.status)
        return r

    def _setup(self, token):
        body = struct.pack("<HBBIIHHQ", 25, 0, 1, 0, 0, HDR + 24, len(token), 0) + token
        return self.call(SESSION_SETUP, body)

    def logon_guest(self):
        """NEGOTIATE and an anonymous NTLM logon (bare NTLMSSP): a guest session."""
        self.negotiate()
        nego = b"NTLMSSP\x00" + struct.pack("<II", 1, NTLM_FLAGS) + b"\x00" * 16
        r = self._setup(nego)
        if r.status != STATUS_MORE_PROCESSING_REQUIRED:
            raise ProtocolError("SESSION_SETUP 1 %#x" % r.status)
        self.session_id = r.session_id
        fixed = 64
        empty = struct.pack("<HHI", 0, 0, fixed)
        auth = (b"NTLMSSP\x00" + struct.pack("<I", 3) + empty * 6 + struct.pack("<I", NTLM_FLAGS & ~0x40000000))
        r = self._setup(auth)
        if not r.ok():
            raise ProtocolError("SESSION_SETUP 2 %#x" % r.status)
        return r

    def tree_connect(self, share):
        path = utf16("\\\\127.0.0.1\\" + share)
        r = self.call(TREE_CONNECT, struct.pack("<HHHH", 9, 0, HDR + 8, len(path)) + path)
        if not r.ok():
            raise ProtocolError("TREE_CONNECT %s %#x" % (share, r.status))
        return r.tree_id

    @staticmethod
    def create_body(path, access=FILE_READ_DATA_ATTRS, disposition=FILE_OPEN, options=0):
        name = utf16(path.replace("/", "\\"))
        return (struct.pack("<HBBIQQIIIIIHHII", 57, 0, OPLOCK, 2, 0, 0, access, 0, FILE_SHARE_ALL, disposition,
                            options, HDR + 56, len(name), 0, 0) + (name or b"\x00"))

    def create(self, tree, path, access=FILE_READ_DATA_ATTRS, disposition=FILE_OPEN, options=0):
        """The FileId of a new open; ProtocolError carries a refusal."""
        r = self.call(CREATE, self.create_body(path, access, disposition, options), tree)
        if not r.ok():
            raise ProtocolError("CREATE %s %#x" % (path, r.status))
        return r.body[64:80]

    @staticmethod
    def close_body(fid):
        return struct.pack("<HHI", 24, 0, 0) + fid

    def close_file(self, tree, fid):
        r = self.call(CLOSE, self.close_body(fid), tree)
        if not r.ok():
            raise ProtocolError("CLOSE %#x" % r.status)

    @staticmethod
    def query_info_body(fid, info_type, info_class, out_len=4096):
        return struct.pack("<HBBIHHIII16s", 41, info_type, info_class, out_len, 0, 0, 0, 0, 0, fid) + b"\x00"

    @staticmethod
    def read_body(fid, offset, length):
        return struct.pack("<HBBIQ16sIIIHH", 49, 0x50, 0, length, offset, fid, 0, 0, 0, 0, 0) + b"\x00"

    def read_all(self, tree, fid, size, chunk=CREDIT_UNIT):
        data = []
        off = 0
        for _ in range(size // chunk + 2):
            if off >= size:
                break
            r = self.call(READ, self.read_body(fid, off, chunk), tree, charge_for(chunk))
            if not r.ok():
                raise ProtocolError("READ at %d %#x" % (off, r.status))
            data_off, _, length = struct.unpack_from("<BBI", r.body, 2)
            piece = r.raw[data_off:data_off + length]
            data.append(piece)
            off += len(piece)
        return b"".join(data)

    @staticmethod
    def query_directory_body(fid, pattern="*", info_class=FILE_NAMES_INFORMATION, flags=0, out_len=CREDIT_UNIT):
        name = utf16(pattern)
        return struct.pack("<HBBI16sHHI", 33, info_class, flags, 0, fid, HDR + 32, len(name), out_len) + name

    def list_names(self, tree, fid, limit=1 << 20):
        """Every name of an open folder, by FileNamesInformation pages."""
        names = []
        flags = RESTART_SCANS
        for _ in range(limit):
            r = self.call(QUERY_DIRECTORY, self.query_directory_body(fid, flags=flags), tree)
            flags = 0
            if r.status == STATUS_NO_MORE_FILES:
                return names
            if not r.ok():
                raise ProtocolError("QUERY_DIRECTORY %#x" % r.status)
            names += parse_names(r)
        raise ProtocolError("listing did not end")

    def write_body(self, fid, data):
        return struct.pack("<HHIQ16sIIHHI", 49, HDR + 48, len(data), 0, fid, 0, 0, 0, 0, 0) + data

    def echo(self):
        r = self.call(ECHO, struct.pack("<HH", 4, 0))
        if not r.ok():
            raise ProtocolError("ECHO %#x" % r.status)

    def logoff(self):
        r = self.call(LOGOFF, struct.pack("<HH", 4, 0))
        if not r.ok():
            raise ProtocolError("LOGOFF %#x" % r.status)

    def sees_close(self, within_s):
        """True when the server closes the connection within the time
        (anything it still sends is read and dropped)."""
        end = time.monotonic() + within_s
        while time.monotonic() < end:
            self.sock.settimeout(max(0.01, end - time.monotonic()))
            try:
                if not self.sock.recv(65536):
                    return True
            except socket.timeout:
                return False
            except OSError:
                return True
        return False


def parse_names(r):
    """Names of a FileNamesInformation answer."""
    off, length = struct.unpack_from("<HI", r.body, 2)
    buf = r.raw[off:off + length]
    names = []
    pos = 0
    for _ in range(len(buf) // 12 + 1):
        nxt, _, nlen = struct.unpack_from("<III", buf, pos)
        names.append(buf[pos + 12:pos + 12 + nlen].decode("utf-16-le"))
        if not nxt:
            break
        pos += nxt
    return names
