#!/usr/bin/env bash
# Checks that quorvel.dll imports only system DLLs and exports what the lists
# in scripts/exports/ name: each class's special members, and free functions.
set -euo pipefail
dll=${1:?usage: check-dll.sh quorvel.dll}
lists=$(dirname "$0")/exports
dump=$(i686-w64-mingw32-objdump -p "$dll")
fail=0
system='^(kernel32|user32|advapi32|ws2_32|bthprops\.cpl|setupapi|iphlpapi|msvcrt)(\.dll)?$'
while read -r name; do
  if ! printf '%s\n' "$name" | tr 'A-Z' 'a-z' | grep -Eq "$system"; then
    echo "check-dll: $dll imports a non-system DLL: $name" >&2; fail=1
  fi
done < <(printf '%s\n' "$dump" | sed -n 's/^\s*DLL Name: //p')
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
    *) continue ;;
  esac
  count=$((count + 1))
done < <(cat "$lists"/*.txt | sed 's/#.*//')
[ $fail = 0 ] && echo "check-dll: $(basename "$dll") imports only system DLLs and exports all $count listed names"
exit $fail
