"""A throw-away Linux machine for the kernel client test: Debian's kernel
under QEMU's TCG emulator, booted from a small initramfs built here.

    kern = fetch_kernel(cache_dir)           # once per kernel version
    build_initramfs(path, kern, init_script, {"plan": b"..."})
    boot(kern, path, {"10.0.2.100": port}, console_log, results_log, timeout)

The kernel comes from the package that `linux-image-amd64` depends on, fetched
with `apt-get download` and unpacked into cache_dir (never the machine's own
/boot). The machine's only network is QEMU's user-mode stack restricted to
forwards: a TCP connection to ADDRESS:445 inside becomes `nc` to a loopback
port of this machine.
"""

import lzma
import os
import shutil
import subprocess
import tempfile

# The SMB client, the network card and what SMB 3 signing needs.
MODULES = ("virtio_pci", "virtio_net", "nls_utf8", "aesni_intel", "cmac", "gcm", "ghash_generic",
           "ccm", "ctr", "ecb", "sha512_generic", "cifs")
NETCAT = "nc.openbsd"  # its -N ends the forward when the guest closes
TOOLS = ("qemu-system-x86_64", "cpio", "modprobe", "depmod", NETCAT, "apt-get", "dpkg-deb")
BUSYBOX = "/bin/busybox"  # busybox-static: the image has no C library of its own
MOUNT_CIFS = "/usr/sbin/mount.cifs"  # for the `guest` option; busybox mount runs it
COMMAND_TIMEOUT_S = 600
XZ_MAGIC = b"\xfd7zXZ\x00"
SMB_PORT = 445


def missing_tools():
    return [t for t in TOOLS if shutil.which(t) is None] + \
        [p for p in (BUSYBOX, MOUNT_CIFS) if not os.path.exists(p)]


def _run(args, **kw):
    return subprocess.run(args, check=True, capture_output=True, timeout=COMMAND_TIMEOUT_S, **kw)


class Kernel:
    def __init__(self, folder):
        self.folder = folder
        self.image = os.path.join(folder, "vmlinux")
        with open(os.path.join(folder, "modules.load")) as f:
            self.modules = [line.strip() for line in f if line.strip()]


def kernel_package():
    out = _run(["apt-cache", "depends", "linux-image-amd64"]).stdout.decode()
    for line in out.splitlines():
        name = line.split(":", 1)[-1].strip()
        if line.strip().startswith("Depends:") and name.startswith("linux-image-"):
            return name
    raise RuntimeError("linux-image-amd64 names no kernel package: %r" % out)


def _unpacked_image(boot_image, dest):
    """The XZ-packed kernel inside a bzImage as a plain ELF file, which QEMU
    starts directly (PVH): unpacking it under emulation took 15 s a boot."""
    with open(boot_image, "rb") as f:
        data = f.read()
    at = data.find(XZ_MAGIC)
    if at < 0:
        shutil.copy(boot_image, dest)
        return
    with open(dest, "wb") as f:
        f.write(lzma.LZMADecompressor(format=lzma.FORMAT_XZ).decompress(data[at:]))


def fetch_kernel(cache_dir):
    """The kernel image and the modules of MODULES with their dependencies, in
    loading order, under cache_dir/VERSION; fetched only when missing."""
    package = kernel_package()
    version = package[len("linux-image-"):]
    folder = os.path.join(cache_dir, version)
    if os.path.exists(os.path.join(folder, "modules.load")):
        return Kernel(folder)
    os.makedirs(cache_dir, exist_ok=True)
    work = tempfile.mkdtemp(prefix="fetch_", dir=cache_dir)
    try:
        _run(["apt-get", "download", package], cwd=work)
        deb = [n for n in os.listdir(work) if n.endswith(".deb")][0]
        root = os.path.join(work, "root")
        _run(["dpkg-deb", "-x", os.path.join(work, deb), root])
        _run(["depmod", "-b", root, version])
        out = os.path.join(work, "out")
        os.makedirs(out)
        order = []
        for module in MODULES:
            shown = _run(["modprobe", "-d", root, "-S", version, "--show-depends", module]).stdout.decode()
            for line in shown.splitlines():
                parts = line.split()
                name = os.path.basename(parts[1]) if parts[:1] == ["insmod"] else None
                if name and name not in order:
                    shutil.copy(parts[1], os.path.join(out, name))
                    order.append(name)
        with open(os.path.join(out, "modules.load"), "w") as f:
            f.write("".join(n + "\n" for n in order))
        _unpacked_image(os.path.join(root, "boot", "vmlinuz-" + version), os.path.join(out, "vmlinux"))
        os.rename(out, folder)
    finally:
        shutil.rmtree(work, ignore_errors=True)
    return Kernel(folder)


def _shared_libraries(program):
    out = _run(["ldd", program]).stdout.decode()
    return [word for line in out.splitlines() for word in line.split() if word.startswith("/")]


def build_initramfs(path, kern, init_script, files):
    """A newc cpio archive: busybox, mount.cifs and its libraries, the
    modules (listed in /modules.load), init_script as /init and `files`
    ({name: bytes}) in /."""
    with tempfile.TemporaryDirectory(prefix="initramfs_") as top:
        for d in ("bin", "sbin", "dev", "proc", "sys", "tmp", "mnt", "lib/modules"):
            os.makedirs(os.path.join(top, d))
        shutil.copy(BUSYBOX, os.path.join(top, "bin", "busybox"))
        shutil.copy(MOUNT_CIFS, os.path.join(top, "sbin", "mount.cifs"))
        for lib in _shared_libraries(MOUNT_CIFS):
            os.makedirs(os.path.dirname(top + lib), exist_ok=True)
            shutil.copy(lib, top + lib)
        for name in kern.modules + ["modules.load"]:
            shutil.copy(os.path.join(kern.folder, name), os.path.join(top, "lib", "modules", name))
        shutil.copy(init_script, os.path.join(top, "init"))
        os.chmod(os.path.join(top, "init"), 0o755)
        for name, data in files.items():
            with open(os.path.join(top, name), "wb") as f:
                f.write(data)
        names = _run(["find", "."], cwd=top).stdout
        with open(path, "wb") as f:
            subprocess.run(["cpio", "-o", "-H", "newc", "--quiet"], input=names, stdout=f, cwd=top,
                           check=True, timeout=COMMAND_TIMEOUT_S)


def boot(kern, initramfs, forwards, console_log, results_log, timeout):
    """Runs the machine until it powers off (or timeout seconds): forwards maps
    an address inside to a loopback port here. The kernel's console goes to
    console_log, the second serial port (the results) to results_log. True
    when the machine powered off in time."""
    netdev = "user,id=n0,restrict=on,ipv6=off"
    for address, port in forwards.items():
        netdev += ",guestfwd=tcp:%s:%d-cmd:%s -N 127.0.0.1 %d" % (address, SMB_PORT, NETCAT, port)
    args = ["qemu-system-x86_64", "-accel", "tcg", "-cpu", "max", "-m", "512", "-nodefaults",
            "-no-user-config", "-display", "none", "-no-reboot", "-kernel", kern.image, "-initrd", initramfs,
            "-append", "console=ttyS0 quiet panic=-1", "-serial", "file:" + console_log,
            "-serial", "file:" + results_log, "-netdev", netdev, "-device", "virtio-net-pci,netdev=n0"]
    try:
        proc = subprocess.run(args, stdin=subprocess.DEVNULL, capture_output=True, timeout=timeout)
    except subprocess.TimeoutExpired:
        return False
    if proc.returncode != 0:
        raise RuntimeError("qemu failed: %s" % proc.stderr.decode(errors="replace"))
    return True
