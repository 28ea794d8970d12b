#!/usr/bin/env bash
# Fault injection over every call of every scenario, including the long
# ones that the test suite samples (the subnet scan).
#   scripts/fault.sh [gtest filter]
set -euo pipefail
source "$(dirname "$0")/harden-common.sh"
qv_ready_to_run
QV_FAULT_FULL=1 "$QV_WINE" "$QV_BIN/test_fault.exe" --gtest_filter="${1:-*}"
