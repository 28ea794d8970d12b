#!/bin/sh
# Builds and runs the .NET package's tests under Wine with the Windows SDK
# that scripts/dotnet-runtime.sh fetches into RUNTIME:
#   run.sh setup RUNTIME ARCH OUT VERSION X86_DLL X64_DLL [SIM_DLL]
#       fetches the SDK (once), packs bindings/dotnet with both DLLs into
#       OUT/feed (the package a user gets), publishes the test program,
#       which references that package through the folder, into OUT/publish,
#       OUT/publish-loader (as a .NET Framework program takes the package:
#       the DLLs in x86\ and x64\ beside it) and, with SIM_DLL, OUT/publish-sim
#       (the test build of the DLL in the package's place); starts the
#       prefix's own wineserver
#   run.sh pack RUNTIME OUT VERSION X86_DLL X64_DLL
#       only packs the package, into OUT (scripts/package.sh)
#   run.sh stop RUNTIME                 stops that wineserver
#   run.sh run RUNTIME ARCH DIR GROUP...  runs DIR/Quorvel.Tests.dll GROUP...
# ARCH i686 runs the program on the x86 runtime under 32-bit Wine, where the
# kernel runs 32-bit code (else the test is skipped, exit code 77); x64 on
# the SDK's own runtime under wine64. Paths in QV_* variables reach the
# program as Z:-drive paths.
set -eu
action=$1
runtime=$2
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
export WINEPREFIX="$runtime/wineprefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
export DOTNET_SKIP_FIRST_TIME_EXPERIENCE=1 DOTNET_CLI_TELEMETRY_OPTOUT=1 DOTNET_NOLOGO=1
dotnet() { /usr/lib/wine/wine64 "$runtime/sdk/dotnet.exe" "$@" -nodeReuse:false; }
# pack_into SRC FEED VERSION X86 X64 LOG: a fresh copy of bindings/dotnet in
# SRC packed into FEED (an old package is removed first: pack leaves it in
# place when it thinks nothing changed).
pack_into() {
  rm -rf "$1" "$2/Quorvel.Net.$3.nupkg"
  cp -r "$root/bindings/dotnet" "$1"
  mkdir -p "$2"
  printf '<?xml version="1.0" encoding="utf-8"?>\n<configuration><packageSources><clear/></packageSources></configuration>\n' >"$1/NuGet.config"
  (cd "$1" && dotnet pack -c Release -o "Z:$2" "-p:Version=$3" "-p:QuorvelX86Dll=Z:$4" "-p:QuorvelX64Dll=Z:$5" \
     </dev/null >>"$6" 2>&1)
}
case "$action" in
  setup)
    arch=$3 out=$4 version=$5 x86=$6 x64=$7 sim=${8:-}
    "$root/scripts/dotnet-runtime.sh" "$runtime" "$arch"
    wineserver -p </dev/null >/dev/null 2>&1 || echo "run.sh: a wineserver already runs for $WINEPREFIX; using it"
    mkdir -p "$out"
    rm -rf "$out/tests" "$out/feed" "$out/packages" "$out"/publish*
    log="$out/setup.log"
    : >"$log"
    ok=true
    pack_into "$out/src" "$out/feed" "$version" "$x86" "$x64" "$log" || ok=false
    cp -r "$here" "$out/tests"
    cp "$root/bench/dotnet/Bench.cs" "$out/tests/"
    printf '<?xml version="1.0" encoding="utf-8"?>\n<configuration><packageSources><clear/><add key="local" value="%s"/></packageSources></configuration>\n' \
      "Z:$out/feed" >"$out/tests/NuGet.config"
    for variant in publish publish-loader; do
      $ok || break
      extra=""
      [ "$variant" = publish-loader ] && extra="-p:QuorvelLoaderCheck=true"
      rm -rf "$out/tests/obj" "$out/tests/bin"
      (cd "$out/tests" && dotnet publish -c Release -o "Z:$out/$variant" "-p:QuorvelVersion=$version" \
         "-p:RestorePackagesPath=Z:$out/packages" $extra </dev/null >>"$log" 2>&1) || ok=false
    done
    if ! $ok; then
      tr -d '\r' <"$log" | grep -E 'error|warn' | sort -u || tr -d '\r' <"$log"
      exit 1
    fi
    if [ -n "$sim" ]; then
      cp -r "$out/publish" "$out/publish-sim"
      case "$arch" in i686) rid=win-x86 ;; *) rid=win-x64 ;; esac
      cp "$sim" "$out/publish-sim/runtimes/$rid/native/quorvel.dll"
    fi
    ls "$out/feed"/*.nupkg ;;
  pack)
    out=$3
    mkdir -p "$out"
    log=$(mktemp)
    "$root/scripts/dotnet-runtime.sh" "$runtime" x64
    if ! pack_into "$(dirname "$log")/quorvel-dotnet-src.$$" "$out" "$4" "$5" "$6" "$log"; then
      tr -d '\r' <"$log"
      rm -f "$log"
      exit 1
    fi
    rm -rf "$log" "$(dirname "$log")/quorvel-dotnet-src.$$"
    wineserver -k 2>/dev/null || true
    ls "$out/Quorvel.Net.$4.nupkg" ;;
  stop)
    wineserver -k 2>/dev/null || true
    wineserver -w 2>/dev/null || true ;;
  run)
    arch=$3 dir=$4
    shift 4
    [ -f "$dir/Quorvel.Tests.dll" ] || { echo "run.sh: no Quorvel.Tests.dll in $dir (run.sh setup)" >&2; exit 1; }
    if [ "$arch" = i686 ]; then
      if ! /usr/lib/wine/wineserver32 --version >/dev/null 2>&1; then
        echo "skipped: this kernel cannot run 32-bit programs, so the x86 .NET runtime cannot run here"
        exit 77
      fi
      set -- /usr/lib/wine/wine "$runtime/x86/dotnet.exe" exec --fx-version 2.1.8 "Z:$dir/Quorvel.Tests.dll" "$@"
    else
      set -- /usr/lib/wine/wine64 "$runtime/sdk/dotnet.exe" "Z:$dir/Quorvel.Tests.dll" "$@"
    fi
    out=$(mktemp)
    trap 'rm -f "$out"' EXIT
    status=0
    timeout "${QV_DOTNET_LIMIT:-600}" "$@" </dev/null >"$out" 2>&1 || status=$?
    tr -d '\r' <"$out"
    [ $status = 0 ] || echo "run.sh: the test program exited with $status"
    exit $status ;;
  *)
    echo "usage: run.sh setup|stop|run RUNTIME ..." >&2; exit 2 ;;
esac
