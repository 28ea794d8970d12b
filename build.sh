#!/usr/bin/env bash
# Installs what is missing, builds both flavours (MinGW and Visual C++ ABI)
# and runs qvtool (MinGW flavour) under Wine.
# Arguments go to qvtool; without any it prints what the library sees here.
set -euo pipefail
source "$(dirname "$0")/scripts/common.sh"
qv_install
qv_pick_arch
qv_build_all
qv_wine_start
qv_say "qvtool ${*:-(summary)}"
"$QV_WINE" "$QV_BIN/qvtool.exe" "$@"
