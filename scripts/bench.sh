#!/usr/bin/env bash
# Runs every benchmark (bench_*.exe) under Wine, and the fault-injection and
# soak suites for their totals, and prints one table.
#
# A program reports a figure with a line
#   ROW <what>|<figure>|<goal>
# and may print anything else besides. A program that prints no ROW line
# has its whole output shown under the table instead.
#   scripts/bench.sh [soak cycles]
set -uo pipefail
source "$(dirname "$0")/harden-common.sh"
qv_ready_to_run

rows=$(mktemp)
verbatim=$(mktemp)
trap 'rm -f "$rows" "$verbatim"; qv_wine_stop' EXIT

run() {  # name, then the command
  local name=$1 out rc
  shift
  qv_say "running $name"
  out=$("$@" 2>&1); rc=$?
  if grep -q '^ROW ' <<<"$out"; then
    grep '^ROW ' <<<"$out" | sed 's/^ROW //; s/\r$//' >>"$rows"
  else
    printf '\n### %s\n\n```\n%s\n```\n' "$name" "$out" >>"$verbatim"
  fi
  [ $rc = 0 ] || printf '%s|exit code %s|0\n' "$name" "$rc" >>"$rows"
}

for exe in "$QV_BIN"/bench_*.exe; do
  [ -e "$exe" ] || continue
  run "$(basename "$exe" .exe)" "$QV_WINE" "$exe"
done
# The Visual C++ flavour's socket figures, beside the MinGW flavour's
# bench_dll_socket (the same program through quorvel.dll).
if [ -f "$QV_BUILD_DIR/msvc-$QV_ARCH/bin/bench_dll_socket.exe" ]; then
  run "bench_dll_socket (Visual C++ flavour)" "$QV_WINE" \
    "$QV_BUILD_DIR/msvc-$QV_ARCH/bin/bench_dll_socket.exe"
fi
# qvtool udp against a paced loopback sender, the tool as a user runs it.
run qvtool_udp_rate python3 "$QV_ROOT/bench/qvtool_udp_rate.py" "$QV_WINE" "$QV_BIN/qvtool.exe"
# The Node.js package against Node's own net module, in the Windows node.exe
# of the package's tests (its own Windows 10 prefix and wineserver), with
# the socket tests' loopback peer.
# The package is packed as the tests pack it, with the MinGW flavour's DLLs.
node_runtime="$QV_BUILD_DIR/node-$QV_ARCH"
node_pack=$(mktemp -d)
node_peer=$(mktemp -d)
if "$QV_ROOT/tests/node/run.sh" setup "$node_runtime" "$QV_ARCH" "$node_pack" \
     "$QV_BUILD_DIR/i686/bin/quorvel.dll" "$QV_BUILD_DIR/x64/bin/quorvel.dll" \
   && sh "$QV_ROOT/tests/socket/peer.sh" start "$node_peer" >/dev/null; then
  run "Node.js package" env QUORVEL_DLL="Z:$QV_BIN/quorvel.dll" QV_PEER_INFO="Z:$node_peer/socket_peer.txt" \
    "$QV_ROOT/tests/node/run.sh" node "$node_runtime" "$QV_ARCH" "$node_pack" "$QV_ROOT/bench/node/echo.js"
else
  printf 'Node.js package|could not set up node.exe or the peer|0\n' >>"$rows"
fi
sh "$QV_ROOT/tests/socket/peer.sh" stop "$node_peer"
rm -rf "$node_peer" "$node_pack"
"$QV_ROOT/tests/node/run.sh" stop "$node_runtime"
# The .NET package against System.Net.Sockets, its event latency and the
# serial throughput on a pty port, in the Windows .NET runtime of the
# package's tests (its own prefix and wineserver), packed and published
# afresh from this tree.
dotnet_runtime="$QV_BUILD_DIR/dotnet"
dotnet_out="$QV_BUILD_DIR/$QV_ARCH/dotnet-bench"
dotnet_peer=$(mktemp -d)
if sh "$QV_ROOT/tests/dotnet/run.sh" setup "$dotnet_runtime" "$QV_ARCH" "$dotnet_out" 0.0.0-bench \
     "$QV_BUILD_DIR/i686/bin/quorvel.dll" "$QV_BUILD_DIR/x64/bin/quorvel.dll" >/dev/null \
   && sh "$QV_ROOT/tests/socket/peer.sh" start "$dotnet_peer" >/dev/null; then
  run ".NET package" env QV_PEER_INFO="Z:$dotnet_peer/socket_peer.txt" \
    sh "$QV_ROOT/tests/dotnet/run.sh" run "$dotnet_runtime" "$QV_ARCH" "$dotnet_out/publish" bench
  run ".NET serial" env WINEPREFIX="$dotnet_runtime/wineprefix" python3 "$QV_ROOT/tests/serial/pty_run.py" \
    sh "$QV_ROOT/tests/dotnet/run.sh" run "$dotnet_runtime" "$QV_ARCH" "$dotnet_out/publish" bench-pty
else
  printf '.NET package|could not set up the SDK, the package or the peer|0\n' >>"$rows"
fi
sh "$QV_ROOT/tests/socket/peer.sh" stop "$dotnet_peer"
rm -rf "$dotnet_peer" "$dotnet_out"
sh "$QV_ROOT/tests/dotnet/run.sh" stop "$dotnet_runtime"
run test_fault env QV_FAULT_FULL=1 "$QV_WINE" "$QV_BIN/test_fault.exe"
run test_soak env QV_SOAK_CYCLES="${1:-500}" "$QV_WINE" "$QV_BIN/test_soak.exe" --gtest_filter='Soak.*'

printf '| Figure | Measured | Goal |\n|---|---|---|\n'
awk -F'|' '{ for (i = 1; i <= 3; i++) gsub(/^ +| +$/, "", $i); printf "| %s | %s | %s |\n", $1, $2, $3 }' "$rows"
cat "$verbatim"
