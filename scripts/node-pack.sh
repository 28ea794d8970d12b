#!/usr/bin/env bash
# Packs the Node.js package (bindings/node) with both of its DLLs, as npm
# packs it for its users:
#   scripts/node-pack.sh OUTDIR IA32_DLL X64_DLL
# leaves OUTDIR/quorvel-<version>.tgz (its path on stdout) carrying
# dll/ia32/quorvel.dll and dll/x64/quorvel.dll.
set -euo pipefail
out=$1
ia32=$2
x64=$3
here=$(cd "$(dirname "$0")/.." && pwd)
for dll in "$ia32" "$x64"; do
  [ -f "$dll" ] || { echo "node-pack.sh: $dll is missing (build both architectures' presets first)" >&2; exit 1; }
done
command -v npm >/dev/null || { echo "node-pack.sh: npm is missing (apt-get install npm)" >&2; exit 1; }
stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
cp -r "$here/bindings/node/." "$stage/"
rm -rf "$stage/dll"
mkdir -p "$stage/dll/ia32" "$stage/dll/x64" "$out"
cp "$ia32" "$stage/dll/ia32/quorvel.dll"
cp "$x64" "$stage/dll/x64/quorvel.dll"
name=$(cd "$stage" && npm pack --silent --pack-destination "$(cd "$out" && pwd)")
echo "$(cd "$out" && pwd)/$name"
