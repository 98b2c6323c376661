"""Starts the real server for client tests and always stops it again.

Two ways to run it, both only on loopback:

    with serve(tree={"public": {"a.txt": b"hi", "sub": {"b.txt": b"x"}}},
               opts={"guest": "on"}) as srv:
        ...  # srv.port, srv.root, srv.alive(), srv.stderr_text()

runs `twsmb3s serve --port 0 --port-file F ...` ($TWSMB3S_BIN) as a child
process; and

    with library(tree=..., opts=...) as lib:
        ...  # lib.port, lib.stats() (the parsed statistics report)

loads the shared library ($TWSMB3S_LIB) into this process through ctypes,
which also gives the statistics report.

With $TWSMB3S_WINE naming wine, $TWSMB3S_BIN is the Windows build's
twsmb3s.exe: serve() runs it under wine and hands it its paths in Windows
form (wine's drive Z: is the Unix root).
"""

import contextlib
import ctypes
import json
import os
import shutil
import signal
import socket
import struct
import subprocess
import tempfile
import time

START_TIMEOUT_S = 10.0
STOP_TIMEOUT_S = 5.0
IO_TIMEOUT_S = 5.0


def binary():
    path = os.environ.get("TWSMB3S_BIN")
    if not path or not os.path.exists(path):
        raise RuntimeError("TWSMB3S_BIN must name the built twsmb3s binary")
    return path


def wine():
    """The wine launcher when the server under test is the Windows build, else None."""
    return os.environ.get("TWSMB3S_WINE") or None


def command():
    """The argument vector that starts the server program."""
    return [wine(), binary()] if wine() else [binary()]


def host_path(path):
    """A local path as the server program takes it."""
    if not wine():
        return path
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def make_tree(root, spec):
    """Creates files (bytes or str values) and folders (dict values) under root."""
    os.makedirs(root, exist_ok=True)
    for name, value in spec.items():
        path = os.path.join(root, name)
        if isinstance(value, dict):
            make_tree(path, value)
        else:
            data = value.encode() if isinstance(value, str) else value
            with open(path, "wb") as f:
                f.write(data)


DEFAULT_TREE = {
    "public": {
        "hello.txt": b"Hello from twsmb3s\n",
        "docs": {"guide.txt": b"inside a subfolder\n"},
    }
}


def config_args(root, tree, users, allow, opts):
    """The command-line options for shares (one per top-level folder of
    `tree`), users, allowed ranges and options."""
    args = []
    for share in tree:
        args += ["--share", "%s=%s" % (share, host_path(os.path.join(root, share)))]
    for user, password in (users or {}).items():
        args += ["--user", "%s:%s" % (user, password)]
    for cidr in allow or []:
        args += ["--allow", cidr]
    for key, value in (opts or {}).items():
        args += ["--opt", "%s=%s" % (key, value)]
    return args


class ServerProcess:
    def __init__(self, proc, port, root, logdir):
        self.proc = proc
        self.port = port
        self.root = root
        self._logdir = logdir

    def alive(self):
        return self.proc.poll() is None

    def stdout_text(self):
        with open(os.path.join(self._logdir, "stdout"), "rb") as f:
            return f.read().decode(errors="replace")

    def stderr_text(self):
        with open(os.path.join(self._logdir, "stderr"), "rb") as f:
            return f.read().decode(errors="replace")


def _wait_for_port_file(proc, path):
    deadline = time.monotonic() + START_TIMEOUT_S
    while time.monotonic() < deadline:
        if proc.poll() is not None:
            return None
        try:
            with open(path) as f:
                text = f.read()
            if text.endswith("\n"):
                return int(text)
        except (OSError, ValueError):
            pass
        time.sleep(0.02)
    return None


def _stop(proc):
    if proc.poll() is None:
        proc.send_signal(signal.SIGTERM)
        try:
            proc.wait(timeout=STOP_TIMEOUT_S)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait(timeout=STOP_TIMEOUT_S)


@contextlib.contextmanager
def serve(tree=None, users=None, allow=None, opts=None, bind="127.0.0.1", env=None, extra=None):
    """Runs `twsmb3s serve` on a free loopback port for the with-block;
    `extra` are further arguments of serve (--stats-interval, ...)."""
    tmp = tempfile.mkdtemp(prefix="twsmb3s_")
    proc = None
    try:
        tree = DEFAULT_TREE if tree is None else tree
        root = os.path.join(tmp, "shares")
        make_tree(root, tree)
        port_file = os.path.join(tmp, "port")
        args = command() + ["serve", "--bind", bind, "--port", "0", "--port-file", host_path(port_file)]
        args += config_args(root, tree, users, allow, opts) + list(extra or [])
        child_env = dict(os.environ)
        child_env.update(env or {})
        with open(os.path.join(tmp, "stdout"), "wb") as out, open(os.path.join(tmp, "stderr"), "wb") as err:
            proc = subprocess.Popen(args, stdout=out, stderr=err, stdin=subprocess.DEVNULL, env=child_env)
        port = _wait_for_port_file(proc, port_file)
        if port is None:
            with open(os.path.join(tmp, "stderr"), "rb") as f:
                raise RuntimeError("server did not start: %r" % f.read())
        yield ServerProcess(proc, port, root, tmp)
    finally:
        if proc is not None:
            _stop(proc)
        shutil.rmtree(tmp, ignore_errors=True)


class Library:
    def __init__(self, lib, root):
        self.lib = lib
        self.root = root

    @property
    def port(self):
        return self.lib.twsmb3s_port()

    def client_count(self):
        return self.lib.twsmb3s_client_count()

    def stats(self):
        return json.loads(self.lib.twsmb3s_stats_json().decode())


_LIB = None


def _load_library():
    global _LIB
    if _LIB is None:
        path = os.environ.get("TWSMB3S_LIB")
        if not path or not os.path.exists(path):
            raise RuntimeError("TWSMB3S_LIB must name the built shared library")
        lib = ctypes.CDLL(path)
        for name in ("twsmb3s_stats_json", "twsmb3s_last_error", "twsmb3s_version"):
            getattr(lib, name).restype = ctypes.c_char_p
        lib.twsmb3s_start.argtypes = [ctypes.c_char_p, ctypes.c_uint, ctypes.c_char_p]
        for name in ("twsmb3s_add_share", "twsmb3s_add_user", "twsmb3s_set_option"):
            getattr(lib, name).argtypes = [ctypes.c_char_p, ctypes.c_char_p]
        for name in ("twsmb3s_remove_share", "twsmb3s_remove_user", "twsmb3s_allow_cidr"):
            getattr(lib, name).argtypes = [ctypes.c_char_p]
        _LIB = lib
    return _LIB


@contextlib.contextmanager
def library(tree=None, users=None, opts=None):
    """Configures and starts the server inside this process for the with-block;
    the shares and users are removed again afterwards."""
    lib = _load_library()
    tmp = tempfile.mkdtemp(prefix="twsmb3s_lib_")
    tree = DEFAULT_TREE if tree is None else tree
    users = users or {}
    try:
        root = os.path.join(tmp, "shares")
        make_tree(root, tree)
        for share in tree:
            _check(lib, lib.twsmb3s_add_share(share.encode(), os.path.join(root, share).encode()))
        for user, password in users.items():
            _check(lib, lib.twsmb3s_add_user(user.encode(), password.encode()))
        for key, value in (opts or {}).items():
            _check(lib, lib.twsmb3s_set_option(key.encode(), str(value).encode()))
        _check(lib, lib.twsmb3s_start(b"127.0.0.1", 0, None))
        yield Library(lib, root)
    finally:
        lib.twsmb3s_stop()
        for share in tree:
            lib.twsmb3s_remove_share(share.encode())
        for user in users:
            lib.twsmb3s_remove_user(user.encode())
        shutil.rmtree(tmp, ignore_errors=True)


def _check(lib, rc):
    if rc != 0:
        raise RuntimeError("twsmb3s: %d %s" % (rc, lib.twsmb3s_last_error().decode()))


# ---- A raw client for framing-level tests ----

def connect(port, host="127.0.0.1"):
    s = socket.create_connection((host, port), timeout=IO_TIMEOUT_S)
    s.settimeout(IO_TIMEOUT_S)
    return s


def recv_exact(sock, n):
    """Exactly n bytes, or fewer when the server closes first."""
    data = b""
    while len(data) < n:
        chunk = sock.recv(n - len(data))
        if not chunk:
            break
        data += chunk
    return data


def recv_message(sock):
    """One NetBIOS session message: (type, payload), or None on close."""
    head = recv_exact(sock, 4)
    if len(head) < 4:
        return None
    length = int.from_bytes(head[1:4], "big")
    return head[0], recv_exact(sock, length)


def smb2_header(command, message_id, credits=1, session_id=0, tree_id=0):
    """A 64-byte SMB2 request header (MS-SMB2 2.2.1.2)."""
    return (b"\xfeSMB" + struct.pack("<HHIHHIIQIIQ", 64, 0, 0, command, credits, 0, 0,
                                     message_id, 0, tree_id, session_id) + b"\x00" * 16)


def netbios(payload):
    return b"\x00" + len(payload).to_bytes(3, "big") + payload


SMB_PORT = 445


def _rewrite_port(data, pkt, n, linktype, port):
    """Makes `port` read 445 in the TCP header of one captured packet."""
    if linktype == 1:  # Ethernet
        ether, ip = struct.unpack_from(">H", data, pkt + 12)[0], pkt + 14
    elif linktype == 113:  # Linux cooked capture
        ether, ip = struct.unpack_from(">H", data, pkt + 14)[0], pkt + 16
    elif linktype == 276:  # Linux cooked capture v2
        ether, ip = struct.unpack_from(">H", data, pkt)[0], pkt + 20
    else:
        return
    if ether == 0x0800 and ip + 20 <= pkt + n and data[ip + 9] == 6:
        tcp = ip + (data[ip] & 0x0F) * 4
    elif ether == 0x86DD and ip + 40 <= pkt + n and data[ip + 6] == 6:
        tcp = ip + 40
    else:
        return
    if tcp + 4 > pkt + n:
        return
    for at in (tcp, tcp + 2):
        if struct.unpack_from(">H", data, at)[0] == port:
            struct.pack_into(">H", data, at, SMB_PORT)


def as_smb_port(pcap, port, out):
    """Writes to `out` a copy of a capture whose server port reads 445 and
    returns it. tshark takes NetBIOS lengths as the 24-bit lengths of SMB over
    TCP only on port 445; on any other port it reads 17 bits and misparses
    every message above 128 KiB. (TCP checksums are left as they are: tshark
    does not check them.)"""
    classic = out + ".classic"
    subprocess.run(["editcap", "-F", "pcap", pcap, classic], check=True, capture_output=True, timeout=120)
    with open(classic, "rb") as f:
        data = bytearray(f.read())
    os.unlink(classic)
    endian = "<" if data[:4] in (b"\xd4\xc3\xb2\xa1", b"\x4d\x3c\xb2\xa1") else ">"
    linktype = struct.unpack_from(endian + "I", data, 20)[0]
    off = 24
    while off + 16 <= len(data):
        n = struct.unpack_from(endian + "I", data, off + 8)[0]
        _rewrite_port(data, off + 16, min(n, len(data) - off - 16), linktype, port)
        off += 16 + n
    with open(out, "wb") as f:
        f.write(data)
    return out
