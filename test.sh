#!/usr/bin/env bash
# Installs what is missing, builds both flavours, checks the DLLs' imports
# and exports, and runs the whole test suite of each flavour under Wine.
# Non-zero on any failure.
set -euo pipefail
source "$(dirname "$0")/scripts/common.sh"
qv_install
qv_pick_arch
qv_build_all
"$QV_ROOT/scripts/check-dll.sh" "$QV_BUILD_DIR/i686/bin/quorvel.dll" \
  "$QV_BUILD_DIR/msvc-i686/bin/quorvel.dll"
if [ "$QV_ARCH" != i686 ]; then
  "$QV_ROOT/scripts/check-dll.sh" "$QV_BUILD_DIR/$QV_ARCH/bin/quorvel.dll" \
    "$QV_BUILD_DIR/msvc-$QV_ARCH/bin/quorvel.dll"
fi
qv_wine_start
status=0
qv_say "MinGW flavour ($QV_ARCH)"
(cd "$QV_BUILD_DIR/$QV_ARCH" && ctest --output-on-failure "$@") || status=1
qv_say "Visual C++ flavour (msvc-$QV_ARCH)"
(cd "$QV_BUILD_DIR/msvc-$QV_ARCH" && ctest --output-on-failure "$@") || status=1
exit $status
