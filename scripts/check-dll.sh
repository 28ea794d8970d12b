#!/usr/bin/env bash
# Checks builds of quorvel.dll of either flavour (MinGW or Visual C++ ABI):
# each imports exactly the system DLLs every supported Windows has (the
# Bluetooth API is loaded on first use, never imported) and exports what the
# lists in scripts/exports/ name (each class's special members and its
# operator new and delete, free functions and operations, and the callbacks
# that must be __stdcall on x86), compared through their demangled names
# with c++filt and llvm-undname; on x64 by name only; and the functions that
# include/quorvel/quorvel_c.h declares, under their plain names only (the
# same in both flavours), nothing else with their prefix. A Visual C++ flavour DLL
# has no C runtime initialisers (.CRT$XC*), since no runtime start-up would
# run them. Given the two flavours of one architecture, also checks that
# they export the same members.
#   check-dll.sh build/i686/bin/quorvel.dll [build/msvc-i686/bin/quorvel.dll]
set -euo pipefail
exec python3 "$(dirname "$0")/check-dll.py" "$@"
