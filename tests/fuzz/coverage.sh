#!/usr/bin/env bash
# Source-based line coverage (clang, llvm-profdata, llvm-cov) of every fuzz
# target's committed seeds and crash inputs, replayed by a fuzz_replay built
# with -fprofile-instr-generate -fcoverage-mapping. Prints the line coverage
# per folder of src/smb, src/auth, src/fs and src/util; the per-file report,
# the annotated sources and the list of lines no input reached are left in
# BUILD/coverage/.
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
prof=(-instr-profile="$out/replay.profdata")
llvm-cov report "$build/fuzz_replay" "${prof[@]}" >"$out/files.txt"
llvm-cov show "$build/fuzz_replay" "${prof[@]}" >"$out/lines.txt"
llvm-cov export "$build/fuzz_replay" "${prof[@]}" -summary-only >"$out/summary.json"
python3 - "$out" "$root" "${folders[@]}" <<'PY'
import json, os, re, sys
out, root, folders = sys.argv[1], sys.argv[2], sys.argv[3:]
prefixes = [os.path.join(root, f) + os.sep for f in folders]
files = json.load(open(os.path.join(out, "summary.json")))["data"][0]["files"]
print("%-10s %8s %8s %7s" % ("folder", "lines", "covered", "percent"))
for folder, prefix in zip(folders, prefixes):
    lines = [f["summary"]["lines"] for f in files if os.path.normpath(f["filename"]).startswith(prefix)]
    n = sum(l["count"] for l in lines)
    c = sum(l["covered"] for l in lines)
    print("%-10s %8d %8d %6.1f%%" % (folder, n, c, 100.0 * c / n if n else 0.0))
# Every line of those folders that no input reached, as file:line: text.
name, keep = None, False
with open(os.path.join(out, "lines.txt")) as src, open(os.path.join(out, "uncovered.txt"), "w") as dst:
    for line in src:
        if line.startswith("/") and line.rstrip().endswith(":"):
            name = os.path.normpath(line.rstrip()[:-1])
            keep = any(name.startswith(p) for p in prefixes)
            continue
        m = re.match(r"\s*(\d+)\|\s*0\|(.*)", line)
        if keep and m:
            dst.write("%s:%s: %s\n" % (os.path.relpath(name, root), m.group(1), m.group(2).strip()))
PY
echo "per file: $out/files.txt; lines no input reached: $out/uncovered.txt"
