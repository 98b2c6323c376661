#!/usr/bin/env bash
# Source-based line coverage (clang, llvm-profdata, llvm-cov) of every fuzz
# target's committed seeds and crash inputs, replayed by a fuzz_replay built
# with -fprofile-instr-generate -fcoverage-mapping. Prints the line coverage
# per folder of src/smb, src/auth, src/fs and src/util; the per-file report
# and the annotated sources are left in BUILD/coverage/.
# Usage: coverage.sh BUILD TARGET...
set -eu
build=$1
shift
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
out=$build/coverage
rm -rf "$out"
mkdir -p "$out"
args=()
for t in "$@"; do args+=("$t=$here/$t/corpus" "$t=$here/$t/crashes"); done
LLVM_PROFILE_FILE="$out/replay-%p.profraw" "$build/fuzz_replay" "${args[@]}" >"$out/replay.log" 2>&1 || {
  echo "the replay failed: see $out/replay.log" >&2
  exit 1
}
llvm-profdata merge -sparse "$out"/replay-*.profraw -o "$out/replay.profdata"
folders=(src/smb src/auth src/fs src/util)
srcs=()
for f in "${folders[@]}"; do srcs+=("$root/$f"); done
llvm-cov report "$build/fuzz_replay" -instr-profile="$out/replay.profdata" "${srcs[@]}" >"$out/files.txt"
llvm-cov show "$build/fuzz_replay" -instr-profile="$out/replay.profdata" -show-line-counts-or-regions \
  "${srcs[@]}" >"$out/lines.txt"
llvm-cov export "$build/fuzz_replay" -instr-profile="$out/replay.profdata" -summary-only "${srcs[@]}" \
  >"$out/summary.json"
python3 - "$out/summary.json" "$root" "${folders[@]}" <<'PY'
import json, os, sys
summary, root, folders = sys.argv[1], sys.argv[2], sys.argv[3:]
files = json.load(open(summary))["data"][0]["files"]
print("%-10s %8s %8s %7s" % ("folder", "lines", "covered", "percent"))
for folder in folders:
    prefix = os.path.join(root, folder) + os.sep
    lines = [f["summary"]["lines"] for f in files if f["filename"].startswith(prefix)]
    n = sum(l["count"] for l in lines)
    c = sum(l["covered"] for l in lines)
    print("%-10s %8d %8d %6.1f%%" % (folder, n, c, 100.0 * c / n if n else 0.0))
PY
echo "per file: $out/files.txt; uncovered lines: $out/lines.txt"
