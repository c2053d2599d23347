#!/usr/bin/env bash
# Builds everything and runs every unit and end-to-end test.
set -euo pipefail
source "$(dirname "$0")/common.sh"

"$root/scripts/install-deps.sh"

echo "== native build and unit tests (ASan, UBSan)"
cmake -S "$root" -B "$build_root/native" -DCMAKE_BUILD_TYPE=Debug
cmake --build "$build_root/native" -j"$(nproc)"
ctest --test-dir "$build_root/native" --output-on-failure

echo "== Windows build and unit tests under Wine"
build_windows "https://localhost:$test_port" "$build_root/win"
prefix=$(new_wine_prefix)
trap 'WINEPREFIX=$prefix wineserver -k 2>/dev/null || true; rm -rf "$prefix"' EXIT
WINEPREFIX=$prefix ctest --test-dir "$build_root/win" --output-on-failure

echo "== end-to-end tests under Wine"
VELDA_WIN_BUILD="$build_root/win" VELDA_NATIVE_BUILD="$build_root/native" VELDA_TEST_PORT="$test_port" \
    /usr/bin/python3 -m pytest "$root/tests/e2e" -q -p no:cacheprovider
