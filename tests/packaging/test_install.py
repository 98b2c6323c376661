"""Installation as a user or a packager does it: cmake --install into a
temporary prefix (and under DESTDIR), every file in its place, the SONAME,
the man page through man --warnings and lexgrog, the unit through
systemd-analyze verify, and the example host program built against the
installed files with pkg-config and with find_package, then run: start, a
smbclient ls, the statistics report, stop."""

import json
import os
import shutil
import subprocess
import tempfile
import unittest

BUILD = os.environ.get("TW3_BUILD_DIR", "")
TIMEOUT_S = 300
FILES = [
    "bin/twsmb3s",
    "include/twsmb3s.h",
    "lib/libtwsmb3s.so",
    "lib/libtwsmb3s.so.1",
    "lib/pkgconfig/twsmb3s.pc",
    "lib/cmake/twsmb3s/twsmb3sConfig.cmake",
    "lib/cmake/twsmb3s/twsmb3sConfigVersion.cmake",
    "lib/cmake/twsmb3s/twsmb3sTargets.cmake",
    "lib/systemd/system/twsmb3s.service",
    "share/man/man1/twsmb3s.1",
    "share/doc/twsmb3s/examples/host.c",
    "share/doc/twsmb3s/examples/CMakeLists.txt",
    "share/doc/twsmb3s/examples/Makefile",
    "share/doc/twsmb3s/examples/twsmb3s.conf.example",
]


def sh(args, env=None, cwd=None, check=True):
    full_env = dict(os.environ)
    full_env.update(env or {})
    p = subprocess.run(args, capture_output=True, timeout=TIMEOUT_S, env=full_env, cwd=cwd)
    if check and p.returncode != 0:
        raise AssertionError("%s failed (%d):\n%s%s" % (args, p.returncode, p.stdout.decode(), p.stderr.decode()))
    return p


@unittest.skipUnless(BUILD and shutil.which("cmake"), "needs TW3_BUILD_DIR and cmake")
class Install(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.mkdtemp(prefix="twsmb3s_install_")
        cls.prefix = os.path.join(cls.tmp, "prefix")
        sh(["cmake", "--install", BUILD, "--prefix", cls.prefix])

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.tmp, ignore_errors=True)

    def test_files_soname_and_destdir(self):
        for rel in FILES:
            self.assertTrue(os.path.exists(os.path.join(self.prefix, rel)), rel)
        self.assertTrue(os.path.islink(os.path.join(self.prefix, "lib/libtwsmb3s.so")))
        dyn = sh(["readelf", "-d", os.path.join(self.prefix, "lib/libtwsmb3s.so.1")]).stdout.decode()
        self.assertIn("Library soname: [libtwsmb3s.so.1]", dyn)
        out = sh([os.path.join(self.prefix, "bin/twsmb3s"), "version"]).stdout
        self.assertEqual(out, b"twsmb3s 1.0.1\n")
        # make install runs this with PREFIX and DESTDIR.
        stage = os.path.join(self.tmp, "stage")
        sh(["cmake", "--install", BUILD, "--prefix", "/opt/twsmb3s"], env={"DESTDIR": stage})
        for rel in FILES:
            self.assertTrue(os.path.exists(os.path.join(stage, "opt/twsmb3s", rel)), rel)
        with open(os.path.join(stage, "opt/twsmb3s/lib/systemd/system/twsmb3s.service")) as f:
            self.assertIn("ExecStart=/opt/twsmb3s/bin/twsmb3s serve --config %d/twsmb3s.conf", f.read())

    @unittest.skipUnless(shutil.which("man") and shutil.which("lexgrog"), "man-db not installed")
    def test_man_page(self):
        page = os.path.join(self.prefix, "share/man/man1/twsmb3s.1")
        p = sh(["man", "--warnings", "-l", page], env={"MANWIDTH": "80", "MAN_KEEP_FORMATTING": ""})
        self.assertEqual(p.stderr.decode(), "")
        self.assertIn("twsmb3s - small read-only SMB 3 file server", p.stdout.decode().replace("\u2010", "-"))
        self.assertIn(b'"twsmb3s - small read-only SMB 3 file server"', sh(["lexgrog", page]).stdout)

    def test_unit_verifies(self):
        if not shutil.which("systemd-analyze"):
            self.skipTest("systemd-analyze not installed (the systemd package)")
        unit = os.path.join(self.prefix, "lib/systemd/system/twsmb3s.service")
        # --man=no: the page lives in the temporary prefix, not in man's path.
        p = sh(["systemd-analyze", "verify", "--man=no", unit], check=False)
        self.assertEqual(p.returncode, 0, p.stdout + p.stderr)
        with open(unit) as f:
            text = f.read()
        for line in ("DynamicUser=yes", "ProtectSystem=strict", "ProtectHome=read-only", "PrivateTmp=yes",
                     "NoNewPrivileges=yes", "CapabilityBoundingSet=CAP_NET_BIND_SERVICE",
                     "AmbientCapabilities=CAP_NET_BIND_SERVICE", "RestrictAddressFamilies=AF_INET AF_INET6",
                     "SystemCallFilter=@system-service"):
            self.assertIn(line + "\n", text)

    def run_example(self, host):
        share = os.path.join(self.tmp, "share")
        os.makedirs(share, exist_ok=True)
        with open(os.path.join(share, "from-the-example.txt"), "w") as f:
            f.write("hello\n")
        env = dict(os.environ, LD_LIBRARY_PATH=os.path.join(self.prefix, "lib"))
        proc = subprocess.Popen([host, share], stdin=subprocess.PIPE, stdout=subprocess.PIPE, env=env)
        try:
            first = proc.stdout.readline().decode()
            self.assertRegex(first, r"^twsmb3s 1\.0\.1 serving //127\.0\.0\.1/example on port \d+\n$")
            port = first.split()[-1]
            if shutil.which("smbclient"):
                ls = sh(["smbclient", "//127.0.0.1/example", "-p", port, "-N", "-m", "SMB3", "-c", "ls"])
                self.assertIn(b"from-the-example.txt", ls.stdout)
            out, _ = proc.communicate(b"", timeout=TIMEOUT_S)
        finally:
            if proc.poll() is None:
                proc.kill()
                proc.wait()
        self.assertEqual(proc.returncode, 0)
        stats = json.loads(out.decode().splitlines()[-1])
        self.assertTrue(stats["running"])
        if shutil.which("smbclient"):
            self.assertGreaterEqual(stats["srvsvc_queries"] + stats["listings_sent"], 1)

    def copy_example(self, name):
        dst = os.path.join(self.tmp, name)
        shutil.copytree(os.path.join(self.prefix, "share/doc/twsmb3s/examples"), dst)
        return dst

    @unittest.skipUnless(shutil.which("pkg-config") and shutil.which("make"), "pkg-config or make missing")
    def test_example_with_pkg_config(self):
        src = self.copy_example("with_pkg_config")
        env = {"PKG_CONFIG_PATH": os.path.join(self.prefix, "lib/pkgconfig")}
        self.assertEqual(sh(["pkg-config", "--modversion", "twsmb3s"], env=env).stdout, b"1.0.1\n")
        sh(["make", "-C", src], env=env)
        self.run_example(os.path.join(src, "host"))

    def test_example_with_find_package(self):
        src = self.copy_example("with_find_package")
        sh(["cmake", "-S", src, "-B", os.path.join(src, "build"), "-DCMAKE_PREFIX_PATH=" + self.prefix])
        sh(["cmake", "--build", os.path.join(src, "build")])
        self.run_example(os.path.join(src, "build", "host"))


if __name__ == "__main__":
    unittest.main()
