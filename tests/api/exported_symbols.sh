#!/bin/sh
# The shared library must export the twsmb3s_* functions and no other function.
lib="$1"
all=$(nm -D --defined-only "$lib" | awk '$2 ~ /^[TW]$/ {print $3}')
extra=$(printf '%s\n' "$all" | grep -v '^twsmb3s_' | grep .)
if [ -n "$extra" ]; then
  echo "functions exported besides the API:"; echo "$extra"; exit 1
fi
count=$(printf '%s\n' "$all" | grep -c '^twsmb3s_')
[ "$count" -eq 16 ] || { echo "expected the 16 API functions, found $count"; exit 1; }
