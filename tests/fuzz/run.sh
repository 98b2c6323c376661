#!/usr/bin/env bash
# Runs every fuzz target for SECONDS each, one after the other, at the lowest
# priority (the machine is shared). Each target works on a corpus of its own
# under BUILD/corpus/<target>, which keeps what earlier runs found and takes
# in the committed seeds; findings land in BUILD/artifacts/. Prints the runs
# of each target and their total; fails when anything was found.
# Usage: run.sh BUILD SECONDS TARGET...
set -u
build=$1 seconds=$2
shift 2
here=$(cd "$(dirname "$0")" && pwd)
mkdir -p "$build/artifacts"
total=0 found=0
summary=""
for t in "$@"; do
  corpus=$build/corpus/$t
  mkdir -p "$corpus"
  cp -n "$here/$t/corpus/"* "$corpus/" 2>/dev/null || true
  dict=()
  [ -f "$here/$t/dict" ] && dict=(-dict="$here/$t/dict")
  log=$build/fuzz-$t.log
  before=$(ls "$build/artifacts" | wc -l)
  # -close_fd_mask=3: the targets' own output (traces) is not wanted here;
  # libFuzzer's reports still reach the log.
  nice -n 19 "$build/${t}_fuzz" "$corpus" "${dict[@]}" -max_total_time="$seconds" \
    -rss_limit_mb=2048 -timeout=5 -max_len=8192 -close_fd_mask=3 \
    -artifact_prefix="$build/artifacts/$t-" -print_final_stats=1 >"$log" 2>&1
  rc=$?
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  runs=${runs:-0}
  total=$((total + runs))
  after=$(ls "$build/artifacts" | wc -l)
  [ "$rc" -ne 0 ] || [ "$after" -ne "$before" ] && found=1
  summary+=$(printf '%-10s %12s runs  exit %s  corpus %s inputs\n' "$t" "$runs" "$rc" "$(ls "$corpus" | wc -l)")$'\n'
done
printf '%s' "$summary"
printf '%-10s %12s runs\n' total "$total"
if [ "$found" -ne 0 ]; then
  echo "findings in $build/artifacts/ (logs: $build/fuzz-*.log)" >&2
  exit 1
fi
