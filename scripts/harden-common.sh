# Shared by bench.sh, soak.sh and fuzz.sh: builds the tree that runs here if
# it is not built yet, and starts the build tree's own wineserver.
# Sourced, not run.
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

qv_ready_to_run() {
  qv_pick_arch
  cd "$QV_ROOT"
  if [ ! -f "$QV_BUILD_DIR/$QV_ARCH/build.ninja" ] || [ "${QV_REBUILD:-1}" = 1 ]; then
    qv_build "$QV_ARCH"
    qv_build "msvc-$QV_ARCH"
  fi
  QV_BIN="$QV_BUILD_DIR/$QV_ARCH/bin"
  qv_wine_start
}
