"""GNOME's file manager stack as a client: gvfs (through libsmbclient), driven
by `gio` inside a private D-Bus session. It mounts a share as a named user
(the password typed at gio's prompt) and anonymously, lists it, reads file
information and whole files back (a file of many reads, a non-ASCII name),
has a copy into the share refused, refuses a wrong password, and browses the
server's root for the share names."""

import hashlib
import os
import re
import shutil
import subprocess
import sys
import tempfile
import unittest

sys.dont_write_bytecode = True  # keep the source tree clean
import harness  # noqa: E402

USER, PASSWORD = "alice", "Secret-123"
DOMAIN = "WORKGROUP"
# Each gio call is cut off after this; the whole session after a few of them.
GIO_TIMEOUT_S = 60
SESSION_TIMEOUT_S = 600
WIDE = "Grüße – 日本語.txt"


def fixture_bytes(size):
    """Deterministic bytes that do not repeat within a read."""
    out, block = bytearray(), b"twsmb3s-gvfs"
    while len(out) < size:
        block = hashlib.sha256(block).digest()
        out += block
    return bytes(out[:size])


BIG = fixture_bytes(3 * 1024 * 1024 + 4321)  # larger than one read, not a multiple of it
TREE = {
    "share": {
        "hello.txt": b"Hello from twsmb3s\n",
        "big.bin": BIG,
        WIDE: b"wide\n",
        "sub": {"deep.txt": b"deep\n"},
    },
    "other": {"x.txt": b"x\n"},
}


def gvfs_smb_installed():
    return any(os.path.exists(p) for p in ("/usr/libexec/gvfsd-smb", "/usr/lib/gvfs/gvfsd-smb"))


# Runs inside dbus-run-session; one "== NAME" heading before each step's
# output, its error output with "! " before each line, and its exit status. gio mount asks for the domain and then
# the password on its standard input; at the end of input it gives up.
SCRIPT = r"""
set -u
err=$(mktemp)
step() {
  name=$1; shift; echo "== $name"
  "$@" 2>"$err"; rc=$?
  sed 's/^/! /' "$err"; echo "rc=$rc"
}
g() { timeout "$GIO_TIMEOUT_S" gio "$@"; }
U="smb://$SMB_USER@127.0.0.1:$PORT/share"
A="smb://127.0.0.1:$PORT"
step wrong_mount sh -c 'printf "%s\n" "$DOMAIN" wrong-password | timeout "$GIO_TIMEOUT_S" gio mount "$1"' - "$U"
step wrong_list g list "$U/"
step user_mount sh -c 'printf "%s\n" "$DOMAIN" "$PASSWORD" | timeout "$GIO_TIMEOUT_S" gio mount "$1"' - "$U"
step user_list g list "$U/"
step user_sub g list "$U/sub/"
step user_info g info "$U/hello.txt"
step user_big sh -c 'timeout "$GIO_TIMEOUT_S" gio cat "$1" | md5sum' - "$U/big.bin"
step user_wide g cat "$U/$WIDE"
step user_copy g copy "$U/hello.txt" "$U/copy.txt"
step user_unmount g mount -u "$U"
step anon_mount g mount -a "$A/share" </dev/null
step anon_list g list "$A/share/"
step anon_big sh -c 'timeout "$GIO_TIMEOUT_S" gio cat "$1" | md5sum' - "$A/share/big.bin"
step browse_mount g mount -a "$A/" </dev/null
step browse_list g list "$A/"
rm -f "$err"
"""


def sections(out):
    """{step: (output lines, error lines, exit status)} from the script's output."""
    found = {}
    for chunk in re.split(r"(?m)^== ", out)[1:]:
        lines = chunk.rstrip("\n").splitlines()
        status = re.fullmatch(r"rc=(\d+)", lines[-1]) if len(lines) > 1 else None
        body = lines[1:-1] if status else lines[1:]
        found[lines[0]] = ([l for l in body if not l.startswith("! ")],
                           [l[2:] for l in body if l.startswith("! ")], int(status.group(1)) if status else None)
    return found


@unittest.skipUnless(shutil.which("gio") and shutil.which("dbus-run-session") and gvfs_smb_installed(),
                     "gio, dbus-run-session and gvfs's smb backend needed")
class Gvfs(unittest.TestCase):
    def test_mount_list_read_and_browse(self):
        with harness.serve(tree=TREE, users={USER: PASSWORD}, opts={"guest": "on"}) as srv, \
                tempfile.TemporaryDirectory(prefix="twsmb3s_gvfs_") as tmp:
            # A home and runtime folder of its own: no keyring, cache or
            # smb.conf of the machine's user, no clash with a parallel run.
            home, runtime = os.path.join(tmp, "home"), os.path.join(tmp, "run")
            os.makedirs(home)
            os.makedirs(runtime, mode=0o700)
            env = dict(os.environ, HOME=home, XDG_RUNTIME_DIR=runtime, XDG_CONFIG_HOME=os.path.join(home, ".config"),
                       XDG_CACHE_HOME=os.path.join(home, ".cache"), PORT=str(srv.port), SMB_USER=USER,
                       PASSWORD=PASSWORD, DOMAIN=DOMAIN, WIDE=WIDE, GIO_TIMEOUT_S=str(GIO_TIMEOUT_S),
                       LANG="C.UTF-8", LC_ALL="C.UTF-8")
            env.pop("DBUS_SESSION_BUS_ADDRESS", None)
            p = subprocess.run(["dbus-run-session", "--", "sh", "-c", SCRIPT], stdout=subprocess.PIPE,
                               stderr=subprocess.DEVNULL, stdin=subprocess.DEVNULL, env=env,
                               timeout=SESSION_TIMEOUT_S)
            out = p.stdout.decode(errors="replace")
            steps = sections(out)

            def shown(name):
                self.assertIn(name, steps, out)
                lines, errors, status = steps[name]
                return status, "%s (exit %s):\n%s" % (name, status, "\n".join(lines + errors))

            def ok(name):
                status, text = shown(name)
                self.assertEqual(status, 0, text)
                return steps[name][0]

            def failed(name):
                status, text = shown(name)
                self.assertNotEqual(status, 0, text)
                return text

            md5 = hashlib.md5(BIG).hexdigest()
            with self.subTest("a wrong password mounts nothing"):
                failed("wrong_mount")
                self.assertIn("not mounted", failed("wrong_list"))
            with self.subTest("named user"):
                ok("user_mount")
                self.assertEqual(sorted(ok("user_list")), sorted(TREE["share"]))
                self.assertEqual(ok("user_sub"), ["deep.txt"])
                info = "\n".join(ok("user_info"))
                self.assertRegex(info, r"(?m)^  standard::type: 1$")  # a regular file
                self.assertRegex(info, r"(?m)^  standard::size: %d$" % len(TREE["share"]["hello.txt"]))
                self.assertRegex(info, r"(?m)^  access::can-write: FALSE$")
                self.assertEqual(ok("user_big")[-1].split()[0], md5)
                self.assertEqual(ok("user_wide"), ["wide"])
                self.assertRegex(failed("user_copy"), "Permission denied|not permitted|denied")
                self.assertFalse(os.path.exists(os.path.join(srv.root, "share", "copy.txt")))
                ok("user_unmount")
            with self.subTest("anonymous"):
                ok("anon_mount")
                self.assertEqual(sorted(ok("anon_list")), sorted(TREE["share"]))
                self.assertEqual(ok("anon_big")[-1].split()[0], md5)
            with self.subTest("browsing the server lists its shares"):
                ok("browse_mount")
                self.assertEqual(sorted(ok("browse_list")), sorted(TREE))
            self.assertTrue(srv.alive(), srv.stderr_text())


if __name__ == "__main__":
    unittest.main(verbosity=2)
