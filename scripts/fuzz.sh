#!/usr/bin/env bash
# The full parser fuzz: a million generated inputs per parser (or the count
# given), against guard pages.
#   scripts/fuzz.sh [inputs] [gtest filter]
set -euo pipefail
source "$(dirname "$0")/harden-common.sh"
qv_ready_to_run
QV_FUZZ_ITERATIONS=${1:-1000000} "$QV_WINE" "$QV_BIN/test_fuzz.exe" --gtest_filter="${2:-*}"
