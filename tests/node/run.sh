#!/bin/sh
# Runs the Node.js package's scripts under Wine with the Windows node.exe that
# scripts/node-runtime.sh fetches into RUNTIME, in its Windows 10 prefix:
#   run.sh setup RUNTIME ARCH PACKDIR IA32_DLL X64_DLL
#                          fetches and creates it all (once), packs the
#                          package with both DLLs into PACKDIR (as
#                          quorvel-<version>.tgz) and installs that file
#                          in PACKDIR/node_modules, starts the prefix's own
#                          wineserver
#   run.sh stop RUNTIME    stops that wineserver
#   run.sh node RUNTIME ARCH PACKDIR SCRIPT [ARG...]
#                          runs node.exe SCRIPT ARG... with require()
#                          finding the package installed in PACKDIR, koffi
#                          and node-serialport's packages; with
#                          QV_PTY=echo, with a COM port on a pseudo-terminal
#                          whose other end echoes every byte
#                          (tests/serial/pty_run.py, QV_PTY_PORT names it)
#   run.sh other RUNTIME ARCH PACKDIR SCRIPT
#                          as node, in ARCH's node.exe (fetched into RUNTIME
#                          first), where this machine runs ARCH's programs;
#                          elsewhere exits 77 (skipped) saying why
# node.exe stops at its start when its standard output is a pipe, so it
# writes to a file, which is shown once it has ended; its exit code is
# passed on; QV_NODE_OPTIONS go before the script (the tests give
# --test-force-exit, so that a failed test that leaves an endpoint open
# does not keep the run alive). Paths given in QV_* variables reach it as
# Z:-drive paths.
set -eu
action=$1
here=$(cd "$(dirname "$0")" && pwd)
wine_for() {
  case "$1" in i686) echo /usr/lib/wine/wine ;; x64) echo /usr/lib/wine/wine64 ;;
    *) echo "run.sh: unknown architecture $1" >&2; exit 2 ;; esac
}
if [ "$action" = other ]; then
  # A kernel without 32-bit support cannot start the 32-bit wineserver.
  if [ "$3" = i686 ] && ! bash -c 'source "$1/scripts/common.sh"
      /usr/lib/wine/wineserver32 --version >/dev/null 2>&1 && ! qv_i386_emulated' sh "$here/../.."; then
    echo "skipped: this machine's kernel does not run 32-bit programs, so the 32-bit node.exe cannot start (the ia32 DLL is checked statically)"
    exit 77
  fi
  "$here/../../scripts/node-runtime.sh" "$2" "$3" >&2
  action=node
fi
runtime=$(mkdir -p "$2" && cd "$2" && pwd)
export WINEPREFIX="$runtime/wineprefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
case "$action" in
  setup)
    "$here/../../scripts/node-runtime.sh" "$runtime" "$3"
    # The package as npm packs it for its users, installed where require()
    # finds it: the tests use what ships.
    packed=$("$here/../../scripts/node-pack.sh" "$4" "$5" "$6")
    rm -rf "$4/node_modules/quorvel"
    mkdir -p "$4/node_modules/quorvel"
    tar xzf "$packed" -C "$4/node_modules/quorvel" --strip-components=1
    wineserver -p </dev/null >/dev/null 2>&1 || echo "run.sh: a wineserver already runs for $WINEPREFIX; using it"
    # The prefix's services start now, holding none of the test runner's pipes.
    "$(wine_for "$3")" wineboot </dev/null >/dev/null 2>&1 || true ;;
  stop)
    wineserver -k 2>/dev/null || true
    wineserver -w 2>/dev/null || true ;;
  node)
    wine=$(wine_for "$3")
    packages=$(cd "$4" && pwd)/node_modules
    script=$5
    shift 5
    [ -f "$runtime/node.exe" ] || { echo "run.sh: no node.exe in $runtime (run.sh setup)" >&2; exit 1; }
    out=$(mktemp)
    trap 'rm -f "$out"' EXIT
    export NODE_PATH="Z:$packages;Z:$runtime/node_modules;Z:$runtime/serialport/node_modules"
    set -- "$wine" "$runtime/node.exe" ${QV_NODE_OPTIONS:-} "Z:$script" "$@"
    [ "${QV_PTY:-}" = echo ] && set -- python3 "$here/../serial/pty_run.py" --echo "$@"
    status=0
    timeout 600 "$@" </dev/null >"$out" 2>&1 || status=$?
    tr -d '\r' <"$out"
    [ $status = 0 ] || echo "run.sh: node.exe $(basename "$script") exited with $status"
    exit $status ;;
  *)
    echo "usage: run.sh setup|stop|node|other ..." >&2; exit 2 ;;
esac
