"""A host program for the soak: the server inside this process through the C
API (ctypes over $TWSMB3S_LIB), driven one line at a time from standard input
so the soak can stop and start it and read its figures from outside.

    soak_host.py CONFIG_JSON       {"shares": {...}, "users": {...}, "opts": {...}}

commands (one answer line each):
    start PORT   ->  ok PORT | err CODE TEXT
    stop         ->  ok
    stats        ->  the statistics report (one JSON line)
    quit         ->  ok, and the process ends (after a stop)
"""

import ctypes
import json
import os
import sys


def load():
    lib = ctypes.CDLL(os.environ["TWSMB3S_LIB"])
    lib.twsmb3s_stats_json.restype = ctypes.c_char_p
    lib.twsmb3s_last_error.restype = ctypes.c_char_p
    lib.twsmb3s_start.argtypes = [ctypes.c_char_p, ctypes.c_uint, ctypes.c_char_p]
    for name in ("twsmb3s_add_share", "twsmb3s_add_user", "twsmb3s_set_option"):
        getattr(lib, name).argtypes = [ctypes.c_char_p, ctypes.c_char_p]
    return lib


def configure(lib, config):
    calls = [(lib.twsmb3s_add_share, k, v) for k, v in config.get("shares", {}).items()]
    calls += [(lib.twsmb3s_add_user, k, v) for k, v in config.get("users", {}).items()]
    calls += [(lib.twsmb3s_set_option, k, v) for k, v in config.get("opts", {}).items()]
    for fn, key, value in calls:
        if fn(key.encode(), str(value).encode()) != 0:
            raise SystemExit("configure %s: %s" % (key, lib.twsmb3s_last_error().decode()))


def main():
    lib = load()
    configure(lib, json.loads(sys.argv[1]))
    answer = {
        "stop": lambda args: (lib.twsmb3s_stop(), "ok")[1],
        "stats": lambda args: lib.twsmb3s_stats_json().decode(),
    }
    for _ in range(1 << 30):  # one command a line until quit or end of input
        line = sys.stdin.readline()
        if not line or line.strip() == "quit":
            break
        words = line.split()
        if words[0] == "start":
            rc = lib.twsmb3s_start(b"127.0.0.1", int(words[1]), None)
            out = "ok %d" % lib.twsmb3s_port() if rc == 0 else "err %d %s" % (rc, lib.twsmb3s_last_error().decode())
        else:
            out = answer[words[0]](words[1:])
        sys.stdout.write(out + "\n")
        sys.stdout.flush()
    lib.twsmb3s_stop()
    sys.stdout.write("ok\n")
    sys.stdout.flush()


if __name__ == "__main__":
    main()
