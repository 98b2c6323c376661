"""What the stress scenarios share: the process figures read from /proc, the
file-descriptor limit, percentiles and the rows of the one result table."""

import os
import resource
import threading
import time

WANT_FDS = 8192


def raise_nofile(want=WANT_FDS):
    """Lifts this process's descriptor limit (children inherit it) as far as
    the hard limit allows; returns the new soft limit."""
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    target = want if hard == resource.RLIM_INFINITY else min(want, hard)
    if soft < target:
        resource.setrlimit(resource.RLIMIT_NOFILE, (target, hard))
    return resource.getrlimit(resource.RLIMIT_NOFILE)[0]


def proc_status(pid):
    """(resident KiB, threads) of a process."""
    rss = threads = 0
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith("VmRSS:"):
                rss = int(line.split()[1])
            elif line.startswith("Threads:"):
                threads = int(line.split()[1])
    return rss, threads


def fd_count(pid):
    return len(os.listdir("/proc/%d/fd" % pid))


def percentile(values, p):
    if not values:
        return float("nan")
    s = sorted(values)
    return s[min(len(s) - 1, int(round(p / 100.0 * (len(s) - 1))))]


def wait_until(cond, timeout_s, step_s=0.05):
    end = time.monotonic() + timeout_s
    while time.monotonic() < end:
        if cond():
            return True
        time.sleep(step_s)
    return cond()


class Sampler:
    """Calls sample() every `every_s` seconds in the background while the
    with-block runs; sample() returning False ends it early."""

    def __init__(self, every_s):
        self.every_s = every_s
        self._stop = threading.Event()
        self._thread = threading.Thread(target=self._run, daemon=True)

    def _run(self):
        while not self._stop.wait(self.every_s):
            if self.sample() is False:
                return

    def __enter__(self):
        self._thread.start()
        return self

    def __exit__(self, *exc):
        self._stop.set()
        self._thread.join(timeout=5)


class RssSampler(Sampler):
    """A process's peak resident size (KiB) while the with-block runs."""

    def __init__(self, pid, every_s=0.1):
        super().__init__(every_s)
        self.pid = pid
        self.peak = 0

    def sample(self):
        try:
            self.peak = max(self.peak, proc_status(self.pid)[0])
        except OSError:
            return False


class Table:
    """The rows every scenario adds: what was measured, its target, the result."""

    def __init__(self):
        self.rows = []

    def add(self, scenario, what, target, result, ok):
        self.rows.append((scenario, what, target, result, "ok" if ok else "FAILED"))
        print("  %-12s %-44s %s -> %s" % (scenario, what, result, "ok" if ok else "FAILED"), flush=True)

    def failed(self):
        return [r for r in self.rows if r[4] != "ok"]

    def render(self):
        head = ("scenario", "measure", "target", "result", "")
        widths = [max(len(str(r[i])) for r in self.rows + [head]) for i in range(5)]
        line = lambda r: " | ".join(str(c).ljust(w) for c, w in zip(r, widths)).rstrip()
        out = [line(head), "-+-".join("-" * w for w in widths)]
        out += [line(r) for r in self.rows]
        return "\n".join(out)


def mib(kib):
    return "%.1f MiB" % (kib / 1024.0)
