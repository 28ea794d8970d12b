# Shared by build.sh and test.sh: installs what is missing, picks the Wine
# loader, and runs a private wineserver for the build tree's own prefix.
# Sourced, not run.

QV_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
# Where builds and their Wine prefixes go (relative to the source tree unless
# absolute); a second work tree or a parallel run can use its own.
QV_BUILD_DIR=${QV_BUILD_DIR:-build}
case "$QV_BUILD_DIR" in /*) ;; *) QV_BUILD_DIR="$QV_ROOT/$QV_BUILD_DIR" ;; esac
# python3 runs the loopback peer of the socket tests (tests/socket/peer.py)
# and scripts/check-dll.py. clang, lld, llvm, libwine-dev (SDK-faithful
# Windows headers) and libc++-14-dev (header-only C++ library pieces) build
# the Visual C++ ABI flavour (cmake/clang-msvc-common.cmake).
QV_PACKAGES_AMD64="cmake ninja-build googletest g++-mingw-w64-i686 g++-mingw-w64-x86-64 wine wine64 python3 clang lld llvm libwine-dev libc++-14-dev"
QV_PACKAGES_I386="wine32:i386"

qv_say() { printf '== %s\n' "$*" >&2; }
qv_die() { printf 'error: %s\n' "$*" >&2; exit 1; }

qv_missing_tools() {
  local missing=""
  for tool in cmake ninja i686-w64-mingw32-g++-posix x86_64-w64-mingw32-g++-posix \
              i686-w64-mingw32-windres python3 c++filt; do
    command -v "$tool" >/dev/null 2>&1 || missing="$missing $tool"
  done
  for tool in clang-cl lld-link llvm-lib llvm-rc llvm-mt llvm-readobj llvm-objdump llvm-undname; do
    command -v "$tool" >/dev/null 2>&1 || [ -x "/usr/lib/llvm-14/bin/$tool" ] \
      || missing="$missing $tool"
  done
  [ -f /usr/include/wine/wine/windows/windows.h ] || missing="$missing libwine-dev"
  [ -f /usr/lib/llvm-14/include/c++/v1/atomic ] || missing="$missing libc++-14-dev"
  [ -f /usr/src/googletest/CMakeLists.txt ] || missing="$missing googletest-sources"
  [ -x /usr/lib/wine/wine64 ] || missing="$missing wine64"
  [ -x /usr/lib/wine/wine ] || missing="$missing wine32"
  command -v npm >/dev/null 2>&1 || missing="$missing npm"
  printf '%s' "$missing"
}

# Installs the toolchain, Wine and the GoogleTest sources when any is missing.
qv_install() {
  local missing
  missing=$(qv_missing_tools)
  [ -z "$missing" ] && return 0
  qv_say "missing:$missing"
  local packages="$QV_PACKAGES_AMD64"
  command -v npm >/dev/null 2>&1 || packages="$packages npm"
  local how="dpkg --add-architecture i386 && apt-get update && apt-get install -y --no-install-recommends $packages $QV_PACKAGES_I386"
  if [ "$(id -u)" != 0 ] || ! command -v apt-get >/dev/null 2>&1 || [ ! -f /etc/debian_version ]; then
    qv_die "cannot install here (needs root on Debian 12). Install as root: $how"
  fi
  qv_say "installing packages (about a minute)"
  dpkg --add-architecture i386
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq || qv_die "apt-get update failed"
  apt-get install -y -qq --no-install-recommends $packages $QV_PACKAGES_I386 >/dev/null \
    || qv_die "package install failed; try: $how"
  missing=$(qv_missing_tools)
  [ -z "$missing" ] || qv_die "still missing after install:$missing"
}

# True when 32-bit programs would run only through a user-mode emulator
# registered with binfmt_misc (far too slow for Wine).
qv_i386_emulated() {
  local entry
  for entry in $(grep -ls 'qemu-i386' /proc/sys/fs/binfmt_misc/* 2>/dev/null); do
    grep -q '^enabled' "$entry" 2>/dev/null && return 0
  done
  return 1
}

# The product is the 32-bit build. Programs run under the 32-bit Wine where
# the kernel executes 32-bit code; some kernels have that switched off
# (ia32_emulation), and there the same sources are built for 64-bit Windows
# and run under the 64-bit Wine instead.
qv_pick_arch() {
  if [ -n "${QV_ARCH:-}" ]; then :;
  elif /usr/lib/wine/wineserver32 --version >/dev/null 2>&1 && ! qv_i386_emulated; then QV_ARCH=i686;
  else
    QV_ARCH=x64
    qv_say "this kernel cannot run 32-bit programs: tests and qvtool run as the 64-bit build under wine64"
  fi
  case "$QV_ARCH" in
    i686) QV_WINE=/usr/lib/wine/wine ;;
    x64) QV_WINE=/usr/lib/wine/wine64 ;;
    *) qv_die "QV_ARCH must be i686 or x64" ;;
  esac
  export QV_ARCH QV_WINE
}

qv_build() {  # preset [target]
  local preset=$1 cache="$QV_BUILD_DIR/$1/CMakeCache.txt"
  # Compiler flags come from the toolchain files only when a build directory
  # is first configured: start afresh when one of them has changed since.
  if [ -f "$cache" ] && [ -n "$(find "$QV_ROOT/cmake" -newer "$cache" \( -name 'clang-msvc-*' \
       -o -name 'mingw-w64-*' \) -print -quit)" ]; then
    rm -f "$cache"
  fi
  cmake --preset "$preset" -B "$QV_BUILD_DIR/$preset" >/dev/null \
    || qv_die "cmake configure ($preset) failed"
  cmake --build "$QV_BUILD_DIR/$preset" ${2:+--target "$2"} || qv_die "build ($preset) failed"
}

# Builds both flavours of the product (MinGW and Visual C++ ABI, i686) and,
# when it differs, both flavours of the build that runs here. The .NET and
# Node.js packages carry the 64-bit DLLs too: where i686 runs, those are
# built alone.
qv_build_all() {
  cd "$QV_ROOT"
  qv_build i686
  qv_build msvc-i686
  if [ "$QV_ARCH" != i686 ]; then
    qv_build "$QV_ARCH"
    qv_build "msvc-$QV_ARCH"
  else
    qv_build x64 quorvel
    qv_build msvc-x64 quorvel
  fi
  QV_BIN="$QV_BUILD_DIR/$QV_ARCH/bin"
}

# A Wine prefix inside the build tree and a wineserver of its own.
qv_wine_start() {
  export WINEPREFIX="$QV_BUILD_DIR/$QV_ARCH/wineprefix"
  export WINEDEBUG=-all
  export WINEDLLOVERRIDES="mscoree,mshtml="
  if [ ! -f "$WINEPREFIX/system.reg" ]; then
    qv_say "creating the Wine prefix $WINEPREFIX"
    "$QV_WINE" wineboot -i >/dev/null 2>&1 || qv_die "wineboot failed"
    wineserver -w  # the server that wineboot started ends first
  fi
  wineserver -p || qv_say "a wineserver already runs for $WINEPREFIX; using it"
  trap qv_wine_stop EXIT
  # Start the prefix's own services now, with no pipe of ours open, so that
  # they do not hold a test runner's output open after a test has ended.
  "$QV_WINE" wineboot </dev/null >/dev/null 2>&1 || true
}

# Waits until the server has ended, so that a run that follows at once
# starts a server of its own instead of joining one that is going away.
qv_wine_stop() {
  WINEPREFIX="$WINEPREFIX" wineserver -k 2>/dev/null || true
  WINEPREFIX="$WINEPREFIX" wineserver -w 2>/dev/null || true
}
