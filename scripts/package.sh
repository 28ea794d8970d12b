#!/usr/bin/env bash
# Builds both flavours for both architectures and makes one ZIP of each with
# CPack: build/packages/quorvel-<version>-<mingw|msvc>-<i686|x64>.zip, each
# the tree that cmake --install lays out (DLL, import library, PDB of the
# Visual C++ flavour, headers, CMake package, README and design notes); the
# .NET package build/packages/Quorvel.Net.<version>.nupkg with the MinGW
# flavour's 32- and 64-bit DLLs (bindings/dotnet), packed by the Windows SDK
# that scripts/dotnet-runtime.sh fetches into the build tree; and the Node.js
# package, build/packages/quorvel-<version>.tgz, with the MinGW flavour's DLL
# of each architecture (the package picks by process.arch).
set -euo pipefail
source "$(dirname "$0")/common.sh"
qv_install
qv_pick_arch  # keeps the test runner that the build directories name
cd "$QV_ROOT"
mkdir -p "$QV_BUILD_DIR/packages"
for preset in i686 msvc-i686 x64 msvc-x64; do
  qv_build "$preset"
  (cd "$QV_BUILD_DIR/packages" && cpack --config "$QV_BUILD_DIR/$preset/CPackConfig.cmake" >/dev/null) \
    || qv_die "cpack ($preset) failed"
done
version=$(sed -n 's/^project(quorvel VERSION \([0-9.]*\).*/\1/p' "$QV_ROOT/CMakeLists.txt")
sh "$QV_ROOT/tests/dotnet/run.sh" pack "$QV_BUILD_DIR/dotnet" "$QV_BUILD_DIR/packages" "$version" \
  "$QV_BUILD_DIR/i686/bin/quorvel.dll" "$QV_BUILD_DIR/x64/bin/quorvel.dll" >/dev/null \
  || qv_die "the .NET package failed"
"$QV_ROOT/scripts/node-pack.sh" "$QV_BUILD_DIR/packages" "$QV_BUILD_DIR/i686/bin/quorvel.dll" \
  "$QV_BUILD_DIR/x64/bin/quorvel.dll" >/dev/null || qv_die "packing the Node.js package failed"
ls -1 "$QV_BUILD_DIR/packages"/*.zip "$QV_BUILD_DIR/packages"/*.nupkg "$QV_BUILD_DIR/packages"/*.tgz
