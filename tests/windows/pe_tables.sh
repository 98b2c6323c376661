#!/bin/sh
# The Windows twin of tests/api/exported_symbols.sh, read from the PE tables:
# the DLL exports the sixteen API functions and nothing else, and the
# program and the DLL import only DLLs every Windows has (the C and C++
# runtimes and winpthreads are linked in, not shipped beside them).
objdump=x86_64-w64-mingw32-objdump
exe="$1"
dll="$2"
version="$3"   # the file version both carry, as twsmb3s_version() gives it
fail=0
exports=$($objdump -p "$dll" | sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' | awk '/\[/ && $NF != "Table" {print $NF}')
extra=$(printf '%s\n' "$exports" | grep -v '^twsmb3s_' | grep .)
if [ -n "$extra" ]; then
  echo "functions exported besides the API:"; echo "$extra"; fail=1
fi
count=$(printf '%s\n' "$exports" | grep -c '^twsmb3s_')
[ "$count" -eq 16 ] || { echo "expected the 16 API functions, found $count"; fail=1; }
for f in "$exe" "$dll"; do
  for name in $($objdump -p "$f" | awk '/DLL Name:/ {print tolower($3)}'); do
    case "$name" in
      kernel32.dll|msvcrt.dll|ws2_32.dll|bcrypt.dll|shell32.dll|advapi32.dll|user32.dll|ntdll.dll|iphlpapi.dll) ;;
      *) echo "$f imports $name, which is not part of Windows"; fail=1 ;;
    esac
  done
done
for f in "$exe" "$dll"; do
  strings -el "$f" | grep -qx "$version" || { echo "$f carries no version resource $version"; fail=1; }
done
exit $fail
