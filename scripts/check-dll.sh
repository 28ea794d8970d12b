#!/usr/bin/env bash
# Checks that quorvel.dll imports exactly the system DLLs every supported
# Windows has, and that the 32-bit DLL (the product) exports what the lists
# in scripts/exports/ name: each class's special members, free functions and
# operations (mangled with 32-bit argument types), and the callbacks that the
# system or the library calls back with the SDK's convention. For the x64
# DLL only the imports are checked.
set -euo pipefail
dll=${1:?usage: check-dll.sh quorvel.dll}
lists=$(dirname "$0")/exports
objdump=i686-w64-mingw32-objdump
if ! "$objdump" -p "$dll" >/dev/null 2>&1; then objdump=x86_64-w64-mingw32-objdump; fi
dump=$("$objdump" -p "$dll")
fail=0
x86=0
grep -q 'file format pei-i386' <<<"$dump" && x86=1

# The imports: exactly these. The Bluetooth API (bthprops.cpl) is optional on
# Windows and is loaded on first use, never imported.
expected="advapi32 iphlpapi kernel32 msvcrt setupapi user32 ws2_32"
imported=$(printf '%s\n' "$dump" | sed -n 's/^\s*DLL Name: //p' | tr 'A-Z' 'a-z' | sed 's/\.dll$//' | sort -u)
for name in $imported; do
  grep -qw -- "$name" <<<"$expected" \
    || { echo "check-dll: $dll imports $name, which is not among: $expected" >&2; fail=1; }
done
for name in $expected; do
  grep -qx -- "$name" <<<"$imported" \
    || { echo "check-dll: $dll does not import $name" >&2; fail=1; }
done

if [ $x86 = 0 ]; then
  [ $fail = 0 ] && echo "check-dll: $(basename "$dll") (x64) imports only $(echo $expected | tr ' ' ',')"
  exit $fail
fi

exports=$(printf '%s\n' "$dump" | sed -n '/Ordinal\/Name Pointer/,$p')
count=0
while read -r kind name; do
  case "$kind" in
    class)
      for member in "${name}C1Ev" "${name}C1ERKS_" "${name}aSERKS_" "${name}D1Ev"; do
        grep -q "$member" <<<"$exports" \
          || { echo "check-dll: $dll does not export $member" >&2; fail=1; }
      done ;;
    symbol)
      grep -q "$name" <<<"$exports" \
        || { echo "check-dll: $dll does not export $name" >&2; fail=1; } ;;
    callback)
      # __stdcall (CALLBACK, WINAPI) names carry @N, the bytes of their
      # arguments; a __cdecl one does not.
      if ! grep -q "$name" <<<"$exports"; then
        echo "check-dll: $dll does not export $name" >&2; fail=1
      elif ! grep "$name" <<<"$exports" | grep -Eq '@[0-9]+$'; then
        echo "check-dll: $dll exports $name without @N: it is not __stdcall" >&2; fail=1
      fi ;;
    *) continue ;;
  esac
  count=$((count + 1))
done < <(cat "$lists"/*.txt | sed 's/#.*//')
[ $fail = 0 ] && echo "check-dll: $(basename "$dll") imports only $(echo $expected | tr ' ' ',') and exports all $count listed names"
exit $fail
