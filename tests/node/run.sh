#!/bin/sh
# Runs the Node.js package's scripts under Wine with the Windows node.exe that
# scripts/node-runtime.sh fetches into RUNTIME, in its Windows 10 prefix:
#   run.sh setup RUNTIME ARCH              fetches and creates it all (once),
#                                          packs the package into it, starts
#                                          the prefix's own wineserver
#   run.sh stop RUNTIME                    stops that wineserver
#   run.sh node RUNTIME ARCH SCRIPT [ARG]  runs node.exe SCRIPT ARG...
# node.exe stops at its start when its standard output is a pipe, so it
# writes to a file, which is shown once it has ended; its exit code is
# passed on; QV_NODE_OPTIONS go before the script (the tests give
# --test-force-exit, so that a failed test that leaves an endpoint open
# does not keep the run alive). Paths given in QV_* variables reach it as
# Z:-drive paths.
set -eu
action=$1
runtime=$2
here=$(cd "$(dirname "$0")" && pwd)
export WINEPREFIX="$runtime/wineprefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
wine_for() {
  case "$1" in i686) echo /usr/lib/wine/wine ;; x64) echo /usr/lib/wine/wine64 ;;
    *) echo "run.sh: unknown architecture $1" >&2; exit 2 ;; esac
}
case "$action" in
  setup)
    "$here/../../scripts/node-runtime.sh" "$runtime" "$3"
    # The package as npm packs it for its users, where require('quorvel')
    # finds it: the tests use what ships.
    packed=$(mktemp -d)
    (cd "$here/../../bindings/node" && npm pack --silent --pack-destination "$packed" >/dev/null)
    rm -rf "$runtime/node_modules/quorvel"
    mkdir -p "$runtime/node_modules/quorvel"
    tar xzf "$packed"/quorvel-*.tgz -C "$runtime/node_modules/quorvel" --strip-components=1
    rm -rf "$packed"
    wineserver -p </dev/null >/dev/null 2>&1 || echo "run.sh: a wineserver already runs for $WINEPREFIX; using it"
    # The prefix's services start now, holding none of the test runner's pipes.
    "$(wine_for "$3")" wineboot </dev/null >/dev/null 2>&1 || true ;;
  stop)
    wineserver -k 2>/dev/null || true
    wineserver -w 2>/dev/null || true ;;
  node)
    wine=$(wine_for "$3")
    script=$4
    shift 4
    [ -f "$runtime/node.exe" ] || { echo "run.sh: no node.exe in $runtime (run.sh setup)" >&2; exit 1; }
    out=$(mktemp)
    trap 'rm -f "$out"' EXIT
    export NODE_PATH="Z:$runtime/node_modules"
    status=0
    timeout 600 "$wine" "$runtime/node.exe" ${QV_NODE_OPTIONS:-} "Z:$script" "$@" </dev/null >"$out" 2>&1 || status=$?
    tr -d '\r' <"$out"
    [ $status = 0 ] || echo "run.sh: node.exe $(basename "$script") exited with $status"
    exit $status ;;
  *)
    echo "usage: run.sh setup|stop|node RUNTIME ..." >&2; exit 2 ;;
esac
