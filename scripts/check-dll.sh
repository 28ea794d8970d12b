#!/usr/bin/env bash
# Checks that quorvel.dll imports only system DLLs and exports the classes'
# special members and operations.
set -euo pipefail
dll=${1:?usage: check-dll.sh quorvel.dll}
dump=$(i686-w64-mingw32-objdump -p "$dll")
fail=0
system='^(kernel32|user32|advapi32|ws2_32|bthprops\.cpl|setupapi|iphlpapi|msvcrt)(\.dll)?$'
while read -r name; do
  if ! printf '%s\n' "$name" | tr 'A-Z' 'a-z' | grep -Eq "$system"; then
    echo "check-dll: $dll imports a non-system DLL: $name" >&2; fail=1
  fi
done < <(printf '%s\n' "$dump" | sed -n 's/^\s*DLL Name: //p')
exports=$(printf '%s\n' "$dump" | sed -n '/Ordinal\/Name Pointer/,$p')
for class in CxThread CxComm CxSerial; do
  for member in "${class}C1Ev" "${class}C1ERKS_" "${class}aSERKS_" "${class}D1Ev"; do
    grep -q "$member" <<<"$exports" \
      || { echo "check-dll: $dll does not export $member" >&2; fail=1; }
  done
done
[ $fail = 0 ] && echo "check-dll: $(basename "$dll") imports only system DLLs and exports its classes"
exit $fail
