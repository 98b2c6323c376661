"""Every read-only smbclient command against a share with a one-character
name and one with a long non-ASCII name: none meets an unexpected error; the
commands that would write are refused with ACCESS_DENIED and the session
goes on. (notify blocks by design: test_notify covers it.)"""

import os
import shutil
import subprocess
import sys
import tarfile
import tempfile
import unittest

sys.dont_write_bytecode = True  # keep the source tree clean
import harness  # noqa: E402

USER, PASSWORD = "alice", "Secret-123"
WIDE = "Größere Sammlung – 日本語のファイル mit einem recht langen Namen"
CONTENT = {"ten.txt": b"0123456789", "sub": {"deep.txt": b"deep\n"}}
READS = ("ls; dir; du; volume; allinfo ten.txt; altname ten.txt; stat ten.txt; more ten.txt; "
         "get ten.txt got.txt; prompt; mget *.txt; recurse; ls; recurse; tar c out.tar; "
         "showacls; ls; showacls; listconnect")
WRITES = ("put local.txt; mkdir newdir; rm ten.txt; rename ten.txt t2.txt; hardlink ten.txt h.txt; "
          "setmode ten.txt +r; utimes ten.txt -1 -1 -1 -1; scopy ten.txt s.txt")
# One refusal line per write command (setmode reports its failure twice).
WRITE_COMMANDS = 8
END = "echo sweep-done; ls sub\\*"


@unittest.skipUnless(shutil.which("smbclient"), "smbclient not installed")
class Sweep(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.ctx = harness.serve(tree={"m": CONTENT, WIDE: CONTENT}, users={USER: PASSWORD})
        cls.srv = cls.ctx.__enter__()

    @classmethod
    def tearDownClass(cls):
        cls.ctx.__exit__(None, None, None)

    def smbclient(self, args, cwd):
        p = subprocess.run(["smbclient", "-p", str(self.srv.port), "-U", "%s%%%s" % (USER, PASSWORD),
                            "-m", "SMB3_11", "-t", "60"] + args, cwd=cwd, stdout=subprocess.PIPE,
                           stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL, timeout=180,
                           env=dict(os.environ, PAGER="cat"))
        return p.returncode, p.stdout.decode(errors="replace")

    def test_read_commands_work_and_writes_are_refused(self):
        rc, out = self.smbclient(["-L", "//127.0.0.1"], None)
        self.assertEqual(rc, 0, out)
        self.assertIn(WIDE, out)
        for share in ("m", WIDE):
            with self.subTest(share=share), tempfile.TemporaryDirectory(prefix="twsmb3s_sweep_") as cwd:
                with open(os.path.join(cwd, "local.txt"), "w") as f:
                    f.write("local\n")
                rc, out = self.smbclient(["//127.0.0.1/" + share, "-c", "; ".join((READS, WRITES, END))], cwd)
                errors = [ln for ln in out.splitlines() if "NT_STATUS" in ln]
                self.assertEqual([ln for ln in errors if "NT_STATUS_ACCESS_DENIED" not in ln], [], out)
                self.assertGreaterEqual(len(errors), WRITE_COMMANDS, out)
                self.assertIn("Volume: |%s|" % share, out)
                tail = out.split("sweep-done", 1)[-1]
                self.assertIn("deep.txt", tail, "the session goes on after the refusals")
                with open(os.path.join(cwd, "got.txt"), "rb") as f:
                    self.assertEqual(f.read(), CONTENT["ten.txt"])
                with tarfile.open(os.path.join(cwd, "out.tar")) as tar:
                    names = sorted(n.lstrip("./") for n in tar.getnames())
                self.assertIn("sub/deep.txt", names)
        self.assertTrue(self.srv.alive())


if __name__ == "__main__":
    unittest.main()
