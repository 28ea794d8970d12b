#!/usr/bin/env bash
# The full soak: every endpoint and finder through 10,000 open/use/close
# cycles (or the count given), with the handle count and private memory
# printed first and last, and closes from another thread while busy.
#   scripts/soak.sh [cycles] [gtest filter]
set -euo pipefail
source "$(dirname "$0")/harden-common.sh"
qv_ready_to_run
QV_SOAK_CYCLES=${1:-10000} "$QV_WINE" "$QV_BIN/test_soak.exe" --gtest_filter="${2:-*}"
