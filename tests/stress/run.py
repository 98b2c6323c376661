"""`make stress`: the load, hostile-client, open/close and soak scenarios
against the real server on loopback, then one table of every measure with its
target.

    TWSMB3S_BIN=build/twsmb3s TWSMB3S_LIB=build/libtwsmb3s.so python3 tests/stress/run.py [SCENARIO...]

SCENARIO is any of connections, hostile, opens, soak (all four by default);
STRESS_MINUTES sets the soak's length (default 3), STRESS_FOLDER_ENTRIES the
size of the hostile scenario's huge folder (default 100000),
STRESS_OPEN_PAIRS and STRESS_OPEN_FAILING the open/close scenario's
CREATE + CLOSE and CREATE + failing QUERY_INFO + CLOSE compounds (defaults
1000000 and 100000). Exits 1 when a row misses its target.
"""

import os
import sys
import time
import traceback

sys.dont_write_bytecode = True  # keep the source tree clean
HERE = os.path.dirname(os.path.abspath(__file__))
sys.path[:0] = [HERE, os.path.join(HERE, "..", "clients")]

import common  # noqa: E402
import connections  # noqa: E402
import hostile  # noqa: E402
import opens  # noqa: E402
import soak  # noqa: E402

SCENARIOS = {"connections": connections, "hostile": hostile, "opens": opens, "soak": soak}


def main(argv):
    names = argv or list(SCENARIOS)
    unknown = [n for n in names if n not in SCENARIOS]
    if unknown:
        print("unknown scenario %s (known: %s)" % (", ".join(unknown), ", ".join(SCENARIOS)))
        return 2
    table = common.Table()
    for name in names:
        t0 = time.monotonic()
        print("== %s" % name, flush=True)
        try:
            SCENARIOS[name].run(table)
        except Exception:  # a scenario that breaks is a failed row, the others still run
            traceback.print_exc()
            table.add(name, "scenario ran to its end", "no exception", "exception (above)", False)
        print("   %s took %.0f s" % (name, time.monotonic() - t0), flush=True)
    print()
    print(table.render())
    bad = table.failed()
    print("\n%d of %d rows met their target" % (len(table.rows) - len(bad), len(table.rows)))
    return 1 if bad else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
