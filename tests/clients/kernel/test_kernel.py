"""The Linux kernel's own SMB client (cifs.ko of Debian's kernel) against the
server. One boot of an emulated machine (vm.py) mounts the shares of two
servers, one with signing enabled and one requiring it (both allowing
guests), on dialects 3.0, 3.0.2 and 3.1.1, with and without the `sign` mount
option, as a user and as a guest, and runs guest.sh's checks on each mount:
the full set on a few representative mounts, a light one on the rest; one
mount asks for a second channel (multichannel) and reads through both. The
results come back over a serial port and are judged here, one subtest per
mount and check; a tshark capture of every session must decode cleanly."""

import contextlib
import hashlib
import json
import os
import re
import select
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time
import unittest

sys.dont_write_bytecode = True  # keep the source tree clean
import harness  # noqa: E402
import vm  # noqa: E402
from test_logon import NEGHINTS_WARNING  # noqa: E402

HERE = os.path.dirname(os.path.abspath(__file__))
USER, PASSWORD = "alice", "Secret-123"
# Inside the machine, each server is port 445 of its own address.
SERVERS = {"10.0.2.100": "enabled", "10.0.2.101": "required"}
MULTICHANNEL_CASES = (("multichannel-3.1.1-sign-required", "10.0.2.101", ""),
                      ("multichannel-3.1.1-seal", "10.0.2.100", ",seal"))
BOOT_TIMEOUT_S = 600
TSHARK_TIMEOUT_S = 300

TEXTS = {"hello.txt": b"Hello from twsmb3s\n", "name with spaces.txt": b"spaces\n",
         "Grüße aus Köln.txt": b"umlauts\n", "日本語のファイル.txt": b"kana\n"}
DOCS = {"guide.txt": b"inside a subfolder\n", "Ünïcödé ñame.txt": b"n" * 1000}
# Without a lease every 4 KiB read(2) of the default cache mode is one READ,
# slow under emulation: the files read that way stay a few MiB.
SIZES = {"small.bin": 300 * 1024 + 5, "mid.bin": 3 * 1024 * 1024 + 7, "big.bin": 64 * 1024 * 1024}

FULL = "ls,stat,df,md5=mid.bin,cat=mid.bin,dd=mid.bin,writes"
LIGHT = "ls,md5=small.bin"
FULL_CASES = ("user-3.1.1-sign-enabled", "user-3.0-nosign-required", "user-3.02-sign-required",
              "guest-3.1.1-nosign-enabled")
WRITES = ("create", "append", "truncate", "mkdir", "rm", "rmdir", "rename", "link", "symlink", "touch",
          "touchnew")

# What the kernel must not log while a mount that should work is in use.
KERNEL_TROUBLE = re.compile(r"(?i)error|fail|Status code returned|WARNING|BUG")
# One line of busybox `ls -la`: mode, links, owner, group, size, date, name.
LS_LINE = re.compile(r"^([-dl][-rwxsStT]{9})\s+\d+\s+\S+\s+\S+\s+(\d+)\s+\w{3}\s+\d+\s+[\d:]+\s(.+)$")
# busybox shows a character past U+02FF as "?".
BUSYBOX_LAST_WCHAR = 0x2FF


def share_tree(data):
    media = dict(TEXTS)
    media.update(data)
    media.update({"empty": {}, "docs": dict(DOCS, deeper={"deep.txt": b"deep\n"})})
    return {"media": media, NAMES_SHARE: names_tree()}


# ---- Names SMB cannot carry: a second share whose host names the server
# maps to private-use characters; the kernel's default mapposix shows them
# as they are on the host. ----
NAMES_SHARE = "names"
NAMES_CASE = "names-3.1.1"
NAMES_FILES = ["back\\slash.txt", "a:b.txt", "q?x.txt", "star*.txt", "lt<gt>.txt", "pipe|x.txt", "quote\".txt",
               "trail.", "trail ", "bell\x07ring.txt", "A.txt", "a.txt", "Mixed Case.TXT"]
NAMES_HIDDEN = ["pu\uf022x.txt"]


def names_tree():
    files = {name: ("content of %r\n" % name).encode() for name in NAMES_FILES + NAMES_HIDDEN}
    files["dir:x"] = {"in?ner.txt": b"inner\n"}
    return files


def names_expected():
    """{hex of the path under /mnt: md5 of the content} of what the mount must show."""
    want = {}
    tree = names_tree()
    paths = [(n, tree[n]) for n in NAMES_FILES] + [("dir:x/in?ner.txt", tree["dir:x"]["in?ner.txt"])]
    for path, data in paths:
        # The kernel turns every mapped character back but the backslash,
        # which a Linux name may hold but its client keeps as U+F026.
        shown = "/mnt/" + path.replace("\\", "\uf026")
        want[shown.encode().hex()] = hashlib.md5(data).hexdigest()
    return want


def share_of(case):
    return NAMES_SHARE if case == NAMES_CASE else "media"
# ---- end of names ----


def plan():
    """(case, address, checks, mount options, whether the mount must succeed)."""
    rows = []
    for vers in ("3.0", "3.02", "3.1.1"):
        for sign in ("nosign", "sign"):
            for address, signing in SERVERS.items():
                extra = ",sign" if sign == "sign" else ""
                for who, cred in (("user", "username=%s,password=%s" % (USER, PASSWORD)), ("guest", "guest")):
                    case = "%s-%s-%s-%s" % (who, vers, sign, signing)
                    # A guest session cannot sign: refused where either side insists.
                    ok = who == "user" or (sign == "nosign" and signing == "enabled")
                    rows.append((case, address, FULL if case in FULL_CASES else LIGHT,
                                 "vers=%s,%s%s" % (vers, cred, extra), ok))
    user = "username=%s,password=%s" % (USER, PASSWORD)
    rows.append(("nocache-3.1.1-sign-required", "10.0.2.101", "md5=mid.bin,dd=big.bin",
                 "vers=3.1.1,%s,sign,cache=none" % user, True))
    rows.append(("nocache-3.0-nosign-enabled", "10.0.2.100", "md5=mid.bin", "vers=3.0,%s,cache=none" % user,
                 True))
    # Sealed sessions: every message in a transform (CCM on 3.0, GCM on 3.1.1).
    for vers in ("3.0", "3.1.1"):
        rows.append(("seal-%s" % vers, "10.0.2.100", "ls,md5=mid.bin,cat=mid.bin",
                     "vers=%s,%s,seal" % (vers, user), True))
    # Two channels of one session: the server advertises the address the
    # machine reaches it by, and the client binds a second connection to it;
    # on the server that requires signing every message is signed with its
    # channel's key, on the other every message is sealed.
    for case, address, opts in MULTICHANNEL_CASES:
        rows.append((case, address, "md5=mid.bin,dd=big.bin,hold",
                     "vers=3.1.1,%s,multichannel,max_channels=2%s" % (user, opts), True))
    rows.append((NAMES_CASE, "10.0.2.100", "names", "vers=3.1.1,username=%s,password=%s" % (USER, PASSWORD), True))
    rows.append(("wrong-password", "10.0.2.100", "", "vers=3.1.1,username=%s,password=wrong" % USER, False))
    rows.append(fresh_row(user))
    return rows


# ---- Live folder: a file created on the host after the guest listed once ----
# The guest's last mount lists docs/, writes "N CASE listed" to the results
# port and lists again until ARRIVED shows up; the host waits for that line
# (HostArrival, while the machine runs) and only then creates the file (a
# name without spaces: the plan line's CHECKS is one word). Last
# in the plan, so no other mount's listing of docs/ sees the new file.
FRESH_CASE, FRESH_ADDRESS, ARRIVED = "fresh-3.1.1", "10.0.2.100", "arrived-on-the-host.txt"
ARRIVED_DATA = b"created while the share was mounted\n"
ARRIVAL_POLL_S = 0.2


def fresh_row(user):
    return (FRESH_CASE, FRESH_ADDRESS, "fresh=" + ARRIVED, "vers=3.1.1,%s" % user, True)


class HostArrival:
    """Watches the results file while the machine runs; creates ARRIVED in
    the share's docs/ once the guest says it has listed it."""

    def __init__(self, results_log, folder):
        self.results_log, self.folder = results_log, folder
        self.created_at = None
        self.stopped = threading.Event()
        self.thread = threading.Thread(target=self._watch, daemon=True)
        self.thread.start()

    def _listed(self):
        try:
            with open(self.results_log, "rb") as f:
                return ("N %s listed" % FRESH_CASE).encode() in f.read()
        except FileNotFoundError:
            return False

    def _watch(self):
        # Bounded: the machine's end (or its time limit) sets stopped.
        while not self.stopped.wait(ARRIVAL_POLL_S):
            if self._listed():
                with open(os.path.join(self.folder, ARRIVED), "wb") as f:
                    f.write(ARRIVED_DATA)
                self.created_at = time.monotonic()
                return

    def stop(self):
        self.stopped.set()
        self.thread.join()
# ---- end of the live folder block ----


def parse_results(text):
    """{case: {check: (exit status, [output lines])}} from guest.sh's lines."""
    results = {}
    for line in text.splitlines():
        kind, case, name, rest = (line.rstrip("\r").split(" ", 3) + ["", "", ""])[:4]
        if kind == "R":
            results.setdefault(case, {})[name] = (rest, [])
        elif kind == "O" and name in results.get(case, {}):
            results[case][name][1].append(rest)
    return results


def as_busybox_shows(name):
    return "".join("?" if ord(ch) > BUSYBOX_LAST_WCHAR else ch for ch in name)


def ls_entries(lines):
    """{name: size or "dir"} of an `ls -la` listing, without . and .."""
    entries = {}
    for line in lines:
        m = LS_LINE.match(line)
        if m and m.group(3) not in (".", ".."):
            entries[m.group(3)] = "dir" if m.group(1)[0] == "d" else int(m.group(2))
    return entries


def expected_entries(files, dirs, show=as_busybox_shows):
    entries = {show(name): len(data) for name, data in files.items()}
    entries.update({show(name): "dir" for name in dirs})
    return entries


CAPTURE_BUFFER_MIB = 64


class Capture:
    """tshark writing one server's loopback traffic to a file."""

    def __init__(self, port, pcap):
        self.port, self.pcap = port, pcap
        self.smb_pcap = None
        # A large capture buffer: on a loaded machine the default one drops
        # packets of the kernel's parallel reads, and a stream with a hole
        # decodes as malformed frames the server never sent.
        self.proc = subprocess.Popen(["tshark", "-i", "lo", "-B", str(CAPTURE_BUFFER_MIB), "-f", "tcp port %d" % port,
                                      "-w", pcap],
                                     stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        started, deadline = b"", time.monotonic() + 15
        while b"Capturing on" not in started and self.proc.poll() is None:
            left = deadline - time.monotonic()
            if left <= 0 or not select.select([self.proc.stderr], [], [], left)[0]:
                break
            started += self.proc.stderr.read1(4096)
        if b"Capturing on" not in started:
            raise RuntimeError("tshark did not start: %r" % started)

    def stop(self):
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGINT)
            self.proc.wait(timeout=30)
        self.proc.stderr.close()

    def decodable(self):
        """The capture as tshark reads SMB over TCP: with the server on port 445
        (the kernel reads more than 128 KiB at a time)."""
        if self.smb_pcap is None:
            self.smb_pcap = harness.as_smb_port(self.pcap, self.port, self.pcap + ".smb")
        return self.smb_pcap

    def findings(self):
        """(command, response flag, severity, message) of every malformed frame or error item."""
        args = ["tshark", "-r", self.decodable(), "-Y",
                "_ws.malformed || _ws.expert.severity >= \"error\"", "-T", "fields", "-e", "smb2.cmd",
                "-e", "smb2.flags.response", "-e", "_ws.expert.severity", "-e", "_ws.expert.message"]
        out = subprocess.run(args, capture_output=True, text=True, timeout=TSHARK_TIMEOUT_S, check=True).stdout
        return [tuple(line.split("\t")) for line in out.splitlines() if line.strip()]

    def smb2_frames(self):
        args = ["tshark", "-r", self.decodable(), "-Y", "smb2", "-T", "fields",
                "-e", "frame.number"]
        return len(subprocess.run(args, capture_output=True, text=True, timeout=TSHARK_TIMEOUT_S).stdout.split())


def can_capture():
    return os.geteuid() == 0 and shutil.which("tshark") is not None


@unittest.skipIf(vm.missing_tools(), "missing for the kernel client test: %s" % " ".join(vm.missing_tools()))
class KernelClient(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.stack = contextlib.ExitStack()
        try:
            cls.run_machine()
        except BaseException:
            cls.stack.close()
            raise

    @classmethod
    def run_machine(cls):
        cache = os.environ.get("TW3_KERNEL_CACHE") or os.path.join(tempfile.gettempdir(), "twsmb3s-kernel")
        kern = vm.fetch_kernel(cache)
        tmp = cls.stack.enter_context(tempfile.TemporaryDirectory(prefix="twsmb3s_kernel_"))
        cls.data = {name: os.urandom(size) for name, size in SIZES.items()}
        cls.servers = {}
        for address, signing in SERVERS.items():
            # Each server lists the address the machine reaches it by, and
            # prints its statistics every second (the channels it serves).
            cls.servers[address] = cls.stack.enter_context(harness.serve(
                tree=share_tree(cls.data), users={USER: PASSWORD},
                opts={"guest": "on", "signing": signing, "interfaces": address}, extra=["--stats-interval", "1"]))
        cls.captures = []
        if can_capture():
            for address, srv in cls.servers.items():
                cls.captures.append(Capture(srv.port, os.path.join(tmp, "%s.pcapng" % address)))
                cls.stack.callback(cls.captures[-1].stop)
        cls.plan = plan()
        lines = "".join("%s %s %s %s %s\n" % (case, address, share_of(case), checks or "-", opts)
                        for case, address, checks, opts, _ in cls.plan)
        initramfs = os.path.join(tmp, "initramfs.cpio")
        vm.build_initramfs(initramfs, kern, os.path.join(HERE, "guest.sh"), {"plan": lines.encode()})
        console, results = os.path.join(tmp, "console.log"), os.path.join(tmp, "results.log")
        started = time.monotonic()
        forwards = {address: srv.port for address, srv in cls.servers.items()}
        cls.arrival = HostArrival(results, os.path.join(cls.servers[FRESH_ADDRESS].root, "media", "docs"))
        try:
            cls.powered_off = vm.boot(kern, initramfs, forwards, console, results, BOOT_TIMEOUT_S)
        finally:
            cls.arrival.stop()
        cls.boot_seconds = time.monotonic() - started
        for cap in cls.captures:
            cap.stop()
        with open(results, "rb") as f:
            cls.results_text = f.read().decode(errors="replace")
        with open(console, "rb") as f:
            cls.console = f.read().decode(errors="replace")
        cls.results = parse_results(cls.results_text)
        sys.stderr.write("kernel client: %s in %.0f s, results for %d of %d mounts\n" % (
            os.path.basename(kern.folder), cls.boot_seconds, len(cls.results), len(cls.plan)))

    @classmethod
    def tearDownClass(cls):
        cls.stack.close()

    def result(self, case, name):
        got = self.results.get(case, {}).get(name)
        if got is None:
            self.fail("no result for %s of %s; console:\n%s" % (name, case, self.console[-3000:]))
        return got

    def mounted_cases(self, check=None):
        """The cases expected to mount whose plan has `check` (a prefix)."""
        for case, _, checks, _, ok in self.plan:
            if ok and (check is None or any(c.startswith(check) for c in checks.split(","))):
                yield case, checks.split(",")

    def test_machine_ran_to_the_end(self):
        self.assertTrue(self.powered_off, "the machine ran out of time; console:\n" + self.console[-3000:])
        self.assertIn("E done", self.results_text)
        for address, srv in self.servers.items():
            self.assertTrue(srv.alive(), address)

    def test_mounts(self):
        for case, _, _, opts, ok in self.plan:
            with self.subTest(case=case, check="mount"):
                status, out = self.result(case, "mount")
                if ok:
                    self.assertEqual(status, "0", "%s: %s" % (opts, out))
                    self.assertEqual(self.result(case, "umount")[0], "0")
                else:
                    self.assertNotEqual(status, "0", opts)

    def test_wrong_password_is_permission_denied(self):
        with self.subTest(case="wrong-password", check="mount EACCES"):
            status, out = self.result("wrong-password", "mount")
            self.assertIn("mount error(13): Permission denied", out)

    def test_listings(self):
        root_files = dict(TEXTS, **self.data)
        want_root = expected_entries(root_files, ("docs", "empty"))
        want_docs = expected_entries(DOCS, ("deeper",))
        for case, _ in self.mounted_cases("ls"):
            for name, want in (("ls.root", want_root), ("ls.sub", want_docs)):
                with self.subTest(case=case, check=name):
                    status, out = self.result(case, name)
                    self.assertEqual(status, "0", out)
                    self.assertEqual(ls_entries(out), want, out)

    def test_stat(self):
        want = {"/mnt/" + k: v for k, v in expected_entries(dict(TEXTS, **self.data), ("docs", "empty"),
                                                              show=str).items()}
        want.update({"/mnt/docs/" + k: v for k, v in expected_entries(DOCS, ("deeper",), show=str).items()})
        for case, _ in self.mounted_cases("stat"):
            with self.subTest(case=case, check="stat"):
                status, out = self.result(case, "stat")
                self.assertEqual(status, "0", out)
                got = {}
                for line in out:
                    size, kind, path = line.split("|", 2)
                    got[path] = "dir" if kind == "directory" else int(size)
                self.assertEqual(got, want)

    def test_df_shows_a_size(self):
        for case, _ in self.mounted_cases("df"):
            with self.subTest(case=case, check="df"):
                status, out = self.result(case, "df")
                self.assertEqual(status, "0", out)
                self.assertGreater(int(out[-1].split()[1]), 0, "df shows a volume of no size: %s" % out)

    def test_reads_match(self):
        sums = {name: hashlib.md5(data).hexdigest() for name, data in self.data.items()}
        for case, checks in self.mounted_cases():
            for check in (c for c in checks if c.split("=")[0] in ("md5", "cat", "dd")):
                with self.subTest(case=case, check=check):
                    status, out = self.result(case, check)
                    self.assertEqual(status, "0", out)
                    self.assertEqual(out[-1].split()[0], sums[check.split("=")[1]], out)

    def test_writes_are_refused_and_the_mount_still_answers(self):
        hello = hashlib.md5(TEXTS["hello.txt"]).hexdigest()
        for case, _ in self.mounted_cases("writes"):
            for what in WRITES:
                with self.subTest(case=case, check="write " + what):
                    status, out = self.result(case, "w." + what)
                    self.assertNotEqual(status, "0", "%s went through: %s" % (what, out))
            with self.subTest(case=case, check="after the writes"):
                self.assertEqual(self.result(case, "after.ls")[0], "0")
                status, out = self.result(case, "after.md5")
                self.assertEqual((status, out[-1].split()[0]), ("0", hello), out)
        for address, srv in self.servers.items():
            with self.subTest(server=address, check="share unchanged"):
                root = os.path.join(srv.root, "media")
                self.assertEqual(sorted(os.listdir(root)), sorted(share_tree(self.data)["media"]))
                with open(os.path.join(root, "hello.txt"), "rb") as f:
                    self.assertEqual(f.read(), TEXTS["hello.txt"])

    def test_names_show_as_on_the_host(self):
        self.maxDiff = None
        status, out = self.result(NAMES_CASE, "names")
        self.assertEqual(status, "0", out)
        got = {}
        for line in out:
            md5, name_hex = line.split(" ", 1)
            got[name_hex] = md5

        def readable(entries):
            return {ascii(bytes.fromhex(k).decode(errors="replace")): v for k, v in entries.items()}
        self.assertEqual(readable(got), readable(names_expected()))

    def test_kernel_logs_no_trouble(self):
        for case, _ in self.mounted_cases():
            with self.subTest(case=case, check="kernel log"):
                _, out = self.result(case, "kernel-log")
                self.assertEqual([line for line in out if KERNEL_TROUBLE.search(line)], [])

    def test_multichannel_mounts_have_two_channels_of_one_session(self):
        # Each mount is held for a few seconds ("hold"): a statistics line
        # its server printed meanwhile shows its session and both channels.
        for case, address, _ in MULTICHANNEL_CASES:
            with self.subTest(case=case):
                seen = [(s["live_sessions"], s["channels"]) for s in map(json.loads, (
                    line for line in self.servers[address].stderr_text().splitlines() if line.startswith("{")))]
                self.assertIn((1, 2), seen)

    def test_fresh_listing_shows_a_file_created_on_the_host(self):
        with self.subTest(case=FRESH_CASE, check="fresh"):
            before, after = self.result(FRESH_CASE, "fresh.before"), self.result(FRESH_CASE, "fresh.after")
            self.assertEqual(before[0], "0", before[1])
            self.assertNotIn(as_busybox_shows(ARRIVED), before[1])
            self.assertIsNotNone(self.arrival.created_at, "the guest never said it had listed docs/")
            self.assertEqual(after[0], "0", after[1])
            self.assertIn(as_busybox_shows(ARRIVED), after[1])

    @unittest.skipUnless(can_capture(), "tshark and capture rights needed")
    def test_capture_decodes_cleanly(self):
        for cap in self.captures:
            with self.subTest(port=cap.port, check="capture"):
                self.assertGreater(cap.smb2_frames(), 100)
                flagged = [f for f in cap.findings() if f != NEGHINTS_WARNING]
                self.assertEqual(flagged, [])


if __name__ == "__main__":
    unittest.main(verbosity=2)
