#!/usr/bin/env bash
# Installs what is missing, builds everything, checks the DLL's imports and
# exports, and runs the whole test suite under Wine. Non-zero on any failure.
set -euo pipefail
source "$(dirname "$0")/scripts/common.sh"
qv_install
qv_pick_arch
qv_build_all
"$QV_ROOT/scripts/check-dll.sh" "$QV_BUILD_DIR/i686/bin/quorvel.dll"
[ "$QV_ARCH" = i686 ] || "$QV_ROOT/scripts/check-dll.sh" "$QV_BUILD_DIR/$QV_ARCH/bin/quorvel.dll"
qv_wine_start
cd "$QV_BUILD_DIR/$QV_ARCH"
ctest --output-on-failure "$@"
