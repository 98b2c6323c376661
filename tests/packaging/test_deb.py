"""The Debian package of make deb: built by CPack from the build tree,
installed with dpkg -i, its program and man page used, then removed with
dpkg -r, after which none of its files is left. Runs only as root, and
never touches a twsmb3s package that was installed before."""

import fcntl
import os
import shutil
import subprocess
import tempfile
import unittest

BUILD = os.environ.get("TW3_BUILD_DIR", "")
TIMEOUT_S = 300
LOCK = "/tmp/apt.lock"  # the lock every apt-get and dpkg run here takes


def sh(args, check=True, env=None):
    full_env = dict(os.environ)
    full_env.update(env or {})
    p = subprocess.run(args, capture_output=True, timeout=TIMEOUT_S, env=full_env)
    if check and p.returncode != 0:
        raise AssertionError("%s failed (%d):\n%s%s" % (args, p.returncode, p.stdout.decode(), p.stderr.decode()))
    return p


def installed():
    p = sh(["dpkg-query", "-W", "-f=${Status}", "twsmb3s"], check=False)
    return p.returncode == 0 and b"installed" in p.stdout.split()[-1:]


def needs():
    missing = [t for t in ("cpack", "dpkg", "dpkg-deb", "dpkg-shlibdeps") if not shutil.which(t)]
    if missing:
        return "missing " + " ".join(missing)
    if os.geteuid() != 0:
        return "dpkg -i needs root"
    return ""


@unittest.skipIf(needs(), needs())
class DebianPackage(unittest.TestCase):
    def test_build_install_use_remove(self):
        tmp = tempfile.mkdtemp(prefix="twsmb3s_deb_")
        try:
            sh(["cpack", "-G", "DEB", "--config", os.path.join(BUILD, "CPackConfig.cmake"), "-B", tmp])
            debs = [f for f in os.listdir(tmp) if f.endswith(".deb")]
            self.assertEqual(len(debs), 1, debs)
            deb = os.path.join(tmp, debs[0])
            fields = sh(["dpkg-deb", "-f", deb, "Package", "Version", "Depends"]).stdout.decode()
            self.assertIn("Package: twsmb3s\n", fields)
            self.assertIn("Version: 1.0.1\n", fields)
            self.assertIn("libc6", fields)  # computed by dpkg-shlibdeps
            listing = sh(["dpkg-deb", "-c", deb]).stdout.decode().splitlines()
            paths = [line.split()[5][1:] for line in listing if not line.startswith("d")]
            for want in ("/usr/bin/twsmb3s", "/usr/lib/libtwsmb3s.so.1", "/usr/include/twsmb3s.h",
                         "/usr/lib/systemd/system/twsmb3s.service", "/usr/share/man/man1/twsmb3s.1",
                         "/usr/lib/pkgconfig/twsmb3s.pc"):
                self.assertIn(want, paths)
            with open(LOCK, "a") as lock:
                fcntl.flock(lock, fcntl.LOCK_EX)
                if installed():
                    self.skipTest("a twsmb3s package is installed already; leaving it alone")
                self.install_use_remove(deb, paths)
        finally:
            shutil.rmtree(tmp, ignore_errors=True)

    def install_use_remove(self, deb, paths):
        try:
            sh(["dpkg", "-i", deb], env={"DEBIAN_FRONTEND": "noninteractive"})
            self.assertEqual(sh(["/usr/bin/twsmb3s", "version"]).stdout, b"twsmb3s 1.0.1\n")
            page = sh(["man", "-P", "cat", "twsmb3s"], env={"MANWIDTH": "80"}).stdout.decode()
            self.assertIn("small read-only SMB 3 file server", page)
            if shutil.which("systemd-analyze"):
                p = sh(["systemd-analyze", "verify", "/usr/lib/systemd/system/twsmb3s.service"], check=False)
                self.assertEqual(p.returncode, 0, p.stdout + p.stderr)
        finally:
            sh(["dpkg", "-r", "twsmb3s"], env={"DEBIAN_FRONTEND": "noninteractive"})
        self.assertFalse(installed())
        left = [p for p in paths if os.path.lexists(p)]
        self.assertEqual(left, [])


if __name__ == "__main__":
    unittest.main()
