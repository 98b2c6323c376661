#!/usr/bin/python3
"""Writes the parser fuzz targets' seeds from real client traffic.

Starts the built server (TWSMB3S_BIN, default build/twsmb3s) on a loopback
port with the fixed clock the ntlm_auth target assumes, captures the
loopback traffic with tshark while smbclient (every dialect, CMAC and GMAC,
a user, a guest, the share list), rpcclient (server and share information,
a request long enough to leave in two fragments) and impacket (a user, an
anonymous logon, the share list, listings and reads) talk to it, and cuts
the capture into seeds:

    negotiate  the body of every NEGOTIATE request
    spnego     every security buffer of NEGOTIATE and SESSION_SETUP, both ways
    ntlm_auth  every AUTHENTICATE message, behind two selector bytes
    srvsvc     the DCE/RPC PDUs written or sent by IOCTL to the pipe
    names      CREATE names and QUERY_DIRECTORY patterns, each with a name
    utf        the UTF-16LE names of TREE_CONNECT, CREATE and QUERY_DIRECTORY

Usage: capture_seeds.py [OUT_DIR] (default: the folder of this script).
A seed's file name is its kind and the start of its SHA-1, so running again
adds nothing twice."""
import hashlib
import os
import shutil
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "clients"))

from harness import make_tree  # noqa: E402 (found through the path set above)

CLOCK = 1700000000
USER, PASSWORD = "alice", "secret"
CLIENT_TIMEOUT_S = 60
TSHARK_START_S = 10
# Selector bytes of the ntlm_auth target: timestamp check and the account
# alice; and the same with guests allowed, another server name and tracing.
NTLM_SELECTORS = (0x03, 0x1E)
FSCTL_PIPE_TRANSCEIVE = 0x0011C017
NEGOTIATE, SESSION_SETUP, TREE_CONNECT, CREATE, WRITE, IOCTL, QUERY_DIRECTORY = 0, 1, 3, 5, 9, 11, 14
TREE = {
    "hello.txt": b"Hello\n",
    "docs": {"guide.txt": b"g\n", "caf\u00e9.txt": b"c\n", "\u65e5\u672c\u8a9e.md": b"j\n"},
    "\U0001F600 smile": {"x.bin": b"\0" * 70000},
}


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def run(args):
    subprocess.run(args, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=CLIENT_TIMEOUT_S)


def smbclient_sessions(port):
    base = ["smbclient", "-p", str(port), "--option=client min protocol=SMB3_00"]
    cmds = "ls; cd docs; ls; get guide.txt /dev/null; allinfo guide.txt; cd ..; ls *.txt"
    for proto, alg in (("SMB3_00", "aes-128-cmac"), ("SMB3_02", "aes-128-cmac"),
                       ("SMB3_11", "aes-128-cmac"), ("SMB3_11", "aes-128-gmac")):
        run(base + ["//127.0.0.1/public", "-U", "%s%%%s" % (USER, PASSWORD),
                    "--option=client max protocol=" + proto,
                    "--option=client smb3 signing algorithms=" + alg, "-c", cmds])
    run(base + ["//127.0.0.1/public", "-U", "guest%", "--option=client signing=if_required", "-c", "ls"])
    run(base + ["-L", "//127.0.0.1", "-U", "%s%%%s" % (USER, PASSWORD)])


def rpcclient_sessions(port):
    calls = ["srvinfo", "netsharegetinfo public", "netsharegetinfo PUBLIC 1005", "netsharegetinfo IPC$ 2",
             "netsharegetinfo %s 1" % ("x" * 3000)]
    run(["rpcclient", "-p", str(port), "-U", "%s%%%s" % (USER, PASSWORD), "-c", "; ".join(calls), "127.0.0.1"])


def impacket_sessions(port):
    try:
        from impacket.smbconnection import SMBConnection
        import impacket_compat
    except ImportError:
        return
    for user, password in ((USER, PASSWORD), ("", "")):
        try:
            conn = impacket_compat.seed_session_preauth(
                SMBConnection("127.0.0.1", "127.0.0.1", sess_port=port, timeout=10))
            conn.login(user, password)
            conn.listShares()
            for pattern in ("*", "docs\\*", "docs\\*.txt", "d?cs"):
                conn.listPath("public", pattern)
            conn.getFile("public", "docs\\guide.txt", lambda data: None)
            conn.logoff()
            conn.close()
        except Exception:  # an anonymous session may be refused a share: keep what was sent
            pass


def capture(pcap):
    tmp = tempfile.mkdtemp(prefix="tw3seeds_")
    server = tshark = None
    try:
        make_tree(os.path.join(tmp, "public"), TREE)
        port = free_port()
        binary = os.environ.get("TWSMB3S_BIN", os.path.join(os.path.dirname(__file__), "..", "..", "build", "twsmb3s"))
        server = subprocess.Popen([binary, "serve", "--bind", "127.0.0.1", "--port", str(port),
                                   "--share", "public=" + os.path.join(tmp, "public"),
                                   "--user", "%s:%s" % (USER, PASSWORD), "--opt", "guest=on",
                                   "--opt", "clock=%d" % CLOCK],
                                  stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        tshark = subprocess.Popen(["tshark", "-i", "lo", "-f", "tcp port %d" % port, "-w", pcap],
                                  stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        deadline = time.monotonic() + TSHARK_START_S
        while b"Capturing on" not in tshark.stderr.read1(4096) and time.monotonic() < deadline:
            pass
        smbclient_sessions(port)
        rpcclient_sessions(port)
        impacket_sessions(port)
        time.sleep(1)
    finally:
        for proc in (tshark, server):
            if proc is not None and proc.poll() is None:
                proc.send_signal(signal.SIGINT if proc is tshark else signal.SIGTERM)
                proc.wait(timeout=10)
        shutil.rmtree(tmp, ignore_errors=True)
    return port


def streams(pcap, port):
    """(client bytes, server bytes) of every TCP connection in the capture."""
    ids = subprocess.run(["tshark", "-r", pcap, "-T", "fields", "-e", "tcp.stream"],
                         capture_output=True, text=True, check=True).stdout.split()
    out = []
    for sid in sorted(set(ids), key=int):
        text = subprocess.run(["tshark", "-r", pcap, "-q", "-z", "follow,tcp,raw,%s" % sid],
                              capture_output=True, text=True, check=True).stdout
        sides = [bytearray(), bytearray()]
        for line in text.splitlines():
            if not line.strip() or line.startswith(("=", "Follow", "Filter", "Node")):
                continue
            sides[1 if line.startswith("\t") else 0] += bytes.fromhex(line.strip())
        out.append((bytes(sides[0]), bytes(sides[1])))
    return out


def smb_messages(stream):
    """Every SMB2 message (compounds split) of a NetBIOS byte stream."""
    at = 0
    while at + 4 <= len(stream):
        n = int.from_bytes(stream[at + 1:at + 4], "big")
        frame = stream[at + 4:at + 4 + n]
        at += 4 + n
        off = 0
        while off + 64 <= len(frame) and frame[off:off + 4] == b"\xfeSMB":
            nxt = struct.unpack_from("<I", frame, off + 20)[0]
            end = off + nxt if nxt else len(frame)
            yield frame[off:end]
            if not nxt:
                break
            off += nxt


def field(msg, off_at, len_at, off_fmt="<H", len_fmt="<H"):
    off = struct.unpack_from(off_fmt, msg, 64 + off_at)[0]
    n = struct.unpack_from(len_fmt, msg, 64 + len_at)[0]
    return msg[off:off + n] if off and n and off + n <= len(msg) else b""


def octet_strings(blob, depth=0):
    """Contents of every DER OCTET STRING, however deep."""
    at = 0
    while at + 2 <= len(blob) and depth < 10:
        tag, n, at = blob[at], blob[at + 1], at + 2
        if n & 0x80:
            k = n & 0x7F
            n, at = int.from_bytes(blob[at:at + k], "big"), at + k
        content = blob[at:at + n]
        at += n
        if tag == 0x04:
            yield content
        elif tag & 0x20:
            yield from octet_strings(content, depth + 1)


class Seeds:
    def __init__(self, root):
        self.root = root
        self.count = {}

    def add(self, target, kind, data):
        folder = os.path.join(self.root, target, "corpus")
        os.makedirs(folder, exist_ok=True)
        name = "%s_%s" % (kind, hashlib.sha1(data).hexdigest()[:12])
        path = os.path.join(folder, name)
        if not os.path.exists(path):
            with open(path, "wb") as f:
                f.write(data)
            self.count[target] = self.count.get(target, 0) + 1


def utf8(raw16):
    try:
        return raw16.decode("utf-16-le").encode("utf-8")
    except UnicodeDecodeError:
        return None


def cut(seeds, client, server):
    pipe_pdus = []
    for msg in smb_messages(server):
        cmd = struct.unpack_from("<H", msg, 12)[0]
        if cmd == NEGOTIATE and len(msg) > 64 + 64:
            seeds.add("spnego", "server_init", field(msg, 56, 58))
        elif cmd == SESSION_SETUP and len(msg) > 64 + 8:
            seeds.add("spnego", "server_resp", field(msg, 4, 6))
    for msg in smb_messages(client):
        cmd = struct.unpack_from("<H", msg, 12)[0]
        if cmd == NEGOTIATE:
            seeds.add("negotiate", "client", msg[64:])
        elif cmd == SESSION_SETUP:
            blob = field(msg, 12, 14)
            if blob:
                seeds.add("spnego", "client", blob)
            for s in list(octet_strings(blob[2:] if blob[:1] == b"\x60" else blob)) + [blob]:
                if s[:8] == b"NTLMSSP\0" and s[8:12] == b"\x03\0\0\0":
                    for sel in NTLM_SELECTORS:
                        seeds.add("ntlm_auth", "client", bytes([sel]) + s)
                    break
        elif cmd in (TREE_CONNECT, CREATE, QUERY_DIRECTORY):
            at = {TREE_CONNECT: (4, 6), CREATE: (44, 46), QUERY_DIRECTORY: (24, 26)}[cmd]
            raw = field(msg, *at)
            if not raw:
                continue
            seeds.add("utf", "name", raw)
            text = utf8(raw)
            if text is not None and cmd != TREE_CONNECT:
                seeds.add("names", "create" if cmd == CREATE else "pattern", text + b"\0" + b"guide.txt")
        elif cmd == IOCTL and struct.unpack_from("<I", msg, 64 + 4)[0] == FSCTL_PIPE_TRANSCEIVE:
            pipe_pdus.append(field(msg, 24, 28, "<I", "<I"))
        elif cmd == WRITE:
            data = field(msg, 2, 4, "<H", "<I")
            if data[:1] == b"\x05":
                pipe_pdus.append(data)
    if pipe_pdus:
        records = b"".join(bytes([0xFF]) + struct.pack("<H", len(p)) + p for p in pipe_pdus)
        seeds.add("srvsvc", "session", records)


def rpc_request(call_id, opnum, stub, flags=3):
    """One DCE/RPC request fragment (PFC_FIRST_FRAG 1, PFC_LAST_FRAG 2)."""
    return struct.pack("<BBBB4sHHIIHH", 5, 0, 0, flags, b"\x10\0\0\0", 24 + len(stub), 0, call_id,
                       len(stub), 0, opnum) + stub


def ndr_string(text):
    units = (text + "\0").encode("utf-16-le")
    n = len(units) // 2
    return struct.pack("<III", n, 0, n) + units + b"\0" * (-len(units) % 4)


def pipe_records(*pdus, read=0xFF):
    """The srvsvc target's input: each PDU written, then read in pieces of read * 16 bytes."""
    return b"".join(bytes([read]) + struct.pack("<H", len(p)) + p for p in pdus)


def crafted_srvsvc(seeds):
    """Requests in fragments, in and out of sequence, and every level of the
    information calls."""
    server = struct.pack("<I", 0x20000) + ndr_string("\\\\h")
    share_info = server + ndr_string("public") + struct.pack("<I", 2)
    seeds.add("srvsvc", "crafted", pipe_records(
        rpc_request(1, 16, share_info[:8], 1), rpc_request(1, 16, share_info[8:24], 0),
        rpc_request(1, 16, share_info[24:], 2), read=4))
    seeds.add("srvsvc", "crafted", pipe_records(
        rpc_request(2, 16, share_info[:16], 1), rpc_request(3, 21, server + struct.pack("<I", 101)),
        rpc_request(2, 16, share_info[16:], 2), rpc_request(4, 16, share_info[16:], 0)))
    seeds.add("srvsvc", "crafted", pipe_records(*[rpc_request(i, 21, server + struct.pack("<I", level))
                                                  for i, level in enumerate((100, 101, 102, 103))]))
    seeds.add("srvsvc", "crafted", pipe_records(*[
        rpc_request(i, 16, server + ndr_string(name) + struct.pack("<I", level))
        for i, (name, level) in enumerate((("PUBLIC", 0), ("ipc$", 1), ("public", 501), ("public", 502),
                                           ("public", 1005), ("nosuch", 2), ("public", 7)))]))


def crafted(seeds):
    """Edge cases of the name rules and the text conversions that traffic
    rarely carries, and srvsvc calls in shapes clients rarely send."""
    crafted_srvsvc(seeds)
    for path, name in ((b"\\\\dir//sub\\file.txt\\", b"file.txt"), (b"a/.../b", b"a.b"),
                       (b"x" * 255 + b"/" + b"y" * 256, b"Y"), (b"/".join([b"d"] * 65), b"d"),
                       (b"*.TXT", b"readme.txt"), (b"a*b*c", b"aXbYbZc"), (b"a?c", b"ac"),
                       (b"<*>\"\"", b"\xc3\xa4"), (b"file.txt:stream", b"FILE.TXT:STREAM")):
        seeds.add("names", "crafted", path + b"\0" + name)
    for text in ("caf\u00e9", "\u65e5\u672c\u8a9e", "\U0001F600 smile", "A"):
        seeds.add("utf", "crafted", text.encode("utf-16-le"))
        seeds.add("utf", "crafted", text.encode("utf-8"))
    for raw in (b"\x3d\xd8\x00\xde", b"\x00\xdc", b"\x3d\xd8", b"\xed\xa0\x80", b"\xf4\x90\x80\x80", b"\xc0\xaf"):
        seeds.add("utf", "crafted", raw)


def main():
    out = sys.argv[1] if len(sys.argv) > 1 else os.path.dirname(os.path.abspath(__file__))
    tmp = tempfile.mkdtemp(prefix="tw3pcap_")
    try:
        pcap = os.path.join(tmp, "capture.pcapng")
        port = capture(pcap)
        seeds = Seeds(out)
        for client, server in streams(pcap, port):
            cut(seeds, client, server)
        crafted(seeds)
        for target, n in sorted(seeds.count.items()):
            print("%-10s %3d new seeds" % (target, n))
    finally:
        shutil.rmtree(tmp, ignore_errors=True)


if __name__ == "__main__":
    main()
