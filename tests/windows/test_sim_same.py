"""The simulator gives byte-identical transcripts on both hosts: one script
(a guest logon, a tree connect, a listing by names, a read, the closes and
an error or two), with the clock fixed and the same share content, run
through the Linux build's `twsmb3s sim` and through `twsmb3s.exe sim` under
wine.

The script is written as a client would: each request after the first is
built from the answers so far, which the Linux build gives (session, tree
and file identifiers). The listing asks for names only, and no request asks
for what one host keeps and the other does not (file numbers, volume
serials).

Times need care, since wine does not show birth times: it reports the
modification time as the creation time. So every file and folder is made
within one second and given that second as its modification time, and an
access time after it (so reading never moves it): both hosts then see the
same three times."""

import os
import shutil
import struct
import subprocess
import sys
import tempfile
import time
import unittest

sys.dont_write_bytecode = True  # keep the source tree clean
import harness  # noqa: E402

CLOCK = "1767225600"  # 2026-01-01 00:00:00 UTC
SHARE_FILES = {"hello.txt": b"Hello from twsmb3s\n" * 40, "Grüße.txt": b"umlauts\n", "b.bin": bytes(range(256))}

NEGOTIATE, SESSION_SETUP, TREE_CONNECT, CREATE, CLOSE, READ, QUERY_DIRECTORY = 0, 1, 3, 5, 6, 8, 14
FILE_NAMES_INFORMATION = 12
FILE_DIRECTORY_FILE = 1


def linux_bin():
    path = os.environ.get("TW3_LINUX_TWSMB3S")
    if not path or not os.path.exists(path):
        raise RuntimeError("TW3_LINUX_TWSMB3S must name the Linux build's twsmb3s")
    return path


def utf16(text):
    return text.encode("utf-16-le")


def frame(command, message_id, body, session_id=0, tree_id=0):
    return harness.netbios(harness.smb2_header(command, message_id, 1, session_id, tree_id) + body)


def negotiate():
    return struct.pack("<HHHHI16sQ", 36, 1, 1, 0, 0, b"\x00" * 16, 0) + struct.pack("<H", 0x0300)


def session_setup(blob):
    return struct.pack("<HBBIIHHQ", 25, 0, 1, 0, 0, 64 + 24, len(blob), 0) + blob


NTLM_NEGOTIATE = b"NTLMSSP\x00" + struct.pack("<II", 1, 0x62088215) + b"\x00" * 16


def ntlm_anonymous_authenticate():
    """An AUTHENTICATE with no user and no response: the guest's."""
    head = 64
    fields = [(1, head)] + [(0, head + 1)] * 5  # LM (one zero byte), NT, domain, user, workstation, key
    out = b"NTLMSSP\x00" + struct.pack("<I", 3)
    for length, offset in fields:
        out += struct.pack("<HHI", length, length, offset)
    return out + struct.pack("<I", 0x62088A15) + b"\x00"


def tree_connect(path):
    name = utf16(path)
    return struct.pack("<HHHH", 9, 0, 64 + 8, len(name)) + name


def create(name, options, access=0x00120089):
    n = utf16(name)
    return struct.pack("<HBBIQQIIIIIHHII", 57, 0, 0, 2, 0, 0, access, 0, 7, 1, options, 64 + 56, len(n), 0, 0) + \
        (n or b"\x00")


def query_directory(fid, pattern):
    p = utf16(pattern)
    return struct.pack("<HBBI16sHHI", 33, FILE_NAMES_INFORMATION, 0, 0, fid, 64 + 32, len(p), 65536) + p


def read(fid, length, offset):
    return struct.pack("<HBBIQ16sIIIHH", 49, 0, 0, length, offset, fid, 0, 0, 0, 0, 0) + b"\x00"


def close(fid):
    return struct.pack("<HHI16s", 24, 0, 0, fid)


COARSE_CLOCK_SLACK_S = 0.05


def sim(argv, script):
    p = subprocess.run(argv, input=script.encode(), stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=120)
    if p.returncode != 0:
        raise AssertionError("%s: exit %d: %s" % (argv[0], p.returncode, p.stderr.decode(errors="replace")))
    return p.stdout


def answers(transcript):
    """The messages the server sent, as bytes."""
    return [bytes.fromhex(line[3:]) for line in transcript.decode().splitlines() if line.startswith("<< ")]


class SameTranscript(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.TemporaryDirectory(prefix="twsmb3s_sim_")
        self.share = os.path.join(self.tmp.name, "pub")
        for _ in range(5):
            if self.make_share():
                return
        self.fail("could not make the share within one second")

    def make_share(self):
        """The share, made within one second, that second its modification
        time: true when every birth time fell in that second."""
        shutil.rmtree(self.share, ignore_errors=True)
        # A little past the second's start: file times come from the kernel's
        # coarse clock, which may still show the second before for a few ms.
        time.sleep(1 - time.time() % 1 + COARSE_CLOCK_SLACK_S)
        made = int(time.time())
        harness.make_tree(self.share, dict(SHARE_FILES, sub={"inner.txt": b"x"}))
        paths = []
        for folder, dirs, files in os.walk(self.share, topdown=False):
            paths += [os.path.join(folder, name) for name in files + dirs]
        paths.append(self.share)
        for path in paths:
            os.utime(path, (made + 3600, made))
        stat = subprocess.run(["stat", "-c", "%W"] + paths, stdout=subprocess.PIPE, check=True)
        return all(int(line) == made for line in stat.stdout.decode().split())

    def tearDown(self):
        self.tmp.cleanup()

    def linux(self, script):
        return sim([linux_bin(), "sim", "--share", "pub=" + self.share, "--opt", "clock=" + CLOCK], script)

    def windows(self, script):
        return sim(harness.command() + ["sim", "--share", "pub=" + harness.host_path(self.share),
                                        "--opt", "clock=" + CLOCK], script)

    def build_script(self):
        """The session, each step built on the Linux build's answers so far."""
        lines = []

        def step(message):
            lines.append(message.hex())
            return answers(self.linux("\n".join(lines) + "\n"))[-1]

        step(frame(NEGOTIATE, 0, negotiate()))
        sid = struct.unpack_from("<Q", step(frame(SESSION_SETUP, 1, session_setup(NTLM_NEGOTIATE))), 40)[0]
        done = step(frame(SESSION_SETUP, 2, session_setup(ntlm_anonymous_authenticate()), sid))
        self.assertEqual(struct.unpack_from("<I", done, 8)[0], 0, "the guest logon succeeds")
        tid = struct.unpack_from("<I", step(frame(TREE_CONNECT, 3, tree_connect("\\\\127.0.0.1\\pub"), sid)), 36)[0]
        mid = 4

        def call(command, body):
            nonlocal mid
            mid += 1
            return step(frame(command, mid - 1, body, sid, tid))

        def file_id(answer):
            self.assertEqual(struct.unpack_from("<I", answer, 8)[0], 0, answer.hex())
            return answer[64 + 64:64 + 80]

        root = file_id(call(CREATE, create("", FILE_DIRECTORY_FILE)))
        listing = call(QUERY_DIRECTORY, query_directory(root, "*"))
        self.assertIn(utf16("Grüße.txt"), listing)
        call(QUERY_DIRECTORY, query_directory(root, "*"))  # no more files
        call(CLOSE, close(root))
        for name in ("hello.txt", "Grüße.txt", "sub\\inner.txt"):
            fid = file_id(call(CREATE, create(name, 0)))
            self.assertIn(SHARE_FILES.get(name, b"x")[:8], call(READ, read(fid, 100, 0)))
            call(READ, read(fid, 65536, 700))  # past the end
            call(CLOSE, close(fid))
        call(CREATE, create("missing.txt", 0))
        call(CREATE, create("..\\escape.txt", 0))
        return "# one guest session\n" + "\n".join(lines) + "\n"

    def test_linux_and_windows_builds_answer_alike(self):
        script = self.build_script()
        want = self.linux(script)
        self.assertRegex(want.decode(), r"RESULT ok \(\d+ frames\)\n$")
        self.assertGreater(len(answers(want)), 15)
        got = self.windows(script)
        if got != want:
            wl, gl = want.decode().splitlines(), got.decode().splitlines()
            diffs = [(i, w, g) for i, (w, g) in enumerate(zip(wl, gl)) if w != g][:3]
            self.fail("transcripts differ (%d and %d lines); first differences:\n%s" %
                      (len(wl), len(gl), "\n".join("line %d\n  linux   %s\n  windows %s" % d for d in diffs)))


if __name__ == "__main__":
    unittest.main(verbosity=2)
