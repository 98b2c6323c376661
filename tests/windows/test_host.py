"""A C host program linked against twsmb3s.dll's import library (host.c),
under wine: two rounds of start, port, a real client's listing, the
statistics report and stop in one process."""

import json
import os
import shutil
import subprocess
import sys
import tempfile
import unittest

sys.dont_write_bytecode = True  # keep the source tree clean
import harness  # noqa: E402

TIMEOUT_S = 60


@unittest.skipUnless(shutil.which("smbclient"), "smbclient not installed")
class HostProgram(unittest.TestCase):
    def test_two_rounds_in_one_process(self):
        host = os.environ["TW3_HOST_EXE"]
        with tempfile.TemporaryDirectory(prefix="twsmb3s_host_") as tmp:
            harness.make_tree(tmp, {"from-the-host.txt": b"hello\n"})
            proc = subprocess.Popen([harness.wine(), host, harness.host_path(tmp)], stdin=subprocess.PIPE,
                                    stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)  # CRLF read as LF
            try:
                guests = []
                for _ in range(2):
                    line = proc.stdout.readline()
                    self.assertRegex(line, r"^port [1-9]\d*\n$")
                    port = line.split()[1]
                    ls = subprocess.run(["smbclient", "-N", "-p", port, "//127.0.0.1/pub", "-c", "ls"],
                                        stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=TIMEOUT_S,
                                        stdin=subprocess.DEVNULL)
                    self.assertIn("from-the-host.txt", ls.stdout.decode(errors="replace"))
                    proc.stdin.write("\n")
                    proc.stdin.flush()
                    stats = proc.stdout.readline()
                    self.assertTrue(stats.startswith("stats "), stats)
                    report = json.loads(stats[len("stats "):])
                    self.assertEqual((report["running"], report["port"]), (True, int(port)))
                    guests.append(report["guest_sessions"])
                    self.assertEqual(proc.stdout.readline(), "stopped 0\n")
                self.assertGreaterEqual(guests[0], 1)
                self.assertGreater(guests[1], guests[0], "the second round served a client too")
                self.assertEqual(proc.wait(timeout=TIMEOUT_S), 0, proc.stderr.read())
            finally:
                if proc.poll() is None:
                    proc.kill()
                    proc.wait()


if __name__ == "__main__":
    unittest.main(verbosity=2)
